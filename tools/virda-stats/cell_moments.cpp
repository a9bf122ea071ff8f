#include "cell_moments.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace virda_stats {

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr std::size_t words = float_cell_moments::words;
constexpr int sum_digits = float_cell_moments::sum_digits;
constexpr int square_digits = float_cell_moments::square_digits;
constexpr std::size_t at_count = 0;
constexpr std::size_t at_nans = 1;
constexpr std::size_t at_pos_inf = 2;
constexpr std::size_t at_neg_inf = 3;
constexpr std::size_t at_sum = 4;
constexpr std::size_t at_squares = at_sum + sum_digits;
constexpr std::size_t at_least = words - 2; // negated, so that both extremes merge by max
constexpr std::size_t at_greatest = words - 1;
constexpr std::int64_t digit_mask = (std::int64_t{1} << 32) - 1;
/// Values a cell takes between two settlements of its carries.
constexpr std::size_t settle_every = std::size_t{1} << 30;
/// Units of the totals: 2^-149 (the smallest float32), its square 2^-298.
constexpr int sum_unit = -149;
constexpr int square_unit = -298;
/// Cells merged by one pair of MPI_Allreduce, and records of cells sent in
/// one message between two ranks.
constexpr std::size_t allreduce_cells = std::size_t{1} << 24;
constexpr std::size_t message_cells = std::size_t{1} << 20;
/// Cells added together, row by row: their accumulators stay in cache.
constexpr std::size_t cells_per_block = 128;

/// The float's bits mapped to an unsigned key in the order of the values
/// (-0.0 below +0.0).
std::uint32_t key_of(std::uint32_t bits)
{
    return (bits & 0x80000000u) != 0 ? ~bits : (bits | 0x80000000u);
}

float float_of_key(std::uint32_t key)
{
    const std::uint32_t bits = (key & 0x80000000u) != 0 ? (key & 0x7fffffffu) : ~key;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

/// Brings digits 0 .. n - 2 into [0, 2^32); the top one keeps the sign.
void settle(std::int64_t* d, int n)
{
    for (int k = 0; k + 1 < n; ++k) {
        const std::int64_t carry = d[k] >> 32; // arithmetic: floor division
        d[k] &= digit_mask;
        d[k + 1] += carry;
    }
}

template <bool Squares>
inline void add_one(std::int64_t* a, float x)
{
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    const std::uint32_t e = (b >> 23) & 0xffu;
    if (e == 0xffu) {
        if ((b & 0x7fffffu) != 0) {
            ++a[at_nans];
            return;
        }
        ++a[(b >> 31) != 0 ? at_neg_inf : at_pos_inf];
    }
    ++a[at_count];
    const auto key = static_cast<std::int64_t>(key_of(b));
    a[at_least] = std::max(a[at_least], -key);
    a[at_greatest] = std::max(a[at_greatest], key);
    if (e == 0xffu) {
        return;
    }
    // x = m * 2^(p - 149), p in [0, 253].
    const std::uint64_t m = (b & 0x7fffffu) | (e != 0 ? 0x800000u : 0u);
    const std::uint32_t p = (e != 0 ? e : 1u) - 1u;
    const std::int64_t negative = -static_cast<std::int64_t>(b >> 31);
    const std::uint64_t v = m << (p & 31u);
    std::int64_t* s = a + at_sum + (p >> 5);
    s[0] += (static_cast<std::int64_t>(v & 0xffffffffu) ^ negative) - negative;
    s[1] += (static_cast<std::int64_t>(v >> 32) ^ negative) - negative;
    if constexpr (Squares) {
        // x^2 = m^2 * 2^(2p - 298): 48 bits shifted by up to 31, in three digits.
        const std::uint32_t q = 2 * p;
        const u128 w = static_cast<u128>(m * m) << (q & 31u);
        std::int64_t* t = a + at_squares + (q >> 5);
        t[0] += static_cast<std::int64_t>(static_cast<std::uint64_t>(w) & 0xffffffffu);
        t[1] += static_cast<std::int64_t>(static_cast<std::uint64_t>(w >> 32) & 0xffffffffu);
        t[2] += static_cast<std::int64_t>(static_cast<std::uint64_t>(w >> 64));
    }
}

template <bool Squares>
void add_table(std::int64_t* state, std::size_t cells, const float* values, std::size_t rows, std::size_t stride)
{
    for (std::size_t first = 0; first < cells; first += cells_per_block) {
        const std::size_t n = std::min(cells_per_block, cells - first);
        std::int64_t* block = state + first * words;
        for (std::size_t r = 0; r < rows; ++r) {
            const float* row = values + r * stride + first;
            for (std::size_t j = 0; j < n; ++j) {
                add_one<Squares>(block + j * words, row[j]);
            }
        }
    }
}

/// An unsigned integer of 32-bit digits, least significant first.
struct magnitude {
    std::uint32_t d[2 * square_digits + 4] = {};
    int n = 0;
};

magnitude magnitude_of(const std::int64_t* settled, int n)
{
    magnitude m;
    m.n = n;
    for (int k = 0; k < n; ++k) {
        m.d[k] = static_cast<std::uint32_t>(settled[k]);
    }
    return m;
}

magnitude product(const magnitude& a, const magnitude& b)
{
    magnitude out;
    out.n = a.n + b.n;
    for (int i = 0; i < a.n; ++i) {
        std::uint64_t carry = 0;
        for (int j = 0; j < b.n; ++j) {
            const std::uint64_t t = static_cast<std::uint64_t>(a.d[i]) * b.d[j] + out.d[i + j] + carry;
            out.d[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        out.d[i + b.n] = static_cast<std::uint32_t>(carry);
    }
    return out;
}

/// a - b, or zero when b > a.
magnitude difference(const magnitude& a, const magnitude& b)
{
    magnitude out;
    out.n = std::max(a.n, b.n);
    std::int64_t borrow = 0;
    for (int k = 0; k < out.n; ++k) {
        const std::int64_t t = static_cast<std::int64_t>(k < a.n ? a.d[k] : 0) - (k < b.n ? b.d[k] : 0) - borrow;
        borrow = t < 0 ? 1 : 0;
        out.d[k] = static_cast<std::uint32_t>(t + (borrow << 32));
    }
    if (borrow != 0) {
        return magnitude{};
    }
    return out;
}

/// The magnitude rounded to `width` (<= 64) significant bits, nearest with
/// ties to even: significand * 2^exponent. Zero gives 0.
std::uint64_t rounded(const magnitude& m, int width, int* exponent)
{
    *exponent = 0;
    int top = m.n - 1;
    while (top >= 0 && m.d[top] == 0) {
        --top;
    }
    if (top < 0) {
        return 0;
    }
    const int bits = 32 * top + (32 - __builtin_clz(m.d[top]));
    const auto bit_at = [&](int i) { return (m.d[i / 32] >> (i % 32)) & 1u; };
    if (bits <= width) {
        std::uint64_t v = 0;
        for (int k = top; k >= 0; --k) {
            v = (v << 32) | m.d[k];
        }
        return v;
    }
    const int shift = bits - width;
    u128 sig = 0;
    for (int i = bits - 1; i >= shift; --i) {
        sig = (sig << 1) | bit_at(i);
    }
    const bool half = bit_at(shift - 1) != 0;
    bool sticky = false;
    for (int i = 0; i < shift - 1 && !sticky; ++i) {
        sticky = bit_at(i) != 0;
    }
    *exponent = shift;
    if (half && (sticky || (sig & 1u) != 0)) {
        ++sig;
        if (sig >> width != 0) {
            sig >>= 1;
            ++*exponent;
        }
    }
    return static_cast<std::uint64_t>(sig);
}

} // namespace

float_cell_moments::float_cell_moments(std::size_t cells, bool squares, int ranks)
    : cells_(cells), squares_(squares), ranks_(std::max(ranks, 1)), state_(cells * words, 0)
{
    if (ranks_ > 1) {
        // The extremes of an allreduce's cells, or one message of records.
        const std::size_t largest_share = share_of(cells, ranks_, ranks_ - 1).second;
        scratch_.resize(std::max(2 * std::min(cells, allreduce_cells), std::min(largest_share, message_cells) * words));
    }
    for (std::size_t j = 0; j < cells; ++j) {
        at(j)[at_least] = std::numeric_limits<std::int64_t>::min();
        at(j)[at_greatest] = -1;
    }
}

void float_cell_moments::add(const float* values, std::size_t rows, std::size_t stride)
{
    for (std::size_t done = 0; done < rows;) {
        const std::size_t n = std::min(rows - done, settle_every - pending_);
        if (squares_) {
            add_table<true>(state_.data(), cells_, values + done * stride, n, stride);
        } else {
            add_table<false>(state_.data(), cells_, values + done * stride, n, stride);
        }
        done += n;
        pending_ += n;
        if (pending_ == settle_every) {
            normalise();
        }
    }
}

void float_cell_moments::normalise()
{
    for (std::size_t j = 0; j < cells_; ++j) {
        settle(at(j) + at_sum, sum_digits);
        settle(at(j) + at_squares, square_digits);
    }
    pending_ = 0;
}

namespace {

/// Sums records of `cells` cells over the ranks into every rank's, in
/// place: every word but the extremes by MPI_SUM, the extremes (copied out
/// to `extremes`, 2 per cell) by MPI_MAX. Built-in operations on
/// MPI_INT64_T only: this MPICH's large reductions of a user operation on
/// records crash at some rank counts. Allocates nothing. Returns MPI's code.
int merge_records(std::int64_t* records, std::size_t cells, std::int64_t* extremes, MPI_Comm comm)
{
    if (cells * words > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return MPI_ERR_COUNT;
    }
    for (std::size_t c = 0; c < cells; ++c) {
        extremes[2 * c] = records[c * words + at_least];
        extremes[2 * c + 1] = records[c * words + at_greatest];
        // Not summed: an empty cell's extremes are the least int64, whose sums overflow.
        records[c * words + at_least] = 0;
        records[c * words + at_greatest] = 0;
    }
    int rc = MPI_Allreduce(MPI_IN_PLACE, records, static_cast<int>(cells * words), MPI_INT64_T, MPI_SUM, comm);
    if (rc == MPI_SUCCESS) {
        rc = MPI_Allreduce(MPI_IN_PLACE, extremes, static_cast<int>(2 * cells), MPI_INT64_T, MPI_MAX, comm);
    }
    for (std::size_t c = 0; c < cells; ++c) {
        records[c * words + at_least] = extremes[2 * c];
        records[c * words + at_greatest] = extremes[2 * c + 1];
    }
    return rc;
}

void check(int rc)
{
    if (rc != MPI_SUCCESS) {
        throw std::runtime_error("the reduction of the per-cell moments over the ranks failed");
    }
}

/// The size of comm, checked against the ranks the accumulators were made
/// for (the same outcome on every rank built alike).
int ranks_checked(MPI_Comm comm, int expected)
{
    int ranks = 1;
    MPI_Comm_size(comm, &ranks);
    if (ranks != expected) {
        throw std::runtime_error("per-cell moments made for " + std::to_string(expected) +
                                 " ranks merged over " + std::to_string(ranks));
    }
    return ranks;
}

} // namespace

void float_cell_moments::allreduce(MPI_Comm comm)
{
    if (ranks_checked(comm, ranks_) == 1) {
        return;
    }
    normalise(); // digits below 2^32: the sum of fewer than 2^31 ranks' fits
    int rc = MPI_SUCCESS;
    for (std::size_t first = 0; rc == MPI_SUCCESS && first < cells_; first += allreduce_cells) {
        rc = merge_records(at(first), std::min(allreduce_cells, cells_ - first), scratch_.data(), comm);
    }
    check(rc);
    normalise();
}

std::pair<std::size_t, std::size_t> float_cell_moments::share_of(std::size_t cells, int ranks, int rank)
{
    const auto n = static_cast<u128>(ranks);
    const auto first = static_cast<std::size_t>(static_cast<u128>(cells) * static_cast<u128>(rank) / n);
    const auto end = static_cast<std::size_t>(static_cast<u128>(cells) * static_cast<u128>(rank + 1) / n);
    return {first, end - first};
}

std::pair<std::size_t, std::size_t> float_cell_moments::reduce_shares(MPI_Comm comm)
{
    const int ranks = ranks_checked(comm, ranks_);
    if (ranks == 1) {
        return {0, cells_};
    }
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    const std::pair<std::size_t, std::size_t> share = share_of(cells_, ranks, rank);
    normalise(); // digits below 2^32: the sum of fewer than 2^31 ranks' fits
    // In step k each rank sends its records of the share of rank + k and
    // adds in those of rank - k for its own share: point-to-point, because
    // this MPICH's MPI_Reduce of large integer arrays runs at a few tens of
    // MB/s. Sums of integer digits and maxima of keys: the same bits in any
    // order of the ranks.
    std::int64_t* incoming = scratch_.data();
    std::int64_t* own = at(share.first);
    int rc = MPI_SUCCESS;
    for (int k = 1; k < ranks && rc == MPI_SUCCESS; ++k) {
        const int to = (rank + k) % ranks;
        const int from = (rank - k + ranks) % ranks;
        const std::pair<std::size_t, std::size_t> theirs = share_of(cells_, ranks, to);
        // Every share is cut into the same number of messages (whole cells,
        // at most message_cells), so that each receive meets its send.
        const std::size_t longest = share_of(cells_, ranks, ranks - 1).second;
        const std::size_t messages = std::max<std::size_t>(1, (longest + message_cells - 1) / message_cells);
        for (std::size_t part = 0; part < messages && rc == MPI_SUCCESS; ++part) {
            const auto piece = [&](std::size_t n) {
                const std::size_t first = n * part / messages;
                return std::pair<std::size_t, std::size_t>{first, n * (part + 1) / messages - first};
            };
            const auto send = piece(theirs.second);
            const auto receive = piece(share.second);
            rc = MPI_Sendrecv(at(theirs.first + send.first), static_cast<int>(send.second * words), MPI_INT64_T, to,
                              0, incoming, static_cast<int>(receive.second * words), MPI_INT64_T, from, 0, comm,
                              MPI_STATUS_IGNORE);
            std::int64_t* into = own + receive.first * words;
            for (std::size_t c = 0; c < receive.second; ++c) {
                std::int64_t* a = into + c * words;
                const std::int64_t* b = incoming + c * words;
                for (std::size_t w = 0; w < at_least; ++w) {
                    a[w] += b[w];
                }
                a[at_least] = std::max(a[at_least], b[at_least]);
                a[at_greatest] = std::max(a[at_greatest], b[at_greatest]);
            }
        }
    }
    check(rc);
    for (std::size_t j = share.first; j < share.first + share.second; ++j) {
        settle(at(j) + at_sum, sum_digits);
        settle(at(j) + at_squares, square_digits);
    }
    return share;
}

cell_moment_result float_cell_moments::finish(std::size_t j) const
{
    const std::int64_t* a = at(j);
    cell_moment_result r;
    r.count = a[at_count];
    r.nan_count = a[at_nans];
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (r.count == 0) {
        r.sum = 0;
        r.precise_mean = nan;
        r.stdev = nan;
        r.min = r.max = std::numeric_limits<float>::quiet_NaN();
        return r;
    }
    r.min = float_of_key(static_cast<std::uint32_t>(-a[at_least]));
    r.max = float_of_key(static_cast<std::uint32_t>(a[at_greatest]));
    if (a[at_pos_inf] != 0 || a[at_neg_inf] != 0) {
        const double inf = std::numeric_limits<double>::infinity();
        r.sum = a[at_pos_inf] != 0 && a[at_neg_inf] != 0 ? nan : (a[at_pos_inf] != 0 ? inf : -inf);
        r.precise_mean = static_cast<long double>(r.sum / static_cast<double>(r.count));
        r.stdev = nan;
        return r;
    }
    std::int64_t s[sum_digits];
    std::copy(a + at_sum, a + at_sum + sum_digits, s);
    settle(s, sum_digits);
    const bool negative = s[sum_digits - 1] < 0;
    if (negative) {
        for (std::int64_t& d : s) {
            d = -d;
        }
        settle(s, sum_digits);
    }
    const magnitude s1 = magnitude_of(s, sum_digits);
    int e = 0;
    const std::uint64_t sum53 = rounded(s1, 53, &e);
    if (sum53 == 0) {
        // IEEE addition: -0.0 only when every value was -0.0.
        r.sum = a[at_greatest] == static_cast<std::int64_t>(key_of(0x80000000u)) ? -0.0 : 0.0;
    } else {
        r.sum = std::ldexp(static_cast<double>(sum53), e + sum_unit) * (negative ? -1.0 : 1.0);
    }
    const std::uint64_t sum64 = rounded(s1, 64, &e);
    const long double total = std::ldexp(static_cast<long double>(sum64), e + sum_unit) * (negative ? -1.0L : 1.0L);
    const long double n = static_cast<long double>(r.count);
    r.precise_mean = total / n;
    if (!squares_) {
        r.stdev = nan;
        return r;
    }
    // count * sum(x^2) - sum(x)^2, in units of 2^-298: never negative.
    std::int64_t q[square_digits];
    std::copy(a + at_squares, a + at_squares + square_digits, q);
    settle(q, square_digits);
    magnitude count;
    count.n = 2;
    count.d[0] = static_cast<std::uint32_t>(r.count);
    count.d[1] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(r.count) >> 32);
    const magnitude spread = difference(product(magnitude_of(q, square_digits), count), product(s1, s1));
    const std::uint64_t spread64 = rounded(spread, 64, &e);
    const long double wide = std::ldexp(static_cast<long double>(spread64), e + square_unit);
    r.stdev = static_cast<double>(std::sqrt(wide / (n * std::max(n - 0.0L, 0.0L))));
    return r;
}

} // namespace virda_stats
