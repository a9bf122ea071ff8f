#include "engine/wide_weight_totals.h"

#include "engine/binning_support.h"

#include <algorithm>

namespace virda::engine::wide_weights {

namespace {

__extension__ typedef unsigned __int128 u128;

/// Bit i of a magnitude of `words` words.
bool bit(const std::uint64_t* m, int i) { return (m[i / 64] >> (i % 64)) & 1; }

/// MPI_Op: inout += in, element by element, for elements of `words` words
/// (the datatype's size over 8), modulo 2^(64 words).
void add_wide(void* in, void* inout, int* len, MPI_Datatype* type)
{
    int size = 0;
    MPI_Type_size(*type, &size);
    const int words = size / 8;
    const auto* a = static_cast<const std::uint64_t*>(in);
    auto* b = static_cast<std::uint64_t*>(inout);
    for (long e = 0; e < *len; ++e, a += words, b += words) {
        std::uint64_t carry = 0;
        for (int i = 0; i < words; ++i) {
            const u128 s = static_cast<u128>(a[i]) + b[i] + carry;
            b[i] = static_cast<std::uint64_t>(s);
            carry = static_cast<std::uint64_t>(s >> 64);
        }
    }
}

} // namespace

/// Adds +-(m << shift) to the two's complement integer of `words` words
/// at w (least significant first), modulo 2^(64 words).
void add_shifted(std::uint64_t* w, int words, std::uint64_t m, int shift, bool negative)
{
    const int q = shift / 64;
    const int r = shift % 64;
    const std::uint64_t lo = m << r;
    const std::uint64_t hi = r == 0 ? 0 : m >> (64 - r);
    if (!negative) {
        std::uint64_t carry = 0;
        for (int i = q; i < words; ++i) {
            const std::uint64_t add = i == q ? lo : (i == q + 1 ? hi : 0);
            const u128 s = static_cast<u128>(w[i]) + add + carry;
            w[i] = static_cast<std::uint64_t>(s);
            carry = static_cast<std::uint64_t>(s >> 64);
            if (carry == 0 && i > q) {
                break;
            }
        }
    } else {
        std::uint64_t borrow = 0;
        for (int i = q; i < words; ++i) {
            const std::uint64_t sub = i == q ? lo : (i == q + 1 ? hi : 0);
            const u128 d = static_cast<u128>(w[i]) - sub - borrow;
            w[i] = static_cast<std::uint64_t>(d);
            borrow = static_cast<std::uint64_t>(d >> 64) != 0 ? 1 : 0;
            if (borrow == 0 && i > q) {
                break;
            }
        }
    }
}

/// The two's complement integer at w, times 2^unit, rounded once to the
/// nearest double (ties to even); +-inf beyond the range.
double round_total(const std::uint64_t* w, int words, int unit)
{
    std::vector<std::uint64_t> m(w, w + words);
    const bool negative = (m[words - 1] >> 63) != 0;
    if (negative) {
        std::uint64_t carry = 1;
        for (auto& x : m) {
            const u128 s = static_cast<u128>(~x) + carry;
            x = static_cast<std::uint64_t>(s);
            carry = static_cast<std::uint64_t>(s >> 64);
        }
    }
    int h = 0;
    for (int i = words - 1; i >= 0; --i) {
        if (m[i] != 0) {
            h = 64 * i + bit_length(m[i]);
            break;
        }
    }
    if (h == 0) {
        return 0.0;
    }
    const long lead = static_cast<long>(unit) + h - 1;
    double r;
    if (lead > 1023) {
        r = std::numeric_limits<double>::infinity();
    } else {
        // Bits kept: 53, fewer for a subnormal result (none or one may be
        // left for one below the smallest subnormal).
        const long precision = lead >= -1022 ? 53 : 53 - (-1022 - lead);
        const long drop = h - precision;
        std::uint64_t kept = 0;
        if (drop <= 0) {
            for (int i = h - 1; i >= 0; --i) {
                kept = (kept << 1) | (bit(m.data(), i) ? 1 : 0);
            }
        } else {
            for (long i = h - 1; i >= drop; --i) {
                kept = (kept << 1) | (bit(m.data(), static_cast<int>(i)) ? 1 : 0);
            }
            const bool half = drop - 1 < h && bit(m.data(), static_cast<int>(drop - 1));
            bool sticky = false;
            for (long i = std::min<long>(drop - 1, h) - 1; i >= 0 && !sticky; --i) {
                sticky = bit(m.data(), static_cast<int>(i));
            }
            if (half && (sticky || (kept & 1))) {
                ++kept;
            }
        }
        r = std::ldexp(static_cast<double>(kept), static_cast<int>(unit + std::max<long>(drop, 0)));
    }
    return negative ? -r : r;
}

/// Sums `count` elements of `words` words over comm in place, exactly.
bool allreduce_wide(std::uint64_t* values, std::size_t count, int words, MPI_Comm comm)
{
    if (words == 1) {
        return detail::allreduce_in_pieces(values, count, MPI_UINT64_T, comm);
    }
    MPI_Datatype type;
    MPI_Op op;
    MPI_Type_contiguous(words, MPI_UINT64_T, &type);
    MPI_Type_commit(&type);
    MPI_Op_create(&add_wide, 1, &op);
    bool ok = true;
    constexpr std::size_t piece = std::size_t{1} << 30;
    for (std::size_t done = 0; done < count && ok; done += piece) {
        ok = MPI_Allreduce(MPI_IN_PLACE, values + done * static_cast<std::size_t>(words),
                           static_cast<int>(std::min(piece, count - done)), type, op, comm) == MPI_SUCCESS;
    }
    MPI_Op_free(&op);
    MPI_Type_free(&type);
    return ok;
}


} // namespace virda::engine::wide_weights
