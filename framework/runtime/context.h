#ifndef VIRDA_FRAMEWORK_RUNTIME_CONTEXT_H
#define VIRDA_FRAMEWORK_RUNTIME_CONTEXT_H

#include <cstddef>

/// The framework's context object. An Attribute allocates one with `new` in
/// its default constructor and never destroys it; several attributes may point
/// at the same one. Reclaiming them is the runtime's concern: the reference
/// runtime serves them from an arena it owns and releases as a whole at exit.
class Context {
public:
    Context();

    static void* operator new(std::size_t bytes);
    static void operator delete(void* p) noexcept;
};

#endif
