#include "prepared_reduction.h"

#include "call_communicator.h"
#include "local_values.h"

#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

namespace py = pybind11;

namespace virda_python {

namespace {

/// What must be alike on every rank: the blocks' dtype and, unless every
/// axis is reduced (then only the values count, in C order of the blocks in
/// rank order) or `shapes_always`, their number of axes and shape after the
/// first, a 0-d block being one value along the distributed axis.
std::int64_t fingerprint_of(const py::array& block, const py::dtype& given, const axis_split& split, bool shapes_always)
{
    std::uint64_t h = 1469598103934665603ull;
    const auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 1099511628211ull; };
    mix(static_cast<std::uint64_t>(given.num()));
    if (!split.all || shapes_always) {
        const std::vector<py::ssize_t> shape = block_shape(block);
        mix(static_cast<std::uint64_t>(shape.size()));
        for (std::size_t k = 1; k < shape.size(); ++k) {
            mix(static_cast<std::uint64_t>(shape[k]));
        }
    }
    return static_cast<std::int64_t>(h >> 1);
}

} // namespace

prepared prepare_reduction(const char* operation, py::handle a, py::handle axis, py::handle comm, bool tuples,
                           bool tables, accumulator made, const masking& mask, const side_reading& side)
{
    prepared p;
    reduction_input& in = p.in;
    const bool array = py::isinstance<dist_array>(a);
    in.comm = call_communicator(operation, a, comm);
    if (array) {
        in.array = &a.cast<dist_array&>();
    }
    // The mask applied to the block, then its tables and their accumulator.
    const auto finish_reading = [&](const py::object& where) {
        if (where) {
            const py::array m = py::reinterpret_borrow<py::array>(where);
            if (mask.count_nans && in.block.dtype().kind() == 'f') {
                p.kept_nans = kept_nans(in.block, m, p.split);
            }
            in.block = masked_block(operation, in.block, m, mask.fill, mask.initial);
        }
        if (tables) {
            p.tables = tables_for(in.block, p.split);
            // The accumulator's state (per kept element) is allocated here,
            // so that a rank short of memory is agreed on with the rest.
            const reduction_tables& t = p.tables;
            if (t.columns > 0 && made == accumulator::extremes) {
                p.extremes = std::make_unique<virda::engine::extremes>(t.type, t.columns);
            } else if (t.columns > 0 && made != accumulator::none) {
                p.moments = std::make_unique<virda::engine::moments>(t.type, t.columns,
                                                                     made == accumulator::moments_with_squares);
            }
        }
    };
    if (array && !mask.given() && !side.read && !in.array->shape().empty()) {
        // An Array of one or more axes reduced over all of them, without a
        // mask, has nothing one rank could refuse alone: its dtype and shape
        // are alike on every rank by construction, whether it was freed too
        // (free() is collective), its block is C-ordered (its tables are
        // views) and its accumulator one column, too small to agree on (as
        // agreed_allocation_threshold's). The agreement's collective is left
        // out; the engine's reduction agrees on what adding found.
        in.block = in.array->block(operation);
        p.given = in.block.dtype();
        p.split = split_axes(axis, static_cast<int>(in.block.ndim()), tuples);
        if (p.split.kept.empty()) {
            finish_reading(py::object());
            return p;
        }
    }
    mask_reading reading;
    std::exception_ptr refusal;
    // 1: the block could not be read; 2: the side reading failed.
    std::int64_t refused = 0;
    try {
        if (array) {
            in.block = in.array->block(operation);
            p.given = in.block.dtype();
        } else {
            in.block = engine_values(operation, "a", a, &p.given);
        }
        p.split = split_axes(axis, static_cast<int>(in.block.ndim()), tuples);
        if (mask.given()) {
            reading = mask_for(operation, mask.where, in.block);
        }
        if (!reading.global_rows) {
            finish_reading(reading.mask);
        }
    } catch (...) {
        refusal = std::current_exception();
        refused = 1;
    }
    if (!refusal && side.read) {
        try {
            side.read(in);
        } catch (...) {
            refusal = std::current_exception();
            refused = 2;
        }
    }
    // This rank's block as a number of rows (a 0-d block is one), its first
    // row and the global count: for a mask along the global rows.
    const std::int64_t rows = refusal ? 0 : (in.block.ndim() == 0 ? 1 : in.block.shape(0));
    std::int64_t first_row = 0;
    std::int64_t global_rows = rows;
    bool any_global_mask = !refusal && reading.global_rows;
    if (in.comm.size > 1) {
        // argmin and argmax (the functions without tuples of axes) give flat
        // indices into the global array: its shape must be one over every axis too.
        const std::int64_t mine = refusal ? 0 : fingerprint_of(in.block, p.given, p.split, !tuples);
        const std::int64_t size = in.comm.size;
        const std::int64_t fields = 6;
        const std::int64_t here[fields] = {refused,
                                           mine,
                                           !refusal && in.block.ndim() == 0 ? 1 : 0,
                                           !refusal && in.block.ndim() > 0 && in.block.size() > 0 ? 1 : 0,
                                           rows,
                                           any_global_mask ? 1 : 0};
        std::vector<std::int64_t> all(static_cast<std::size_t>(size * fields));
        check_mpi(MPI_Allgather(here, static_cast<int>(fields), MPI_INT64_T, all.data(), static_cast<int>(fields),
                                MPI_INT64_T, in.comm.handle),
                  (std::string(operation) + ": agreeing on the blocks").c_str());
        std::int64_t lowest_refusing = -1;
        std::int64_t lowest_refused = 0;
        bool alike = true;
        std::int64_t lowest_zero_d = -1;
        std::int64_t highest_zero_d = -1;
        bool any_rows = false;
        global_rows = 0;
        any_global_mask = false;
        for (std::int64_t r = 0; r < size; ++r) {
            const std::int64_t* f = all.data() + r * fields;
            if (f[0] != 0 && lowest_refusing < 0) {
                lowest_refusing = r;
                lowest_refused = f[0];
            }
            alike = alike && f[1] == all[1];
            if (f[2] != 0) {
                lowest_zero_d = lowest_zero_d < 0 ? r : lowest_zero_d;
                highest_zero_d = r;
            }
            any_rows = any_rows || f[3] != 0;
            if (r < in.comm.rank) {
                first_row += f[4];
            }
            global_rows += f[4];
            any_global_mask = any_global_mask || f[5] != 0;
        }
        // The array is 0-d when the lowest and the highest rank holding a
        // 0-d block are one rank and no rank holds rows of a 1-d or wider block.
        in.zero_d = lowest_zero_d >= 0 && lowest_zero_d == highest_zero_d && !any_rows;
        if (!refusal && lowest_refusing >= 0) {
            const std::string what = lowest_refused == 2 ? std::string(side.what) : "values of a";
            throw py::value_error(std::string(operation) + ": rank " + std::to_string(lowest_refusing) +
                                  " could not read its " + what + " (its exception says why)");
        }
        if (!refusal && !alike) {
            throw std::runtime_error(std::string(operation) +
                                     ": the ranks' blocks differ in dtype or in their shape after the first axis");
        }
    }
    if (refusal) {
        std::rethrow_exception(refusal);
    }
    if (any_global_mask) {
        // Some rank's mask is along the global rows: each such rank takes its
        // own rows of it, agreed once more (only then) over the ranks.
        read_alike(operation, in.comm, [&] {
            if (reading.global_rows) {
                finish_reading(rows_of_mask(operation, py::reinterpret_borrow<py::array>(reading.mask), in.block,
                                            global_rows, first_row));
            }
        });
    }
    if (in.comm.size <= 1) {
        in.zero_d = in.block.ndim() == 0;
    }
    return p;
}

void summed_over_ranks(const char* operation, const char* what, const prepared& p, void* data, std::size_t n,
                       MPI_Datatype type)
{
    if (p.split.distributed_reduced() && p.in.comm.size > 1 && n > 0) {
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, data, static_cast<int>(n), type, MPI_SUM, p.in.comm.handle),
                  (std::string(operation) + ": " + what).c_str());
    }
}

} // namespace virda_python
