#include "engine/exact_sum.h"

#include "engine/exact_sum_bins.h"
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

namespace virda::engine {
namespace {

using namespace detail;
using virda_detail::exact_block;
using virda_detail::exact_levels;
using namespace exact_sum_bins;

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
