#ifndef VIRDA_PYTHON_DIST_ARRAY_H
#define VIRDA_PYTHON_DIST_ARRAY_H

// virdastatistics.Array: a library array seen from Python. Its blocks have
// the library's row layout; `.local` is a writable NumPy view of this rank's
// block (no copy).

#include "array_registry.h"
#include "communicator.h"
#include "element_types.h"

#include "framework/array/va.h"

#include <pybind11/numpy.h>

#include <vector>

namespace virda_python {

class dist_array {
public:
    /// Takes the array on record in `e`, created over `comm` with this shape.
    dist_array(array_registry::entry* e, communicator comm, element_type type, std::vector<pybind11::ssize_t> shape);
    /// Queues the array for release unless it was freed (no MPI call).
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
    bool freed() const { return entry_ == nullptr; }

    /// The array's attribute, for a library call named `operation`;
    /// ValueError when the array has been freed.
    Attribute& attribute(const char* operation);
    /// The library array itself (element type T, which must be type()).
    template <typename T>
    va<T>& array(const char* operation);

    /// This rank's rows: the first one's global index and how many.
    std::pair<pybind11::ssize_t, pybind11::ssize_t> local_rows() const;

    /// Views of this rank's block handed out and still alive.
    int exports() const { return exports_; }
    void add_export() { ++exports_; }
    void drop_export() { --exports_; }

    /// Releases the array (collective over its communicator). Nothing happens
    /// when it was freed before. BufferError on every rank, and nothing is
    /// released, when a view of the block is still alive on some rank.
    void free();

private:
    array_registry::entry* entry_;
    communicator comm_;
    element_type type_;
    std::vector<pybind11::ssize_t> shape_;
    int exports_ = 0;
};

/// A NumPy array over this rank's block of `a` (no copy), with `base` as its
/// base object: the caller keeps `a` alive as long as the view. ValueError
/// when `a` has been freed. Local.
pybind11::array block_view(dist_array& a, const char* operation, pybind11::handle base);

/// Defines virdastatistics.Array.
pybind11::class_<dist_array> bind_dist_array(pybind11::module_& m);

} // namespace virda_python

#endif
