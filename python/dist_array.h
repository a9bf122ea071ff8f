#ifndef VIRDA_PYTHON_DIST_ARRAY_H
#define VIRDA_PYTHON_DIST_ARRAY_H

// virdastatistics.Array: this rank's rows of a distributed array, as a NumPy
// block the Array owns, with the communicator, the global shape and element
// type, and the balanced row layout (frontend::balanced_rows). No MPI
// resource belongs to an array: dropping it frees its block. `.local` is a
// writable NumPy view of the block (no copy).

#include "communicator.h"
#include "element_types.h"

#include <pybind11/numpy.h>

#include <utility>
#include <vector>

namespace virda_python {

class dist_array {
public:
    /// An array of this shape over `comm` whose rows here are `block`
    /// (C-ordered, of `type`, shaped (local rows, *shape[1:])).
    dist_array(communicator comm, element_type type, std::vector<pybind11::ssize_t> shape, pybind11::array block);
    ~dist_array();
    dist_array(const dist_array&) = delete;
    dist_array& operator=(const dist_array&) = delete;

    const communicator& comm() const { return comm_; }
    element_type type() const { return type_; }
    const std::vector<pybind11::ssize_t>& shape() const { return shape_; }
    /// Elements over all ranks.
    pybind11::ssize_t size() const;
    /// Elements of one row (the product of the extents after the first; at least 1).
    pybind11::ssize_t row_length() const;
    bool freed() const { return freed_; }

    /// This rank's block; ValueError naming `operation` when the array has
    /// been freed.
    const pybind11::array& block(const char* operation) const;

    /// This rank's rows: the first one's global index and how many.
    std::pair<pybind11::ssize_t, pybind11::ssize_t> local_rows() const;

    /// Views of this rank's block handed out and still alive.
    int exports() const { return exports_; }
    void add_export() { ++exports_; }
    void drop_export() { --exports_; }

    /// Drops the block. Nothing happens when the array was freed before.
    /// Whether some rank still has a view of its block is agreed in one
    /// MPI_Allreduce (collective over the array's communicator): then every
    /// rank raises BufferError and nothing is freed. After MPI_Finalize the
    /// decision is this rank's alone.
    void free();

private:
    communicator comm_;
    element_type type_;
    std::vector<pybind11::ssize_t> shape_;
    pybind11::array block_;
    bool freed_ = false;
    int exports_ = 0;
};

/// Arrays over `comm` (its handle) that are neither freed nor dropped on
/// this rank. Local.
int live_arrays(MPI_Comm comm);

/// A NumPy array over this rank's block of `a` (no copy), with `base` as its
/// base object (none: the block itself). ValueError when `a` has been freed.
/// Local.
pybind11::array block_view(const dist_array& a, const char* operation, pybind11::handle base);

/// Defines virdastatistics.Array.
pybind11::class_<dist_array> bind_dist_array(pybind11::module_& m);

} // namespace virda_python

#endif
