#include "engine/record_reduction.h"

#include "framework/mpi/finalize_hook.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace virda::engine::detail {
namespace {

// The buffer sent: a header of the three sections' sizes, then the sections.
// The header travels with the fields because MPI hands the operation only
// whole records (one element of a contiguous datatype of the record's
// length), so it can always find the sections.
constexpr std::size_t header = 3;

void combine(void* in, void* inout, int* len, MPI_Datatype* type)
{
    int size = 0;
    MPI_Type_size(*type, &size);
    const std::size_t fields = static_cast<std::size_t>(size) / sizeof(std::uint64_t);
    auto* a = static_cast<const std::uint64_t*>(in);
    auto* b = static_cast<std::uint64_t*>(inout);
    for (int r = 0; r < *len; ++r, a += fields, b += fields) {
        const std::size_t n_sum = a[0];
        const std::size_t n_least = a[1];
        const std::size_t n_greatest = a[2];
        std::size_t i = header;
        for (const std::size_t end = i + n_sum; i < end; ++i) {
            // Two's complement addition, as int64 adds (no overflow by the
            // callers' contract).
            b[i] = a[i] + b[i];
        }
        for (const std::size_t end = i + n_least; i < end; ++i) {
            b[i] = std::min(a[i], b[i]);
        }
        for (const std::size_t end = i + n_greatest; i < end; ++i) {
            b[i] = std::max(a[i], b[i]);
        }
    }
}

// The operation and the record types, made once and freed at MPI_Finalize.
MPI_Op the_op = MPI_OP_NULL;
std::map<std::size_t, MPI_Datatype>& record_types()
{
    static auto* types = new std::map<std::size_t, MPI_Datatype>;
    return *types;
}

void free_at_finalize()
{
    for (auto& [fields, type] : record_types()) {
        MPI_Type_free(&type);
    }
    record_types().clear();
    if (the_op != MPI_OP_NULL) {
        MPI_Op_free(&the_op);
    }
}

// Record types are kept per length; a program that finishes many shapes
// keeps at most this many (the oldest length freed first is not tracked:
// any one is freed, which only costs its re-creation).
constexpr std::size_t kept_types = 32;

MPI_Datatype record_type(std::size_t fields)
{
    auto& types = record_types();
    const auto found = types.find(fields);
    if (found != types.end()) {
        return found->second;
    }
    if (types.size() >= kept_types) {
        MPI_Type_free(&types.begin()->second);
        types.erase(types.begin());
    }
    if (the_op == MPI_OP_NULL) {
        MPI_Op_create(&combine, 1, &the_op);
        virda_detail::at_mpi_finalize(&free_at_finalize);
    }
    MPI_Datatype type = MPI_DATATYPE_NULL;
    MPI_Type_contiguous(static_cast<int>(fields), MPI_UINT64_T, &type);
    MPI_Type_commit(&type);
    types.emplace(fields, type);
    return type;
}

} // namespace

std::size_t reduction_record::reserve_sums(std::size_t n)
{
    const std::size_t at = sums_.size();
    sums_.resize(at + n, 0);
    return at;
}

std::size_t reduction_record::reserve_least(std::size_t n)
{
    const std::size_t at = least_.size();
    least_.resize(at + n, ~std::uint64_t{0});
    return at;
}

std::size_t reduction_record::reserve_greatest(std::size_t n)
{
    const std::size_t at = greatest_.size();
    greatest_.resize(at + n, 0);
    return at;
}

reduction_record::agreement reduction_record::reserve_agreement(bool failed, int rank, std::uint64_t fingerprint)
{
    agreement a;
    a.failed_at = reserve_least(2);
    least_[a.failed_at] = failed ? static_cast<std::uint64_t>(rank) : no_rank;
    a.fingerprint_low = a.failed_at + 1;
    least_[a.fingerprint_low] = fingerprint;
    a.fingerprint_high = reserve_greatest(1);
    greatest_[a.fingerprint_high] = fingerprint;
    return a;
}

int reduction_record::failed_rank(const agreement& a) const
{
    const std::uint64_t r = least_[a.failed_at];
    return r == no_rank ? -1 : static_cast<int>(r);
}

bool reduction_record::same_calls(const agreement& a) const
{
    return least_[a.fingerprint_low] == greatest_[a.fingerprint_high];
}

void reduction_record::clear()
{
    sums_.clear();
    least_.clear();
    greatest_.clear();
}

bool reduction_record::allreduce(MPI_Comm comm)
{
    const std::size_t fields = header + sums_.size() + least_.size() + greatest_.size();
    buffer_.resize(fields);
    if (comm == MPI_COMM_NULL) {
        return true;
    }
    buffer_[0] = sums_.size();
    buffer_[1] = least_.size();
    buffer_[2] = greatest_.size();
    std::uint64_t* out = buffer_.data() + header;
    if (!sums_.empty()) {
        std::memcpy(out, sums_.data(), sums_.size() * sizeof(std::uint64_t));
    }
    out += sums_.size();
    std::copy(least_.begin(), least_.end(), out);
    out += least_.size();
    std::copy(greatest_.begin(), greatest_.end(), out);
    const MPI_Datatype type = record_type(fields); // makes the operation too, the first time
    const int status = MPI_Allreduce(MPI_IN_PLACE, buffer_.data(), 1, type, the_op, comm);
    if (status != MPI_SUCCESS) {
        return false;
    }
    const std::uint64_t* in = buffer_.data() + header;
    if (!sums_.empty()) {
        std::memcpy(sums_.data(), in, sums_.size() * sizeof(std::uint64_t));
    }
    in += sums_.size();
    std::copy(in, in + least_.size(), least_.begin());
    in += least_.size();
    std::copy(in, in + greatest_.size(), greatest_.begin());
    return true;
}

} // namespace virda::engine::detail
