#include "reference_runtime/exact_sum.h"

#include "framework/simd/isa.h"
#include "reference_runtime/exact_sum_kernels.h"

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

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

// How the bins work.
//
// A finite binary floating-point value is (-1)^s * m * 2^(max(e, 1) - bias -
// frac_bits), where e is the biased exponent field and m is the fraction field
// plus the implicit bit 2^frac_bits when e != 0. Everything but m is fixed by
// the top bits of the bit pattern (sign and exponent), so the values sharing
// those top bits can be summed as integers and scaled once at the end.
//
// The bin index is the bit pattern shifted right by frac_bits (sign and
// exponent together). A bin is a 128-bit integer, lo + 2^64 hi, to which each
// element adds its whole bit pattern plus one count unit, 2^96. With c elements
// in a bin it holds sum(bits) + c * 2^96; sum(bits) < c * 2^64 stays below 2^96
// while c < 2^32, so the count and the sum of bit patterns separate exactly,
// and subtracting c times the bin's own top bits from the latter leaves the sum
// of fraction fields. The loop is thus a load, a shift and one add with carry
// into memory per element; sign, implicit bit and special values are sorted
// out per bin when the bins are folded.
//
// Several tables are filled in turn so that consecutive elements with the same
// exponent do not wait on each other's read-modify-write of one bin. The tables
// are padded so that the same bin of different tables does not share its
// address modulo 4096, which the processor would take for a dependency.
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

// Fixed-point total in units of 2^-1074 (the smallest subnormal double), as
// 32-bit digits held in int64, least significant first, two's complement.
// 70 digits reach 2^1166: room for 2^62 values of magnitude up to DBL_MAX
// with the sign. Between normalisations a digit may exceed 32 bits; each
// carries the weight 2^(32 k) whatever it holds.
constexpr int digit_count = 70;
constexpr int digit_bits = 32;
constexpr std::int64_t digit_mask = (std::int64_t{1} << digit_bits) - 1;

// What the values seen so far were, beyond their finite total.
enum flag : int {
    flag_any,         // at least one value
    flag_not_negzero, // at least one value other than -0.0
    flag_nan,
    flag_pos_inf,
    flag_neg_inf,
    flag_count
};

struct totals {
    std::array<std::int64_t, digit_count> digits{};
    std::array<std::int64_t, flag_count> flags{};
};

// Adds value * 2^position (in units of 2^-1074) to the digits.
// Needs |value| < 2^95 and 0 <= position <= 32 * (digit_count - 4).
void add_scaled(totals& t, i128 value, int position)
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
void normalise(totals& t)
{
    for (int k = 0; k + 1 < digit_count; ++k) {
        const std::int64_t carry = t.digits[k] >> digit_bits; // floor division
        t.digits[k] &= digit_mask;
        t.digits[k + 1] += carry;
    }
}

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
void fold(const bin* bins, totals& t)
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
void add_values(std::vector<bin>& bins, std::size_t& pending, totals& folded,
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

// Bits [position, position + width) of a non-negative normalised total,
// width <= 64.
std::uint64_t bits_at(const totals& t, int position, int width)
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
bool any_bit_below(const totals& t, int position)
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

// The double nearest to the total (ties to even), after the special values.
double round_to_double(totals& t)
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

const exact_block_kernels& block_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(exact_block_kernels, exact_kernels);
}

} // namespace

struct exact_accumulator::state {
    std::vector<bin> double_bins; // allocated on the first block the fast path cannot take
    std::size_t double_pending = 0;
    std::size_t fast_blocks = 0; // blocks added to the digits since they were normalised
    i128 int_total = 0;
    totals folded; // bins folded so far, fast blocks, and the int flags

    // Everything added so far, as one total; the accumulator is unchanged.
    totals snapshot() const
    {
        totals t = folded;
        if (!double_bins.empty()) {
            fold<double_format>(double_bins.data(), t);
        }
        if (int_total != 0) {
            add_scaled(t, int_total, 1074);
        }
        normalise(t);
        return t;
    }
};

exact_accumulator::exact_accumulator() : state_(std::make_unique<state>()) {}
exact_accumulator::~exact_accumulator() = default;
exact_accumulator::exact_accumulator(exact_accumulator&&) noexcept = default;
exact_accumulator& exact_accumulator::operator=(exact_accumulator&&) noexcept = default;

// Doubles go block by block through the binned fast path (exact_sum_kernels.h)
// when the block's largest magnitude allows it and nothing is left over: two
// levels first, three when two leave a rest (and for the rest of this call,
// as the data evidently span more than two levels cover); otherwise, and for
// NaN, infinities and magnitudes near the top of the range, through the
// table. All are exact, so which one takes a block never shows in the total.
void exact_accumulator::add_doubles(const double* values, std::size_t count, std::size_t step)
{
    state& st = *state_;
    const exact_block_kernels& kernels = block_kernels();
    double gathered[exact_block];
    // Normalising the digits every 2^20 blocks keeps each far below 2^63.
    constexpr std::size_t normalise_interval = std::size_t{1} << 20;
    int first_levels = 2;
    while (count > 0) {
        const std::size_t m = std::min(count, exact_block);
        const double* block = values;
        if (step != 1) {
            for (std::size_t i = 0; i < m; ++i) {
                gathered[i] = values[i * step];
            }
            block = gathered;
        }
        // Contiguous input: the next block is fetched while this one is
        // deposited, so that its scan finds it in the cache.
        const double* ahead = step == 1 && count > m ? values + m : nullptr;
        double max_abs = 0.0;
        kernels.scan(block, m, &max_abs);
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
                    a = exact_next_level(a);
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
        if (count > 0) {
            values += m * step;
        }
    }
}

void exact_accumulator::add(const double* values, std::size_t count)
{
    add_doubles(values, count, 1);
}

void exact_accumulator::add(const double* values, std::size_t count, std::size_t step)
{
    add_doubles(values, count, step);
}

void exact_accumulator::add(const float* values, std::size_t count)
{
    // Every float is a double exactly, and so is every -0.0f, NaN and
    // infinity: floats are summed as the doubles they convert to.
    double converted[exact_block];
    while (count > 0) {
        const std::size_t m = std::min(count, exact_block);
        for (std::size_t i = 0; i < m; ++i) {
            converted[i] = static_cast<double>(values[i]);
        }
        add_doubles(converted, m, 1);
        values += m;
        count -= m;
    }
}

void exact_accumulator::add(const int* values, std::size_t count)
{
    if (count == 0) {
        return;
    }
    // Blocks of 2^30 ints cannot overflow an int64 partial sum.
    constexpr std::size_t block = std::size_t{1} << 30;
    while (count > 0) {
        const std::size_t take = std::min(count, block);
        std::int64_t partial = 0;
        for (std::size_t i = 0; i < take; ++i) {
            partial += values[i];
        }
        state_->int_total += partial;
        values += take;
        count -= take;
    }
    state_->folded.flags[flag_any] = 1;
    state_->folded.flags[flag_not_negzero] = 1; // an int is never -0.0
}

void exact_accumulator::clear()
{
    state_ = std::make_unique<state>();
}

double exact_accumulator::local_rounded() const
{
    totals t = state_->snapshot();
    return round_to_double(t);
}

double exact_accumulator::allreduce_rounded(MPI_Comm comm) const
{
    double total = 0;
    allreduce_rounded(this, 1, &total, comm);
    return total;
}

void exact_accumulator::allreduce_rounded(const exact_accumulator* accumulators,
                                          std::size_t count, double* results, MPI_Comm comm)
{
    // Per accumulator: its digits, then its flags. Digits are in [0, 2^32)
    // but the top one, whose magnitude is tiny, and flags are 0 or 1, so
    // summing them over fewer than 2^31 ranks cannot overflow an int64 and the
    // plain MPI_SUM is exact.
    constexpr std::size_t record = digit_count + flag_count;
    std::vector<std::int64_t> buffer(count * record);
    for (std::size_t k = 0; k < count; ++k) {
        const totals t = accumulators[k].state_->snapshot();
        auto out = buffer.begin() + static_cast<std::ptrdiff_t>(k * record);
        out = std::copy(t.digits.begin(), t.digits.end(), out);
        std::copy(t.flags.begin(), t.flags.end(), out);
    }
    MPI_Allreduce(MPI_IN_PLACE, buffer.data(), static_cast<int>(buffer.size()), MPI_INT64_T,
                  MPI_SUM, comm);
    for (std::size_t k = 0; k < count; ++k) {
        totals t;
        auto in = buffer.begin() + static_cast<std::ptrdiff_t>(k * record);
        std::copy(in, in + digit_count, t.digits.begin());
        std::copy(in + digit_count, in + record, t.flags.begin());
        results[k] = round_to_double(t);
    }
}

} // namespace virda_detail
