#ifndef VIRDA_ENGINE_CALL_AGREEMENT_H
#define VIRDA_ENGINE_CALL_AGREEMENT_H

/// \file
/// call_agreement: what a caller asks the ranks to agree on before they use
/// a statistic's result, carried in the statistic's own first reduction
/// rather than in a collective of its own.

#include <cstdint>

namespace virda::engine {

/// A caller's agreement, settled in the same message as an engine
/// collective that takes one (order_statistics::count). Before the call
/// each rank says whether it could prepare its part of the call (its
/// values, its arguments) and gives a fingerprint of everything that must
/// be alike on every rank (number types, shapes, probabilities, ...);
/// after it every rank knows the lowest rank that failed, the lowest that
/// was short of memory, and whether the fingerprints were alike, and so
/// raises alike. A rank that failed still takes part in the collective,
/// with an accumulator of the same shape as the others' (its record must
/// be as long as theirs) and no values.
struct call_agreement {
    /// This rank could not prepare its part of the call.
    bool failed = false;
    /// ... because memory was refused (implies nothing about `failed`;
    /// callers set both).
    bool out_of_memory = false;
    /// Of what must be alike on every rank.
    std::uint64_t fingerprint = 0;

    /// After the collective: the lowest rank that failed, or -1.
    int failed_rank = -1;
    /// After the collective: the lowest rank short of memory, or -1.
    int out_of_memory_rank = -1;
    /// After the collective: whether every rank gave the same fingerprint.
    bool same_fingerprints = true;

    /// After the collective: no rank failed and the fingerprints agree, so
    /// that the collective's own result can be used.
    bool settled() const { return failed_rank < 0 && same_fingerprints; }
};

} // namespace virda::engine

#endif
