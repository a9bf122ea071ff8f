#ifndef VIRDA_ENGINE_LINE_KERNELS_H
#define VIRDA_ENGINE_LINE_KERNELS_H

// The loop of the line pass (equal_width_line.h) that finds the bins of
// contiguous doubles along one equal-width axis, compiled once per
// instruction set (line_kernels_isa.cpp) and called through the table of the
// path in use (framework/simd/isa.h). Bins are integers found by the same
// exact operations in every lane, so every path gives the same bins. Not
// installed.

#include "framework/simd/isa.h"

#include <cstddef>
#include <cstdint>

namespace virda_detail {

struct line_kernel_table {
    /// out[i] = the bin of v[i] among `bins` equal-width bins with edges
    /// e[0..bins] (first = e[0], last = e[bins], norm = bins / (last -
    /// first)), or -1 outside the edges and for NaN; bins < 2^31.
    void (*locate)(const double* e, std::int64_t bins, double first, double last, double norm, const double* v,
                   std::size_t n, std::int32_t* out);
};

VIRDA_DECLARE_PATH_TABLES(line_kernel_table, line_table)

/// The table of the path in use.
const line_kernel_table& line_kernels();

} // namespace virda_detail

#endif
