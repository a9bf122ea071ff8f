#ifndef VIRDA_FRAMEWORK_ARRAY_ARRAY_MESSAGES_H
#define VIRDA_FRAMEWORK_ARRAY_ARRAY_MESSAGES_H

// The lines that arrays write to standard error, one place for all of them.
namespace virda_messages {
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
} // namespace virda_messages

#endif
