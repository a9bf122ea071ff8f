#include "framework/runtime/context.h"

// The reference runtime's context holds nothing. Attributes construct their
// contexts in storage of the statistics library's own and never destroy them.
Context::Context() = default;
