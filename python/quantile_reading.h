#ifndef VIRDA_PYTHON_QUANTILE_READING_H
#define VIRDA_PYTHON_QUANTILE_READING_H

// The quantile functions' values (and weights) read on every rank, and the
// ranks' agreement that each could read them alike: in one collective of
// its own, or carried in the engine's count of the values.

#include "communicator.h"
#include "quantile_functions.h"

#include "engine/call_agreement.h"
#include "engine/number_type.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <utility>

namespace virda_python {

/// This rank's values of a (and of the weights), read as the engine reads
/// them, with the communicator of the call.
struct quantile_input {
    pybind11::array block; // this rank's values, at least one axis (a 0-d block as one value)
    pybind11::dtype dtype; // the values' own dtype, which NumPy's result types follow
    virda::engine::number_type type = virda::engine::number_type::float64;
    pybind11::array weights;
    bool weighted = false;
    virda::engine::number_type weight_type = virda::engine::number_type::float64;
    communicator comm;
    bool is_array = false; // an Array, whose communicator is its own
    // Where the reading's agreement travels in the engine's count (see
    // quantile_input_of): this rank's refusal, kept until the ranks have
    // agreed, and the agreement to carry.
    std::exception_ptr refusal;
    virda::engine::call_agreement agreement;
    bool agreement_pending = false;
};

/// Runs `f` and returns what it raised (null when nothing), setting
/// `*short_of_memory` when that was std::bad_alloc or Python's MemoryError
/// (and leaving it as it is otherwise): a rank's failure, kept for the
/// ranks' agreement.
template <typename F>
std::exception_ptr refusal_of(F&& f, bool* short_of_memory)
{
    try {
        std::forward<F>(f)();
    } catch (const std::bad_alloc&) {
        *short_of_memory = true;
        return std::current_exception();
    } catch (pybind11::error_already_set& e) {
        *short_of_memory = e.matches(PyExc_MemoryError);
        return std::current_exception();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

/// Raises alike on every rank once the ranks agreed on their reading:
/// MemoryError naming the lowest rank short of memory; else a refusing
/// rank's own exception and, on the others, ValueError naming the lowest
/// of them; else RuntimeError where the ranks' blocks differ in dtype or
/// in shape after the first axis. Nothing when every rank read alike.
void settle_reading(const function_kind& f, const virda::engine::call_agreement& a, const std::exception_ptr& refusal);

/// Reads the values and weights and runs after_read (the axes, the weights'
/// layout, the tables and any copy they need), agreeing over comm whether
/// every rank could: a rank that refuses its block raises its own
/// exception, the others ValueError naming it (settle_reading). With
/// `in_count` on two or more ranks the agreement is left pending in the
/// input, to travel in the engine's count (no collective here; the caller
/// must then reach that count on every rank, a refusing rank too), else one
/// MPI_Allreduce on two or more ranks. `arguments` fingerprints what prepare
/// made of the call's arguments that must be alike on every rank (called
/// only where the agreement travels in the count).
quantile_input quantile_input_of(const function_kind& f, pybind11::handle a, pybind11::handle weights,
                                 pybind11::handle comm, const std::function<void()>& prepare, bool shapes_matter,
                                 bool in_count, const std::function<std::uint64_t()>& arguments,
                                 const std::function<void(const quantile_input&)>& after_read);

/// Where the reading's agreement is pending (quantile_input_of) and this
/// rank refused its block: takes its part in the engine's count, with no
/// values, so that the other ranks learn of the refusal there, and raises
/// as they do.
[[noreturn]] void count_refused(const function_kind& f, quantile_input& in);

} // namespace virda_python

#endif
