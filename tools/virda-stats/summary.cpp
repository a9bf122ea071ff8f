#include "summary.h"

#include "collective_error.h"
#include "dataset_refs.h"
#include "slab_statistics.h"

#include <limits>
#include <utility>

namespace virda_stats {

namespace {

const char* const component_names[] = {"x", "y", "z"};

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
               std::size_t memory_budget, MPI_Comm comm)
{
    if (s.rows == 0) {
        summarise_empty(s, rows);
        return;
    }
    slab_request request;
    request.stdev = true;
    request.probabilities = {0.5};
    const slab_result r = slab_statistics(in, s, request, memory_budget, comm);
    note_read(ref, s, r.beyond_exact);
    const bool table = whole_table(s);
    for (std::size_t c = 0; c < r.columns.size(); ++c) {
        const slab_column& f = r.columns[c];
        summary_row row = row_for(s, table ? static_cast<int>(c) : -1);
        row.count = f.count;
        row.nan_count = f.nan;
        row.missing_count = f.missing;
        row.min = f.min;
        row.max = f.max;
        row.mean = f.mean;
        row.stdev = f.stdev;
        row.median = f.quantiles[0];
        rows.push_back(row);
    }
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
        summarise(in, inspect_together(in, name, reading_options{}, comm), s.rows, nullptr, default_memory_budget, comm);
    }
    r.result = std::move(s);
    return r;
}

} // namespace virda_stats
