#include "engine/extremes_record.h"

#include "engine/order_keys.h"

#include <algorithm>
#include <utility>

namespace virda::engine::extremes_detail {

namespace {

constexpr int record_fields = static_cast<int>(sizeof(column_record) / sizeof(std::uint64_t));

/// lower (r) combined with the record of the ranks above it (inout): the
/// positions of the upper ranks' rows shifted by the lower ranks' rows.
void combine(const column_record& l, column_record& r)
{
    column_record c = l;
    c.disagree = l.disagree | r.disagree | (l.fingerprint != r.fingerprint ? 1 : 0);
    c.failed = std::min(l.failed, r.failed);
    if (r.least_at != none && (l.least_at == none || r.least < l.least)) {
        c.least = r.least;
        c.least_at = l.rows + r.least_at;
    }
    if (r.greatest_at != none && (l.greatest_at == none || r.greatest > l.greatest)) {
        c.greatest = r.greatest;
        c.greatest_at = l.rows + r.greatest_at;
    }
    if (l.nan_at == none && r.nan_at != none) {
        c.nan_at = l.rows + r.nan_at;
    }
    c.count = l.count + r.count;
    c.nan_count = l.nan_count + r.nan_count;
    c.rows = l.rows + r.rows;
    c.zeros = l.zeros | r.zeros;
    r = c;
}

extern "C" void combine_records(void* in, void* inout, int* len, MPI_Datatype*)
{
    const auto* l = static_cast<const column_record*>(in);
    auto* r = static_cast<column_record*>(inout);
    for (int i = 0; i < *len; ++i) {
        combine(l[i], r[i]);
    }
}

/// Frees an MPI datatype and operation when it goes out of scope.
struct reduction_handles {
    MPI_Datatype type = MPI_DATATYPE_NULL;
    MPI_Op op = MPI_OP_NULL;
    ~reduction_handles()
    {
        if (op != MPI_OP_NULL) {
            MPI_Op_free(&op);
        }
        if (type != MPI_DATATYPE_NULL) {
            MPI_Type_free(&type);
        }
    }
};

} // namespace

bool reduce_records(std::vector<column_record>& record, MPI_Comm comm)
{
    reduction_handles h;
    // Each column's record is one element: MPI splits a long reduction only
    // between elements. The operation is not commutative: it combines the
    // ranks in order, which places every rank's rows after those below it.
    const bool ok = MPI_Type_contiguous(record_fields, MPI_UINT64_T, &h.type) == MPI_SUCCESS &&
                    MPI_Type_commit(&h.type) == MPI_SUCCESS && MPI_Op_create(&combine_records, 0, &h.op) == MPI_SUCCESS;
    return ok && MPI_Allreduce(MPI_IN_PLACE, record.data(), static_cast<int>(record.size()), h.type, h.op, comm) ==
                     MPI_SUCCESS;
}

extremes_summary summary_of(number_type type, const std::vector<column_record>& record, nan_policy policy)
{
    std::vector<extremes_summary::column_result> out(record.size());
    const bool floating = facts_of(type).floating;
    for (std::size_t j = 0; j < record.size(); ++j) {
        const column_record& r = record[j];
        extremes_summary::column_result& c = out[j];
        c.count = static_cast<std::int64_t>(r.count);
        c.nan_count = static_cast<std::int64_t>(r.nan_count);
        c.first_nan_at = r.nan_at == none ? -1 : static_cast<std::int64_t>(r.nan_at);
        c.least = detail::number_of_key(type, r.least);
        c.greatest = detail::number_of_key(type, r.greatest);
        if (r.least_at != none) {
            c.least_at = static_cast<std::int64_t>(r.least_at);
            c.greatest_at = static_cast<std::int64_t>(r.greatest_at);
            if (floating && c.least.floating == 0.0 && (r.zeros & 1u) != 0) {
                c.least.floating = -0.0;
            }
            if (floating && c.greatest.floating == 0.0 && (r.zeros & 2u) == 0) {
                c.greatest.floating = -0.0;
            }
        }
    }
    std::int64_t rows = record.empty() ? 0 : static_cast<std::int64_t>(record[0].rows);
    return extremes_summary(std::move(out), rows, policy);
}

} // namespace virda::engine::extremes_detail
