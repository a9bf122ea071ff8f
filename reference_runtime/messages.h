#ifndef VIRDA_REFERENCE_RUNTIME_MESSAGES_H
#define VIRDA_REFERENCE_RUNTIME_MESSAGES_H

#include "framework/messages.h"

// Every line the reference runtime writes to standard error, by report() of
// framework/messages.h.
namespace virda_messages {

inline constexpr const char* sum_no_array = "ERROR in sum:attribute holds no array.Zero returned";
inline constexpr const char* pow_no_array = "ERROR in pow:attribute holds no array.Nothing done";
inline constexpr const char* pow_unsupported = "ERROR in pow:exponent or element type not supported.Zero array returned";

} // namespace virda_messages

#endif
