#ifndef VIRDA_RUNTIME_EXACT_SUM_H
#define VIRDA_RUNTIME_EXACT_SUM_H

#include <mpi.h>

#include <cstddef>
#include <memory>

namespace virda_detail {

/// Exact sum of double, float and int values, on one rank or over a
/// communicator, rounded once to the nearest double (ties to even).
///
/// Doubles (and floats, as the doubles they convert to) are added in blocks
/// of a couple of thousand: a block whose magnitudes span fewer than about
/// 2^67 goes through fixed-boundary binned accumulators with error-free
/// steps, at close to the speed of a plain vectorised sum, and lands exactly
/// in a fixed-point integer (unit 2^-1074). Any other block (wider spans,
/// NaN, infinities, magnitudes near DBL_MAX) goes through a table: every value,
/// as its raw bit pattern, into a bin selected by its sign and exponent,
/// folded into the same integer when a total is asked for and every 2^24
/// additions. Either way the total never depends on the order of the values
/// or on how they are split between ranks.
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
class exact_accumulator {
public:
    exact_accumulator();
    ~exact_accumulator();
    exact_accumulator(exact_accumulator&&) noexcept;
    exact_accumulator& operator=(exact_accumulator&&) noexcept;
    exact_accumulator(const exact_accumulator&) = delete;
    exact_accumulator& operator=(const exact_accumulator&) = delete;

    void add(const double* values, std::size_t count);
    /// Adds values[0], values[step], ..., values[(count - 1) * step]: one
    /// component of an array of records of doubles.
    void add(const double* values, std::size_t count, std::size_t step);
    void add(const float* values, std::size_t count);
    void add(const int* values, std::size_t count);
    void add(double value) { add(&value, 1); }

    /// Forgets every value added so far.
    void clear();

    /// The total of the values added on this rank alone. No communication.
    double local_rounded() const;

    /// The total of the values added on every rank of comm, the same double
    /// on every rank. A rank that added nothing takes part all the same.
    /// This is a collective operation and must be called by all processes in
    /// the communicator: exactly one MPI_Allreduce (MPI_SUM over MPI_INT64_T).
    double allreduce_rounded(MPI_Comm comm) const;

    /// results[k] = accumulators[k].allreduce_rounded(comm) for k < count, in
    /// one MPI_Allreduce for all of them. Every rank passes the same count.
    /// This is a collective operation and must be called by all processes in
    /// the communicator.
    static void allreduce_rounded(const exact_accumulator* accumulators, std::size_t count,
                                  double* results, MPI_Comm comm);

private:
    void add_doubles(const double* values, std::size_t count, std::size_t step);

    struct state;
    std::unique_ptr<state> state_;
};

} // namespace virda_detail

#endif
