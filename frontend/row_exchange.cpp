#include "frontend/row_exchange.h"

#include <algorithm>
#include <cstring>

namespace virda::frontend {
namespace {

/// The rows two ranges share.
row_range overlap(const row_range& a, const row_range& b)
{
    const std::int64_t first = std::max(a.first, b.first);
    const std::int64_t end = std::min(a.first + a.count, b.first + b.count);
    return {first, std::max<std::int64_t>(end - first, 0)};
}

constexpr std::int64_t piece_bytes = std::int64_t{1} << 30;

} // namespace

row_range balanced_rows(std::int64_t rows, int ranks, int rank)
{
    const std::int64_t q = rows / ranks;
    const std::int64_t m = rows % ranks;
    const std::int64_t r = rank;
    return {r < m ? r * (q + 1) : m * (q + 1) + (r - m) * q, r < m ? q + 1 : q};
}

std::vector<row_range> layout_of(const std::vector<std::int64_t>& rows_per_rank)
{
    std::vector<row_range> out;
    std::int64_t first = 0;
    for (const std::int64_t n : rows_per_rank) {
        out.push_back({first, n});
        first += n;
    }
    return out;
}

bool exchange_rows(const void* in, void* out, std::int64_t row_bytes, const std::vector<row_range>& from,
                   const std::vector<row_range>& to, MPI_Comm comm)
{
    int size = 0;
    int me = 0;
    MPI_Comm_size(comm, &size);
    MPI_Comm_rank(comm, &me);
    const auto* source = static_cast<const unsigned char*>(in);
    auto* target = static_cast<unsigned char*>(out);
    std::vector<MPI_Request> requests;
    bool ok = true;
    // Receives first, then sends, each in pieces numbered by their place in
    // the transfer (the tag), so that pieces between two ranks pair up.
    for (int pass = 0; pass < 2; ++pass) {
        for (int r = 0; r < size; ++r) {
            const row_range rows = pass == 0 ? overlap(from[static_cast<std::size_t>(r)], to[static_cast<std::size_t>(me)])
                                             : overlap(from[static_cast<std::size_t>(me)], to[static_cast<std::size_t>(r)]);
            if (rows.count == 0) {
                continue;
            }
            const std::int64_t bytes = rows.count * row_bytes;
            if (r == me) {
                if (pass == 1) {
                    std::memcpy(target + (rows.first - to[static_cast<std::size_t>(me)].first) * row_bytes,
                                source + (rows.first - from[static_cast<std::size_t>(me)].first) * row_bytes,
                                static_cast<std::size_t>(bytes));
                }
                continue;
            }
            int tag = 0;
            for (std::int64_t done = 0; done < bytes; done += piece_bytes, ++tag) {
                const int n = static_cast<int>(std::min(piece_bytes, bytes - done));
                MPI_Request q = MPI_REQUEST_NULL;
                if (pass == 0) {
                    unsigned char* at = target + (rows.first - to[static_cast<std::size_t>(me)].first) * row_bytes + done;
                    ok = ok && MPI_Irecv(at, n, MPI_BYTE, r, tag, comm, &q) == MPI_SUCCESS;
                } else {
                    const unsigned char* at =
                        source + (rows.first - from[static_cast<std::size_t>(me)].first) * row_bytes + done;
                    ok = ok && MPI_Isend(at, n, MPI_BYTE, r, tag, comm, &q) == MPI_SUCCESS;
                }
                requests.push_back(q);
            }
        }
    }
    if (!requests.empty()) {
        ok = MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE) == MPI_SUCCESS && ok;
    }
    return ok;
}

} // namespace virda::frontend
