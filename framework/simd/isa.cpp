#include "framework/simd/isa.h"

#include <cstdlib>
#include <cstring>

namespace virda_detail {
namespace {

isa best_supported_up_to(isa path)
{
    int p = static_cast<int>(path);
    while (p > 0 && !isa_supported(static_cast<isa>(p))) {
        --p;
    }
    return static_cast<isa>(p);
}

isa initial_isa()
{
    isa cap = isa::avx512;
    if (const char* v = std::getenv("VIRDA_ISA")) {
        if (std::strcmp(v, "baseline") == 0) {
            cap = isa::baseline;
        } else if (std::strcmp(v, "avx2") == 0) {
            cap = isa::avx2;
        }
    }
    return best_supported_up_to(cap);
}

isa& current()
{
    static isa path = initial_isa();
    return path;
}

} // namespace

bool isa_supported(isa path)
{
    switch (path) {
    case isa::baseline:
        return true;
    case isa::avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case isa::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
    }
    return false;
}

isa active_isa()
{
    return current();
}

isa force_isa(isa path)
{
    current() = best_supported_up_to(path);
    return current();
}

const char* isa_name(isa path)
{
    switch (path) {
    case isa::avx2:
        return "avx2";
    case isa::avx512:
        return "avx512";
    default:
        return "baseline";
    }
}

} // namespace virda_detail

#include "framework/simd/array_kernels.h"

namespace virda_detail {

const array_kernel_table& array_kernels()
{
    return for_active_isa(baseline::array_table, avx2::array_table, avx512::array_table);
}

} // namespace virda_detail
