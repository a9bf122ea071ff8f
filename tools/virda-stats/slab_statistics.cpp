#include "slab_statistics.h"

#include "collective_error.h"
#include "held_types.h"
#include "memory_check.h"

#include "engine/error.h"
#include "engine/histogram.h"
#include "engine/moments.h"
#include "engine/order_statistics.h"
#include "frontend/row_exchange.h"
#include "statistics/selection.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <type_traits>

namespace virda_stats {

namespace {

namespace engine = virda::engine;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

/// A rank's rows and how it reads them: `slabs` reads of at most
/// `slab_rows` rows, the same number on every rank (a rank past its last
/// row reads none, and still takes part in each read's agreement).
struct slab_plan {
    virda::frontend::row_range own;
    long long slab_rows = 1;
    long long slabs = 0;
    std::size_t per_row = 1; ///< values per row
    std::size_t columns = 1; ///< columns of the statistics (a whole table's, else 1)
};

/// The values of a slab as the engine takes them: the stored values (T)
/// when no rule applies; otherwise unpacked doubles with NaN standing for
/// every missing value (the engine leaves NaN out, and the missing values
/// are counted here per column so that real NaN can be told apart).
template <typename T>
class slab_reader {
public:
    slab_reader(const h5_input& in, const dataset_shape& s, const slab_plan& plan, MPI_Comm comm)
        : in_(in), s_(s), plan_(plan), comm_(comm), converts_(s.rules.active()), missing_(plan.columns, 0)
    {
        const std::size_t rows =
            static_cast<std::size_t>(std::max<long long>(0, std::min<std::int64_t>(plan.slab_rows, plan.own.count)));
        together(comm, [&] {
            try {
                stored_.resize(rows * plan.per_row);
                if (converts_) {
                    converted_.resize(rows * plan.per_row);
                }
            } catch (const std::bad_alloc&) {
                throw tool_error("dataset '" + s.name + "' does not fit in memory: a slab of " +
                                 std::to_string(rows) + " rows could not be allocated");
            }
        });
    }

    engine::number_type type() const
    {
        return converts_ ? engine::number_type::float64 : engine::number_type_of<T>::value;
    }

    /// Reads every slab of the rank (collective) and calls f(view) with each,
    /// a values_view (one column) or a table_view. With `first_pass` the
    /// missing values are counted and the wide integers beyond 2^53 noted.
    template <typename F>
    void pass(bool first_pass, F&& f)
    {
        for (long long k = 0; k < plan_.slabs; ++k) {
            const long long at = k * plan_.slab_rows;
            const long long rows = std::max<std::int64_t>(0, std::min<std::int64_t>(plan_.slab_rows, plan_.own.count - at));
            long long beyond = 0;
            const long long first = plan_.own.first + std::min<std::int64_t>(at, plan_.own.count);
            if constexpr (is_number_type<T>) {
                // Held types: bit fields widened, wide integers counted.
                in_.read_slab<T>(s_, first, rows, stored_.data(), &beyond);
            } else {
                in_.read_slab_as(s_, engine::number_type_of<T>::value, first, rows, stored_.data());
            }
            if (first_pass) {
                beyond_ += beyond;
            }
            const std::size_t n = static_cast<std::size_t>(rows) * plan_.per_row;
            if (converts_) {
                convert(n, first_pass);
                give(converted_.data(), rows, n, f);
            } else {
                give(stored_.data(), rows, n, f);
            }
        }
    }

    const std::vector<long long>& missing() const { return missing_; }
    long long beyond_exact() const { return beyond_; }

private:
    void convert(std::size_t n, bool count)
    {
        const value_rules& rules = s_.rules;
        const std::size_t k = plan_.columns;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = static_cast<double>(stored_[i]);
            if (rules.missing(v)) {
                converted_[i] = nan;
                if (count) {
                    ++missing_[i % k];
                }
            } else {
                converted_[i] = rules.unpack(v);
            }
        }
    }

    template <typename U, typename F>
    void give(const U* values, long long rows, std::size_t n, F& f)
    {
        if (plan_.columns > 1) {
            const auto k = static_cast<std::int64_t>(plan_.columns);
            f(engine::table_of(values, rows, k, k));
        } else {
            f(engine::values_of(values, static_cast<std::int64_t>(n)));
        }
    }

    const h5_input& in_;
    const dataset_shape& s_;
    const slab_plan& plan_;
    MPI_Comm comm_;
    bool converts_;
    std::vector<T> stored_;
    std::vector<double> converted_;
    std::vector<long long> missing_;
    long long beyond_ = 0;
};

/// The order statistics h = (N - 1) p of each probability: floor(h) and,
/// where h has a fraction, the one after it (as the library's quantile).
void ranks_of(const std::vector<double>& q, std::int64_t count, std::vector<std::uint64_t>& ranks,
              std::vector<double>& fraction)
{
    for (const double p : q) {
        const double h = static_cast<double>(count - 1) * p;
        const double whole = std::floor(h);
        const auto below = static_cast<std::uint64_t>(whole);
        fraction.push_back(h - whole);
        ranks.push_back(below);
        ranks.push_back(h > whole ? below + 1 : below);
    }
}

template <typename T>
slab_result statistics_of(const h5_input& in, const dataset_shape& s, const slab_request& request,
                          std::size_t budget, MPI_Comm comm)
{
    const place_in here(comm);
    slab_plan plan;
    plan.columns = whole_table(s) ? static_cast<std::size_t>(s.columns) : 1;
    plan.per_row = whole_table(s)                     ? plan.columns
                   : s.layout == layout_kind::grid ? static_cast<std::size_t>(s.row_values)
                                                    : 1;
    const virda::frontend::row_range own = virda::frontend::balanced_rows(s.rows, here.ranks, here.rank);
    plan.own = own;
    const bool converts = s.rules.active();
    const std::size_t row_bytes = plan.per_row * (sizeof(T) + (converts ? sizeof(double) : 0));
    plan.slab_rows = slab_rows_for(budget, row_bytes);
    // The most rows any rank has: the first ranks get one more.
    const long long most = (s.rows + here.ranks - 1) / here.ranks;
    plan.slabs = (most + plan.slab_rows - 1) / plan.slab_rows;
    const long long slab_bytes = std::min(plan.slab_rows, std::max(most, 1LL)) * static_cast<long long>(row_bytes);
    together(comm, [&] { check_memory_bytes(s, static_cast<unsigned long long>(slab_bytes), comm); });

    slab_reader<T> reader(in, s, plan, comm);
    const std::size_t k = plan.columns;
    slab_result out;
    out.columns.resize(k);
    try {
        // A rank that cannot allocate an accumulator stops every rank here.
        std::optional<engine::moments> m;
        together(comm, [&] { m.emplace(reader.type(), static_cast<std::int64_t>(k), request.stdev); });
        engine::equal_width_histogram h(request.lower, request.width, std::max<std::int64_t>(request.bins, 0));
        reader.pass(true, [&](const auto& view) {
            m->add(view);
            if (request.bins > 0) {
                h.add(view);
            }
        });
        out.passes = 1;
        out.beyond_exact = reader.beyond_exact();
        const engine::moment_summary sum = m->finish(comm, engine::nan_policy::omit);
        std::vector<long long> missing = reader.missing();
        MPI_Allreduce(MPI_IN_PLACE, missing.data(), static_cast<int>(k), MPI_LONG_LONG, MPI_SUM, comm);
        if (request.bins > 0) {
            out.histogram = h.finish(comm);
        }

        // Per column: NaN seen by the engine are the missing values (given
        // NaN here) and the NaN of the data.
        std::vector<std::vector<std::uint64_t>> wanted(k);
        std::vector<std::vector<double>> fractions(k);
        bool any_wanted = false;
        for (std::size_t c = 0; c < k; ++c) {
            slab_column& col = out.columns[c];
            col.missing = missing[c];
            col.nan = sum.nan_count(c) - missing[c];
            col.count = sum.count(c) + (s.rules.skip_nan ? 0 : col.nan);
            const bool values = sum.count(c) > 0;
            col.min = values ? sum.exact_min(c).as_double() : nan;
            col.max = values ? sum.exact_max(c).as_double() : nan;
            const bool nan_taken = col.nan > 0 && !s.rules.skip_nan;
            col.mean = col.stdev = nan;
            col.quantiles.assign(request.probabilities.size(), nan);
            if (nan_taken || !values) {
                continue;
            }
            col.mean = sum.mean(c);
            if (!std::isfinite(col.mean) && std::isfinite(col.min) && std::isfinite(col.max)) {
                // The total overflows, the mean does not.
                col.mean = static_cast<double>(sum.precise_mean(c));
            }
            col.stdev = request.stdev ? sum.stdev(0, c) : nan;
            if (!request.probabilities.empty()) {
                ranks_of(request.probabilities, sum.count(c), wanted[c], fractions[c]);
                any_wanted = true;
            }
        }
        if (!any_wanted) {
            return out;
        }

        const long long local_values = own.count * static_cast<long long>(plan.per_row);
        const std::size_t used = static_cast<std::size_t>(slab_bytes);
        std::optional<engine::selection_search> search;
        together(comm, [&] {
            search.emplace(reader.type(), engine::value_counts::from(sum, local_values), wanted,
                           budget > used ? budget - used : std::size_t{1} << 20);
        });
        while (!search->finished()) {
            if (search->wants_values()) {
                reader.pass(false, [&](const auto& view) { search->add(view); });
            }
            search->end_round(comm);
        }
        out.passes += search->passes();
        const std::vector<std::vector<engine::number>> found = search->result();
        for (std::size_t c = 0; c < k; ++c) {
            for (std::size_t i = 0; i < fractions[c].size(); ++i) {
                const double a = found[c][2 * i].as_double() + 0.0;
                const double b = found[c][2 * i + 1].as_double() + 0.0;
                out.columns[c].quantiles[i] =
                    fractions[c][i] > 0.0 ? virda_detail::interpolate(a, b, fractions[c][i]) : a;
            }
        }
    } catch (const engine::error& e) {
        // Thrown alike on every rank (the engine agrees before it throws).
        throw tool_error("statistics of dataset '" + s.name + "' failed: " + e.what());
    }
    return out;
}

} // namespace

long long slab_rows_for(std::size_t memory_budget, std::size_t row_bytes)
{
    const std::size_t slab = memory_budget / 4;
    return std::max<long long>(1, static_cast<long long>(slab / std::max<std::size_t>(row_bytes, 1)));
}

slab_result slab_statistics(const h5_input& in, const dataset_shape& s, const slab_request& request,
                            std::size_t memory_budget, MPI_Comm comm)
{
    // Vectors are tables of doubles; small integers are read as stored.
    const engine::number_type type = s.components > 1 ? engine::number_type::float64 : s.read_type;
    return engine::visit_number_type(type, [&](auto* tag) {
        using T = std::remove_pointer_t<decltype(tag)>;
        return statistics_of<T>(in, s, request, memory_budget, comm);
    });
}

} // namespace virda_stats
