#include "framework/array/window_pool.h"

#include "framework/array/finalize_registry.h"
#include "framework/array/block_cache.h"
#include "framework/runtime/virda_globals.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace virda_detail {
namespace {

struct entry {
    window_shape shape;
    MPI_Aint largest = 0; // the largest block of any rank for this shape
    kept_window w;
    window_list* owner = nullptr;
};

} // namespace

struct window_list {
    std::vector<std::unique_ptr<entry>> entries; // oldest first
    MPI_Aint bytes = 0;                          // sum of the entries' largest blocks
    int holders = 0;                             // arrays created over the communicator, not yet released
    bool communicator_freed = false;
    bool job_place = false; // holds VIRDA_COMM's place rather than one of the others
};

namespace {

constexpr MPI_Aint most_kept_bytes = MPI_Aint(1) << 30;
bool reuse_on = true;
int keyval = MPI_KEYVAL_INVALID;

// Places taken on this process: VIRDA_COMM's, and the others'.
bool job_place_taken = false;
int other_places_taken = 0;

// Every list made, so that each stays reachable until its communicator is
// freed and its last array released (some communicators never are, and MPI
// need not delete their attributes at MPI_Finalize). Never destroyed.
std::vector<window_list*>& lists()
{
    static auto* all = new std::vector<window_list*>;
    return *all;
}

void forget_if_unused(window_list* list)
{
    if (list->communicator_freed && list->holders == 0) {
        auto& all = lists();
        all.erase(std::remove(all.begin(), all.end(), list), all.end());
        delete list;
    }
}

/// Takes the entry out of its list and returns it (the list no longer owns it).
std::unique_ptr<entry> detach(entry* e)
{
    window_list* p = e->owner;
    const auto it = std::find_if(p->entries.begin(), p->entries.end(),
                                 [e](const std::unique_ptr<entry>& k) { return k.get() == e; });
    std::unique_ptr<entry> taken = std::move(*it);
    p->entries.erase(it);
    p->bytes -= e->largest;
    return taken;
}

/// Frees a kept window and hands its block back (collective over the
/// window's communicator); the record of live arrays forgets it.
void free_kept(std::unique_ptr<entry> e)
{
    MPI_Win_free(&e->w.win);
    release_block(e->w.allocation, e->w.allocation_bytes);
    unregister_array(e->w.registry_key);
}

/// The record's release of a kept window at MPI_Finalize, in the order of
/// the windows' creation like every array's. The block goes straight back to
/// MPI: the block cache has already been emptied or will not be again.
void release_at_finalize(void* self)
{
    std::unique_ptr<entry> e = detach(static_cast<entry*>(self));
    MPI_Win_free(&e->w.win);
    MPI_Free_mem(e->w.allocation);
}

/// The attribute's delete callback: the communicator is being freed (by
/// every rank of it, in MPI_Comm_free). Its kept windows are freed and its
/// place given back; arrays still holding the list find it keeping nothing.
int list_deleted(MPI_Comm, int, void* value, void*)
{
    auto* list = static_cast<window_list*>(value);
    while (!list->entries.empty()) {
        free_kept(detach(list->entries.front().get()));
    }
    if (list->job_place) {
        job_place_taken = false;
    } else {
        --other_places_taken;
    }
    list->communicator_freed = true;
    forget_if_unused(list);
    return MPI_SUCCESS;
}

} // namespace

window_list* kept_list_of(MPI_Comm comm)
{
    if (keyval == MPI_KEYVAL_INVALID) {
        return nullptr;
    }
    void* value = nullptr;
    int found = 0;
    MPI_Comm_get_attr(comm, keyval, &value, &found);
    return found != 0 ? static_cast<window_list*>(value) : nullptr;
}

bool can_start_list(MPI_Comm comm, MPI_Aint largest_block_bytes)
{
    const bool place = (comm == VIRDA_COMM && !job_place_taken) || other_places_taken < kept_lists_bound - 1;
    return reuse_on && largest_block_bytes <= most_kept_bytes && place;
}

window_list* start_list(MPI_Comm comm)
{
    if (keyval == MPI_KEYVAL_INVALID) {
        MPI_Comm_create_keyval(MPI_COMM_NULL_COPY_FN, list_deleted, &keyval, nullptr);
    }
    auto* list = new window_list;
    list->job_place = comm == VIRDA_COMM && !job_place_taken;
    if (list->job_place) {
        job_place_taken = true;
    } else {
        ++other_places_taken;
    }
    lists().push_back(list);
    MPI_Comm_set_attr(comm, keyval, list);
    return list;
}

void hold_list(window_list* list)
{
    if (list != nullptr) {
        ++list->holders;
    }
}

void let_go_list(window_list* list)
{
    if (list != nullptr) {
        --list->holders;
        forget_if_unused(list);
    }
}

bool take_window(window_list* list, const window_shape& shape, kept_window* out)
{
    if (!reuse_on || list == nullptr) {
        return false;
    }
    // The most recently kept first: its block is the likeliest in the cache.
    for (auto it = list->entries.rbegin(); it != list->entries.rend(); ++it) {
        if ((*it)->shape == shape) {
            *out = detach(it->get())->w;
            return true;
        }
    }
    return false;
}

bool keep_window(window_list* list, const window_shape& shape, MPI_Aint largest_block_bytes, const kept_window& w)
{
    if (!reuse_on || list == nullptr || list->communicator_freed || largest_block_bytes > most_kept_bytes) {
        return false;
    }
    while (!list->entries.empty() && (static_cast<int>(list->entries.size()) >= kept_windows_bound ||
                                      list->bytes + largest_block_bytes > most_kept_bytes)) {
        free_kept(detach(list->entries.front().get()));
    }
    auto e = std::make_unique<entry>();
    e->shape = shape;
    e->largest = largest_block_bytes;
    e->w = w;
    e->owner = list;
    move_array(w.registry_key, e.get(), &release_at_finalize);
    list->bytes += largest_block_bytes;
    list->entries.push_back(std::move(e));
    return true;
}

int drop_kept_windows(window_list* list)
{
    int dropped = 0;
    while (list != nullptr && !list->entries.empty()) {
        free_kept(detach(list->entries.front().get()));
        ++dropped;
    }
    return dropped;
}

int drop_kept_windows(MPI_Comm comm)
{
    return drop_kept_windows(kept_list_of(comm));
}

int kept_window_count(MPI_Comm comm)
{
    const window_list* list = kept_list_of(comm);
    return list == nullptr ? 0 : static_cast<int>(list->entries.size());
}

int kept_list_count()
{
    return (job_place_taken ? 1 : 0) + other_places_taken;
}

bool set_window_reuse(bool on)
{
    const bool was = reuse_on;
    reuse_on = on;
    return was;
}

} // namespace virda_detail
