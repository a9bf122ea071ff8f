#include "dataset_refs.h"

#include "collective_error.h"

namespace virda_stats {

dataset_ref ref_of(const dataset_shape& s)
{
    dataset_ref ref;
    ref.name = s.name;
    ref.type = held_type(s);
    // A grid's "rows" in the output stay its first extent, whichever
    // dimension it is split by.
    ref.rows = s.layout == layout_kind::grid ? s.dims.front() : s.rows;
    ref.stored = s.stored;
    ref.column = s.column;
    ref.columns = s.columns;
    ref.shape = s.dims;
    if (s.dims.size() >= 2) {
        ref.layout = s.layout == layout_kind::grid ? "grid" : "table";
        ref.layout_reason = s.layout_reason;
    }
    ref.conventions = s.rules.describe();
    return ref;
}

void note_read(dataset_ref* ref, const dataset_shape& s, long long beyond_exact)
{
    if (ref != nullptr && s.wide_integers) {
        ref->beyond_exact = (ref->beyond_exact < 0 ? 0 : ref->beyond_exact) + beyond_exact;
    }
}

dataset_shape inspect_together(const h5_input& in, const std::string& name, const reading_options& reading,
                               MPI_Comm comm)
{
    dataset_shape shape;
    together(comm, [&] { shape = in.inspect(name, reading); });
    return shape;
}

} // namespace virda_stats
