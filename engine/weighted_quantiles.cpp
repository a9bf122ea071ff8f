#include "engine/weighted_quantiles.h"

#include "engine/allocation_failures.h"
#include "engine/error.h"
#include "engine/record_reduction.h"
#include "engine/selection_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

namespace virda::engine {
namespace {

__extension__ typedef unsigned __int128 u128;

// Weights are totalled as fixed-point integers in units of 2^unit, where unit
// is the exponent of the last bit of the smallest positive weight over every
// rank: 32-bit digits held in 64-bit fields, least significant first, so
// that ranks' totals add field by field.
constexpr int digit_bits = 32;
constexpr std::uint64_t digit_mask = (std::uint64_t{1} << digit_bits) - 1;
// Offset making exponents (which reach below -1074) unsigned for the least
// and greatest fields of the reduction record.
constexpr std::int64_t exponent_offset = 4096;
constexpr int digit_width = 8;
constexpr int radix = 1 << digit_width;
constexpr int rounds = 64 / digit_width;

/// What a weight is: nothing (0), mantissa * 2^exponent (odd mantissa), or
/// not usable.
enum class weight_kind { zero, positive, negative, not_finite };

struct weight_parts {
    weight_kind kind = weight_kind::zero;
    std::uint64_t mantissa = 0;
    int exponent = 0;
};

template <typename W>
weight_parts parts_of(W w)
{
    weight_parts p;
    if constexpr (std::is_floating_point_v<W>) {
        const double x = static_cast<double>(w);
        if (!std::isfinite(x)) {
            p.kind = weight_kind::not_finite;
            return p;
        }
        if (x < 0) {
            p.kind = weight_kind::negative;
            return p;
        }
        if (x == 0) {
            return p;
        }
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        const auto field = static_cast<int>((bits >> 52) & 0x7ff);
        p.mantissa = bits & ((std::uint64_t{1} << 52) - 1);
        p.exponent = -1074;
        if (field != 0) {
            p.mantissa |= std::uint64_t{1} << 52;
            p.exponent = field - 1075;
        }
    } else {
        if constexpr (std::is_signed_v<W>) {
            if (w < 0) {
                p.kind = weight_kind::negative;
                return p;
            }
        }
        if (w == 0) {
            return p;
        }
        p.mantissa = static_cast<std::uint64_t>(w);
    }
    const int zeros = __builtin_ctzll(p.mantissa);
    p.mantissa >>= zeros;
    p.exponent += zeros;
    p.kind = weight_kind::positive;
    return p;
}

/// The bits of an odd mantissa.
int bit_length(std::uint64_t m)
{
    return 64 - __builtin_clzll(m);
}

/// A non-negative integer of 32-bit limbs, least significant first: what
/// the cumulative weights are compared in.
struct big {
    std::vector<std::uint32_t> limbs;

    void trim()
    {
        while (!limbs.empty() && limbs.back() == 0) {
            limbs.pop_back();
        }
    }
    /// Appends the limbs of what is left of a carry, then trims.
    void end_with(u128 carry)
    {
        while (carry != 0) {
            limbs.push_back(static_cast<std::uint32_t>(carry & digit_mask));
            carry >>= digit_bits;
        }
        trim();
    }
    /// A total of `count` digits of one bucket (each digit any uint64).
    static big of_digits(const std::int64_t* digits, int count)
    {
        big b;
        u128 carry = 0;
        for (int k = 0; k < count; ++k) {
            carry += static_cast<std::uint64_t>(digits[k]);
            b.limbs.push_back(static_cast<std::uint32_t>(carry & digit_mask));
            carry >>= digit_bits;
        }
        b.end_with(carry);
        return b;
    }
    big shifted(int s) const
    {
        big b;
        if (limbs.empty()) {
            return b;
        }
        const int whole = s / digit_bits;
        const int part = s % digit_bits;
        b.limbs.assign(static_cast<std::size_t>(whole), 0);
        std::uint64_t carry = 0;
        for (const std::uint32_t l : limbs) {
            const std::uint64_t v = (static_cast<std::uint64_t>(l) << part) | carry;
            b.limbs.push_back(static_cast<std::uint32_t>(v & digit_mask));
            carry = v >> digit_bits;
        }
        b.limbs.push_back(static_cast<std::uint32_t>(carry));
        b.trim();
        return b;
    }
    big times(std::uint64_t m) const
    {
        big b;
        u128 carry = 0;
        for (const std::uint32_t l : limbs) {
            carry += static_cast<u128>(l) * m;
            b.limbs.push_back(static_cast<std::uint32_t>(carry & digit_mask));
            carry >>= digit_bits;
        }
        b.end_with(carry);
        return b;
    }
    void add(const big& o)
    {
        limbs.resize(std::max(limbs.size(), o.limbs.size()) + 1, 0);
        std::uint64_t carry = 0;
        for (std::size_t k = 0; k < limbs.size(); ++k) {
            carry += static_cast<std::uint64_t>(limbs[k]) + (k < o.limbs.size() ? o.limbs[k] : 0);
            limbs[k] = static_cast<std::uint32_t>(carry & digit_mask);
            carry >>= digit_bits;
        }
        trim();
    }
    /// this -= o, for o <= this.
    void subtract(const big& o)
    {
        std::int64_t borrow = 0;
        for (std::size_t k = 0; k < limbs.size(); ++k) {
            std::int64_t v = static_cast<std::int64_t>(limbs[k]) - (k < o.limbs.size() ? o.limbs[k] : 0) - borrow;
            borrow = v < 0 ? 1 : 0;
            v += borrow << digit_bits;
            limbs[k] = static_cast<std::uint32_t>(v);
        }
        trim();
    }
    bool at_least(const big& o) const
    {
        if (limbs.size() != o.limbs.size()) {
            return limbs.size() > o.limbs.size();
        }
        for (std::size_t k = limbs.size(); k-- > 0;) {
            if (limbs[k] != o.limbs[k]) {
                return limbs[k] > o.limbs[k];
            }
        }
        return true;
    }
    bool zero() const { return limbs.empty(); }
};

/// A probability as mantissa * 2^-shift (exactly).
struct probability {
    std::uint64_t mantissa = 0;
    int shift = 0;
};

probability probability_of(double q)
{
    probability p;
    if (q == 0) {
        return p;
    }
    int e = 0;
    const double f = std::frexp(q, &e); // q = f 2^e, f in [0.5, 1)
    p.mantissa = static_cast<std::uint64_t>(std::ldexp(f, 53));
    p.shift = 53 - e;
    const int zeros = __builtin_ctzll(p.mantissa);
    p.mantissa >>= zeros;
    p.shift -= zeros;
    return p;
}

/// One quantile sought in a column: the key bits found so far, and what
/// its cumulative weight must still reach among the keys under them, in
/// units of 2^(unit - shift) of its probability.
struct target {
    probability q;
    std::uint64_t prefix = 0;
    big need;
};

struct column_search {
    std::vector<double> distinct; // the distinct probabilities, ascending
    std::vector<target> targets;  // one per distinct probability
    std::vector<std::uint64_t> prefixes;
    std::vector<int> which;
    std::size_t offset = 0;
    bool searching = false;
};

template <typename T>
T read(const unsigned char* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
bool is_nan(T v)
{
    if constexpr (std::is_floating_point_v<T>) {
        return v != v;
    } else {
        (void)v;
        return false;
    }
}

/// Calls f(values, weights) with column j of each block for every column.
template <typename Blocks, typename F>
void for_each_column(const Blocks& blocks, std::int64_t columns, F&& f)
{
    for (const auto& b : blocks) {
        for (std::int64_t j = 0; j < b.values.columns; ++j) {
            f(columns == 1 ? 0 : static_cast<std::size_t>(j), column_of(b.values, j), column_of(b.weights, j));
        }
    }
}

std::uint64_t fingerprint_of(const std::vector<double>& q)
{
    std::uint64_t h = q.size();
    for (const double x : q) {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        h = detail::mix(h, bits);
    }
    return h;
}

} // namespace

weighted_quantiles::weighted_quantiles(number_type type, number_type weight_type, std::int64_t columns)
    : type_(type), weight_type_(weight_type), columns_(columns)
{
    if (columns < 1) {
        throw error(error_code::invalid_argument, "weighted_quantiles: the number of columns must be at least 1");
    }
}

weighted_quantiles::~weighted_quantiles() = default;
weighted_quantiles::weighted_quantiles(weighted_quantiles&&) noexcept = default;
weighted_quantiles& weighted_quantiles::operator=(weighted_quantiles&&) noexcept = default;

void weighted_quantiles::add(const values_view& values, const values_view& weights)
{
    if (values.count != weights.count) {
        throw error(error_code::invalid_argument, "weighted_quantiles: values and weights of different counts");
    }
    add(table_view{values.data, values.type, values.count, 1, values.stride, values.stride},
        table_view{weights.data, weights.type, weights.count, 1, weights.stride, weights.stride});
}

void weighted_quantiles::add(const table_view& values, const table_view& weights)
{
    if (values.type != type_ || weights.type != weight_type_) {
        throw error(error_code::invalid_argument, "weighted_quantiles: values or weights of another number type");
    }
    if (values.rows != weights.rows || values.columns != weights.columns) {
        throw error(error_code::invalid_argument, "weighted_quantiles: values and weights of different shapes");
    }
    if (columns_ != 1 && values.columns != columns_) {
        throw error(error_code::invalid_argument, "weighted_quantiles: a table of another number of columns");
    }
    if (values.rows > 0 && values.columns > 0) {
        blocks_.push_back({values, weights});
    }
}

std::vector<std::vector<weighted_quantile>> weighted_quantiles::select(const std::vector<double>& q, MPI_Comm comm,
                                                                       nan_policy policy) const
{
    for (const double p : q) {
        if (!(p >= 0.0 && p <= 1.0)) {
            throw error(error_code::invalid_argument, "Quantiles must be in the range [0, 1]");
        }
    }
    const auto k = static_cast<std::size_t>(columns_);

    // The first reduction, of the same size whatever the columns: the range
    // of the bits of the weights that count (those of values that are not
    // NaN), whether any weight is negative or not finite, and the agreement
    // on the call. The NaN values per column travel with the first round.
    std::vector<std::int64_t> nans(k, 0);
    std::uint64_t least = ~std::uint64_t{0};
    std::uint64_t greatest = 0;
    std::int64_t negative = 0;
    std::int64_t not_finite = 0;
    visit_number_type(type_, [&](auto* tp) {
        using T = std::remove_pointer_t<decltype(tp)>;
        visit_number_type(weight_type_, [&](auto* wp) {
            using W = std::remove_pointer_t<decltype(wp)>;
            for_each_column(blocks_, columns_, [&](std::size_t c, const values_view& v, const values_view& w) {
                const auto* pv = static_cast<const unsigned char*>(v.data);
                const auto* pw = static_cast<const unsigned char*>(w.data);
                for (std::int64_t i = 0; i < v.count; ++i, pv += v.stride, pw += w.stride) {
                    const weight_parts p = parts_of(read<W>(pw));
                    negative += p.kind == weight_kind::negative ? 1 : 0;
                    not_finite += p.kind == weight_kind::not_finite ? 1 : 0;
                    if (is_nan(read<T>(pv))) {
                        ++nans[c];
                    } else if (p.kind == weight_kind::positive) {
                        least = std::min<std::uint64_t>(least, p.exponent + exponent_offset);
                        greatest =
                            std::max<std::uint64_t>(greatest, p.exponent + bit_length(p.mantissa) + exponent_offset);
                    }
                }
            });
        });
    });
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    detail::reduction_record record;
    const auto agreement =
        record.reserve_agreement(false, rank,
                                 detail::mix(detail::mix(detail::mix(static_cast<std::uint64_t>(type_),
                                                                     static_cast<std::uint64_t>(weight_type_)),
                                                         static_cast<std::uint64_t>(columns_)),
                                             fingerprint_of(q)));
    const std::size_t at_sums = record.reserve_sums(2);
    const std::size_t at_least = record.reserve_least(1);
    const std::size_t at_greatest = record.reserve_greatest(1);
    record.sums()[at_sums] = negative;
    record.sums()[at_sums + 1] = not_finite;
    record.least()[at_least] = least;
    record.greatest()[at_greatest] = greatest;
    if (!record.allreduce(comm)) {
        throw error(error_code::mpi_failure, "weighted_quantiles: the reduction of the weights' range failed");
    }
    if (!record.same_calls(agreement)) {
        throw error(error_code::ranks_disagree,
                    "weighted_quantiles: the ranks asked for quantiles of different types, columns or probabilities");
    }
    if (record.sums()[at_sums] != 0) {
        throw error(error_code::invalid_argument, "Weights must be non-negative.");
    }
    if (record.sums()[at_sums + 1] != 0) {
        throw error(error_code::invalid_argument, "Weights must be finite.");
    }

    std::vector<std::vector<weighted_quantile>> out(k, std::vector<weighted_quantile>(q.size()));
    const std::uint64_t lo = record.least()[at_least];
    const std::uint64_t hi = record.greatest()[at_greatest];
    // With no weight anywhere, every column is a column of no weight; the
    // digits then only need to exist.
    const int unit = lo > hi ? 0 : static_cast<int>(static_cast<std::int64_t>(lo) - exponent_offset);
    // Room for every weight's bits above the unit, times up to 2^64 values,
    // and the three digits an addition touches.
    const int digits = lo > hi ? 3 : static_cast<int>((hi - lo + 64) / digit_bits) + 3;
    std::vector<column_search> search(k);
    std::size_t most = 0;
    for (column_search& s : search) {
        s.searching = true;
        s.distinct = q;
        std::sort(s.distinct.begin(), s.distinct.end());
        s.distinct.erase(std::unique(s.distinct.begin(), s.distinct.end()), s.distinct.end());
        for (const double p : s.distinct) {
            target t;
            t.q = probability_of(p);
            s.targets.push_back(t);
        }
        most += s.targets.size();
    }
    const auto slot = static_cast<std::size_t>(1 + digits); // a count, then the digits
    const std::size_t largest = most * radix * slot + k;    // and the NaN values per column

    // The rounds' counts, allocated once; every rank agrees that it could
    // before any rank counts.
    std::vector<std::int64_t> local;
    std::vector<std::int64_t> global;
    int failed = 0;
    try {
        detail::check_allocation();
        local.resize(largest);
        global.resize(largest);
    } catch (const std::bad_alloc&) {
        failed = 1;
    }
    {
        const int mine = failed != 0 ? rank : std::numeric_limits<int>::max();
        int lowest = 0;
        if (MPI_Allreduce(&mine, &lowest, 1, MPI_INT, MPI_MIN, comm) != MPI_SUCCESS) {
            throw error(error_code::mpi_failure, "weighted_quantiles: the agreement on memory failed");
        }
        if (lowest != std::numeric_limits<int>::max()) {
            throw error(error_code::out_of_memory,
                        "weighted_quantiles: rank " + std::to_string(lowest) + " could not allocate the counts",
                        lowest);
        }
    }
    for (int round = 0; round < rounds && most > 0; ++round) {
        const int consumed = round * digit_width;
        const int shift = 64 - consumed - digit_width;
        std::size_t offset = 0;
        for (column_search& s : search) {
            s.prefixes.clear();
            s.which.clear();
            if (!s.searching) {
                continue;
            }
            for (const target& t : s.targets) {
                s.prefixes.push_back(t.prefix);
            }
            std::sort(s.prefixes.begin(), s.prefixes.end());
            s.prefixes.erase(std::unique(s.prefixes.begin(), s.prefixes.end()), s.prefixes.end());
            for (const target& t : s.targets) {
                s.which.push_back(static_cast<int>(std::lower_bound(s.prefixes.begin(), s.prefixes.end(), t.prefix) -
                                                   s.prefixes.begin()));
            }
            s.offset = offset;
            offset += s.prefixes.size() * radix * slot;
        }
        const std::size_t counted = offset + (round == 0 ? k : 0);
        std::fill(local.begin(), local.begin() + static_cast<std::ptrdiff_t>(counted), 0);
        if (round == 0) {
            std::copy(nans.begin(), nans.end(), local.begin() + static_cast<std::ptrdiff_t>(offset));
        }
        std::uint64_t added = 0;
        const auto normalise = [&] {
            for (std::size_t b = 0; b < offset; b += slot) {
                std::uint64_t carry = 0;
                for (int d = 0; d < digits; ++d) {
                    auto& field = local[b + 1 + static_cast<std::size_t>(d)];
                    carry += static_cast<std::uint64_t>(field);
                    field = static_cast<std::int64_t>(d + 1 < digits ? carry & digit_mask : carry);
                    carry >>= digit_bits;
                }
            }
            added = 0;
        };
        visit_number_type(type_, [&](auto* tp) {
            using T = std::remove_pointer_t<decltype(tp)>;
            visit_number_type(weight_type_, [&](auto* wp) {
                using W = std::remove_pointer_t<decltype(wp)>;
                for_each_column(blocks_, columns_, [&](std::size_t c, const values_view& v, const values_view& w) {
                    column_search& s = search[c];
                    if (!s.searching) {
                        return;
                    }
                    const int u = unit;
                    std::int64_t* base = local.data() + s.offset;
                    const auto* pv = static_cast<const unsigned char*>(v.data);
                    const auto* pw = static_cast<const unsigned char*>(w.data);
                    for (std::int64_t i = 0; i < v.count; ++i, pv += v.stride, pw += w.stride) {
                        const T x = read<T>(pv);
                        if (is_nan(x)) {
                            continue;
                        }
                        const std::uint64_t key = virda_detail::order_key(x);
                        std::size_t region = 0;
                        if (round > 0) {
                            const std::uint64_t high = key >> (64 - consumed);
                            const auto at = std::lower_bound(s.prefixes.begin(), s.prefixes.end(), high);
                            if (at == s.prefixes.end() || *at != high) {
                                continue;
                            }
                            region = static_cast<std::size_t>(at - s.prefixes.begin());
                        }
                        const auto digit = static_cast<std::size_t>((key >> shift) & (radix - 1));
                        std::int64_t* bucket = base + (region * radix + digit) * slot;
                        ++bucket[0];
                        const weight_parts p = parts_of(read<W>(pw));
                        if (p.kind != weight_kind::positive) {
                            continue;
                        }
                        const int position = p.exponent - u;
                        const u128 placed = static_cast<u128>(p.mantissa) << (position % digit_bits);
                        std::int64_t* d = bucket + 1 + position / digit_bits;
                        d[0] += static_cast<std::int64_t>(static_cast<std::uint64_t>(placed) & digit_mask);
                        d[1] += static_cast<std::int64_t>(static_cast<std::uint64_t>(placed >> 32) & digit_mask);
                        d[2] += static_cast<std::int64_t>(static_cast<std::uint64_t>(placed >> 64));
                        if (++added == (std::uint64_t{1} << 30)) {
                            normalise();
                        }
                    }
                });
            });
        });
        normalise();
        if (MPI_Allreduce(local.data(), global.data(), static_cast<int>(counted), MPI_INT64_T, MPI_SUM, comm) !=
            MPI_SUCCESS) {
            throw error(error_code::mpi_failure, "weighted_quantiles: the reduction of a round's counts failed");
        }
        // Each target walks its region's buckets upwards to the first one
        // (holding values) whose weight reaches what the target still needs.
        for (column_search& s : search) {
            if (!s.searching) {
                continue;
            }
            const std::int64_t* counts_here = global.data() + s.offset;
            if (round == 0 && policy == nan_policy::propagate &&
                global[offset + static_cast<std::size_t>(&s - search.data())] > 0) {
                s.searching = false; // a NaN value: NaN
                continue;
            }
            if (round == 0) {
                std::int64_t held = 0;
                for (int d = 0; d < radix; ++d) {
                    held += counts_here[d * slot];
                }
                if (held == 0) {
                    s.searching = false; // no values: NaN
                    continue;
                }
                big total;
                for (int d = 0; d < radix; ++d) {
                    total.add(big::of_digits(counts_here + d * slot + 1, digits));
                }
                for (target& t : s.targets) {
                    // No weight in the column: every probability finds the
                    // smallest value, as probability 0 does.
                    t.need = total.times(t.q.mantissa);
                }
            }
            for (std::size_t i = 0; i < s.targets.size(); ++i) {
                target& t = s.targets[i];
                const std::int64_t* r =
                    counts_here + static_cast<std::size_t>(s.which.empty() ? 0 : s.which[i]) * radix * slot;
                int chosen = -1;
                int last_held = -1;
                for (int d = 0; d < radix; ++d) {
                    const std::int64_t* b = r + d * slot;
                    if (b[0] == 0) {
                        continue;
                    }
                    last_held = d;
                    const big weight = big::of_digits(b + 1, digits).shifted(t.q.shift);
                    if (weight.at_least(t.need)) {
                        chosen = d;
                        break;
                    }
                    t.need.subtract(weight);
                }
                if (chosen < 0) {
                    chosen = last_held; // cannot happen with exact totals; the last value held
                }
                t.prefix = (t.prefix << digit_width) | static_cast<std::uint64_t>(chosen);
            }
        }
    }

    const number_type_facts& f = facts_of(type_);
    for (std::size_t c = 0; c < k; ++c) {
        const column_search& s = search[c];
        if (!s.searching) {
            continue;
        }
        for (std::size_t i = 0; i < q.size(); ++i) {
            const auto at = static_cast<std::size_t>(std::lower_bound(s.distinct.begin(), s.distinct.end(), q[i]) -
                                                     s.distinct.begin());
            const std::uint64_t key = s.targets[at].prefix;
            weighted_quantile& r = out[c][i];
            r.nan = false;
            r.value.type = type_;
            if (f.floating) {
                r.value.floating = virda_detail::double_of_order_key(key);
            } else if (f.is_signed) {
                r.value.signed_ = static_cast<std::int64_t>(key ^ (std::uint64_t{1} << 63));
            } else {
                r.value.unsigned_ = key;
            }
        }
    }
    return out;
}

std::vector<std::vector<double>> weighted_quantiles::quantiles(const std::vector<double>& q, MPI_Comm comm,
                                                               nan_policy policy) const
{
    const std::vector<std::vector<weighted_quantile>> found = select(q, comm, policy);
    std::vector<std::vector<double>> out;
    for (const auto& column : found) {
        out.emplace_back();
        for (const weighted_quantile& r : column) {
            out.back().push_back(r.nan ? std::numeric_limits<double>::quiet_NaN() : r.value.as_double());
        }
    }
    return out;
}

} // namespace virda::engine
