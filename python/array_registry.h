#ifndef VIRDA_PYTHON_ARRAY_REGISTRY_H
#define VIRDA_PYTHON_ARRAY_REGISTRY_H

// The record of every library array the module holds, and the rule for
// releasing them.
//
// Releasing an array frees its MPI window: a collective over its
// communicator that every rank must reach in the same order. Python releases
// objects when their last reference goes or when the cyclic garbage
// collector runs, and neither happens at the same point on every rank. So:
//
//   - an explicit free() (or leaving a `with` block) releases the array at
//     once, collectively;
//   - when an array's Python object is destroyed without free(), by reference
//     counting or by the collector, the array is only queued: no MPI call;
//   - queued arrays are released at the module's next collective point over
//     their communicator (creating an array, free(), collect()), and only
//     those queued on every rank: one MPI_Allreduce (bitwise AND) over a
//     bitmap of the communicator's arrays in creation order tells which, and
//     they are released in creation order, the same on every rank. An array
//     queued on some ranks only waits for a later point;
//   - arrays still held at MPI_Finalize (queued or not) are released by the
//     library's finalize hook, in creation order; after that nothing here
//     makes an MPI call.
//
// The record of each communicator holds the same arrays in the same order on
// every one of its ranks, since arrays are created and freed collectively and
// queued ones leave only by agreement.

#include "framework/attribute/attribute.h"

#include <mpi.h>

#include <cstdint>
#include <map>
#include <memory>

namespace virda_python {

class array_registry {
public:
    /// One array on record: the attribute that owns it.
    class entry {
    public:
        Attribute& attribute() { return attribute_; }

    private:
        friend class array_registry;
        entry(Attribute&& a, MPI_Comm comm) : attribute_(std::move(a)), comm_(comm) {}
        Attribute attribute_;
        MPI_Comm comm_;
        bool queued_ = false;
    };

    /// Puts a newly created array (holding a window over `comm`) on record;
    /// the registry owns it from now on. Local.
    entry* add(Attribute&& a, MPI_Comm comm);

    /// The array's Python object is gone: queue it. Makes no MPI call.
    void abandon(entry* e) noexcept;

    /// Releases `e` together with the arrays queued on every rank, when every
    /// rank lets it go (`mine` here); when some rank does not, nothing of
    /// `e` is released and false is returned on every rank. Collective over
    /// e's communicator (one MPI_Allreduce, then the releases). After
    /// MPI_Finalize only drops the record.
    bool release(entry* e, bool mine);

    /// Releases the arrays over `comm` queued on every rank and returns how
    /// many (the same on every rank). Collective over `comm` when it has any
    /// arrays on record; no MPI call after MPI_Finalize.
    int settle(MPI_Comm comm);

    /// Arrays on record over `comm` (queued ones included). Local.
    int live(MPI_Comm comm) const;
    /// Of those, the ones queued on this rank. Local.
    int queued(MPI_Comm comm) const;

private:
    // Creation order over all communicators; within one communicator the
    // order of its arrays is then the same on every rank.
    using record = std::map<std::uint64_t, std::unique_ptr<entry>>;

    /// The agreement and the releases of settle and release. Returns the
    /// AND of `mine` over the ranks and the number of queued arrays released.
    std::pair<bool, int> agree_and_release(MPI_Comm comm, bool mine, const entry* also);

    std::map<MPI_Comm, record> records_;
    std::uint64_t next_ = 0;
};

/// The module's one registry; never destroyed, so that nothing is released
/// during the process's exit.
array_registry& registry();

} // namespace virda_python

#endif
