#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_CONTEXT_ARENA_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_CONTEXT_ARENA_H

#include <cstddef>

class Context;

namespace virda_detail {

/// A Context constructed (by the runtime's constructor) in storage that this
/// library owns. Attributes never destroy their Context, so every default
/// constructed attribute leaves one behind: they are carved from chunks that
/// stay reachable until the process ends, instead of one heap allocation each,
/// at sizeof(Context) apart (one byte for the framework's empty Context).
Context* new_context();

/// How many Contexts new_context has made in this process (one byte each,
/// kept until the process ends).
std::size_t contexts_made();

} // namespace virda_detail

#endif
