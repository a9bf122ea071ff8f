#ifndef VIRDA_ENGINE_EXACT_SUM_H
#define VIRDA_ENGINE_EXACT_SUM_H

/// \file
/// exact_sum: the exact total of values of any number type, over blocks and
/// ranks, rounded once.

#include "engine/views.h"

#include <mpi.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace virda::engine {

/// The exact total of every value added on one rank or over a communicator,
/// rounded once to the nearest double (ties to even): values of any number
/// type, in any number of blocks, in place.
///
/// Floating-point values (floats as the doubles they convert to) are added
/// in blocks of a couple of thousand: a block whose magnitudes span fewer
/// than about 2^67 goes through fixed-boundary binned accumulators with
/// error-free steps, at close to the speed of a plain vectorised sum, and
/// lands exactly in a fixed-point integer (unit 2^-1074). Any other block
/// (wider spans, NaN, infinities, magnitudes near DBL_MAX) goes through a
/// table: every value, as its raw bit pattern, into a bin selected by its
/// sign and exponent, folded into the same integer when a total is asked for
/// and every 2^24 additions. Integers are added in 128-bit partial totals.
/// Either way the total never depends on the order of the values or on how
/// they are split into blocks and between ranks: the same bits.
///
/// The result, for all values added on all ranks:
///   - any NaN, or both +inf and -inf: a quiet NaN;
///   - otherwise any +inf (-inf): +inf (-inf);
///   - otherwise the exact total rounded to nearest-even; a total beyond the
///     double range gives the infinity of its sign, even when every value was
///     finite; partial sums never overflow, so DBL_MAX + DBL_MAX - DBL_MAX
///     gives DBL_MAX;
///   - an exact total of zero is +0.0, except -0.0 when at least one value was
///     added and every value was -0.0 (as IEEE addition gives); nothing added
///     gives +0.0.
///
/// Capacity: fewer than 2^62 values per accumulator, and fewer than 2^31 ranks.
/// An accumulator holds about 300 KB of tables once a block has needed them. A
/// moved-from accumulator may only be assigned to or destroyed. Not
/// thread-safe; one accumulator per thread.
class exact_sum {
public:
    exact_sum();
    ~exact_sum();
    ///@{
    /// Moves the state; a moved-from object may only be assigned to or destroyed.
    exact_sum(exact_sum&&) noexcept;
    exact_sum& operator=(exact_sum&&) noexcept;
    ///@}
    exact_sum(const exact_sum&) = delete;
    exact_sum& operator=(const exact_sum&) = delete;

    /// Adds every value of the run (any number type, any stride; a stride
    /// of 0 adds one value `count` times at the cost of one).
    void add(const values_view& values);
    /// Adds every value of the table.
    void add(const table_view& values);
    /// Adds one value.
    void add(double value) { add(values_of(&value, 1)); }
    /// Adds `count` contiguous values of a number type T.
    template <typename T, typename = std::enable_if_t<is_number_type<T>::value>>
    void add(const T* values, std::size_t count)
    {
        add(values_of(values, static_cast<std::int64_t>(count)));
    }
    /// Adds values[0], values[step], ..., values[(count - 1) * step]: one
    /// component of an array of records.
    template <typename T, typename = std::enable_if_t<is_number_type<T>::value>>
    void add(const T* values, std::size_t count, std::size_t step)
    {
        add(values_of(values, static_cast<std::int64_t>(count), static_cast<std::int64_t>(step)));
    }

    /// Forgets every value added so far.
    void clear();

    /// The total of the values added on this rank alone. No communication.
    double local_rounded() const;

    /// The total of the values added on every rank of comm, the same double
    /// on every rank. A rank that added nothing takes part all the same.
    /// This is a collective operation and must be called by all processes in
    /// the communicator: exactly one MPI_Allreduce (MPI_SUM over MPI_INT64_T).
    double allreduce_rounded(MPI_Comm comm) const;

    /// results[k] = sums[k].allreduce_rounded(comm) for k < count, in one
    /// MPI_Allreduce for all of them. Every rank passes the same count.
    /// This is a collective operation and must be called by all processes in
    /// the communicator.
    static void allreduce_rounded(const exact_sum* sums, std::size_t count, double* results, MPI_Comm comm);

    /// Fields of the record this rank's total travels in: 64-bit integers that
    /// add exactly, field by field, over fewer than 2^31 ranks.
    static constexpr std::size_t record_fields = 75;
    /// Writes this rank's exact total into `fields` (record_fields of them).
    void write_record(std::int64_t* fields) const;
    /// The rounded total of a record summed field by field over ranks.
    static double rounded_from_record(const std::int64_t* fields);

    /// Adds n <= 2048 contiguous doubles none of which is NaN, whose largest
    /// magnitude the caller has found already: `largest` (an upper bound,
    /// tight to a factor of two or so, also serves; a loose one only costs
    /// speed). For accumulators that scan their blocks anyway.
    void add_scanned(const double* values, std::size_t n, double largest);

private:
    void add_doubles(const double* values, std::size_t count, double known_largest = -1.0);

    struct state;
    std::unique_ptr<state> state_;
};

} // namespace virda::engine

#endif
