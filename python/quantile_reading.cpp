#include "quantile_reading.h"

#include "call_communicator.h"
#include "dist_array.h"
#include "local_values.h"

#include "engine/order_statistics.h"

#include <limits>
#include <string>

namespace py = pybind11;
using namespace virda::engine;

namespace virda_python {

void settle_reading(const function_kind& f, const call_agreement& a, const std::exception_ptr& refusal)
{
    if (a.out_of_memory_rank >= 0) {
        PyErr_SetString(PyExc_MemoryError, (std::string(f.name) +
                                            ": memory for the probabilities or values could "
                                            "not be allocated on rank " +
                                            std::to_string(a.out_of_memory_rank))
                                               .c_str());
        throw py::error_already_set();
    }
    if (refusal) {
        std::rethrow_exception(refusal);
    }
    if (a.failed_rank >= 0) {
        throw py::value_error(std::string(f.name) + ": rank " + std::to_string(a.failed_rank) +
                              " could not read its values (its exception says why)");
    }
    if (!a.same_fingerprints) {
        throw std::runtime_error(std::string(f.name) +
                                 ": the ranks hold blocks of different dtypes or shapes after the first axis, or "
                                 "were given different probabilities or methods");
    }
}

quantile_input quantile_input_of(const function_kind& f, py::handle a, py::handle weights, py::handle comm,
                                 const std::function<void()>& prepare, bool shapes_matter, bool in_count,
                                 const std::function<std::uint64_t()>& arguments,
                                 const std::function<void(const quantile_input&)>& after_read)
{
    quantile_input in;
    in.is_array = py::isinstance<dist_array>(a);
    in.comm = call_communicator(f.name, a, comm);
    bool short_of_memory = false;
    const std::exception_ptr refusal = refusal_of(
        [&] {
            prepare();
            py::object values =
                in.is_array ? py::object(a.cast<dist_array&>().block(f.name)) : py::reinterpret_borrow<py::object>(a);
            in.block = engine_values(f.name, "a", values, &in.dtype);
            number_type_of_dtype(in.block.dtype(), &in.type);
            if (in.block.ndim() == 0) {
                in.block = in.block.attr("reshape")(1).cast<py::array>();
            }
            if (!weights.is_none()) {
                py::object w = py::isinstance<dist_array>(weights)
                                   ? py::object(weights.cast<dist_array&>().block(f.name))
                                   : py::reinterpret_borrow<py::object>(weights);
                // bool and float16 weights as uint8 and float32 (exact).
                py::dtype given;
                in.weights = engine_values(f.name, "weights", w, &given);
                number_type_of_dtype(in.weights.dtype(), &in.weight_type);
                in.weighted = true;
                if (in.weights.ndim() == 0) {
                    in.weights = in.weights.attr("reshape")(1).cast<py::array>();
                }
            }
            after_read(in);
        },
        &short_of_memory);
    if (in.comm.size > 1) {
        // With the failures, a fingerprint of what must be alike on every
        // rank: the dtypes and, where axes are named, the shapes after the
        // first axis (with axis=None any shape is values).
        std::uint64_t print = 0;
        if (!refusal) {
            std::uint64_t h =
                (static_cast<std::uint64_t>(in.dtype.num()) * 1000003u + static_cast<std::uint64_t>(in.type)) *
                    1000003u +
                static_cast<std::uint64_t>(in.block.ndim());
            for (py::ssize_t i = 1; shapes_matter && i < in.block.ndim(); ++i) {
                h = h * 1000003u + static_cast<std::uint64_t>(in.block.shape(i));
            }
            if (in.weighted) {
                h = h * 1000003u + 17 + static_cast<std::uint64_t>(in.weight_type);
            }
            print = in_count ? (h >> 2) * 1000003u + arguments() : h;
        }
        call_agreement& agreed = in.agreement;
        agreed.failed = static_cast<bool>(refusal);
        agreed.out_of_memory = short_of_memory;
        agreed.fingerprint = print;
        if (in_count) {
            in.refusal = refusal;
            in.agreement_pending = true;
            return in;
        }
        constexpr long long none = std::numeric_limits<long long>::max();
        const auto signed_print = static_cast<long long>(print >> 2);
        const long long mine[4] = {refusal ? in.comm.rank : none, short_of_memory ? in.comm.rank : none,
                                   refusal ? none : signed_print, refusal ? none : -signed_print};
        long long lowest[4] = {none, none, none, none};
        MPI_Allreduce(mine, lowest, 4, MPI_LONG_LONG, MPI_MIN, in.comm.handle);
        agreed.failed_rank = lowest[0] == none ? -1 : static_cast<int>(lowest[0]);
        agreed.out_of_memory_rank = lowest[1] == none ? -1 : static_cast<int>(lowest[1]);
        agreed.same_fingerprints = lowest[2] == -lowest[3];
        settle_reading(f, agreed, refusal);
    }
    if (refusal) {
        std::rethrow_exception(refusal);
    }
    return in;
}

[[noreturn]] void count_refused(const function_kind& f, quantile_input& in)
{
    const order_statistics none(number_type::float64, 1);
    engine_call(f.name, [&] { return none.count(in.comm.handle, -1, &in.agreement); });
    settle_reading(f, in.agreement, in.refusal);
    std::rethrow_exception(in.refusal);
}

} // namespace virda_python
