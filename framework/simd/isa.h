#ifndef VIRDA_FRAMEWORK_SIMD_ISA_H
#define VIRDA_FRAMEWORK_SIMD_ISA_H

// Which instruction set the hot loops run on. The library is built for the
// x86-64 baseline; its hot loops are compiled a second and third time for
// AVX2 (with FMA) and AVX-512, and one of the three is chosen once, at the
// first use, from the processor's features. Every path computes bitwise the
// same results (IEEE operations in the same order per element, no
// contraction of a product and a sum into one rounding; a kernel may run a
// plain addition as x * 1 + y on the fused unit, which rounds the same), so
// the choice changes only the speed.
//
// The environment variable VIRDA_ISA (baseline, avx2 or avx512), read once,
// caps the choice: a path the processor lacks falls back to the best one it
// has below it.

/// Declares, inside namespace virda_detail, the table `name` of type
/// `table_type` that each compiled copy of a kernel source defines in the
/// namespace of its path.
#define VIRDA_DECLARE_PATH_TABLES(table_type, name)     \
    namespace baseline {                                \
    extern const table_type name;                       \
    }                                                   \
    namespace avx2 {                                    \
    extern const table_type name;                       \
    }                                                   \
    namespace avx512 {                                  \
    extern const table_type name;                       \
    }

namespace virda_detail {

enum class isa { baseline = 0, avx2 = 1, avx512 = 2 };

/// The path in use.
isa active_isa();

/// Whether this processor (and its operating system) can run the path.
bool isa_supported(isa path);

/// For tests: switches every dispatched loop to `path`, or to the best
/// supported path below it, and returns the path taken. Not thread-safe;
/// call it between operations, on every rank alike.
isa force_isa(isa path);

const char* isa_name(isa path);

/// Of three per-path objects (a kernel source's tables, one per compiled
/// copy), the one of the path in use.
template <typename T>
const T& for_active_isa(const T& baseline, const T& avx2, const T& avx512)
{
    switch (active_isa()) {
    case isa::avx512:
        return avx512;
    case isa::avx2:
        return avx2;
    default:
        return baseline;
    }
}

} // namespace virda_detail

#endif
