#include "dataset_arrays.h"

#include "collective_error.h"

namespace virda_stats {

dataset_ref ref_of(const dataset_shape& s)
{
    dataset_ref ref;
    ref.name = s.name;
    ref.type = held_type(s);
    ref.rows = s.rows;
    ref.stored = s.stored;
    ref.column = s.column;
    ref.columns = s.columns;
    return ref;
}

void note_read(dataset_ref* ref, const dataset_shape& s, long long beyond_exact)
{
    if (ref != nullptr && s.wide_integers) {
        ref->beyond_exact = (ref->beyond_exact < 0 ? 0 : ref->beyond_exact) + beyond_exact;
    }
}

dataset_shape inspect_together(const h5_input& in, const std::string& name, MPI_Comm comm)
{
    dataset_shape shape;
    together(comm, [&] { shape = in.inspect(name); });
    return shape;
}

Attribute read_numbers(const h5_input& in, const dataset_shape& s, dataset_ref* ref)
{
    long long beyond = 0;
    Attribute a = visit_kind(s.kind, [&](auto tag) { return hold(in.read<typename decltype(tag)::type>(s, &beyond)); });
    note_read(ref, s, beyond);
    return a;
}

} // namespace virda_stats
