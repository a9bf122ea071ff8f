#include "engine/binned_statistics.h"

#include "engine/allocation_failures.h"
#include "engine/bin_totals.h"
#include "engine/binning_support.h"
#include "engine/exact_total.h"
#include "engine/number.h"
#include "engine/quantile_method.h"
#include "engine/values_as_doubles.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

namespace virda::engine {
namespace {

using detail::add_exactly;
using detail::exact_total;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Fields of one bin's result per column, in the gathered record: NaN count,
// sum, mean, std, min, max, median, then one per quantile.
enum field : std::size_t { f_nans, f_sum, f_mean, f_std, f_min, f_max, f_median, f_quantiles };

/// The exact total of f(v[i]) rounded once.
template <typename F>
double exact_total_of(const double* v, std::int64_t n, F f)
{
    exact_total t;
    for (std::int64_t i = 0; i < n; ++i) {
        add_exactly(t, f(v[i]));
        // A digit takes less than 2^32 per value: normalise long before int64 overflows.
        if ((i & ((std::int64_t{1} << 30) - 1)) == (std::int64_t{1} << 30) - 1) {
            detail::normalise(t);
        }
    }
    return detail::round_to_double(t);
}

/// Order of a bin's values for its order statistics: NaN after every
/// number, -0.0 before +0.0.
inline bool sorts_before(double a, double b)
{
    if (a != a) {
        return false;
    }
    if (b != b) {
        return true;
    }
    return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

number as_number(double x)
{
    number r;
    r.floating = x;
    return r;
}

/// The statistics of one bin's values (n > 0, reordered in place) into
/// out[field * columns] for this column.
void bin_statistics(double* v, std::int64_t n, const binned_statistics_wanted& wanted, double* out,
                    std::size_t stride)
{
    std::int64_t nans = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        nans += v[i] != v[i] ? 1 : 0;
    }
    out[f_nans * stride] = static_cast<double>(nans);
    const auto count = static_cast<double>(n);
    if (wanted.sum || wanted.mean || wanted.std) {
        const double sum = n == 1 ? v[0] : exact_total_of(v, n, [](double x) { return x; });
        const double mean = sum / count;
        out[f_sum * stride] = sum;
        out[f_mean * stride] = mean;
        if (wanted.std) {
            out[f_std * stride] = std::sqrt(exact_total_of(v, n, [mean](double x) {
                                                const double d = x - mean;
                                                return d * d;
                                            }) /
                                            count);
        }
    }
    if (wanted.min || wanted.max) {
        double least = nan;
        double greatest = nan;
        for (std::int64_t i = 0; i < n; ++i) {
            const double x = v[i];
            if (x == x) {
                least = least == least && !sorts_before(x, least) ? least : x;
                greatest = greatest == greatest && !sorts_before(greatest, x) ? greatest : x;
            }
        }
        out[f_min * stride] = least;
        out[f_max * stride] = greatest;
    }
    if (!wanted.median && wanted.quantiles.empty()) {
        return;
    }
    // The value of a given order, with everything before it not after it.
    const auto order = [&](std::uint64_t k) {
        std::nth_element(v, v + k, v + n, sorts_before);
        return v[k];
    };
    const auto next = [&](std::uint64_t k) {
        // After order(k): the least of what follows k is the value of order k + 1.
        return *std::min_element(v + k + 1, v + n, sorts_before);
    };
    if (wanted.median) {
        const auto lower = static_cast<std::uint64_t>((n - 1) / 2);
        const double a = order(lower);
        const double b = n % 2 == 1 ? a : next(lower);
        out[f_median * stride] = (a + b) / 2;
    }
    for (std::size_t q = 0; q < wanted.quantiles.size(); ++q) {
        const quantile_position w = position_of(wanted.quantiles[q], static_cast<std::uint64_t>(n),
                                                quantile_method::linear);
        const double a = order(w.below);
        const double b = w.above == w.below || w.gamma == 0 ? a : next(w.below);
        // A position on a value is that value (an infinity stays itself).
        out[(f_quantiles + q) * stride] =
            w.exact || w.above == w.below || w.gamma == 0 ? a
            : w.gamma == 1                                 ? b
                                                           : interpolate(as_number(a), as_number(b), w.gamma);
    }
}

std::uint64_t fingerprint_of(std::int64_t bins, std::int64_t columns, const binned_statistics_wanted& w)
{
    std::uint64_t h = detail::mix(static_cast<std::uint64_t>(bins), static_cast<std::uint64_t>(columns));
    h = detail::mix(h, (w.sum ? 1u : 0u) | (w.mean ? 2u : 0u) | (w.std ? 4u : 0u) | (w.min ? 8u : 0u) |
                           (w.max ? 16u : 0u) | (w.median ? 32u : 0u));
    for (const double q : w.quantiles) {
        h = detail::mix(h, detail::bits_of(q));
    }
    return detail::mix(h, w.quantiles.size());
}

/// One reduction agreeing that no rank failed (else out_of_memory or
/// invalid_argument naming the lowest failing rank) and that every rank
/// made the same call.
void agree(MPI_Comm comm, bool short_of_memory, bool bad_bins, std::uint64_t fingerprint, const char* stage)
{
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    detail::reduction_record record;
    const auto memory = record.reserve_agreement(short_of_memory, rank, fingerprint);
    const auto bins = record.reserve_agreement(bad_bins, rank, 0);
    if (!record.allreduce(comm)) {
        throw error(error_code::mpi_failure, std::string("binned_statistics: the agreement failed ") + stage);
    }
    const int failing = record.failed_rank(memory);
    if (failing >= 0) {
        throw error(error_code::out_of_memory,
                    "binned_statistics: rank " + std::to_string(failing) + " could not allocate " + stage, failing);
    }
    const int bad = record.failed_rank(bins);
    if (bad >= 0) {
        throw error(error_code::invalid_argument,
                    "binned_statistics: rank " + std::to_string(bad) + " holds a bin number beyond the bins", bad);
    }
    if (!record.same_calls(memory)) {
        throw error(error_code::ranks_disagree,
                    "binned_statistics: the ranks finished different bins, columns or statistics");
    }
}

/// Doubles left uninitialised: every one is written before it is read, and
/// zeroing fresh pages first would only add a pass over them.
class double_buffer {
public:
    void resize(std::size_t n)
    {
        values_.reset(new double[n]);
        size_ = n;
    }
    void release()
    {
        values_.reset();
        size_ = 0;
    }
    double* data() { return values_.get(); }
    double& operator[](std::size_t i) { return values_[i]; }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<double[]> values_;
    std::size_t size_ = 0;
};

/// The bin number of one point of a run of int64.
inline std::int64_t bin_at(const values_view& v, std::int64_t i)
{
    std::int64_t b;
    std::memcpy(&b, static_cast<const unsigned char*>(v.data) + i * v.stride, sizeof b);
    return b;
}

/// Whether a run of T starting at data, stride bytes apart, can be read as a
/// plain array.
template <typename T>
bool in_place(const void* data, std::int64_t stride)
{
    return stride == static_cast<std::int64_t>(sizeof(T)) && reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
}

/// Whether the statistics asked for follow from exact totals per bin alone
/// (sum, mean, std), so that no bin's values need to meet on one rank.
bool totals_suffice(const binned_statistics_wanted& w)
{
    return (w.sum || w.mean || w.std) && !w.min && !w.max && !w.median && w.quantiles.empty();
}

/// Whether exact totals per bin and column are the cheaper way for these
/// global counts: every rank holds and reduces exact_record_fields int64 per
/// bin and column, where gathering moves every point's row once. Totals are
/// taken when they hold at most 256 MiB and there are at least
/// exact_record_fields / 8 points per bin on average. The counts are those
/// reduced over the ranks, so every rank decides alike.
bool totals_fit(const std::vector<std::int64_t>& counts, std::size_t columns)
{
    std::int64_t points = 0;
    for (const std::int64_t c : counts) {
        points += c;
    }
    const double fields = static_cast<double>(counts.size()) * static_cast<double>(columns) *
                          static_cast<double>(detail::exact_record_fields);
    return fields * 8 <= static_cast<double>(std::size_t{1} << 28) &&
           static_cast<double>(counts.size()) * static_cast<double>(detail::exact_record_fields) <=
               8.0 * static_cast<double>(points);
}

} // namespace

binned_statistics::binned_statistics(std::int64_t bins, std::int64_t columns) : bins_(bins), columns_(columns)
{
    detail::check_bins(bins, "binned_statistics");
    if (columns < 0 || columns > (std::int64_t{1} << 20)) {
        throw error(error_code::invalid_argument, "binned_statistics: the number of value columns must be between 0 "
                                                  "and 2^20, not " + std::to_string(columns));
    }
    try {
        detail::check_allocation();
        counts_.assign(static_cast<std::size_t>(bins), 0);
    } catch (const std::bad_alloc&) {
        failed_ = true;
    }
}

void binned_statistics::add(const values_view& bin_numbers)
{
    add(bin_numbers, table_view{nullptr, number_type::float64, bin_numbers.count, 0, 0, 0});
}

void binned_statistics::add(const values_view& bin_numbers, const table_view& values)
{
    if (bin_numbers.type != number_type::int64) {
        throw error(error_code::invalid_argument, "binned_statistics: bin numbers must be int64");
    }
    if (columns_ > 0 && (values.rows != bin_numbers.count || values.columns != columns_)) {
        throw error(error_code::invalid_argument,
                    "binned_statistics: a table of " + std::to_string(values.rows) + " x " +
                        std::to_string(values.columns) + " values for " + std::to_string(bin_numbers.count) +
                        " points of " + std::to_string(columns_) + " columns");
    }
    if (bin_numbers.count <= 0 || failed_) {
        return;
    }
    for (std::int64_t i = 0; i < bin_numbers.count; ++i) {
        const std::int64_t b = bin_at(bin_numbers, i);
        if (b >= bins_) {
            bad_bin_ = true;
        } else if (b >= 0) {
            ++counts_[static_cast<std::size_t>(b)];
        }
    }
    if (columns_ > 0) {
        blocks_.push_back({bin_numbers, values});
    }
}

binned_statistics_result binned_statistics::finish(MPI_Comm comm, const binned_statistics_wanted& wanted) const
{
    for (const double q : wanted.quantiles) {
        if (!(q >= 0.0 && q <= 1.0)) {
            throw error(error_code::invalid_argument, "Quantiles must be in the range [0, 1]");
        }
    }
    const auto nbins = static_cast<std::size_t>(bins_);
    const auto k = static_cast<std::size_t>(columns_);
    const bool reads_values = k > 0 && (wanted.sum || wanted.mean || wanted.std || wanted.min || wanted.max ||
                                        wanted.median || !wanted.quantiles.empty());
    binned_statistics_result r;
    r.bins = bins_;
    r.columns = columns_;
    bool short_of_memory = failed_;
    try {
        detail::check_allocation();
        if (!failed_) {
            r.counts = counts_;
        }
    } catch (const std::bad_alloc&) {
        short_of_memory = true;
    }
    const std::uint64_t fingerprint = fingerprint_of(bins_, columns_, wanted);
    agree(comm, short_of_memory, bad_bin_, fingerprint, "its bins");
    if (!detail::allreduce_in_pieces(r.counts.data(), nbins, MPI_INT64_T, comm)) {
        throw error(error_code::mpi_failure, "binned_statistics: the reduction of the counts failed");
    }
    if (!reads_values) {
        return r;
    }
    if (totals_suffice(wanted) && totals_fit(r.counts, k)) {
        finish_by_totals(r, wanted, comm, fingerprint);
        return r;
    }

    // Owners: bin b goes to rank floor(points before b * ranks / points), so
    // that each rank owns a contiguous range of bins holding about an equal
    // share of the points. The same on every rank.
    int size = 1;
    int rank = 0;
    MPI_Comm_size(comm, &size);
    MPI_Comm_rank(comm, &rank);
    const auto ranks = static_cast<std::size_t>(size);
    std::int64_t total = 0;
    for (const std::int64_t c : r.counts) {
        total += c;
    }
    std::vector<std::int64_t> first_bin(ranks + 1, bins_); // first_bin[p]: the first bin of rank p
    std::vector<std::int64_t> received(ranks, 0);          // points each rank owns
    {
        std::int64_t before = 0;
        std::size_t owner = 0;
        first_bin[0] = 0;
        for (std::size_t b = 0; b < nbins; ++b) {
            const auto o = total == 0 ? std::size_t{0}
                                      : std::min(ranks - 1, static_cast<std::size_t>(
                                                                static_cast<detail::i128>(before) * size / total));
            while (owner < o) {
                first_bin[++owner] = static_cast<std::int64_t>(b);
            }
            received[owner] += r.counts[b];
            before += r.counts[b];
        }
    }
    for (std::size_t p = 0; p < ranks; ++p) {
        if (received[p] > INT_MAX) {
            throw error(error_code::invalid_argument, "binned_statistics: rank " + std::to_string(p) + " would own " +
                                                          std::to_string(received[p]) +
                                                          " points, more than 2^31 - 1");
        }
    }
    const auto me = static_cast<std::size_t>(rank);
    const std::size_t row = k + 1; // the bin number's bits, then the values
    // The fields computed per bin and column, and those gathered: only what
    // was asked for (NaN counts with the extremes).
    const std::size_t computed = f_quantiles + wanted.quantiles.size();
    std::vector<std::size_t> gathered;
    const bool asked[] = {wanted.min || wanted.max, wanted.sum, wanted.mean, wanted.std,
                          wanted.min,              wanted.max, wanted.median};
    for (std::size_t f = 0; f < computed; ++f) {
        if (f >= f_quantiles || asked[f]) {
            gathered.push_back(f);
        }
    }
    const std::size_t fields = gathered.size();
    const std::size_t my_first = static_cast<std::size_t>(first_bin[me]);
    const std::size_t my_bins = static_cast<std::size_t>(first_bin[me + 1]) - my_first;
    const auto mine = static_cast<std::size_t>(received[me]);

    std::vector<std::int64_t> send_counts(ranks, 0);
    std::vector<std::int64_t> recv_counts(ranks, 0);
    std::vector<std::size_t> send_at(ranks + 1, 0);
    double_buffer sending;
    double_buffer receiving;
    double_buffer grouped; // per column, the owned bins' values bin after bin
    std::vector<std::size_t> starts; // per owned bin, where its values start
    std::vector<double> results;     // per bin, fields x columns
    std::vector<double> everything;
    short_of_memory = false;
    try {
        detail::check_allocation();
        std::int64_t local = 0;
        for (std::size_t p = 0; p < ranks; ++p) {
            for (auto b = static_cast<std::size_t>(first_bin[p]); b < static_cast<std::size_t>(first_bin[p + 1]);
                 ++b) {
                send_counts[p] += counts_[b];
            }
            // This rank's own rows go straight to their bins: no buffer.
            local += p == me ? 0 : send_counts[p];
            send_at[p + 1] = static_cast<std::size_t>(local) * row;
        }
        sending.resize(static_cast<std::size_t>(local) * row);
        receiving.resize((mine - static_cast<std::size_t>(send_counts[me])) * row);
        grouped.resize(mine * k);
        starts.resize(my_bins + 1);
        results.resize(my_bins * fields * k);
        everything.resize(nbins * fields * k);
    } catch (const std::bad_alloc&) {
        short_of_memory = true;
    }
    agree(comm, short_of_memory, false, fingerprint, "the values of its bins");

    // Where each owned bin's values start in `grouped`.
    starts[0] = 0;
    for (std::size_t b = 0; b < my_bins; ++b) {
        starts[b + 1] = starts[b] + static_cast<std::size_t>(r.counts[my_first + b]);
    }
    std::vector<std::size_t> cursor(starts.begin(), starts.end() - 1);

    // Rows to send, grouped by owner; this rank's own values into their bins.
    {
        std::vector<std::size_t> at(send_at.begin(), send_at.end() - 1);
        std::vector<double> chunk(detail::copy_chunk * k);
        for (const block& blk : blocks_) {
            for (std::int64_t done = 0; done < blk.bin_numbers.count;) {
                const auto m = static_cast<std::size_t>(
                    std::min<std::int64_t>(blk.bin_numbers.count - done, detail::copy_chunk));
                for (std::size_t c = 0; c < k; ++c) {
                    detail::as_doubles(column_of(blk.values, static_cast<std::int64_t>(c)), done, m,
                                       chunk.data() + c * detail::copy_chunk);
                }
                for (std::size_t i = 0; i < m; ++i) {
                    const std::int64_t b = bin_at(blk.bin_numbers, done + static_cast<std::int64_t>(i));
                    if (b < 0) {
                        continue;
                    }
                    const auto p = static_cast<std::size_t>(
                        std::upper_bound(first_bin.begin() + 1, first_bin.end(), b) - (first_bin.begin() + 1));
                    if (p == me) {
                        const std::size_t j = cursor[static_cast<std::size_t>(b) - my_first]++;
                        for (std::size_t c = 0; c < k; ++c) {
                            grouped[c * mine + j] = chunk[c * detail::copy_chunk + i];
                        }
                        continue;
                    }
                    double* out = sending.data() + at[p];
                    std::memcpy(out, &b, sizeof b);
                    for (std::size_t c = 0; c < k; ++c) {
                        out[1 + c] = chunk[c * detail::copy_chunk + i];
                    }
                    at[p] += row;
                }
                done += static_cast<std::int64_t>(m);
            }
        }
    }

    // The exchange: counts first, then the rows point to point.
    if (MPI_Alltoall(send_counts.data(), 1, MPI_INT64_T, recv_counts.data(), 1, MPI_INT64_T, comm) != MPI_SUCCESS) {
        throw error(error_code::mpi_failure, "binned_statistics: the exchange of the row counts failed");
    }
    {
        MPI_Datatype row_type;
        MPI_Type_contiguous(static_cast<int>(row), MPI_DOUBLE, &row_type);
        MPI_Type_commit(&row_type);
        std::vector<MPI_Request> requests;
        std::size_t from = 0;
        bool ok = true;
        for (std::size_t p = 0; p < ranks; ++p) {
            const auto n = static_cast<int>(recv_counts[p]);
            if (p != me && n > 0) {
                requests.emplace_back();
                ok = ok && MPI_Irecv(receiving.data() + from, n, row_type, static_cast<int>(p), 0, comm,
                                     &requests.back()) == MPI_SUCCESS;
                from += static_cast<std::size_t>(n) * row;
            }
        }
        for (std::size_t p = 0; p < ranks; ++p) {
            if (p != me && send_counts[p] > 0) {
                requests.emplace_back();
                ok = ok && MPI_Isend(sending.data() + send_at[p], static_cast<int>(send_counts[p]), row_type,
                                     static_cast<int>(p), 0, comm, &requests.back()) == MPI_SUCCESS;
            }
        }
        ok = MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE) == MPI_SUCCESS &&
             ok;
        MPI_Type_free(&row_type);
        if (!ok) {
            throw error(error_code::mpi_failure, "binned_statistics: the exchange of the rows failed");
        }
    }
    sending.release();

    // The other ranks' values grouped by bin, column after column, then each
    // bin's statistics.
    {
        const std::size_t arrived = receiving.size() / row;
        for (std::size_t i = 0; i < arrived; ++i) {
            const double* in = receiving.data() + i * row;
            std::int64_t b;
            std::memcpy(&b, in, sizeof b);
            const std::size_t j = cursor[static_cast<std::size_t>(b) - my_first]++;
            for (std::size_t c = 0; c < k; ++c) {
                grouped[c * mine + j] = in[1 + c];
            }
        }
    }
    receiving.release();
    std::vector<double> one_bin(computed * k);
    for (std::size_t b = 0; b < my_bins; ++b) {
        const auto n = static_cast<std::int64_t>(starts[b + 1] - starts[b]);
        for (std::size_t c = 0; c < k; ++c) {
            if (n == 0) {
                for (std::size_t f = 0; f < computed; ++f) {
                    one_bin[f * k + c] = f == f_nans || f == f_sum ? 0.0 : nan;
                }
            } else {
                bin_statistics(grouped.data() + c * mine + starts[b], n, wanted, one_bin.data() + c, k);
            }
        }
        double* out = results.data() + b * fields * k;
        for (std::size_t g = 0; g < fields; ++g) {
            std::copy_n(one_bin.data() + gathered[g] * k, k, out + g * k);
        }
    }

    // Every owner's results to every rank: bins of fields x columns doubles.
    {
        MPI_Datatype bin_type;
        MPI_Type_contiguous(static_cast<int>(fields * k), MPI_DOUBLE, &bin_type);
        MPI_Type_commit(&bin_type);
        std::vector<int> counts(ranks);
        std::vector<int> displacements(ranks);
        for (std::size_t p = 0; p < ranks; ++p) {
            counts[p] = static_cast<int>(first_bin[p + 1] - first_bin[p]);
            displacements[p] = static_cast<int>(first_bin[p]);
        }
        const int rc = MPI_Allgatherv(results.data(), static_cast<int>(my_bins), bin_type, everything.data(),
                                      counts.data(), displacements.data(), bin_type, comm);
        MPI_Type_free(&bin_type);
        if (rc != MPI_SUCCESS) {
            throw error(error_code::mpi_failure, "binned_statistics: the gathering of the results failed");
        }
    }
    const auto take = [&](std::size_t f, std::vector<double>& out) {
        f = static_cast<std::size_t>(std::find(gathered.begin(), gathered.end(), f) - gathered.begin());
        out.resize(nbins * k);
        for (std::size_t b = 0; b < nbins; ++b) {
            for (std::size_t c = 0; c < k; ++c) {
                out[c * nbins + b] = everything[(b * fields + f) * k + c];
            }
        }
    };
    if (wanted.min || wanted.max) {
        std::vector<double> nans;
        take(f_nans, nans);
        r.nan_counts.assign(nans.begin(), nans.end());
    }
    if (wanted.sum) {
        take(f_sum, r.sum);
    }
    if (wanted.mean) {
        take(f_mean, r.mean);
    }
    if (wanted.std) {
        take(f_std, r.std);
    }
    if (wanted.min) {
        take(f_min, r.min);
    }
    if (wanted.max) {
        take(f_max, r.max);
    }
    if (wanted.median) {
        take(f_median, r.median);
    }
    r.quantiles.resize(wanted.quantiles.size());
    for (std::size_t q = 0; q < wanted.quantiles.size(); ++q) {
        take(f_quantiles + q, r.quantiles[q]);
    }
    return r;
}

// Each bin's values are added into an exact total where they lie, on the
// rank that holds them; the totals are summed over the ranks as integers and
// rounded once, which is what the gathering path computes from the same
// values, so the two paths give the same bits.
void binned_statistics::finish_by_totals(binned_statistics_result& r, const binned_statistics_wanted& wanted,
                                         MPI_Comm comm, std::uint64_t fingerprint) const
{
    const auto nbins = static_cast<std::size_t>(bins_);
    const auto k = static_cast<std::size_t>(columns_);
    const std::size_t cells = nbins * k; // column after column, as the results
    constexpr std::size_t fields = detail::exact_record_fields;
    std::unique_ptr<detail::bin_totals> totals;
    std::vector<std::int64_t> record;
    std::vector<double> chunk;
    std::vector<std::int64_t> numbers;
    bool short_of_memory = false;
    try {
        detail::check_allocation();
        totals = std::make_unique<detail::bin_totals>(cells);
        record.resize(cells * fields);
        chunk.resize(detail::copy_chunk * k);
        numbers.resize(detail::copy_chunk);
    } catch (const std::bad_alloc&) {
        short_of_memory = true;
    }
    agree(comm, short_of_memory, false, fingerprint, "the totals of its bins");

    // One pass over this rank's points adding term(value, cell) to the cell's
    // total, then the totals of every rank summed and rounded. Collective.
    const auto total_over_ranks = [&](auto term, std::vector<double>& out) {
        detail::bin_totals& t = *totals;
        t.clear();
        for (const block& blk : blocks_) {
            for (std::int64_t done = 0; done < blk.bin_numbers.count;) {
                const auto m = static_cast<std::size_t>(
                    std::min<std::int64_t>(blk.bin_numbers.count - done, detail::copy_chunk));
                // Contiguous, aligned bin numbers and doubles are read where they lie.
                const std::int64_t* at = numbers.data();
                if (in_place<std::int64_t>(blk.bin_numbers.data, blk.bin_numbers.stride)) {
                    at = static_cast<const std::int64_t*>(blk.bin_numbers.data) + done;
                } else {
                    for (std::size_t i = 0; i < m; ++i) {
                        numbers[i] = bin_at(blk.bin_numbers, done + static_cast<std::int64_t>(i));
                    }
                }
                for (std::size_t c = 0; c < k; ++c) {
                    const values_view column = column_of(blk.values, static_cast<std::int64_t>(c));
                    const double* v = chunk.data() + c * detail::copy_chunk;
                    if (column.type == number_type::float64 && in_place<double>(column.data, column.stride)) {
                        v = static_cast<const double*>(column.data) + done;
                    } else {
                        detail::as_doubles(column, done, m, chunk.data() + c * detail::copy_chunk);
                    }
                    t.add_run(c * nbins, at, v, m, term);
                }
                done += static_cast<std::int64_t>(m);
            }
        }
        t.write_records(record.data());
        if (!detail::allreduce_in_pieces(record.data(), record.size(), MPI_INT64_T, comm)) {
            throw error(error_code::mpi_failure, "binned_statistics: the reduction of the totals failed");
        }
        out.resize(cells);
        for (std::size_t j = 0; j < cells; ++j) {
            out[j] = detail::round_to_double(detail::read_record(record.data() + j * fields));
        }
    };

    std::vector<double> sum;
    total_over_ranks([](double x, std::size_t) { return x; }, sum);
    std::vector<double> mean(cells);
    for (std::size_t j = 0; j < cells; ++j) {
        const std::int64_t n = r.counts[j % nbins];
        // An empty bin totals 0 (never -0.0) and has no mean.
        sum[j] = n == 0 ? 0.0 : sum[j];
        mean[j] = n == 0 ? nan : sum[j] / static_cast<double>(n);
    }
    if (wanted.std) {
        std::vector<double> squares;
        total_over_ranks(
            [&mean](double x, std::size_t cell) {
                const double d = x - mean[cell];
                return d * d;
            },
            squares);
        r.std.resize(cells);
        for (std::size_t j = 0; j < cells; ++j) {
            const std::int64_t n = r.counts[j % nbins];
            r.std[j] = n == 0 ? nan : std::sqrt(squares[j] / static_cast<double>(n));
        }
    }
    if (wanted.sum) {
        r.sum = std::move(sum);
    }
    if (wanted.mean) {
        r.mean = std::move(mean);
    }
    r.quantiles.clear();
}

} // namespace virda::engine
