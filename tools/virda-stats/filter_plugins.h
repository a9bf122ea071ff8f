#ifndef VIRDA_TOOLS_VIRDA_STATS_FILTER_PLUGINS_H
#define VIRDA_TOOLS_VIRDA_STATS_FILTER_PLUGINS_H

// Compression filters that HDF5 loads as plugins (LZF, Blosc, LZ4, BZip2,
// Bitshuffle, ZFP): Debian installs them in the plugin folder of its serial HDF5, where
// the parallel HDF5 does not look.

#include <hdf5.h>

#include <string>

namespace virda_stats {

/// Adds the serial HDF5's plugin folder (where Debian's filter packages put
/// their plugins; the parallel HDF5 looks only in its own) to this process's
/// plugin search path, after any the user set with HDF5_PLUGIN_PATH, takes
/// folders that do not exist off it (HDF5 stops at the first), and
/// makes the LZF library available to the LZF plugin, which needs but does
/// not load it. The plugins read through their filter functions alone,
/// which work in the parallel HDF5 too. Local; once per process; nothing
/// when the folder does not exist.
void enable_filter_plugins();

/// The serial HDF5's plugin folder that enable_filter_plugins() adds ("" where
/// HDF5 is not laid out so).
const char* serial_plugin_folder();

/// For a dataset whose read failed: for each filter it requires that HDF5
/// cannot load, and that a Debian package provides, "; <name> (HDF5 filter <id>): install Debian's
/// <package>" (for LZF, its library's package when only that is missing).
/// "" when no such filter is the cause. Local.
std::string missing_filter_advice(hid_t dataset);

} // namespace virda_stats

#endif
