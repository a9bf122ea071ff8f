#include "array_registry.h"

#include "mpi_environment.h"

#include <vector>

namespace virda_python {

array_registry& registry()
{
    static auto* r = new array_registry;
    return *r;
}

array_registry::entry* array_registry::add(Attribute&& a, MPI_Comm comm)
{
    std::unique_ptr<entry> e(new entry(std::move(a), comm));
    entry* raw = e.get();
    records_[comm].emplace(next_++, std::move(e));
    return raw;
}

void array_registry::abandon(entry* e) noexcept
{
    e->queued_ = true;
}

std::pair<bool, int> array_registry::agree_and_release(MPI_Comm comm, bool mine, const entry* also)
{
    auto found = records_.find(comm);
    if (found == records_.end()) {
        return {mine, 0};
    }
    record& arrays = found->second;
    const bool finalized = mpi_finalized();
    // Word 0: whether this rank lets `also` go; then one bit per array on
    // record, in creation order: queued here.
    std::vector<std::uint64_t> words(1 + (arrays.size() + 63) / 64, 0);
    words[0] = mine ? ~std::uint64_t{0} : 0;
    std::size_t i = 0;
    for (const auto& [order, e] : arrays) {
        if (e->queued_) {
            words[1 + i / 64] |= std::uint64_t{1} << (i % 64);
        }
        ++i;
    }
    if (!finalized) {
        check_mpi(
            MPI_Allreduce(MPI_IN_PLACE, words.data(), static_cast<int>(words.size()), MPI_UINT64_T, MPI_BAND, comm),
            "agreeing on the arrays to release");
    }
    const bool agreed = words[0] != 0;
    int released = 0;
    i = 0;
    for (auto it = arrays.begin(); it != arrays.end(); ++i) {
        const bool queued_everywhere = ((words[1 + i / 64] >> (i % 64)) & 1) != 0;
        if (queued_everywhere || (agreed && it->second.get() == also)) {
            released += queued_everywhere ? 1 : 0;
            it = arrays.erase(it); // destroys the attribute: the collective release
        } else {
            ++it;
        }
    }
    if (arrays.empty()) {
        records_.erase(found);
    }
    return {agreed, released};
}

bool array_registry::release(entry* e, bool mine)
{
    return agree_and_release(e->comm_, mine, e).first;
}

int array_registry::settle(MPI_Comm comm)
{
    return agree_and_release(comm, true, nullptr).second;
}

int array_registry::live(MPI_Comm comm) const
{
    const auto found = records_.find(comm);
    return found == records_.end() ? 0 : static_cast<int>(found->second.size());
}

int array_registry::queued(MPI_Comm comm) const
{
    const auto found = records_.find(comm);
    int n = 0;
    if (found != records_.end()) {
        for (const auto& [order, e] : found->second) {
            n += e->queued_ ? 1 : 0;
        }
    }
    return n;
}

} // namespace virda_python
