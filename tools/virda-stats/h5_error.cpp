#include "h5_error.h"

#include <hdf5.h>

namespace virda_stats {

namespace {

/// The text of an error message class (major or minor), or "".
std::string message_text(hid_t message)
{
    char buffer[256] = {};
    H5E_type_t type = H5E_MINOR;
    if (message < 0 || H5Eget_msg(message, &type, buffer, sizeof buffer) < 0) {
        return {};
    }
    return buffer;
}

struct reasons {
    /// The innermost entry outside the plugin search, and the innermost
    /// entry of the plugin search.
    std::string primary;
    std::string plugin;
};

/// `text` on one line: each run of line breaks and the blanks around them
/// becomes one blank (MPI-IO's error strings carry a stack of their own, a
/// line per entry), and blanks at the ends go.
std::string one_line(const std::string& text)
{
    std::string out;
    bool pending_blank = false;
    for (const char c : text) {
        if (c == '\n' || c == '\r' || c == ' ' || c == '\t') {
            pending_blank = !out.empty();
            continue;
        }
        if (pending_blank) {
            out += ' ';
            pending_blank = false;
        }
        out += c;
    }
    return out;
}

std::string entry_text(const H5E_error2_t* entry)
{
    const std::string text = one_line(entry->desc != nullptr ? entry->desc : "");
    // The minor message ("Read failed") only when there is no description.
    return text.empty() ? one_line(message_text(entry->min_num)) : text;
}

/// Walking upward starts at the innermost entry, the function that found
/// the fault. A missing filter pushes the failed search for a plugin below
/// the line that names the filter: that search is kept apart, as where HDF5
/// looked, and the innermost other entry is the reason.
herr_t visit(unsigned, const H5E_error2_t* entry, void* data)
{
    auto* found = static_cast<reasons*>(data);
    if (entry == nullptr) {
        return 0;
    }
    const std::string text = entry_text(entry);
    if (text.empty()) {
        return 0;
    }
    if (entry->maj_num == H5E_PLUGIN) {
        if (found->plugin.empty()) {
            found->plugin = text;
        }
        return 0;
    }
    found->primary = text;
    return 1; // stop: the innermost entry is the most specific
}

} // namespace

std::string h5_error_reason()
{
    // H5Eget_current_stack takes the stack over (and clears it), so that
    // walking it cannot be disturbed by the calls the walk itself makes.
    const hid_t stack = H5Eget_current_stack();
    if (stack < 0) {
        return {};
    }
    reasons found;
    H5Ewalk2(stack, H5E_WALK_UPWARD, visit, &found);
    H5Eclose_stack(stack);
    if (found.primary.empty()) {
        return found.plugin;
    }
    return found.plugin.empty() ? found.primary : found.primary + "; plugin search: " + found.plugin;
}

std::string h5_error_suffix()
{
    const std::string reason = h5_error_reason();
    return reason.empty() ? std::string() : " (HDF5: " + reason + ")";
}

} // namespace virda_stats
