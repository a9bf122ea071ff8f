#ifndef VIRDA_FRAMEWORK_RUNTIME_CONTEXT_H
#define VIRDA_FRAMEWORK_RUNTIME_CONTEXT_H

/// \file
/// The framework's Context.

/// The framework's context object. The runtime defines its constructor; an
/// Attribute constructs one in its default constructor and never destroys it,
/// and several attributes may point at the same one. The storage comes from
/// the statistics library itself (an arena it keeps for the process's life),
/// so the library needs nothing of the runtime's but the constructor.
class Context {
public:
    Context();
};

#endif
