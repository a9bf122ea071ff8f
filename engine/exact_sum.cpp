#include "engine/exact_sum.h"

#include "engine/exact_sum_kernels.h"
#include "engine/exact_total.h"
#include "framework/simd/isa.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace virda_detail {
namespace {
const exact_block_kernels& active_exact_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(exact_block_kernels, exact_kernels);
}
} // namespace
} // namespace virda_detail

namespace virda::engine::detail {

// Adds value * 2^position (in units of 2^-1074) to the digits.
// Needs |value| < 2^95 and 0 <= position <= 32 * (digit_count - 4).
void add_scaled(exact_total& t, i128 value, int position)
{
    const int k = position / digit_bits;
    // Shift as unsigned: a left shift of a negative value is undefined.
    i128 v = static_cast<i128>(static_cast<u128>(value) << (position % digit_bits));
    for (int j = 0; j < 3; ++j) {
        t.digits[k + j] += static_cast<std::int64_t>(v & digit_mask);
        v >>= digit_bits; // arithmetic: keeps the sign for the top digit
    }
    t.digits[k + 3] += static_cast<std::int64_t>(v);
}

// Brings digits 0 .. digit_count - 2 into [0, 2^32); the top digit keeps the
// sign. The value is unchanged.
void normalise(exact_total& t)
{
    // Only the digits from the lowest to the highest that are not zero, and
    // the carries out of them, change: a total of values of similar size
    // has a handful of such digits among its seventy.
    int k = 0;
    while (k + 1 < digit_count && t.digits[k] == 0) {
        ++k;
    }
    int top = digit_count - 1;
    while (top > k && t.digits[top] == 0) {
        --top;
    }
    for (; k + 1 < digit_count; ++k) {
        const std::int64_t carry = t.digits[k] >> digit_bits; // floor division
        t.digits[k] &= digit_mask;
        t.digits[k + 1] += carry;
        if (k >= top && carry == 0) {
            break; // every digit above is zero and takes no carry
        }
    }
}

namespace {

// Bits [position, position + width) of a non-negative normalised total,
// width <= 64.
std::uint64_t bits_at(const exact_total& t, int position, int width)
{
    const int k = position / digit_bits;
    u128 window = 0;
    for (int j = 2; j >= 0; --j) {
        window <<= digit_bits;
        if (k + j < digit_count) {
            window |= static_cast<std::uint64_t>(t.digits[k + j]);
        }
    }
    window >>= position % digit_bits;
    const u128 mask = (u128{1} << width) - 1;
    return static_cast<std::uint64_t>(window & mask);
}

// Whether any of bits [0, position) of a non-negative normalised total is set.
bool any_bit_below(const exact_total& t, int position)
{
    const int k = position / digit_bits;
    for (int j = 0; j < k; ++j) {
        if (t.digits[j] != 0) {
            return true;
        }
    }
    const std::int64_t partial = (std::int64_t{1} << (position % digit_bits)) - 1;
    return (t.digits[k] & partial) != 0;
}

} // namespace

// The double nearest to the total (ties to even), after the special values.
double round_to_double(exact_total t)
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (t.flags[flag_nan] != 0 || (t.flags[flag_pos_inf] != 0 && t.flags[flag_neg_inf] != 0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (t.flags[flag_pos_inf] != 0) {
        return inf;
    }
    if (t.flags[flag_neg_inf] != 0) {
        return -inf;
    }

    normalise(t);
    const bool negative = t.digits[digit_count - 1] < 0;
    if (negative) {
        for (auto& d : t.digits) {
            d = -d;
        }
        normalise(t);
    }
    int top = digit_count - 1;
    while (top >= 0 && t.digits[top] == 0) {
        --top;
    }
    if (top < 0) {
        const bool all_negzero = t.flags[flag_any] != 0 && t.flags[flag_not_negzero] == 0;
        return all_negzero ? -0.0 : 0.0;
    }

    // Highest set bit; the 53 bits from there down form the significand.
    int highest = top * digit_bits;
    for (auto d = static_cast<std::uint64_t>(t.digits[top]); d > 1; d >>= 1) {
        ++highest;
    }
    int shift = 0; // the significand's unit is 2^(shift - 1074)
    std::uint64_t significand;
    if (highest <= 52) {
        // Below 2^53 units the total is a double as it stands (subnormal or
        // the smallest binade of normals): no rounding.
        significand = bits_at(t, 0, 53);
    } else {
        shift = highest - 52;
        significand = bits_at(t, shift, 53);
        const bool half = bits_at(t, shift - 1, 1) != 0;
        if (half && ((significand & 1) != 0 || any_bit_below(t, shift - 1))) {
            ++significand;
            if (significand == (std::uint64_t{1} << 53)) {
                significand >>= 1;
                ++shift;
            }
        }
    }
    // The largest double is (2^53 - 1) * 2^971.
    if (shift - 1074 > 971) {
        return negative ? -inf : inf;
    }
    const double magnitude = std::ldexp(static_cast<double>(significand), shift - 1074);
    return negative ? -magnitude : magnitude;
}



void write_record(const exact_total& t, std::int64_t* fields)
{
    exact_total n = t;
    normalise(n);
    std::copy(n.digits.begin(), n.digits.end(), fields);
    std::copy(n.flags.begin(), n.flags.end(), fields + digit_count);
}

exact_total read_record(const std::int64_t* fields)
{
    exact_total t;
    std::copy(fields, fields + digit_count, t.digits.begin());
    std::copy(fields + digit_count, fields + exact_record_fields, t.flags.begin());
    return t;
}

} // namespace virda::engine::detail

namespace virda::engine {
namespace {

using namespace detail;
using virda_detail::exact_block;
using virda_detail::exact_levels;

struct bin {
    std::uint64_t lo;
    std::uint64_t hi;
};
constexpr int table_count = 4;
constexpr std::size_t table_padding = 20; // bins: 320 bytes
constexpr int count_shift = 96;
constexpr std::uint64_t count_unit_hi = std::uint64_t{1} << (count_shift - 64);

// Bins are folded into the fixed-point total after this many elements of one
// type, which keeps every bin count far below 2^32.
constexpr std::size_t fold_interval = std::size_t{1} << 24;

struct double_format {
    using value_type = double;
    using bits_type = std::uint64_t;
    static constexpr int frac_bits = 52;
    static constexpr int exp_bits = 11;
    // Position, in units of 2^-1074, of the unit of m in the bin of exponent
    // field e is max(e, 1) + unit_offset.
    static constexpr int unit_offset = -1;
};

template <typename Format>
constexpr std::size_t bins_per_table = std::size_t{1} << (Format::exp_bits + 1);

template <typename Format>
constexpr std::size_t table_stride = bins_per_table<Format> + table_padding;

template <typename Format>
typename Format::bits_type bits_of(const typename Format::value_type* p)
{
    typename Format::bits_type b;
    std::memcpy(&b, p, sizeof b);
    return b;
}

// lo + 2^64 hi += pattern + 2^96. Written so that the compiler emits one add
// and one add-with-carry into memory.
inline void add_to_bin(bin& b, std::uint64_t pattern)
{
    const std::uint64_t lo = b.lo + pattern;
    b.hi += count_unit_hi + (lo < pattern ? 1 : 0);
    b.lo = lo;
}

// The hot loop: element i (values[i * step]) goes to table i % table_count.
// Contiguous input has a copy of its own, so that its loads need no multiply.
template <typename Format, bool Contiguous>
void scatter(bin* __restrict bins, const typename Format::value_type* __restrict values,
             std::size_t count, std::size_t step)
{
    static_assert(table_count == 4, "the loop below is unrolled for four tables");
    constexpr std::size_t stride = table_stride<Format>;
    constexpr int shift = Format::frac_bits;
    const auto at = [values, step](std::size_t i) {
        return bits_of<Format>(values + (Contiguous ? i : i * step));
    };
    bin* const t0 = bins;
    bin* const t1 = bins + stride;
    bin* const t2 = bins + 2 * stride;
    bin* const t3 = bins + 3 * stride;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const std::uint64_t b0 = at(i);
        const std::uint64_t b1 = at(i + 1);
        const std::uint64_t b2 = at(i + 2);
        const std::uint64_t b3 = at(i + 3);
        add_to_bin(t0[b0 >> shift], b0);
        add_to_bin(t1[b1 >> shift], b1);
        add_to_bin(t2[b2 >> shift], b2);
        add_to_bin(t3[b3 >> shift], b3);
    }
    for (; i < count; ++i) {
        const std::uint64_t b = at(i);
        add_to_bin(t0[b >> shift], b);
    }
}

// Adds the bins of every table to t.
template <typename Format>
void fold(const bin* bins, exact_total& t)
{
    constexpr std::size_t stride = table_stride<Format>;
    constexpr unsigned exp_max = (1u << Format::exp_bits) - 1;
    for (std::size_t index = 0; index < bins_per_table<Format>; ++index) {
        u128 sum = 0;
        for (int table = 0; table < table_count; ++table) {
            const bin& b = bins[table * stride + index];
            sum += (u128{b.hi} << 64) | b.lo;
        }
        if (sum == 0) {
            continue;
        }
        const u128 count = sum >> count_shift;
        const u128 pattern_sum = sum - (count << count_shift);
        const u128 fractions = pattern_sum - count * (u128{index} << Format::frac_bits);
        const bool negative = (index >> Format::exp_bits) != 0;
        const unsigned exponent = static_cast<unsigned>(index) & exp_max;

        t.flags[flag_any] = 1;
        if (exponent == exp_max) {
            if (fractions != 0) {
                t.flags[flag_nan] = 1; // at least one NaN; inf counts no longer matter
            } else {
                t.flags[negative ? flag_neg_inf : flag_pos_inf] = 1;
            }
            t.flags[flag_not_negzero] = 1;
            continue;
        }
        if (!(negative && exponent == 0 && fractions == 0)) {
            t.flags[flag_not_negzero] = 1;
        }
        u128 significands = fractions;
        if (exponent != 0) {
            significands += count << Format::frac_bits;
        }
        if (significands == 0) {
            continue;
        }
        const i128 value = negative ? -static_cast<i128>(significands)
                                    : static_cast<i128>(significands);
        add_scaled(t, value, static_cast<int>(std::max(exponent, 1u)) + Format::unit_offset);
    }
    normalise(t);
}

template <typename Format>
void add_values(std::vector<bin>& bins, std::size_t& pending, exact_total& folded,
                const typename Format::value_type* values, std::size_t count, std::size_t step)
{
    if (count == 0) {
        return;
    }
    if (bins.empty()) {
        bins.assign(table_count * table_stride<Format>, bin{0, 0});
    }
    while (count > 0) {
        const std::size_t take = std::min(count, fold_interval - pending);
        if (step == 1) {
            scatter<Format, true>(bins.data(), values, take, 1);
        } else {
            scatter<Format, false>(bins.data(), values, take, step);
        }
        count -= take;
        pending += take;
        if (pending == fold_interval) {
            fold<Format>(bins.data(), folded);
            std::fill(bins.begin(), bins.end(), bin{0, 0});
            pending = 0;
        }
        if (count > 0) {
            values += take * step;
        }
    }
}


const virda_detail::exact_block_kernels& block_kernels()
{
    return virda_detail::active_exact_kernels();
}

/// Calls f(block, m) for the values of a run in blocks of at most
/// exact_block, each block contiguous values of T: the run itself where it
/// is contiguous, else a copy made block by block (any stride, also an
/// unaligned one).
template <typename T, typename F>
void for_each_contiguous_block(const values_view& v, F f)
{
    const auto* p = static_cast<const unsigned char*>(v.data);
    std::int64_t left = v.count;
    if (v.stride == static_cast<std::int64_t>(sizeof(T)) &&
        reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0) {
        const T* values = reinterpret_cast<const T*>(p);
        while (left > 0) {
            const std::size_t m = static_cast<std::size_t>(std::min<std::int64_t>(left, exact_block));
            f(values, m);
            values += m;
            left -= static_cast<std::int64_t>(m);
        }
        return;
    }
    T copy[exact_block];
    while (left > 0) {
        const std::size_t m = static_cast<std::size_t>(std::min<std::int64_t>(left, exact_block));
        for (std::size_t i = 0; i < m; ++i, p += v.stride) {
            std::memcpy(&copy[i], p, sizeof(T));
        }
        f(copy, m);
        left -= static_cast<std::int64_t>(m);
    }
}

} // namespace

struct exact_sum::state {
    std::vector<bin> double_bins; // allocated on the first block the fast path cannot take
    std::size_t double_pending = 0;
    std::size_t fast_blocks = 0; // blocks added to the digits since they were normalised
    i128 int_total = 0;
    exact_total folded; // bins folded so far, fast blocks, and the integers' flags

    // Everything added so far, as one total; the accumulator is unchanged.
    exact_total snapshot() const
    {
        exact_total t = folded;
        if (!double_bins.empty()) {
            fold<double_format>(double_bins.data(), t);
        }
        if (int_total != 0) {
            // |int_total| < 2^127: in two parts below 2^95.
            const i128 low = int_total & ((i128{1} << 64) - 1);
            add_scaled(t, low, 1074);
            add_scaled(t, int_total >> 64, 1074 + 64);
        }
        normalise(t);
        return t;
    }

    // An integer value added `times` times.
    void add_integer(i128 value, std::uint64_t times)
    {
        int_total += value * static_cast<i128>(times);
        folded.flags[flag_any] = 1;
        folded.flags[flag_not_negzero] = 1; // an integer is never -0.0
    }

    // A double added `times` times (times >= 1), exactly, at the cost of one.
    void add_repeated(double x, std::uint64_t times)
    {
        folded.flags[flag_any] = 1;
        if (std::isnan(x)) {
            folded.flags[flag_nan] = 1;
            folded.flags[flag_not_negzero] = 1;
            return;
        }
        if (std::isinf(x)) {
            folded.flags[x > 0 ? flag_pos_inf : flag_neg_inf] = 1;
            folded.flags[flag_not_negzero] = 1;
            return;
        }
        if (!(x == 0.0 && std::signbit(x))) {
            folded.flags[flag_not_negzero] = 1;
        }
        if (x == 0.0) {
            return;
        }
        // x = m * 2^(e - 1074) with m < 2^53; m * times in two parts of
        // times, each below 2^32, so that each product stays below 2^85.
        int e = 0;
        const double f = std::frexp(std::fabs(x), &e); // |x| = f * 2^e, f in [0.5, 1)
        int position = e - 53 + 1074;
        i128 m = static_cast<i128>(std::ldexp(f, 53));
        if (position < 0) {
            m >>= -position; // a subnormal: exact, its low bits are zero
            position = 0;
        }
        if (x < 0) {
            m = -m;
        }
        add_scaled(folded, m * static_cast<i128>(times & 0xffffffffu), position);
        add_scaled(folded, m * static_cast<i128>(times >> 32), position + 32);
        normalise(folded);
    }
};

exact_sum::exact_sum() : state_(std::make_unique<state>()) {}
exact_sum::~exact_sum() = default;
exact_sum::exact_sum(exact_sum&&) noexcept = default;
exact_sum& exact_sum::operator=(exact_sum&&) noexcept = default;

// Doubles go block by block through the binned fast path (exact_sum_kernels.h)
// when the block's largest magnitude allows it and nothing is left over: two
// levels first, three when two leave a rest (and for the rest of this call,
// as the data evidently span more than two levels cover); otherwise, and for
// NaN, infinities and magnitudes near the top of the range, through the
// table. All are exact, so which one takes a block never shows in the total.
void exact_sum::add_scanned(const double* values, std::size_t n, double largest)
{
    add_doubles(values, n, largest);
}

void exact_sum::add_doubles(const double* values, std::size_t count, double known_largest)
{
    state& st = *state_;
    const virda_detail::exact_block_kernels& kernels = block_kernels();
    // Normalising the digits every 2^20 blocks keeps each far below 2^63.
    constexpr std::size_t normalise_interval = std::size_t{1} << 20;
    int first_levels = 2;
    while (count > 0) {
        const std::size_t m = std::min(count, exact_block);
        const double* block = values;
        // The next block is fetched while this one is deposited, so that its
        // scan finds it in the cache.
        const double* ahead = count > m ? values + m : nullptr;
        double max_abs = known_largest;
        if (known_largest < 0.0 || count > m) {
            kernels.scan(block, m, &max_abs);
        }
        st.folded.flags[flag_any] = 1;
        bool done = false;
        if (max_abs == 0.0) {
            // Zeros of either sign, or NaN, which the scan does not see.
            bool other_than_zeros = false;
            for (std::size_t i = 0; i < m; ++i) {
                if (block[i] != 0.0) {
                    other_than_zeros = true;
                } else if (!std::signbit(block[i])) {
                    st.folded.flags[flag_not_negzero] = 1;
                }
            }
            done = !other_than_zeros;
        } else {
            st.folded.flags[flag_not_negzero] = 1;
        }
        if (!done && max_abs != 0.0 && max_abs <= std::numeric_limits<double>::max()) {
            // |x| < 2^(e_max + 1) for every x; a_0 = e_max + 13 leaves room
            // for 2^11 elements, and a_0 + 1 must stay below 2^1024.
            const int e_max = std::max(std::ilogb(max_abs), -1022);
            const int top = std::max(e_max + 13, -1022);
            std::int64_t units[exact_levels];
            if (top <= 1022) {
                for (int levels = first_levels; levels <= exact_levels && !done; ++levels) {
                    done = kernels.deposit(block, m, top, levels, ahead, units);
                    if (!done) {
                        first_levels = exact_levels;
                    }
                }
            }
            if (done) {
                int a = top;
                for (int k = 0; k < exact_levels; ++k) {
                    add_scaled(st.folded, units[k], a - 52 + 1074);
                    a = virda_detail::exact_next_level(a);
                }
                if (++st.fast_blocks == normalise_interval) {
                    normalise(st.folded);
                    st.fast_blocks = 0;
                }
            }
        }
        if (!done) {
            add_values<double_format>(st.double_bins, st.double_pending, st.folded, block, m, 1);
        }
        count -= m;
        values += m;
    }
}

void exact_sum::add(const values_view& v)
{
    if (v.count <= 0) {
        return;
    }
    state& st = *state_;
    visit_number_type(v.type, [&](auto* type) {
        using T = std::remove_pointer_t<decltype(type)>;
        if (v.stride == 0 || v.count == 1) {
            // One value, `count` times.
            T x;
            std::memcpy(&x, v.data, sizeof x);
            if constexpr (std::is_floating_point_v<T>) {
                st.add_repeated(static_cast<double>(x), static_cast<std::uint64_t>(v.count));
            } else {
                st.add_integer(static_cast<i128>(x), static_cast<std::uint64_t>(v.count));
            }
        } else if constexpr (std::is_same_v<T, double>) {
            for_each_contiguous_block<double>(v, [&](const double* block, std::size_t m) { add_doubles(block, m); });
        } else if constexpr (std::is_same_v<T, float>) {
            // Every float is a double exactly, and so is every -0.0f, NaN and
            // infinity: floats are summed as the doubles they convert to.
            double converted[exact_block];
            for_each_contiguous_block<float>(v, [&](const float* block, std::size_t m) {
                for (std::size_t i = 0; i < m; ++i) {
                    converted[i] = static_cast<double>(block[i]);
                }
                add_doubles(converted, m);
            });
        } else {
            // A block of at most exact_block integers of up to 64 bits sums
            // within 75 bits: exact in a 128-bit partial total.
            for_each_contiguous_block<T>(v, [&](const T* block, std::size_t m) {
                if constexpr (sizeof(T) <= 4) {
                    std::int64_t partial = 0;
                    for (std::size_t i = 0; i < m; ++i) {
                        partial += block[i];
                    }
                    st.int_total += partial;
                } else {
                    i128 partial = 0;
                    for (std::size_t i = 0; i < m; ++i) {
                        partial += static_cast<i128>(block[i]);
                    }
                    st.int_total += partial;
                }
            });
            st.folded.flags[flag_any] = 1;
            st.folded.flags[flag_not_negzero] = 1;
        }
    });
}

void exact_sum::add(const table_view& t)
{
    for_each_run(t, [&](const values_view& run) { add(run); });
}

void exact_sum::clear()
{
    state_ = std::make_unique<state>();
}

double exact_sum::local_rounded() const
{
    return round_to_double(state_->snapshot());
}

void exact_sum::write_record(std::int64_t* fields) const
{
    // The snapshot is normalised already: its fields as they are.
    const exact_total t = state_->snapshot();
    std::copy(t.digits.begin(), t.digits.end(), fields);
    std::copy(t.flags.begin(), t.flags.end(), fields + digit_count);
}

double exact_sum::rounded_from_record(const std::int64_t* fields)
{
    return round_to_double(read_record(fields));
}

double exact_sum::allreduce_rounded(MPI_Comm comm) const
{
    double total = 0;
    allreduce_rounded(this, 1, &total, comm);
    return total;
}

void exact_sum::allreduce_rounded(const exact_sum* sums, std::size_t count, double* results, MPI_Comm comm)
{
    // Per accumulator: its digits, then its flags. Digits are in [0, 2^32)
    // but the top one, whose magnitude is tiny, and flags are 0 or 1, so
    // summing them over fewer than 2^31 ranks cannot overflow an int64 and the
    // plain MPI_SUM is exact.
    static_assert(record_fields == exact_record_fields, "the record of an exact total");
    std::vector<std::int64_t> buffer(count * record_fields);
    for (std::size_t k = 0; k < count; ++k) {
        sums[k].write_record(buffer.data() + k * record_fields);
    }
    MPI_Allreduce(MPI_IN_PLACE, buffer.data(), static_cast<int>(buffer.size()), MPI_INT64_T, MPI_SUM, comm);
    for (std::size_t k = 0; k < count; ++k) {
        results[k] = rounded_from_record(buffer.data() + k * record_fields);
    }
}

} // namespace virda::engine
