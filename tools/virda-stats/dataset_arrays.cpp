#include "dataset_arrays.h"

#include "collective_error.h"
#include "valid_values.h"

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

Attribute read_numbers(const h5_input& in, const dataset_shape& s, dataset_ref* ref)
{
    long long beyond = 0;
    Attribute a = visit_kind(s.kind, [&](auto tag) { return hold(in.read<typename decltype(tag)::type>(s, &beyond)); });
    note_read(ref, s, beyond);
    return a;
}

long long take_values(const std::vector<Attribute*>& arrays, const std::vector<const dataset_shape*>& shapes,
                      const std::vector<dataset_ref*>& refs, MPI_Comm comm)
{
    const long long elements = arrays.front()->size();
    bool active = false;
    bool packed = false;
    for (const dataset_shape* s : shapes) {
        active = active || s->rules.active();
        packed = packed || s->rules.packed;
    }
    if (!active) {
        return elements;
    }
    // Which of this rank's elements every dataset has, and per dataset how
    // many are missing or NaN left out; then one reduction of the counts:
    // {kept, missing of each, NaN skipped of each}.
    const std::size_t m = arrays.size();
    std::vector<char> keep;
    std::vector<long long> counts(1 + 2 * m, 0);
    for (std::size_t a = 0; a < m; ++a) {
        const value_rules& rules = shapes[a]->rules;
        with_number_block(*arrays[a], [&](const auto* block, std::size_t n) {
            keep.resize(n, 1);
            for (std::size_t i = 0; i < n; ++i) {
                const double v = static_cast<double>(block[i]);
                if (rules.missing(v)) {
                    ++counts[1 + a];
                    keep[i] = 0;
                } else if (rules.skip_nan && rules.nan_after_unpacking(v)) {
                    ++counts[1 + m + a];
                    keep[i] = 0;
                }
            }
        });
    }
    for (const char k : keep) {
        counts[0] += k;
    }
    MPI_Allreduce(MPI_IN_PLACE, counts.data(), static_cast<int>(counts.size()), MPI_LONG_LONG, MPI_SUM, comm);
    const long long kept = counts[0];
    for (std::size_t a = 0; a < m; ++a) {
        if (refs[a] == nullptr) {
            continue;
        }
        refs[a]->missing = shapes[a]->rules.any_attribute() ? counts[1 + a] : -1;
        refs[a]->nan_skipped = shapes[a]->rules.skip_nan ? counts[1 + m + a] : -1;
        refs[a]->used = kept;
    }
    if (kept == elements && !packed) {
        return kept;
    }
    if (kept == 0) {
        std::string names;
        for (std::size_t a = 0; a < m; ++a) {
            names += (a ? (a + 1 == m ? " and '" : ", '") : "'") + shapes[a]->name + "'";
        }
        throw tool_error("no value is left to compute with: every one of the " + std::to_string(elements) +
                         (m > 1 ? " rows of " : " values of ") + names + " is missing" +
                         (m > 1 ? " in one of them" : "") + " (by the attributes for missing values" +
                         (shapes.front()->rules.skip_nan ? ", or NaN with --skip-nan" : "") +
                         "; --raw reads the stored values)");
    }
    for (std::size_t a = 0; a < m; ++a) {
        Attribute taken;
        with_number_block(*arrays[a], [&](const auto* block, std::size_t n) {
            taken = taken_array(block, n, 1, shapes[a]->rules, &keep, kept, shapes[a]->name, comm);
        });
        *arrays[a] = std::move(taken);
    }
    return kept;
}

} // namespace virda_stats
