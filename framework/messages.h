#ifndef VIRDA_FRAMEWORK_MESSAGES_H
#define VIRDA_FRAMEWORK_MESSAGES_H

#include <iostream>
#include <string>

// Every line the framework layer (arrays, element types, attributes,
// instruction-set paths) writes to standard error; the statistics and the
// reference runtime keep theirs beside them (statistics/messages.h,
// reference_runtime/messages.h), in the same namespace. Each constant's name
// is the message's id: the headers' comments and the README's table of
// messages name it, and every line is written by report(), by every rank
// that meets the condition (usually all of them).
namespace virda_messages {

/// Writes one message to standard error, ended by std::endl (flushed, so
/// that the lines of the ranks reach the launcher as they are written).
inline void report(const char* line)
{
    std::cerr << line << std::endl;
}

inline void report(const std::string& line)
{
    report(line.c_str());
}

// Arrays (framework/array).
inline constexpr const char* self_assignment = "what am i doing?";
inline constexpr const char* index_too_large = "ERROR:index larger than the size of the VA.No value returned";
inline constexpr const char* inverted_range = "ERROR in va_put:lower limit larger than upper limit ";
inline constexpr const char* range_outside = "ERROR in va_get:range outside the VA.No value returned";
inline constexpr const char* too_many_elements =
    "ERROR in va_create:number of elements does not fit in an int.VA left empty";
inline constexpr const char* negative_extent = "ERROR in va_create:negative extent or extra rows.VA left empty";
inline constexpr const char* block_not_allocated =
    "ERROR in va_create:block could not be allocated on some rank.VA left empty";
inline constexpr const char* no_window = "ERROR in va_create:no MPI window could be created.VA left empty";
inline constexpr const char* rank_outside =
    "ERROR in va_distribution_index:rank outside the communicator.Empty range returned";
inline constexpr const char* not_created = "ERROR in va_distribution_index:VA not created.Empty range returned";
inline constexpr const char* dimension_mismatch = "Error: you are trying to add two va with different dimensions!";
inline constexpr const char* sum_undefined = "SUM NOT DEFINED FOR THESE TWO TYPES; Nothing done";
inline constexpr const char* sum_gives_zero = "If you typed z=x+y what you got is z=0";
inline constexpr const char* product_undefined = "PRODUCT NOT DEFINED FOR THESE TWO TYPES; Nothing done";
inline constexpr const char* product_gives_zero = "If you typed z=x*y what you got is z=0";

// Instruction-set paths (framework/simd), written once per job.

/// VIRDA_ISA names no path; `names` lists the paths, `running` is the one
/// chosen instead.
inline std::string isa_unknown(const char* value, const std::string& names, const char* running)
{
    return std::string("WARNING: VIRDA_ISA='") + value + "' names no instruction-set path (" + names + "); running " +
           running;
}

/// VIRDA_ISA names a path this processor cannot run.
inline std::string isa_unavailable(const char* value, const char* running)
{
    return std::string("WARNING: VIRDA_ISA='") + value + "' cannot run on this processor; running " + running;
}

// Element types (framework/types).
inline constexpr const char* malformed_sub_block =
    "ERROR in mpi_type_trait:malformed sub-block counts or sizes.No datatype built";

// Attributes (framework/attribute).
inline constexpr const char* type_mismatch = "WARNING: attribute not returned. Type mismatch";

/// An operation that needs an array was given an Empty attribute.
inline std::string no_array_held(const char* operation)
{
    return std::string("ERROR in Attribute::") + operation + ":attribute holds no array.Nothing done";
}

} // namespace virda_messages

#endif
