// Writes the files that the fault tests of virda-stats read, serially with
// HDF5's default driver:
//
//   virda_stats_make_test_files DIR
//
//   cut.h5          dataset v: 2000 doubles 1..2000, contiguous; the file is
//                   cut inside the data (after 60% of it) and the superblock's
//                   end-of-file address patched to the new size, so that the
//                   file still opens
//   cut_chunked.h5  the same, stored in chunks of 100 rows, cut likewise
//   whole.h5        the same data, contiguous and intact
//   huge.h5         dataset v: 2000000000 doubles never written (no storage,
//                   read as the fill value 0): 16 GB when read; dataset v3:
//                   2000000000 rows of 3 doubles, never written: 48 GB
//   line.h5         x: 1000 rows evenly over [0, 10]; y = 2x + 1; x3: 1000
//                   rows taking only the values 0, 1 and 2; y3 = 2 x3 + 1
//   subnormal.h5    tiny: one double, -4.9406564584124654e-324
//   big.h5          big: 1e308 (three times), -1e308, 5e307 (three times),
//                   -5e307, whose total overflows though the mean (3.75e307)
//                   and stdev do not; big_negative: the same negated; heavy:
//                   eight weights of 1e10 (every product x w overflows)
#include <hdf5.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool fail(const std::string& what)
{
    std::fprintf(stderr, "virda_stats_make_test_files: %s\n", what.c_str());
    return false;
}

/// Writes `values` as the one-dimensional double dataset `name` of `file`;
/// chunked in chunks of `chunk` rows when chunk > 0.
bool write_doubles(hid_t file, const char* name, const std::vector<double>& values, hsize_t chunk = 0)
{
    const hsize_t n = values.size();
    const hid_t space = H5Screate_simple(1, &n, nullptr);
    const hid_t create = H5Pcreate(H5P_DATASET_CREATE);
    if (chunk > 0) {
        H5Pset_chunk(create, 1, &chunk);
    }
    const hid_t dataset = H5Dcreate2(file, name, H5T_IEEE_F64LE, space, H5P_DEFAULT, create, H5P_DEFAULT);
    const herr_t written = H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    const bool ok = dataset >= 0 && written >= 0;
    H5Dclose(dataset);
    H5Pclose(create);
    H5Sclose(space);
    return ok || fail(std::string("cannot write dataset ") + name);
}

std::vector<double> one_to(int n)
{
    std::vector<double> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        v[i] = i + 1.0;
    }
    return v;
}

/// The byte at which the data of row `row` of dataset v start: from the
/// dataset's offset (contiguous) or its chunk index (chunked).
bool data_position(const std::string& path, hsize_t row, unsigned long long& position)
{
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t dataset = H5Dopen2(file, "v", H5P_DEFAULT);
    const hid_t create = H5Dget_create_plist(dataset);
    bool ok = dataset >= 0;
    if (ok && H5Pget_layout(create) == H5D_CHUNKED) {
        hsize_t chunk = 0;
        H5Pget_chunk(create, 1, &chunk);
        const hsize_t coord = row / chunk * chunk;
        unsigned filters = 0;
        haddr_t address = HADDR_UNDEF;
        hsize_t bytes = 0;
        ok = H5Dget_chunk_info_by_coord(dataset, &coord, &filters, &address, &bytes) >= 0 && address != HADDR_UNDEF;
        position = address + (row - coord) * sizeof(double);
    } else if (ok) {
        const haddr_t offset = H5Dget_offset(dataset);
        ok = offset != HADDR_UNDEF;
        position = offset + row * sizeof(double);
    }
    H5Pclose(create);
    H5Dclose(dataset);
    H5Fclose(file);
    return ok || fail("cannot find the data of " + path);
}

/// Cuts `path` to `size` bytes and writes that size into the superblock's
/// end-of-file address (superblock version 0 or 1, 8-byte addresses), so that
/// HDF5 still opens it.
bool cut(const std::string& path, unsigned long long size)
{
    std::vector<char> bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static const unsigned char signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
    if (bytes.size() < 64 || std::memcmp(bytes.data(), signature, 8) != 0) {
        return fail(path + ": no HDF5 signature at byte 0");
    }
    const int version = bytes[8];
    if ((version != 0 && version != 1) || bytes[13] != 8) {
        return fail(path + ": superblock version " + std::to_string(version) + " with " +
                    std::to_string(bytes[13]) + "-byte addresses; expected version 0 or 1 with 8-byte addresses");
    }
    if (size >= bytes.size()) {
        return fail(path + ": the cut would not shorten the file");
    }
    // Version 0: 24 bytes of versions, sizes, K values and flags, then the
    // base, free-space, end-of-file and driver addresses; version 1 has four
    // more bytes (indexed storage K and reserved) before the addresses.
    const std::size_t eof_field = (version == 0 ? 24 : 28) + 16;
    bytes.resize(size);
    for (int b = 0; b < 8; ++b) {
        bytes[eof_field + b] = static_cast<char>((size >> (8 * b)) & 0xff);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out.good() || fail("cannot write " + path);
}

bool make_values(const std::string& path, hsize_t chunk)
{
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const bool ok = file >= 0 && write_doubles(file, "v", one_to(2000), chunk);
    return H5Fclose(file) >= 0 && ok;
}

bool make_cut(const std::string& path, hsize_t chunk)
{
    unsigned long long position = 0;
    // Cut at 60%, inside row 1200 (half of its bytes kept).
    return make_values(path, chunk) && data_position(path, 1200, position) && cut(path, position + 4);
}

/// Creates a dataset of doubles of shape `dims` without writing it (no
/// storage: it reads as the fill value 0).
bool create_unwritten(hid_t file, const char* name, int ndims, const hsize_t* dims, hid_t type = H5T_IEEE_F64LE)
{
    const hid_t space = H5Screate_simple(ndims, dims, nullptr);
    const hid_t create = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_alloc_time(create, H5D_ALLOC_TIME_LATE);
    const hid_t dataset = H5Dcreate2(file, name, type, space, H5P_DEFAULT, create, H5P_DEFAULT);
    const bool ok = dataset >= 0;
    H5Dclose(dataset);
    H5Pclose(create);
    H5Sclose(space);
    return ok || fail(std::string("cannot create dataset ") + name);
}

bool make_huge(const std::string& path)
{
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const hsize_t rows = 2000000000ULL;
    const hsize_t vectors[2] = {rows, 3};
    // A float32 grid of 16 million cells per row: reduced over its rows,
    // its per-cell accumulators alone take gigabytes.
    const hsize_t grid[3] = {4, 4000, 4000};
    const bool ok = file >= 0 && create_unwritten(file, "v", 1, &rows) && create_unwritten(file, "v3", 2, vectors) &&
                    create_unwritten(file, "g", 3, grid, H5T_IEEE_F32LE);
    return H5Fclose(file) >= 0 && ok;
}

bool make_line(const std::string& path)
{
    const int n = 1000;
    std::vector<double> x(n), y(n), x3(n), y3(n);
    for (int i = 0; i < n; ++i) {
        x[i] = 10.0 * i / (n - 1);
        y[i] = 2.0 * x[i] + 1.0;
        x3[i] = i % 3;
        y3[i] = 2.0 * x3[i] + 1.0;
    }
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const bool ok = file >= 0 && write_doubles(file, "x", x) && write_doubles(file, "y", y) &&
                    write_doubles(file, "x3", x3) && write_doubles(file, "y3", y3);
    return H5Fclose(file) >= 0 && ok;
}

bool make_subnormal(const std::string& path)
{
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const bool ok = file >= 0 && write_doubles(file, "tiny", {-4.9406564584124654e-324});
    return H5Fclose(file) >= 0 && ok;
}

bool make_big(const std::string& path)
{
    const std::vector<double> big = {1e308, 1e308, 1e308, -1e308, 5e307, 5e307, 5e307, -5e307};
    std::vector<double> negative;
    for (const double v : big) {
        negative.push_back(-v);
    }
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const bool ok = file >= 0 && write_doubles(file, "big", big) && write_doubles(file, "big_negative", negative) &&
                    write_doubles(file, "heavy", std::vector<double>(big.size(), 1e10));
    return H5Fclose(file) >= 0 && ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: virda_stats_make_test_files DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok = make_cut(dir + "/cut.h5", 0) && make_cut(dir + "/cut_chunked.h5", 100) &&
                    make_values(dir + "/whole.h5", 0) && make_huge(dir + "/huge.h5") && make_line(dir + "/line.h5") &&
                    make_subnormal(dir + "/subnormal.h5") && make_big(dir + "/big.h5");
    return ok ? 0 : 1;
}
