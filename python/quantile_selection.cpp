#include "quantile_selection.h"

#include "agreed_allocation.h"
#include "local_values.h"
#include "mpi_environment.h"
#include "quantile_arithmetic.h"
#include "quantile_reading.h"
#include "quantile_tables.h"

#include "engine/order_statistics.h"
#include "engine/weighted_quantiles.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace virda::engine;

namespace virda_python {

namespace {

/// `a` as dtype `to`: `a` itself when it has it already.
py::array with_dtype(const py::array& a, const py::dtype& to)
{
    return a.dtype().equal(to) ? a : a.attr("astype")(to).cast<py::array>();
}

} // namespace

py::array reduce_table(const function_kind& f, const reduction_tables& tables, const py::array* table,
                       const py::array* weight_table, number_type weight_type, const py::array& probabilities,
                       quantile_method m, bool at_integers, const py::dtype& out, char data_char,
                       const communicator& agreeing, const axis_split& split, bool scalar, slice_facts* facts,
                       call_agreement* reading)
{
    const MPI_Comm comm = split.distributed_reduced() ? agreeing.handle : MPI_COMM_SELF;
    const number_type type = tables.type;
    const std::int64_t columns = table != nullptr ? static_cast<std::int64_t>(table->shape(1)) : tables.columns;
    const std::int64_t engine_columns = std::max<std::int64_t>(columns, 1);
    const auto nq = static_cast<py::ssize_t>(probabilities.size());
    const nan_policy policy = f.omit ? nan_policy::omit : nan_policy::propagate;
    const bool has_rows = table != nullptr && table->shape(0) > 0 && columns > 0;
    order_statistics os(type, engine_columns);
    value_counts counts;
    // Each rank's own rows: a rank that cannot count them (memory, its
    // counts) fails in the agreement below with the others, not alone.
    std::exception_ptr failure;
    const auto add = [&] {
        engine_call(f.name, [&] {
            if (table == nullptr) {
                tables.add_to(os);
            } else if (has_rows) {
                os.add(table_of_array(*table, type));
            }
        });
    };
    if (reading != nullptr) {
        // The reading's agreement, pending, travels in the count with this
        // rank's own failure to add its values.
        const std::exception_ptr refused = refusal_of(add, &reading->out_of_memory);
        reading->failed = static_cast<bool>(refused);
        counts = engine_call(f.name, [&] { return os.count(comm, -1, reading); });
        settle_reading(f, *reading, refused);
    } else {
        try {
            add();
            counts = engine_call(f.name, [&] { return os.count(comm); });
        } catch (...) {
            if (split.distributed_reduced()) {
                throw;
            }
            failure = std::current_exception();
        }
    }
    // Decided from the global counts, or for a reduction of each rank's own
    // rows from every rank's (one MPI_Allreduce), so that every rank warns
    // or raises alike and none is left in the agreement below alone.
    slice_facts& s = *facts;
    if (!failure) {
        s = facts_of_slices(f, counts, columns);
    }
    // Each rank's own rows: NumPy's first slice is the first of the lowest
    // rank holding any, found from one bit per rank in the sums for the
    // first 62 ranks; where every rank holding rows lies beyond them, from
    // one more reduction (a minimum over 2 rank + flag).
    const bool local = !split.distributed_reduced();
    const bool holds = local && columns > 0;
    const std::int64_t bit = agreeing.rank < 62 ? std::int64_t{1} << agreeing.rank : 0;
    std::int64_t agreed[7] = {s.empty,      s.all_nan,       local ? (s.first_all_nan != 0 ? bit : 0) : s.first_all_nan,
                              s.with_nan,   failure ? 1 : 0, holds ? bit : 0,
                              holds ? 1 : 0};
    agreed_counts(f.name, agreeing, split, agreed, 7);
    if (local && agreed[5] == 0 && agreed[6] != 0) {
        std::int64_t lowest = holds ? 2 * std::int64_t{agreeing.rank} + (s.first_all_nan != 0 ? 1 : 0)
                                    : std::numeric_limits<std::int64_t>::max();
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, &lowest, 1, MPI_INT64_T, MPI_MIN, agreeing.handle),
                  (std::string(f.name) + ": agreeing on the first slice").c_str());
        agreed[2] = lowest & 1;
    } else if (local) {
        agreed[2] = (agreed[2] & agreed[5] & -agreed[5]) != 0 ? 1 : 0;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (agreed[4] != 0) {
        throw py::value_error(std::string(f.name) + ": " + std::to_string(agreed[4]) +
                              " other rank(s) could not count their values (their exceptions say why)");
    }
    s = {agreed[0], agreed[1], agreed[2], agreed[3]};
    act_on_slices(f, s, split.kept.empty(), scalar);

    // The buffers the probabilities size, agreed over the ranks (before the
    // selection's collectives) when they are large: their size is the same
    // on every rank for a collective reduction.
    const bool integral = out.kind() == 'i' || out.kind() == 'u';
    std::vector<double> qs;
    // Only the one the result's kind takes is made (a default array_t would
    // be an empty NumPy array made for nothing).
    auto reals = py::reinterpret_borrow<py::array_t<double>>(py::handle());
    auto integers = py::reinterpret_borrow<py::array_t<std::int64_t>>(py::handle());
    std::vector<std::vector<quantile_position>> where(static_cast<std::size_t>(engine_columns));
    std::vector<std::vector<std::uint64_t>> ranks(static_cast<std::size_t>(engine_columns));
    const std::size_t agreed_columns = comm == MPI_COMM_SELF ? 1 : static_cast<std::size_t>(engine_columns);
    allocate_together(f.name, std::to_string(nq) + " probabilities",
                      static_cast<std::size_t>(nq) * (sizeof(double) + agreed_columns * 64), agreeing, [&] {
                          const auto* p = static_cast<const double*>(probabilities.data());
                          qs.assign(p, p + nq);
                          if (integral) {
                              integers = py::array_t<std::int64_t>({nq, static_cast<py::ssize_t>(columns)});
                          } else {
                              reals = py::array_t<double>({nq, static_cast<py::ssize_t>(columns)});
                          }
                          for (std::size_t c = 0; c < static_cast<std::size_t>(columns) && !weight_table; ++c) {
                              where[c].reserve(static_cast<std::size_t>(nq));
                              ranks[c].reserve(2 * static_cast<std::size_t>(nq));
                          }
                      });
    double* r = integral ? nullptr : reals.mutable_data();
    std::int64_t* z = integral ? integers.mutable_data() : nullptr;
    const auto put = [&](std::size_t i, std::size_t c, const number* exact, double value) {
        const std::size_t at = i * static_cast<std::size_t>(columns) + c;
        if (integral) {
            z[at] = exact == nullptr                  ? static_cast<std::int64_t>(value)
                    : facts_of(exact->type).is_signed ? exact->signed_
                                                      : static_cast<std::int64_t>(exact->unsigned_);
        } else {
            r[at] = exact == nullptr ? value : exact->as_double();
        }
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();

    if (weight_table != nullptr) {
        weighted_quantiles wq(type, weight_type, engine_columns);
        if (has_rows) {
            engine_call(f.name,
                        [&] { wq.add(table_of_array(*table, type), table_of_array(*weight_table, weight_type)); });
        }
        const auto found = engine_call(f.name, [&] { return wq.select(qs, comm, policy); });
        for (std::size_t c = 0; c < static_cast<std::size_t>(columns); ++c) {
            for (std::size_t i = 0; i < qs.size(); ++i) {
                const weighted_quantile& w = found[c][i];
                put(i, c, w.nan ? nullptr : &w.value, nan);
            }
        }
        return integral ? with_dtype(integers, out) : with_dtype(reals, out);
    }

    for (std::size_t c = 0; c < static_cast<std::size_t>(columns); ++c) {
        const auto n = static_cast<std::uint64_t>(counts.values[c]);
        if (n == 0 || (policy == nan_policy::propagate && counts.nans[c] > 0)) {
            continue;
        }
        column_positions(f.median, n, qs, m, where[c], ranks[c]);
    }
    const auto found = engine_call(f.name, [&] { return os.select(counts, ranks, comm); });
    for (std::size_t c = 0; c < static_cast<std::size_t>(columns); ++c) {
        for (std::size_t i = 0; i < qs.size(); ++i) {
            if (where[c].empty()) {
                put(i, c, nullptr, nan);
                continue;
            }
            const quantile_position& p = where[c][i];
            const number& a = found[c][2 * i];
            const number& b = found[c][2 * i + 1];
            if (f.median) {
                put(i, c, nullptr, median_of_middle(a, b, !p.exact, data_char));
            } else if (p.exact || at_integers) {
                put(i, c, &a, 0);
            } else {
                put(i, c, nullptr, data_char == 'e' ? interpolate_half(a, b, p.gamma) : interpolate(a, b, p.gamma));
            }
        }
    }
    return integral ? with_dtype(integers, out) : with_dtype(reals, out);
}

void column_positions(bool median, std::uint64_t n, const std::vector<double>& qs, quantile_method m,
                      std::vector<quantile_position>& where, std::vector<std::uint64_t>& ranks)
{
    if (median) {
        quantile_position p;
        p.below = (n - 1) / 2;
        p.above = n / 2;
        p.exact = n % 2 == 1;
        where.push_back(p);
    } else {
        for (const double q : qs) {
            where.push_back(position_of(q, n, m));
        }
    }
    for (const quantile_position& p : where) {
        ranks.push_back(p.below);
        ranks.push_back(p.above);
    }
}

} // namespace virda_python
