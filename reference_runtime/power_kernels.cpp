#include "reference_runtime/power_kernels.h"

namespace virda_detail {

void run_power_kernel(int a_type, const void* a, unsigned e, double* out, std::size_t n)
{
    VIRDA_ACTIVE_PATH_TABLE(power_kernel_table, power_table).power(a_type, a, e, out, n);
}

} // namespace virda_detail
