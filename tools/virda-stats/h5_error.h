#ifndef VIRDA_TOOLS_VIRDA_STATS_H5_ERROR_H
#define VIRDA_TOOLS_VIRDA_STATS_H5_ERROR_H

#include <string>

namespace virda_stats {

/// Why the HDF5 call that just failed on this thread failed: the description
/// of the innermost entry of HDF5's error stack (the most specific one, such
/// as the filter that is not available or the object header that could not
/// be decoded); a failed search for a filter plugin, which HDF5 pushes below
/// the missing filter's entry, follows as "; plugin search: ...". Always one
/// line: line breaks in HDF5's texts (MPI-IO's error strings carry a stack of
/// their own) and the blanks around them become one blank. Empty when the
/// stack is empty.
///
/// Every HDF5 API call clears the stack when it starts, so this must be
/// called right after the failing call, before any other HDF5 call (closing
/// a handle included). Local; makes no MPI call.
std::string h5_error_reason();

/// " (<reason>)" for a message, or "" when HDF5 gave no reason. Local, with
/// the same restriction as h5_error_reason.
std::string h5_error_suffix();

} // namespace virda_stats

#endif
