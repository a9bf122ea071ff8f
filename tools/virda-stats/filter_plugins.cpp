#include "filter_plugins.h"

#include "h5_handle.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <mutex>

namespace virda_stats {

namespace {

/// A filter that data written by other software commonly need, and the
/// Debian package that brings its plugin. A plugin that
/// needs a library it does not load itself names it, its file in the serial
/// folder, and the library's package.
struct known_filter {
    H5Z_filter_t id;
    const char* name;
    const char* package;
    const char* plugin_file = nullptr;
    const char* library = nullptr;
    const char* library_package = nullptr;
};

/// The library the LZF plugin calls without linking it.
constexpr const char* lzf_library = "liblzf.so.1";

constexpr known_filter known_filters[] = {
    {307, "bzip2", "hdf5-filter-plugin"},
    {32000, "lzf", "hdf5-plugin-lzf", "liblzf_filter.so", lzf_library, "liblzf1"},
    {32001, "blosc", "hdf5-filter-plugin-blosc-serial"},
    {32004, "lz4", "hdf5-filter-plugin"},
    {32008, "bitshuffle", "bitshuffle"},
    {32013, "zfp", "hdf5-filter-plugin-zfp-serial"},
};

bool is_directory(const char* path)
{
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_file(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

/// Whether the dynamic loader finds `library` (loading it only to see).
bool loadable(const char* library)
{
    void* handle = ::dlopen(library, RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
        return false;
    }
    ::dlclose(handle);
    return true;
}

/// What to install for `known`, whose filter HDF5 could not load.
std::string install_advice(const known_filter& known)
{
    if (known.library == nullptr || loadable(known.library)) {
        return std::string("install Debian's ") + known.package;
    }
    // The plugin cannot run without the library: name what is missing.
    if (is_file(std::string(serial_plugin_folder()) + "/" + known.plugin_file)) {
        return std::string("install Debian's ") + known.library_package + " (" + known.library +
               ", which the plugin needs)";
    }
    return std::string("install Debian's ") + known.package + " and " + known.library_package;
}

/// Takes the folders that do not exist off the plugin search path (HDF5
/// 1.10 stops searching at the first folder it cannot open: the parallel
/// HDF5's own, which no Debian package creates for MPICH, hid every other)
/// and says whether `folder` is on it.
bool prune_search_path(const char* folder)
{
    unsigned size = 0;
    if (H5PLsize(&size) < 0) {
        return false;
    }
    bool found = false;
    for (unsigned i = size; i-- > 0;) {
        char path[4096] = {};
        if (H5PLget(i, path, sizeof path) <= 0) {
            continue;
        }
        if (!is_directory(path)) {
            H5PLremove(i);
        } else if (std::string(path) == folder) {
            found = true;
        }
    }
    return found;
}

} // namespace

const char* serial_plugin_folder()
{
    return VIRDA_STATS_SERIAL_PLUGIN_DIR;
}

void enable_filter_plugins()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const char* folder = serial_plugin_folder();
        const bool searched = prune_search_path(folder);
        if (*folder != '\0' && is_directory(folder) && !searched) {
            H5PLappend(folder);
        }
        // The LZF plugin calls lzf_decompress without linking the library
        // that defines it (it was built to run inside h5py, which carries
        // LZF itself): load that library for it, once, globally, whichever
        // folder the plugin is found in (HDF5_PLUGIN_PATH may name the
        // serial folder itself, or another). Nothing when it is not
        // installed (the plugin then fails to load, and the read says so).
        (void)::dlopen(lzf_library, RTLD_NOW | RTLD_GLOBAL);
    });
}

std::string missing_filter_advice(hid_t dataset)
{
    const h5_handle create = h5_plist_handle(H5Dget_create_plist(dataset));
    const int filters = create.valid() ? H5Pget_nfilters(create.get()) : 0;
    std::string advice;
    for (int i = 0; i < filters; ++i) {
        unsigned flags = 0;
        std::size_t values = 0;
        char name[256] = {};
        unsigned filter_config = 0;
        const H5Z_filter_t id = H5Pget_filter2(create.get(), static_cast<unsigned>(i), &flags, &values, nullptr,
                                               sizeof name, name, &filter_config);
        if (id < 0 || (flags & H5Z_FLAG_OPTIONAL) != 0 || H5Zfilter_avail(id) > 0) {
            continue;
        }
        for (const known_filter& known : known_filters) {
            if (known.id != id) {
                continue;
            }
            advice +=
                std::string("; ") + known.name + " (HDF5 filter " + std::to_string(id) + "): " + install_advice(known);
        }
    }
    return advice;
}

} // namespace virda_stats
