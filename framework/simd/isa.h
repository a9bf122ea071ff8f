#ifndef VIRDA_FRAMEWORK_SIMD_ISA_H
#define VIRDA_FRAMEWORK_SIMD_ISA_H

// Which instruction set the hot loops run on. The library is built for the
// x86-64 baseline; its hot loops are compiled once more for each wider path
// of VIRDA_ISA_PATHS (AVX2 with FMA, AVX-512), and one path is chosen once,
// at the first use, from the processor's features. Every path computes
// bitwise the same results (IEEE operations in the same order per element, no
// contraction of a product and a sum into one rounding; a kernel may run a
// plain addition as x * 1 + y on the fused unit, which rounds the same), so
// the choice changes only the speed.
//
// The environment variable VIRDA_ISA (a path's name), read once, caps the
// choice: a path the processor lacks falls back to the best one it has below
// it. A value that names no path, or a path this processor cannot run, is
// reported once per job on standard error, with the path that runs instead.

#include "framework/simd/isa_paths.h" // generated: VIRDA_ISA_PATHS(X)

#include <cstddef>
#include <initializer_list>
#include <string>

namespace virda_detail {

#define VIRDA_ISA_ENUMERATOR(path) path,
enum class isa { VIRDA_ISA_PATHS(VIRDA_ISA_ENUMERATOR) };
#undef VIRDA_ISA_ENUMERATOR

#define VIRDA_ISA_LIST_ITEM(path) isa::path,
/// Every path, lowest first.
inline constexpr isa all_isa_paths[] = {VIRDA_ISA_PATHS(VIRDA_ISA_LIST_ITEM)};
#undef VIRDA_ISA_LIST_ITEM
inline constexpr std::size_t isa_count = sizeof all_isa_paths / sizeof all_isa_paths[0];

/// The path in use.
isa active_isa();

/// Whether this processor (and its operating system) can run the path.
bool isa_supported(isa path);

/// What a VIRDA_ISA value (nullptr when unset) chooses on a processor that
/// runs the paths `supported` accepts, and the line to report for it (empty
/// when there is nothing to say). The choice at load is this with the
/// processor's own isa_supported; tests pass other processors.
struct isa_choice {
    isa path;
    std::string report;
};
isa_choice choose_isa(const char* value, bool (*supported)(isa));

/// For tests: switches every dispatched loop to `path`, or to the best
/// supported path below it, and returns the path taken. Not thread-safe;
/// call it between operations, on every rank alike.
isa force_isa(isa path);

/// The path's name, as VIRDA_ISA takes it.
const char* isa_name(isa path);

/// Of the per-path objects of one kind (a kernel source's tables, one per
/// compiled copy, lowest path first), the one of the path in use.
template <typename T>
const T& for_active_isa(std::initializer_list<const T*> per_path)
{
    return *per_path.begin()[static_cast<std::size_t>(active_isa())];
}

} // namespace virda_detail

/// Declares, inside namespace virda_detail, the table `name` of type
/// `table_type` that each compiled copy of a kernel source defines in the
/// namespace of its path.
#define VIRDA_DECLARE_PATH_TABLES(table_type, name) VIRDA_ISA_PATHS_WITH(VIRDA_DECLARE_PATH_TABLE, table_type, name)
/// The table `name` (of type `table_type`, declared with
/// VIRDA_DECLARE_PATH_TABLES) of the path in use; inside namespace
/// virda_detail.
#define VIRDA_ACTIVE_PATH_TABLE(table_type, name) \
    for_active_isa<table_type>({VIRDA_ISA_PATHS_WITH(VIRDA_PATH_TABLE_ADDRESS, table_type, name)})
/// \cond internal
#define VIRDA_DECLARE_PATH_TABLE(path, table_type, name) \
    namespace path {                                     \
    extern const table_type name;                        \
    }
#define VIRDA_PATH_TABLE_ADDRESS(path, table_type, name) &path::name,
/// \endcond

#endif
