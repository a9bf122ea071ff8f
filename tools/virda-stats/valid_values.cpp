#include "valid_values.h"

#include "collective_error.h"
#include "dataset_arrays.h"
#include "held_types.h"
#include "memory_check.h"

#include <algorithm>
#include <cmath>

namespace virda_stats {

namespace {

/// One column's facts as the five doubles that the reduction combines:
/// count, NaN and missing counts are summed (exact: counts below 2^53), the
/// minimum and the negated maximum are taken the least of.
constexpr int fact_numbers = 5;

void combine_records(void* in, void* inout, int* len, MPI_Datatype*)
{
    const auto* a = static_cast<const double*>(in);
    auto* b = static_cast<double*>(inout);
    for (int r = 0; r < *len; ++r, a += fact_numbers, b += fact_numbers) {
        b[0] += a[0];
        b[1] += a[1];
        b[2] += a[2];
        b[3] = std::min(b[3], a[3]);
        b[4] = std::min(b[4], a[4]);
    }
}

/// The values taken of this rank's n values, unpacked into U.
template <typename U, typename T>
std::vector<U> taken_here(const T* values, std::size_t n, std::size_t stride, const value_rules& rules,
                          const std::vector<char>* keep)
{
    std::vector<U> out;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = static_cast<double>(values[i * stride]);
        if (keep != nullptr ? (*keep)[i] != 0 : rules.taken(v)) {
            out.push_back(static_cast<U>(rules.unpack(v)));
        }
    }
    return out;
}

/// An array of `total` elements whose element g is value g - p(r) of rank
/// r's `mine` (p(r): the values of the ranks before r): each rank sends its
/// values to the ranks whose blocks hold their global places. Collective.
template <typename U>
va<U> spread(const std::vector<U>& mine, long long total, const std::string& name, MPI_Comm comm)
{
    const place_in here(comm);
    const int rank = here.rank;
    const int ranks = here.ranks;
    std::vector<long long> counts(static_cast<std::size_t>(ranks), 0);
    const long long n = static_cast<long long>(mine.size());
    MPI_Allgather(&n, 1, MPI_LONG_LONG, counts.data(), 1, MPI_LONG_LONG, comm);

    va<U> out({static_cast<int>(total)}, comm);
    require_allocated(out, total, name, comm);
    // Rank s's values have the global places [p(s), p(s) + counts[s]); rank
    // d's block holds [first(d), last(d)].
    std::vector<long long> start(static_cast<std::size_t>(ranks), 0);
    for (int s = 1; s < ranks; ++s) {
        start[s] = start[s - 1] + counts[s - 1];
    }
    const auto overlap = [](long long a0, long long a1, long long b0, long long b1) {
        return std::max(0LL, std::min(a1, b1) - std::max(a0, b0));
    };
    std::vector<int> send(ranks, 0), send_at(ranks, 0), receive(ranks, 0), receive_at(ranks, 0);
    const va_range own = out.va_local_range();
    for (int d = 0; d < ranks; ++d) {
        int first = 0;
        int last = -1;
        out.va_distribution_index(d, &first, &last);
        send[d] = static_cast<int>(overlap(start[rank], start[rank] + n, first, last + 1LL));
        send_at[d] = static_cast<int>(std::max(0LL, first - start[rank]));
        receive[d] = static_cast<int>(overlap(start[d], start[d] + counts[d], own.first, own.first + own.count));
        receive_at[d] = static_cast<int>(std::max(0LL, start[d] - own.first));
    }
    MPI_Alltoallv(mine.data(), send.data(), send_at.data(), h5_element<U>::mpi_type(), out.va_local_data(),
                  receive.data(), receive_at.data(), h5_element<U>::mpi_type(), comm);
    out.va_sync();
    return out;
}

} // namespace

magnitude column_facts::magnitude_of(const value_rules& rules) const
{
    magnitude m;
    const bool nan_taken = nan > 0 && !rules.skip_nan;
    m.finite = !nan_taken && (!has_extremes() || (std::isfinite(min) && std::isfinite(max)));
    m.largest = m.finite && has_extremes() ? std::max(std::fabs(min), std::fabs(max)) : 0.0;
    return m;
}

template <typename T>
std::vector<column_facts> local_facts(const T* values, std::size_t n, int k, const value_rules& rules)
{
    std::vector<column_facts> facts(static_cast<std::size_t>(k));
    const std::size_t width = static_cast<std::size_t>(k);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < width; ++c) {
            column_facts& f = facts[c];
            const double v = static_cast<double>(values[i * width + c]);
            if (rules.missing(v)) {
                ++f.missing;
                continue;
            }
            // NaN is counted as the statistics see it: after unpacking.
            const double u = rules.unpack(v);
            if (std::isnan(u)) {
                ++f.nan;
                f.count += rules.skip_nan ? 0 : 1;
            } else {
                ++f.count;
                f.min = std::min(f.min, u);
                f.max = std::max(f.max, u);
            }
        }
    }
    return facts;
}

void combine_facts(std::vector<column_facts>& facts, MPI_Comm comm)
{
    std::vector<double> records;
    records.reserve(facts.size() * fact_numbers);
    for (const column_facts& f : facts) {
        records.insert(records.end(), {static_cast<double>(f.count), static_cast<double>(f.nan),
                                       static_cast<double>(f.missing), f.min, -f.max});
    }
    MPI_Datatype record = MPI_DATATYPE_NULL;
    MPI_Type_contiguous(fact_numbers, MPI_DOUBLE, &record);
    MPI_Type_commit(&record);
    MPI_Op op = MPI_OP_NULL;
    MPI_Op_create(combine_records, 1, &op);
    MPI_Allreduce(MPI_IN_PLACE, records.data(), static_cast<int>(facts.size()), record, op, comm);
    MPI_Op_free(&op);
    MPI_Type_free(&record);
    for (std::size_t c = 0; c < facts.size(); ++c) {
        const double* r = &records[c * fact_numbers];
        facts[c].count = static_cast<long long>(r[0]);
        facts[c].nan = static_cast<long long>(r[1]);
        facts[c].missing = static_cast<long long>(r[2]);
        facts[c].min = r[3];
        facts[c].max = -r[4];
    }
}

template <typename T>
Attribute taken_array(const T* values, std::size_t n, std::size_t stride, const value_rules& rules,
                      const std::vector<char>* keep, long long total, const std::string& name, MPI_Comm comm)
{
    if (rules.packed) {
        return hold(spread(taken_here<double>(values, n, stride, rules, keep), total, name, comm));
    }
    return hold(spread(taken_here<T>(values, n, stride, rules, keep), total, name, comm));
}

#define VIRDA_STATS_INSTANTIATE(T)                                                                     \
    template std::vector<column_facts> local_facts<T>(const T*, std::size_t, int, const value_rules&); \
    template Attribute taken_array<T>(const T*, std::size_t, std::size_t, const value_rules&,          \
                                      const std::vector<char>*, long long, const std::string&, MPI_Comm);
VIRDA_STATS_FOR_EACH_NUMBER_TYPE(VIRDA_STATS_INSTANTIATE)
#undef VIRDA_STATS_INSTANTIATE

} // namespace virda_stats
