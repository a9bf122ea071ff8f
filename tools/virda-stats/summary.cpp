#include "summary.h"

#include "collective_error.h"
#include "dataset_arrays.h"
#include "memory_check.h"
#include "moments.h"
#include "valid_values.h"

#include "framework/runtime/virda_globals.h"
#include "statistics/median.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace virda_stats {

namespace {

const char* const component_names[] = {"x", "y", "z"};
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

/// The row of column `c` of a table (a component of vectors), or with c = -1
/// the row of the dataset's one array; no numbers yet.
summary_row row_for(const dataset_shape& s, int c)
{
    summary_row row;
    row.dataset = s.name;
    row.type = held_type(s);
    if (c >= 0 && s.components > 1) {
        row.component = component_names[c];
    } else {
        row.column = c >= 0 ? c : s.column;
    }
    row.conventions = s.rules.any_attribute();
    return row;
}

/// The count, the NaN and missing counts and the extremes of a row; the
/// statistics NaN until the library gives them.
void set_facts(summary_row& row, const column_facts& f)
{
    row.count = f.count;
    row.nan_count = f.nan;
    row.missing_count = f.missing;
    row.min = f.has_extremes() ? f.min : nan;
    row.max = f.has_extremes() ? f.max : nan;
    row.mean = row.stdev = row.median = nan;
}

/// The library's mean, stdev and median of the values taken, held by `a`
/// (the facts tell moment_of whether they are finite). Collective over
/// `comm`, a's communicator, which VIRDA_COMM must be too.
void set_statistics(summary_row& row, Attribute& a, const column_facts& f, const value_rules& rules, MPI_Comm comm)
{
    const magnitude known = f.magnitude_of(rules);
    row.mean = moment_of(moment::mean, a, nullptr, comm, &known);
    row.stdev = moment_of(moment::stdev, a, nullptr, comm, &known);
    row.median = median(a);
}

/// Makes this rank's own communicator the statistics' communicator while
/// it lives: the library's statistics then work on arrays of this rank
/// alone, with no other rank taking part (their collectives are over
/// MPI_COMM_SELF). Local.
class statistics_alone {
public:
    statistics_alone() : comm_(VIRDA_COMM), id_(VIRDA_ID)
    {
        VIRDA_COMM = MPI_COMM_SELF;
        VIRDA_ID = 0;
    }
    statistics_alone(const statistics_alone&) = delete;
    statistics_alone& operator=(const statistics_alone&) = delete;
    ~statistics_alone()
    {
        VIRDA_COMM = comm_;
        VIRDA_ID = id_;
    }

private:
    MPI_Comm comm_;
    int id_;
};

/// The summary of a dataset held in one array: one-dimensional, a chosen
/// column, a grid (all its values) or a single value. One reduction gives
/// the facts; the values taken go to the library. Collective.
template <typename T>
summary_row summarise_array(const h5_input& in, const dataset_shape& s, dataset_ref* ref, MPI_Comm comm)
{
    long long beyond = 0;
    va<T> data = in.read<T>(s, &beyond);
    note_read(ref, s, beyond);
    const std::size_t n = static_cast<std::size_t>(data.va_local_count());
    std::vector<column_facts> facts = local_facts(data.va_local_data(), n, 1, s.rules);
    combine_facts(facts, comm);
    const column_facts& f = facts[0];
    summary_row row = row_for(s, -1);
    set_facts(row, f);
    if (f.count > 0) {
        Attribute a = values_change(f, s.rules)
                          ? taken_array(data.va_local_data(), n, 1, s.rules, nullptr, f.count, s.name, comm)
                          : hold(std::move(data));
        set_statistics(row, a, f, s.rules, comm);
    }
    return row;
}

/// Whether a table's columns are dealt out whole to the ranks: when there
/// are at least as many columns as ranks, and a rank's columns fit the
/// counts of an MPI message. The same on every rank.
bool deal_columns(const dataset_shape& s, int ranks)
{
    const long long most_columns = (s.columns + ranks - 1) / ranks;
    return s.columns >= ranks && s.rows * most_columns <= INT_MAX;
}

/// The first of the columns that rank d gets of k columns dealt to `ranks`
/// ranks (rank d gets [first(d), first(d + 1))).
int first_column(int k, int d, int ranks)
{
    return static_cast<int>(static_cast<long long>(k) * d / ranks);
}

/// The statistics of a table whose columns are dealt out whole: each rank
/// sends every other rank its rows of that rank's columns (one all-gather
/// of the row counts, one all-to-all), computes the library's statistics of
/// its own columns alone (statistics_alone: no collective with other ranks,
/// however many columns), and every rank gets all columns' results (one
/// all-gather). The library's statistics do not depend on how an array is
/// distributed, so they are the same as over all ranks. Collective.
template <typename T>
void summarise_dealt(std::vector<T>& block, std::size_t n, const dataset_shape& s,
                     const std::vector<column_facts>& facts, std::vector<summary_row>& out, MPI_Comm comm)
{
    const place_in here(comm);
    const int rank = here.rank;
    const int ranks = here.ranks;
    const int k = s.columns;
    const std::size_t width = static_cast<std::size_t>(k);
    std::vector<int> rows_of(static_cast<std::size_t>(ranks), 0);
    const int mine = static_cast<int>(n);
    MPI_Allgather(&mine, 1, MPI_INT, rows_of.data(), 1, MPI_INT, comm);

    // Outgoing: for each rank d, its columns one after another, this rank's
    // rows of each. Incoming: from each rank d, its rows of each of this
    // rank's columns.
    const int c0 = first_column(k, rank, ranks);
    const int m = first_column(k, rank + 1, ranks) - c0;
    std::vector<int> send(ranks, 0), send_at(ranks, 0), receive(ranks, 0), receive_at(ranks, 0);
    std::vector<T> outgoing;
    std::vector<T> incoming;
    together(comm, [&] {
        outgoing.resize(n * width);
        incoming.resize(static_cast<std::size_t>(s.rows) * static_cast<std::size_t>(m));
    });
    std::size_t at = 0;
    int received = 0;
    for (int d = 0; d < ranks; ++d) {
        send_at[d] = static_cast<int>(at);
        for (int c = first_column(k, d, ranks); c < first_column(k, d + 1, ranks); ++c) {
            for (std::size_t i = 0; i < n; ++i) {
                outgoing[at++] = block[i * width + static_cast<std::size_t>(c)];
            }
        }
        send[d] = static_cast<int>(at) - send_at[d];
        receive_at[d] = received;
        receive[d] = rows_of[d] * m;
        received += receive[d];
    }
    std::vector<T>().swap(block);
    MPI_Alltoallv(outgoing.data(), send.data(), send_at.data(), h5_element<T>::mpi_type(), incoming.data(),
                  receive.data(), receive_at.data(), h5_element<T>::mpi_type(), comm);
    std::vector<T>().swap(outgoing);

    std::vector<double> results(static_cast<std::size_t>(3 * m), nan);
    together(comm, [&] {
        const statistics_alone alone;
        const std::size_t rows = static_cast<std::size_t>(s.rows);
        for (int j = 0; j < m; ++j) {
            const column_facts& f = facts[static_cast<std::size_t>(c0 + j)];
            if (f.count == 0) {
                continue;
            }
            // Column j: rank d's rows follow rank d - 1's.
            va<T> column({static_cast<int>(rows)}, MPI_COMM_SELF);
            require_allocated(column, s.rows, s.name, MPI_COMM_SELF);
            T* values = column.va_local_data();
            for (int d = 0; d < ranks; ++d) {
                std::memcpy(values, incoming.data() + receive_at[d] + static_cast<std::size_t>(j) * rows_of[d],
                            sizeof(T) * static_cast<std::size_t>(rows_of[d]));
                values += rows_of[d];
            }
            column.va_sync();
            Attribute a = values_change(f, s.rules) ? taken_array(column.va_local_data(), rows, 1, s.rules, nullptr,
                                                                  f.count, s.name, MPI_COMM_SELF)
                                                    : hold(std::move(column));
            summary_row r;
            set_statistics(r, a, f, s.rules, MPI_COMM_SELF);
            results[3 * j] = r.mean;
            results[3 * j + 1] = r.stdev;
            results[3 * j + 2] = r.median;
        }
    });

    std::vector<int> counts(ranks, 0), starts(ranks, 0);
    for (int d = 0; d < ranks; ++d) {
        starts[d] = 3 * first_column(k, d, ranks);
        counts[d] = 3 * first_column(k, d + 1, ranks) - starts[d];
    }
    std::vector<double> all(3 * width, nan);
    MPI_Allgatherv(results.data(), 3 * m, MPI_DOUBLE, all.data(), counts.data(), starts.data(), MPI_DOUBLE, comm);
    for (std::size_t c = 0; c < width; ++c) {
        out[c].mean = all[3 * c];
        out[c].stdev = all[3 * c + 1];
        out[c].median = all[3 * c + 2];
    }
}

/// One row per column of a table (per component of vectors). Each rank
/// reads its own rows of every column at once (one hyperslab, row after
/// row); the facts of all columns come from one reduction. With at least as
/// many columns as ranks the columns are dealt out whole (summarise_dealt);
/// otherwise each column in turn is copied into an array distributed like
/// the rows and summarised over all ranks. Collective.
template <typename T>
void summarise_table(const h5_input& in, const dataset_shape& s, std::vector<summary_row>& rows, dataset_ref* ref,
                     MPI_Comm comm)
{
    int ranks = 1;
    MPI_Comm_size(comm, &ranks);
    const std::size_t k = static_cast<std::size_t>(s.columns);
    const bool dealt = deal_columns(s, ranks);
    // Per row of a rank's block: the rows of the whole table and one
    // column's block; dealt, also the outgoing copy, the rank's whole
    // columns (up to k + ranks values per row of a block) and one of them.
    const std::size_t per_row = dealt ? 3 * k + 3 * static_cast<std::size_t>(ranks) : k + 1;
    together(comm, [&] { check_memory_for(s, sizeof(T) * per_row, comm); });
    const int n_rows = static_cast<int>(s.rows);
    va<T> distribution({n_rows}, comm);
    require_allocated(distribution, s.rows, s.name, comm);
    const va_range own = distribution.va_local_range();
    const std::size_t n = static_cast<std::size_t>(own.count);
    distribution.va_free();

    std::vector<T> block;
    together(comm, [&] {
        try {
            block.resize(n * k);
        } catch (const std::bad_alloc&) {
            throw tool_error("dataset '" + s.name + "' does not fit in memory: this rank's " + std::to_string(n) +
                             " rows of " + std::to_string(k) + " columns could not be allocated");
        }
    });
    long long beyond = 0;
    in.read_rows<T>(s, own.first, own.count, block.data(), &beyond);
    note_read(ref, s, beyond);
    std::vector<column_facts> facts = local_facts(block.data(), n, s.columns, s.rules);
    combine_facts(facts, comm);

    std::vector<summary_row> out;
    for (std::size_t c = 0; c < k; ++c) {
        out.push_back(row_for(s, static_cast<int>(c)));
        set_facts(out.back(), facts[c]);
    }
    if (dealt) {
        summarise_dealt(block, n, s, facts, out, comm);
    } else {
        for (std::size_t c = 0; c < k; ++c) {
            const column_facts& f = facts[c];
            if (f.count == 0) {
                continue;
            }
            if (values_change(f, s.rules)) {
                Attribute a = taken_array(block.data() + c, n, k, s.rules, nullptr, f.count, s.name, comm);
                set_statistics(out[c], a, f, s.rules, comm);
                continue;
            }
            va<T> column({n_rows}, comm);
            require_allocated(column, s.rows, s.name, comm);
            T* values = column.va_local_data();
            for (std::size_t i = 0; i < n; ++i) {
                values[i] = block[i * k + c];
            }
            column.va_sync();
            Attribute a = hold(std::move(column));
            set_statistics(out[c], a, f, s.rules, comm);
        }
    }
    rows.insert(rows.end(), out.begin(), out.end());
}

void summarise_empty(const dataset_shape& s, std::vector<summary_row>& rows)
{
    const bool vectors = whole_table(s) && s.components > 1;
    const int parts = vectors ? s.components : whole_table(s) ? s.columns : 1;
    for (int c = 0; c < parts; ++c) {
        summary_row row;
        row.dataset = s.name;
        if (vectors) {
            row.component = component_names[c];
        } else {
            row.column = whole_table(s) ? c : s.column;
        }
        row.type = held_type(s);
        row.count = 0;
        row.mean = row.stdev = row.min = row.max = row.median = std::numeric_limits<double>::quiet_NaN();
        rows.push_back(row);
    }
}

} // namespace

void summarise(const h5_input& in, const dataset_shape& s, std::vector<summary_row>& rows, dataset_ref* ref,
               MPI_Comm comm)
{
    if (s.rows == 0) {
        summarise_empty(s, rows);
        return;
    }
    // Vectors are tables of doubles, one row per component.
    visit_kind(s.components > 1 ? element_kind::float64 : s.kind, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if (whole_table(s)) {
            summarise_table<T>(in, s, rows, ref, comm);
        } else {
            rows.push_back(summarise_array<T>(in, s, ref, comm));
        }
    });
}

report summarise_file(const std::string& path, const std::vector<std::string>& datasets, MPI_Comm comm)
{
    const h5_input in(path, comm);
    report r;
    r.file = path;
    MPI_Comm_size(comm, &r.ranks);
    r.op = operation::summary;
    summary_result s;
    for (const std::string& name : datasets) {
        summarise(in, inspect_together(in, name, reading_options{}, comm), s.rows, nullptr, comm);
    }
    r.result = std::move(s);
    return r;
}

} // namespace virda_stats
