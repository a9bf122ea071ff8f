#include "engine/histogram_dd.h"

#include "engine/allocation_failures.h"
#include "engine/bin_totals.h"
#include "engine/binning_support.h"
#include "engine/equal_width_line.h"
#include "engine/line_kernels.h"
#include "engine/error.h"
#include "engine/record_reduction.h"
#include "engine/run_pieces.h"
#include "engine/wide_weight_totals.h"
#include "engine/zeroed_pages.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include <unistd.h>

namespace virda_detail {

const line_kernel_table& line_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(line_kernel_table, line_table);
}

} // namespace virda_detail

namespace virda::engine {
namespace {

using namespace wide_weights;
using detail::zeroed_doubles;
__extension__ typedef unsigned __int128 u128;

// Points located and counted at a time.
constexpr std::size_t chunk = 4096;

// Weighted histograms of at most this many bins total each bin's weights in
// an exact total of exact_record_fields int64 (under 3 MiB here) in one pass
// over the weights; more bins, in fixed point of the width the weights'
// agreed range needs, after a first pass that finds that range.
constexpr std::int64_t totals_bins = 4096;

// Exponents of weights' bits are offset by this in the agreement, so that
// the least is found by a maximum of its negation.
constexpr std::int64_t no_exponent = std::int64_t{1} << 40;

/// Calls body(bin, weight) for each point of this chunk of weights whose
/// bin located[i] is one (not no_bin), in order, with the weight of its
/// own type.
template <typename Body>
void for_each_located(const values_view& weights, const std::int64_t* located, Body body)
{
    visit_number_type(weights.type, [&](auto* t) {
        using W = std::remove_pointer_t<decltype(t)>;
        std::size_t at = 0;
        detail::for_each_piece<W>(weights, [&](const W* p, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i, ++at) {
                if (located[at] >= 0) {
                    body(static_cast<std::size_t>(located[at]), p[i]);
                }
            }
        });
    });
}

// Histograms of at least spread_bins bins are counted spread_points points
// at a time, grouped first into 2^spread_bits blocks of neighbouring bins
// (for 4096 x 4096 bins, blocks of 512 KiB of counts).
constexpr std::int64_t spread_bins = std::int64_t{1} << 22;
constexpr std::size_t spread_points = std::size_t{1} << 20;
constexpr int spread_bits = 8;

// Points counted as doubles in all at most this many: whole numbers up to
// 2^53 are exact in a double, and so are their sums.
constexpr std::uint64_t double_count_limit = std::uint64_t{1} << 53;

// The agreement's fields, all reduced by MPI_MAX.
enum field : int {
    bad_input,      // rank + 1 of a rank whose arguments did not fit
    short_memory,   // rank + 1 of a rank that could not allocate
    print_hi,       // the bins' and weights' fingerprint, high and low halves,
    print_lo,       //   and their negations (equal maxima: the same everywhere)
    minus_print_hi,
    minus_print_lo,
    minus_unit,     // -(least exponent of a weight's lowest bit) + offset
    top,            // greatest exponent above a weight's highest bit + offset
    most_points,    // most points on one rank
    specials,       // whether some weight is not finite
    fields
};

} // namespace

namespace detail {

void equal_width_line::bins_of(const double* v, std::size_t n, std::int32_t* bins) const
{
    virda_detail::line_kernels().locate(e_, n_, first_, last_, norm_, v, n, bins);
}

} // namespace detail

histogram_dd_result histogram_dd(const std::vector<bin_axis>& axes, const std::vector<values_view>& coordinates,
                                 const values_view* weights, MPI_Comm comm, bin_count_form form)
{
    int rank = 0;
    int size = 1;
    MPI_Comm_rank(comm, &rank);
    MPI_Comm_size(comm, &size);
    std::int64_t agreement[fields] = {};
    std::string complaint;
    std::int64_t bins = 0;
    const std::int64_t points = coordinates.empty() ? 0 : coordinates[0].count;
    std::int64_t least = no_exponent;
    std::int64_t greatest = -no_exponent;
    bool special = false;

    // This rank's arguments, and the weights' range (one pass over them).
    try {
        bins = bin_number_count(axes, bin_numbering::within_edges);
        if (coordinates.size() != axes.size()) {
            throw error(error_code::invalid_argument, "histogram_dd: " + std::to_string(coordinates.size()) +
                                                          " coordinate runs for " + std::to_string(axes.size()) +
                                                          " axes");
        }
        for (const values_view& c : coordinates) {
            if (c.count != points) {
                throw error(error_code::invalid_argument, "histogram_dd: the coordinate runs differ in length");
            }
        }
        if (weights != nullptr && weights->count != points) {
            throw error(error_code::invalid_argument, "histogram_dd: " + std::to_string(weights->count) +
                                                          " weights for " + std::to_string(points) + " points");
        }
        if (weights != nullptr && bins > totals_bins) {
            visit_number_type(weights->type, [&](auto* t) {
                using W = std::remove_pointer_t<decltype(t)>;
                detail::for_each_piece<W>(*weights, [&](const W* p, std::size_t n) {
                    for (std::size_t i = 0; i < n; ++i) {
                        if constexpr (std::is_same_v<W, double>) {
                            // A normal double straight from its fields: its lowest
                            // set bit at field - 1075 + the mantissa's trailing
                            // zeros, its top at field - 1022.
                            const std::uint64_t bits = detail::bits_of(p[i]);
                            const auto field = static_cast<std::int64_t>((bits >> 52) & 0x7ff);
                            if (field != 0 && field != 0x7ff) {
                                const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) |
                                                        (std::uint64_t{1} << 52);
                                least = std::min<std::int64_t>(least, field - 1075 + __builtin_ctzll(m));
                                greatest = std::max<std::int64_t>(greatest, field - 1022);
                                continue;
                            }
                        }
                        const weight_parts w = parts_of(p[i]);
                        special = special || w.special != 0;
                        if (w.mantissa != 0) {
                            least = std::min<std::int64_t>(least, w.exponent);
                            greatest = std::max<std::int64_t>(greatest, w.exponent + bit_length(w.mantissa));
                        }
                    }
                });
            });
        }
    } catch (const error& e) {
        agreement[bad_input] = rank + 1;
        complaint = e.what();
    }

    // The counts, allocated before the agreement so that a rank short of
    // memory stops every rank there.
    histogram_dd_result r;
    if (agreement[bad_input] == 0) {
        try {
            detail::check_allocation();
            // The counts, the totals (at least one word) and the rounded
            // totals, held beside a copy for the caller: refused beyond the
            // machine's memory, where the allocation would succeed and the
            // process be killed when it is first written.
            const double per_bin = (weights != nullptr ? 32.0 : 0.0) + (form == bin_count_form::none ? 0.0 : 16.0);
            const double pages = static_cast<double>(sysconf(_SC_PHYS_PAGES));
            const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
            if (pages > 0 && page > 0 && static_cast<double>(bins) * per_bin > pages * page) {
                throw std::bad_alloc();
            }
            if (form == bin_count_form::int64) {
                r.counts.assign(static_cast<std::size_t>(bins), 0);
            } else if (form == bin_count_form::float64) {
                r.double_counts = zeroed_doubles(static_cast<std::size_t>(bins));
                if (!r.double_counts) {
                    throw std::bad_alloc();
                }
            }
        } catch (const std::bad_alloc&) {
            agreement[short_memory] = rank + 1;
        }
    }
    std::uint64_t print = detail::mix(static_cast<std::uint64_t>(weights != nullptr), axes.size());
    print = detail::mix(print, static_cast<std::uint64_t>(form));
    for (const bin_axis& a : axes) {
        for (double e : a.edges()) {
            print = detail::mix(print, detail::bits_of(e));
        }
        print = detail::mix(print, static_cast<std::uint64_t>(a.is_equal_width()));
    }
    agreement[print_hi] = static_cast<std::int64_t>(print >> 32);
    agreement[print_lo] = static_cast<std::int64_t>(print & 0xffffffffu);
    agreement[minus_print_hi] = -agreement[print_hi];
    agreement[minus_print_lo] = -agreement[print_lo];
    agreement[minus_unit] = -least;
    agreement[top] = greatest;
    agreement[most_points] = points;
    agreement[specials] = special;
    if (MPI_Allreduce(MPI_IN_PLACE, agreement, fields, MPI_INT64_T, MPI_MAX, comm) != MPI_SUCCESS) {
        throw error(error_code::mpi_failure, "histogram_dd: the agreement over the communicator failed");
    }
    if (agreement[bad_input] != 0) {
        const int failing = static_cast<int>(agreement[bad_input] - 1);
        throw error(error_code::invalid_argument,
                    failing == rank ? complaint
                                    : "histogram_dd: rank " + std::to_string(failing) + " was given bad arguments",
                    failing);
    }
    if (agreement[short_memory] != 0) {
        const int failing = static_cast<int>(agreement[short_memory] - 1);
        throw error(error_code::out_of_memory,
                    "histogram_dd: rank " + std::to_string(failing) + " could not allocate its bins", failing);
    }
    if (agreement[print_hi] != -agreement[minus_print_hi] || agreement[print_lo] != -agreement[minus_print_lo]) {
        throw error(error_code::ranks_disagree, "histogram_dd: the ranks were given different bins, weights or count forms");
    }

    // The totals' width: the widest weight times the most points any total
    // can hold, and a sign bit.
    const bool weighted = weights != nullptr;
    const bool any_bits = -agreement[minus_unit] != no_exponent;
    const int unit = any_bits ? static_cast<int>(-agreement[minus_unit]) : 0;
    const std::int64_t span = any_bits ? agreement[top] - unit : 0;
    const int words = static_cast<int>(
        (span + bit_length(static_cast<std::uint64_t>(agreement[most_points]) * static_cast<std::uint64_t>(size)) +
         1 + 63) /
        64);
    const bool by_totals = weighted && bins <= totals_bins; // the same on every rank: the bins agree
    // One equal-width axis over contiguous doubles, without weights: located
    // and counted in one loop. A choice of this rank's alone, as it changes
    // no result.
    // (An equal-width axis has a finite bins / (last - first) to estimate
    // from: bin_axis searches the edges of narrower ones.)
    // Weights go along that loop when they are exact totals' doubles read
    // in place (contiguous float64).
    const auto contiguous_doubles = [](const values_view& v) {
        return v.type == number_type::float64 && v.stride == static_cast<std::int64_t>(sizeof(double)) &&
               reinterpret_cast<std::uintptr_t>(v.data) % alignof(double) == 0;
    };
    const bool line = (!weighted || (by_totals && contiguous_doubles(*weights))) && axes.size() == 1 &&
                      axes[0].is_equal_width() && axes[0].bins() < (std::int64_t{1} << 31) &&
                      contiguous_doubles(coordinates[0]);
    const bool specials_anywhere = agreement[specials] != 0;
    // Counts asked for as doubles are counted in them unless the points
    // could reach 2^53 (most_points is below 2^62, size below 2^31).
    const bool count_doubles =
        form == bin_count_form::float64 &&
        static_cast<u128>(agreement[most_points]) * static_cast<u128>(size) < double_count_limit;

    // Many bins counted without weights: counted block by block (below).
    const bool spread = !weighted && !line && bins >= spread_bins && points > 0 &&
                        (count_doubles || !r.counts.empty());

    // Everything else this call holds, allocated before a second agreement.
    std::vector<std::uint64_t> totals;
    std::vector<std::uint8_t> flags;
    std::unique_ptr<detail::bin_totals> exact;
    std::vector<std::int64_t> record;
    std::vector<std::int64_t> located;
    std::vector<std::int64_t> grouped; // located bins grouped by block (spread counting)
    bool failed = false;
    try {
        detail::check_allocation();
        located.resize(spread ? spread_points : chunk);
        if (spread) {
            grouped.resize(spread_points);
        }
        if (form == bin_count_form::float64 && !count_doubles) {
            r.counts.assign(static_cast<std::size_t>(bins), 0);
        }
        if (by_totals) {
            exact = std::make_unique<detail::bin_totals>(static_cast<std::size_t>(bins));
            record.resize(static_cast<std::size_t>(bins) * detail::exact_record_fields);
            r.weight_totals.resize(static_cast<std::size_t>(bins));
        } else if (weighted) {
            totals.assign(static_cast<std::size_t>(bins) * static_cast<std::size_t>(words), 0);
            r.weight_totals.resize(static_cast<std::size_t>(bins));
            if (specials_anywhere) {
                flags.assign(static_cast<std::size_t>(bins), 0);
            }
        }
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    detail::agree(comm, failed, print, "histogram_dd");

    if (line && points > 0 && weighted) {
        // Located a block at a time, each block's weights added, and counted.
        const detail::equal_width_line axis(axes[0].edges().data(), axes[0].bins());
        const auto* v = static_cast<const double*>(coordinates[0].data);
        const auto* w = static_cast<const double*>(weights->data);
        const auto n = static_cast<std::size_t>(points);
        std::int32_t in[detail::line_block];
        for (std::size_t start = 0; start < n; start += detail::line_block) {
            const std::size_t m = std::min(n - start, detail::line_block);
            axis.bins_of(v + start, m, in);
            for (std::size_t i = 0; i < m; ++i) {
                if (in[i] >= 0) {
                    exact->add(static_cast<std::size_t>(in[i]), w[start + i]);
                }
            }
            if (count_doubles) {
                for (std::size_t i = 0; i < m; ++i) {
                    if (in[i] >= 0) {
                        r.double_counts[static_cast<std::size_t>(in[i])] += 1.0;
                    }
                }
            } else if (!r.counts.empty()) {
                for (std::size_t i = 0; i < m; ++i) {
                    if (in[i] >= 0) {
                        ++r.counts[static_cast<std::size_t>(in[i])];
                    }
                }
            }
        }
    } else if (line && points > 0) {
        const detail::equal_width_line axis(axes[0].edges().data(), axes[0].bins());
        const auto* v = static_cast<const double*>(coordinates[0].data);
        const auto n = static_cast<std::size_t>(points);
        if (count_doubles) {
            axis.count(v, n, r.double_counts.get());
        } else if (!r.counts.empty()) {
            axis.count(v, n, r.counts.data());
        }
    }

    // Counts of many bins without weights: the bins of spread_points points
    // at a time grouped by the block of bins they fall in (a counting sort
    // on the high bits of their numbers), then counted block by block, so
    // that the increments land in cache, not all over the counts.
    std::vector<values_view> part(coordinates);
    if (spread) {
        const int shift = std::max(0, bit_length(static_cast<std::uint64_t>(bins - 1)) - spread_bits);
        std::int64_t starts[(1 << spread_bits) + 1];
        for (std::int64_t start = 0; start < points; start += static_cast<std::int64_t>(spread_points)) {
            const std::int64_t m = std::min<std::int64_t>(static_cast<std::int64_t>(spread_points), points - start);
            for (std::int64_t sub = 0; sub < m; sub += static_cast<std::int64_t>(chunk)) {
                for (std::size_t d = 0; d < part.size(); ++d) {
                    part[d].data = static_cast<const char*>(coordinates[d].data) + (start + sub) * coordinates[d].stride;
                    part[d].count = std::min<std::int64_t>(static_cast<std::int64_t>(chunk), m - sub);
                }
                locate_bins(axes, part, bin_numbering::within_edges, located.data() + sub);
            }
            std::fill(std::begin(starts), std::end(starts), 0);
            for (std::int64_t i = 0; i < m; ++i) {
                const std::int64_t b = located[static_cast<std::size_t>(i)];
                if (b >= 0) {
                    ++starts[(b >> shift) + 1];
                }
            }
            for (int k = 0; k < (1 << spread_bits); ++k) {
                starts[k + 1] += starts[k];
            }
            const std::int64_t kept = starts[1 << spread_bits];
            for (std::int64_t i = 0; i < m; ++i) {
                const std::int64_t b = located[static_cast<std::size_t>(i)];
                if (b >= 0) {
                    grouped[static_cast<std::size_t>(starts[b >> shift]++)] = b;
                }
            }
            if (count_doubles) {
                double* c = r.double_counts.get();
                for (std::int64_t i = 0; i < kept; ++i) {
                    c[grouped[static_cast<std::size_t>(i)]] += 1.0;
                }
            } else {
                for (std::int64_t i = 0; i < kept; ++i) {
                    ++r.counts[static_cast<std::size_t>(grouped[static_cast<std::size_t>(i)])];
                }
            }
        }
    }

    // Locate and count a chunk of points at a time.
    for (std::int64_t start = line || spread ? points : 0; start < points; start += static_cast<std::int64_t>(chunk)) {
        const std::int64_t m = std::min<std::int64_t>(static_cast<std::int64_t>(chunk), points - start);
        for (std::size_t d = 0; d < part.size(); ++d) {
            part[d].data = static_cast<const char*>(coordinates[d].data) + start * coordinates[d].stride;
            part[d].count = m;
        }
        locate_bins(axes, part, bin_numbering::within_edges, located.data());
        if (count_doubles) {
            double* c = r.double_counts.get();
            for (std::int64_t i = 0; i < m; ++i) {
                const std::int64_t b = located[static_cast<std::size_t>(i)];
                if (b >= 0) {
                    c[b] += 1.0;
                }
            }
        } else if (!r.counts.empty()) {
            for (std::int64_t i = 0; i < m; ++i) {
                const std::int64_t b = located[static_cast<std::size_t>(i)];
                if (b >= 0) {
                    ++r.counts[static_cast<std::size_t>(b)];
                }
            }
        }
        if (!weighted) {
            continue;
        }
        values_view w = *weights;
        w.data = static_cast<const char*>(weights->data) + start * weights->stride;
        w.count = m;
        if (by_totals) {
            for_each_located(w, located.data(), [&](std::size_t b, auto v) { exact->add_value(b, v); });
            continue;
        }
        for_each_located(w, located.data(), [&](std::size_t b, auto v) {
            const weight_parts wp = parts_of(v);
            if (wp.special != 0) {
                flags[b] |= wp.special;
            } else if (wp.mantissa != 0) {
                std::uint64_t* total = totals.data() + b * static_cast<std::size_t>(words);
                const int shift = wp.exponent - unit;
                if (words == 1) {
                    const std::uint64_t u = wp.mantissa << shift;
                    *total = wp.negative ? *total - u : *total + u;
                } else {
                    add_shifted(total, words, wp.mantissa, shift, wp.negative);
                }
            }
        });
    }

    // The same reductions on every rank: the form and the points agree.
    const bool counted = count_doubles ? detail::allreduce_in_pieces(r.double_counts.get(), static_cast<std::size_t>(bins),
                                                                    MPI_DOUBLE, comm)
                                       : detail::allreduce_in_pieces(r.counts.data(), r.counts.size(), MPI_INT64_T, comm);
    if (!counted) {
        throw error(error_code::mpi_failure, "histogram_dd: the reduction of the counts failed");
    }
    if (form == bin_count_form::float64 && !count_doubles) {
        for (std::size_t b = 0; b < r.counts.size(); ++b) {
            r.double_counts[b] = static_cast<double>(r.counts[b]);
        }
        std::vector<std::int64_t>().swap(r.counts);
    }
    if (by_totals) {
        constexpr std::size_t fields = detail::exact_record_fields;
        exact->write_records(record.data());
        if (!detail::allreduce_in_pieces(record.data(), record.size(), MPI_INT64_T, comm)) {
            throw error(error_code::mpi_failure, "histogram_dd: the reduction of the weights failed");
        }
        for (std::size_t b = 0; b < exact->size(); ++b) {
            const double t = detail::round_to_double(detail::read_record(record.data() + b * fields));
            // A total of zero is +0.0, as the fixed-point totals give it.
            r.weight_totals[b] = t == 0 ? 0.0 : t;
        }
    } else if (weighted) {
        bool ok = allreduce_wide(totals.data(), static_cast<std::size_t>(bins), words, comm);
        if (ok && specials_anywhere) {
            constexpr std::size_t piece = std::size_t{1} << 30;
            for (std::size_t done = 0; done < flags.size() && ok; done += piece) {
                ok = MPI_Allreduce(MPI_IN_PLACE, flags.data() + done,
                                   static_cast<int>(std::min(piece, flags.size() - done)), MPI_UINT8_T, MPI_BOR,
                                   comm) == MPI_SUCCESS;
            }
        }
        if (!ok) {
            throw error(error_code::mpi_failure, "histogram_dd: the reduction of the weights failed");
        }
        for (std::size_t b = 0; b < r.weight_totals.size(); ++b) {
            const std::uint8_t f = flags.empty() ? 0 : flags[b];
            if ((f & not_a_number) != 0 || (f & (plus_infinity | minus_infinity)) == (plus_infinity | minus_infinity)) {
                r.weight_totals[b] = std::numeric_limits<double>::quiet_NaN();
            } else if (f != 0) {
                r.weight_totals[b] = f == plus_infinity ? std::numeric_limits<double>::infinity()
                                                        : -std::numeric_limits<double>::infinity();
            } else {
                const std::uint64_t* t = totals.data() + b * static_cast<std::size_t>(words);
                bool zero = true;
                for (int i = 0; i < words && zero; ++i) {
                    zero = t[i] == 0;
                }
                r.weight_totals[b] = zero ? 0.0 : round_total(t, words, unit);
            }
        }
    }
    return r;
}

histogram_dd_result histogram_dd(const std::vector<bin_axis>& axes, const table_view& points,
                                 const values_view* weights, MPI_Comm comm, bin_count_form form)
{
    std::vector<values_view> columns;
    for (std::int64_t j = 0; j < points.columns; ++j) {
        columns.push_back(column_of(points, j));
    }
    return histogram_dd(axes, columns, weights, comm, form);
}

} // namespace virda::engine
