#include "paired_slabs.h"

#include "collective_error.h"
#include "memory_check.h"
#include "slab_statistics.h"

#include "frontend/row_exchange.h"

#include <algorithm>
#include <new>
#include <string>

namespace virda_stats {

namespace {

/// Values per row of the row axis a dataset is split by.
std::size_t values_per_row(const dataset_shape& s)
{
    return s.layout == layout_kind::grid ? static_cast<std::size_t>(s.row_values) : 1;
}

} // namespace

paired_slabs::paired_slabs(const h5_input& in, std::vector<const dataset_shape*> shapes, std::size_t memory_budget,
                           MPI_Comm comm)
    : in_(in), shapes_(std::move(shapes)), comm_(comm)
{
    const dataset_shape& x = *shapes_.front();
    per_row_ = values_per_row(x);
    for (const dataset_shape* s : shapes_) {
        // The same on every rank (from the file's metadata): no agreement.
        if (s->rows != x.rows || values_per_row(*s) != per_row_) {
            throw tool_error("dataset '" + s->name + "' has shape " + shape_text(s->dims) + " but '" + x.name +
                             "' is read as " + std::to_string(x.rows) + " rows of " + std::to_string(per_row_) +
                             " values; they must match value by value");
        }
    }
    const place_in here(comm);
    const virda::frontend::row_range own = virda::frontend::balanced_rows(x.rows, here.ranks, here.rank);
    first_row_ = own.first;
    own_rows_ = own.count;
    const std::size_t row_bytes = per_row_ * sizeof(double) * shapes_.size();
    slab_rows_ = slab_rows_for(memory_budget, row_bytes);
    // The most rows any rank has: the first ranks get one more.
    const long long most = (x.rows + here.ranks - 1) / here.ranks;
    slabs_ = (most + slab_rows_ - 1) / slab_rows_;
    const long long slab_bytes = std::min(slab_rows_, std::max(most, 1LL)) * static_cast<long long>(row_bytes);
    together(comm, [&] { check_memory_bytes(x, static_cast<unsigned long long>(slab_bytes), comm); });
    const auto rows = static_cast<std::size_t>(std::min(slab_rows_, own_rows_));
    together(comm, [&] {
        try {
            buffers_.resize(shapes_.size());
            for (std::vector<double>& b : buffers_) {
                b.resize(rows * per_row_);
            }
            counts_.assign(3 * shapes_.size() + 1, 0);
        } catch (const std::bad_alloc&) {
            throw tool_error("dataset '" + x.name + "' does not fit in memory: a slab of " + std::to_string(rows) +
                             " rows of " + std::to_string(shapes_.size()) + " datasets could not be allocated");
        }
    });
}

void paired_slabs::pass(const slab_function& f)
{
    const bool first_pass = passes_ == 0;
    const std::size_t m = shapes_.size();
    std::vector<double*> values(m);
    int rank = 0;
    MPI_Comm_rank(comm_, &rank);
    for (long long k = 0; k < slabs_; ++k) {
        const long long at = std::min(k * slab_rows_, own_rows_);
        const long long rows = std::min(slab_rows_, own_rows_ - at);
        for (std::size_t d = 0; d < m; ++d) {
            long long beyond = 0;
            in_.read_slab<double>(*shapes_[d], first_row_ + at, rows, buffers_[d].data(), &beyond);
            // The reader's count is over every rank already; settle sums
            // the counts over the ranks, so one rank keeps it.
            if (first_pass && rank == 0) {
                counts_[3 * d + 2] += beyond;
            }
            values[d] = buffers_[d].data();
        }
        // The values every dataset has, unpacked, moved down in place.
        const std::size_t n = static_cast<std::size_t>(rows) * per_row_;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            bool keep = true;
            for (std::size_t d = 0; d < m; ++d) {
                const value_rules& rules = shapes_[d]->rules;
                const double v = values[d][i];
                if (rules.missing(v)) {
                    counts_[3 * d] += first_pass ? 1 : 0;
                    keep = false;
                } else if (rules.skip_nan && rules.nan_after_unpacking(v)) {
                    counts_[3 * d + 1] += first_pass ? 1 : 0;
                    keep = false;
                }
            }
            if (keep) {
                for (std::size_t d = 0; d < m; ++d) {
                    values[d][kept] = shapes_[d]->rules.unpack(values[d][i]);
                }
                ++kept;
            }
        }
        if (first_pass) {
            counts_[3 * m] += static_cast<long long>(kept);
        }
        f(values.data(), kept);
    }
    ++passes_;
}

long long paired_slabs::settle(const std::vector<dataset_ref*>& refs)
{
    const std::size_t m = shapes_.size();
    MPI_Allreduce(MPI_IN_PLACE, counts_.data(), static_cast<int>(counts_.size()), MPI_LONG_LONG, MPI_SUM, comm_);
    const long long kept = counts_[3 * m];
    bool active = false;
    for (std::size_t d = 0; d < m; ++d) {
        const dataset_shape& s = *shapes_[d];
        active = active || s.rules.active();
        if (refs[d] == nullptr) {
            continue;
        }
        if (s.wide_integers) {
            refs[d]->beyond_exact = (refs[d]->beyond_exact < 0 ? 0 : refs[d]->beyond_exact) + counts_[3 * d + 2];
        }
    }
    if (!active) {
        return kept;
    }
    for (std::size_t d = 0; d < m; ++d) {
        if (refs[d] == nullptr) {
            continue;
        }
        const value_rules& rules = shapes_[d]->rules;
        refs[d]->missing = rules.any_attribute() ? counts_[3 * d] : -1;
        refs[d]->nan_skipped = rules.skip_nan ? counts_[3 * d + 1] : -1;
        refs[d]->used = kept;
    }
    if (kept == 0) {
        const dataset_shape& x = *shapes_.front();
        const long long elements = x.rows * static_cast<long long>(per_row_);
        std::string names;
        for (std::size_t d = 0; d < m; ++d) {
            names += (d ? (d + 1 == m ? " and '" : ", '") : "'") + shapes_[d]->name + "'";
        }
        throw tool_error("no value is left to compute with: every one of the " + std::to_string(elements) +
                         (m > 1 ? " rows of " : " values of ") + names + " is missing" +
                         (m > 1 ? " in one of them" : "") + " (by the attributes for missing values" +
                         (x.rules.skip_nan ? ", or NaN with --skip-nan" : "") +
                         "; --raw reads the stored values)");
    }
    return kept;
}

} // namespace virda_stats
