#ifndef VIRDA_FRAMEWORK_ARRAY_VA_H
#define VIRDA_FRAMEWORK_ARRAY_VA_H

/// \file
/// The distributed array va<T>. Its lines on standard error are named by
/// their ids in virda_messages (framework/messages.h), where their texts are.

#include "framework/types/element_types.h"
#include "framework/types/mpi_type_trait.h"
#include "framework/types/promote_trait.h"

namespace virda_detail {
struct window_shape;
struct window_list;
}

#include <mpi.h>

#include <cstdint>
#include <type_traits>
#include <vector>

/// A run of `count` global indices starting at `first`.
struct va_range {
    int first = 0; ///< The first global index.
    int count = 0; ///< How many indices.
};

/// A distributed n-dimensional array of elements of type T (double, float,
/// int, char, Vector2, Vector3 or fftw_complex).
///
/// Distribution: the array is split over the ranks of its communicator by
/// whole rows of its first dimension (a row is every element sharing one
/// first index; its length L is the product of the other extents). With n
/// ranks, q = dims[0] / n and m = dims[0] % n, the first m ranks hold q + 1
/// rows and the others q, in rank order; with fewer rows than ranks the last
/// ranks hold none. Elements are numbered row after row by a global index; a
/// rank's block holds its contiguous range of global indices, and the element
/// with global index g held by rank r sits at local offset g - S(r), S(r) being
/// the first global index of rank r. The last rank may hold `extra_rows`
/// further rows after the first extent; they are not counted in the size and
/// cannot be read by global index.
///
/// Each rank keeps its block in MPI memory exposed through an MPI window, so
/// that any rank can read any element with one-sided gets. Blocks are written
/// only by their own rank, and only before other ranks read them.
///
/// A default-constructed array is a placeholder: no elements, a one-element
/// block and a window over VIRDA_COMM.
///
/// Creating, copying, re-creating and releasing an array creates or frees a
/// window and is a collective operation: it must be called by all processes in
/// the array's communicator, in the same order. A released array's window and
/// block are kept (a few per communicator, on a few communicators) for the
/// next array of the same element size and rows over the same communicator,
/// which then takes them with one small reduction instead of a window
/// creation; every rank decides alike, so the calls stay collective
/// (framework/array/window_pool.h). The program may free the communicator
/// before releasing its arrays.
template <typename T>
class va {
public:
    using value_type = T; ///< The element type.

    /// A placeholder (extents {0}) over VIRDA_COMM. Collective over VIRDA_COMM.
    va();
    /// An array with these extents distributed over `comm`, created at once
    /// (as va_create, without a placeholder first). The blocks are not
    /// initialised: fill this rank's block, then call va_sync. Collective.
    va(const std::vector<int>& dims, MPI_Comm comm);
    /// A new array with the source's extents and communicator holding a copy of
    /// every rank's block (extra rows are not copied). Collective; when it
    /// returns, every rank's block is written and readable by all ranks.
    va(const va& src);
    /// Takes over the source's window and block; the source is left empty (no
    /// window, no elements). Makes no MPI call.
    va(va&& src) noexcept;
    /// Makes this array equal to the source. Re-creates this array (collective)
    /// when it has no elements, was released, or differs in extents or
    /// communicator; otherwise only copies this rank's block, with no
    /// communication. Self-assignment writes `self_assignment`.
    va& operator=(const va& src);
    /// Releases this array (collective when it holds a window) and takes over
    /// the source's window and block, leaving the source empty.
    va& operator=(va&& src) noexcept;
    /// Releases window, block and row table (collective when a window is held;
    /// no MPI call for an array already released, moved from, or released at
    /// MPI_Finalize).
    ~va();

    /// Makes this fresh array a placeholder with these extents and
    /// communicator. Collective. Returns 0, or -1 when no window could be had
    /// (the array is then empty, as after a failed va_create).
    int va_internal_create(std::vector<int> dims, MPI_Comm comm, int extra_rows);
    /// Distributes and allocates the array (collective). Whatever the array
    /// held before is released first. An empty extents list or a first extent
    /// of 0 gives a placeholder; negative extents or extra rows, or more
    /// elements than an int can count, are rejected with one line on standard
    /// error and give a placeholder with extents {0}: `negative_extent` or
    /// `too_many_elements`. When some rank cannot allocate its block, every
    /// rank writes `block_not_allocated`; when MPI cannot create the window (no
    /// context id left), every rank writes `no_window`; the array is then empty
    /// on every rank (no elements, no window). Returns 0 when created, -1 when
    /// rejected, 1 for a placeholder.
    int va_create(std::vector<int> dims, MPI_Comm comm, int extra_rows);
    /// Releases window, block and row table: the window and block are kept for
    /// reuse, or freed (the oldest kept ones may be freed instead). Collective
    /// when a window is held. The array keeps reporting its extents and size
    /// until re-created, and its window is MPI_WIN_NULL.
    void va_free();
    /// Makes this rank's writes to its block (va_set, va_local_data) visible
    /// to the one-sided reads of other ranks, and waits for every rank to have
    /// done so. Collective: call it after filling the blocks of a new array.
    void va_sync();

    /// Elements over all ranks (0 for a placeholder; extra rows not counted).
    int va_size() const { return num_elements; }
    /// The extents (the first is the number of rows). Local.
    std::vector<int> va_get_dimensions() const { return dims; }
    /// The communicator the array is distributed over. Local.
    MPI_Comm va_get_comm() const { return comm; }
    /// The global indices [*first, *last] that `rank` holds (*last = *first - 1
    /// for a rank holding no rows; the last rank's range includes the extra
    /// rows). A rank outside the communicator, or a placeholder, gives the
    /// empty range {0, -1} and one line on standard error (`rank_outside` or
    /// `not_created`). Local.
    void va_distribution_index(int rank, int* first, int* last) const;
    /// The same range as {first, last}.
    std::vector<int> va_distribution_index(int rank) const;
    /// This rank's block as global indices: `count` elements from `first`
    /// (the last rank's extra rows included). {0, 0} for a placeholder, a
    /// released array and a rank without rows; no message. Local.
    va_range va_local_range() const;

    /// Reads global element `index` (held by any rank) into *out. Returns 0, or
    /// -1 with *out untouched and `index_too_large` on standard error when the
    /// index is negative or not below va_size(). Not collective: the reading
    /// rank alone makes a one-sided get (the holder need not take part).
    int va_get_opt(int index, T* out) const;
    /// Reads global elements lo..hi (inclusive, ascending) into out[0..hi-lo],
    /// one get per rank touched. Returns 0, or -1 with `out` untouched and one
    /// line on standard error: `inverted_range` (with the trailing blank) when
    /// lo > hi, `range_outside` when the range leaves 0..va_size()-1. Only for
    /// the real element types (double, float, int). Not collective.
    template <typename U = T, std::enable_if_t<std::is_same_v<U, T> && virda_detail::is_real<U>, int> = 0>
    int va_get(int lo, int hi, U* out) const;
    /// Global element `index` by value; a zero value (all components 0) when
    /// the index is out of range, after the message of va_get_opt.
    T operator[](int index) const;

    /// This rank's element at local offset `offset`; no checks.
    T va_get_access(int offset) const { return data[offset]; }
    /// Stores `value` at local offset `offset` of this rank's block; no checks.
    void va_set(int offset, T value) { data[offset] = value; }

    /// This rank's block: va_local_count() elements (plus any extra rows on the
    /// last rank), 64-byte aligned. Writing is for the owner of a new array,
    /// before va_sync.
    const T* va_local_data() const { return data; }
    /// This rank's block, writable: for the owner of a new array, before
    /// va_sync.
    T* va_local_data() { return data; }
    /// Elements of this rank's block, extra rows not counted: local rows x L.
    int va_local_count() const;

    /// Elementwise sum with an array of the same extents: a new array over this
    /// array's communicator, element type promote_trait<T, U>::T_promote. Each
    /// rank works on its own block; collective, since it creates the result's
    /// window. Defined when both element types are among double, float, int and
    /// fftw_complex, or both are the same vector type; any other pair writes
    /// `sum_undefined` and `sum_gives_zero` and gives an all-zero array.
    /// Different extents write `dimension_mismatch` and give an all-zero array.
    template <typename U>
    va<typename promote_trait<T, U>::T_promote> operator+(const va<U>& other) const;
    /// Elementwise product, as operator+ (result type T_promote_pr: Vector3
    /// times Vector3 is their dot product); an undefined pair writes
    /// `product_undefined` and `product_gives_zero`, different extents the
    /// sum's line.
    template <typename U>
    va<typename promote_trait<T, U>::T_promote_pr> operator*(const va<U>& other) const;
    /// `s` added to every element (double, float, int or fftw_complex).
    /// Collective. Arrays of double, float, int and fftw_complex take every
    /// scalar type, a Vector2 array a double or float, a Vector3 array a
    /// double, a char array none; an undefined pair writes the two lines of
    /// the array sum and gives an all-zero array.
    template <typename U, typename = std::enable_if_t<!std::is_class_v<U> || std::is_same_v<U, fftw_complex>>>
    va<typename promote_trait<T, U>::T_promote> operator+(U s) const;
    /// Every element times `s`, for the pairs that operator+(U) takes.
    /// Collective. An undefined pair writes only `product_undefined` and gives
    /// an all-zero array.
    template <typename U, typename = std::enable_if_t<!std::is_class_v<U> || std::is_same_v<U, fftw_complex>>>
    va<typename promote_trait<T, U>::T_promote_pr> operator*(U s) const;

private:
    int row_length() const { return (dims.empty() || dims[0] <= 0) ? 0 : num_elements / dims[0]; }
    int row_start(int rank) const;
    int owner_of(int index) const;
    void set_communicator(MPI_Comm c);
    bool allocate_and_expose(MPI_Aint block_elements);
    // Which kept windows could serve this array, and its largest block on any
    // rank: facts of the whole array, the same on every rank.
    virda_detail::window_shape window_shape() const;
    MPI_Aint largest_block_bytes() const;
    void become_empty();
    // Returns the block (if any) to the block cache; the window is the
    // caller's to free first.
    void drop_allocation();
    // The communicator, extents, extra rows and element count of a new array.
    void set_shape(std::vector<int> extents, MPI_Comm c, int extra, int elements);
    void make_placeholder(std::vector<int> extents, MPI_Comm c);
    void copy_block_from(const va& src);
    void take(va& src) noexcept;
    static void release_at_finalize(void* self);

    // Fields, in this order.
    int num_elements = 0;
    int local_rows = 0;
    int num_dims = 0;
    int num_ranks = 0;
    int element_bytes = 0;
    int my_rank = 0;
    int* row_end = nullptr;
    int extra_rows = 0;
    int reserved = 0; // set to 0 and never read: kept for the framework's record layout
    std::vector<int> dims;
    MPI_Comm comm = MPI_COMM_NULL;
    MPI_Datatype datatype = MPI_DATATYPE_NULL;
    MPI_Win win = MPI_WIN_NULL;
    T* data = nullptr;

    // Bookkeeping: the allocation behind `data` (aligned up to 64 bytes
    // inside it), its size, this array's key in the record of live arrays,
    // and the list of kept windows of `comm` (null when it has none), held
    // from creation to release: the release must not look `comm` up, since
    // the program may have freed it meanwhile.
    void* allocation = nullptr;
    MPI_Aint allocation_bytes = 0;
    std::uint64_t registry_key = 0;
    virda_detail::window_list* kept_list = nullptr;
};

/// \cond internal
#define VIRDA_EXTERN_VA(T) extern template class va<T>;
VIRDA_FOR_EACH_ELEMENT_TYPE(VIRDA_EXTERN_VA)
#undef VIRDA_EXTERN_VA
/// \endcond

#endif
