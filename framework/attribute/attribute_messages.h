#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_ATTRIBUTE_MESSAGES_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_ATTRIBUTE_MESSAGES_H

#include "framework/array/array_messages.h"

#include <string>

// The lines that attributes write to standard error.
namespace virda_messages {
inline constexpr const char* type_mismatch = "WARNING: attribute not returned. Type mismatch";

/// An operation that needs an array was given an Empty attribute.
inline std::string no_array_held(const char* operation)
{
    return std::string("ERROR in Attribute::") + operation + ":attribute holds no array.Nothing done";
}
} // namespace virda_messages

#endif
