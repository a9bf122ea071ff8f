// The tool's reading of every stored number type and of tables, run at 1 to
// 4 ranks through run_operation: rank 0 writes a file of its own (serially)
// whose values come from the global row index, and every rank computes the
// expected count, mean, stdev and extremes of each dataset or column serially
// from the same generator. Also: values beyond 2^53 read from 64-bit
// integers are counted, a compressed dataset whose later chunks were never
// written reads as the fill value, and a read that HDF5 refuses names HDF5's
// reason.
#include "collective_error.h"
#include "filter_plugins.h"
#include "h5_reader.h"
#include "operations.h"

#include "engine/allocation_failures.h"
#include "frontend/row_exchange.h"
#include "framework/runtime/virda_globals.h"

#include "virda_test/ranks.h"
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <hdf5.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using virda_stats::tool_error;

namespace {

constexpr int rows = 1001;
constexpr double two_53 = 9007199254740992.0;

/// A stored dataset: its HDF5 file type, shape, the held type the tool must
/// report, and its value at (row, column) as the tool must read it.
struct typed_case {
    const char* name;
    hid_t (*file_type)();
    int columns; ///< 0: one-dimensional
    const char* held;
    std::function<double(long long, int)> value;
    int rows = ::rows;
    /// For types that HDF5 does not convert from double (enumerations, bit
    /// fields): the native memory type to write from, `memory_bytes` wide.
    hid_t (*memory_type)() = nullptr;
    int memory_bytes = 0;
};

/// IEEE half precision, as NumPy's float16 is stored.
hid_t half_type()
{
    static hid_t type = [] {
        const hid_t t = H5Tcopy(H5T_IEEE_F32LE);
        H5Tset_fields(t, 15, 10, 5, 0, 10);
        H5Tset_size(t, 2);
        H5Tset_ebias(t, 15);
        return t;
    }();
    return type;
}

/// An enumeration of the integers -3 to 3 over `base`.
hid_t enum_over(hid_t base)
{
    const hid_t t = H5Tenum_create(base);
    static const char* const names[] = {"m3", "m2", "m1", "zero", "p1", "p2", "p3"};
    for (short v = -3; v <= 3; ++v) {
        H5Tenum_insert(t, names[v + 3], &v);
    }
    return t;
}

hid_t file_enum()
{
    static hid_t type = [] {
        // Members are given as native shorts and stored big-endian.
        const hid_t t = H5Tenum_create(H5T_STD_I16BE);
        static const char* const names[] = {"m3", "m2", "m1", "zero", "p1", "p2", "p3"};
        for (short v = -3; v <= 3; ++v) {
            short stored = v;
            H5Tconvert(H5T_NATIVE_SHORT, H5T_STD_I16BE, 1, &stored, nullptr, H5P_DEFAULT);
            H5Tenum_insert(t, names[v + 3], &stored);
        }
        return t;
    }();
    return type;
}

hid_t memory_enum()
{
    static hid_t type = enum_over(H5T_NATIVE_SHORT);
    return type;
}

long long wrap(long long v, long long modulus, long long shift) { return v % modulus - shift; }

std::vector<typed_case> cases()
{
    return {
        {"i8", [] { return H5T_STD_I8LE; }, 0, "int", [](long long g, int) { return double(wrap(g * 37, 256, 128)); }},
        {"u8", [] { return H5T_STD_U8LE; }, 0, "int", [](long long g, int) { return double(wrap(g * 37, 256, 0)); }},
        {"i16be", [] { return H5T_STD_I16BE; }, 0, "int",
         [](long long g, int) { return double(wrap(g * 7919, 65536, 32768)); }},
        {"u16", [] { return H5T_STD_U16LE; }, 0, "int", [](long long g, int) { return double(wrap(g * 7919, 65536, 0)); }},
        {"i32", [] { return H5T_STD_I32LE; }, 0, "int",
         [](long long g, int) { return double(wrap(g * 2654435761LL, 1LL << 32, 1LL << 31)); }},
        {"u32", [] { return H5T_STD_U32BE; }, 0, "double",
         [](long long g, int) { return double(wrap(g * 2654435761LL, 1LL << 32, 0)); }},
        {"i64", [] { return H5T_STD_I64LE; }, 0, "double", [](long long g, int) { return (g - 500) * 1e12; }},
        {"u64be", [] { return H5T_STD_U64BE; }, 0, "double", [](long long g, int) { return g * 1e12 + 7; }},
        {"f16", half_type, 0, "float", [](long long g, int) { return (g % 512) * 0.5 - 128; }},
        {"f32", [] { return H5T_IEEE_F32BE; }, 0, "float", [](long long g, int) { return double(float(g * 0.1 - 3)); }},
        {"f64", [] { return H5T_IEEE_F64LE; }, 0, "double", [](long long g, int) { return std::sin(0.01 * g) * 1e3; }},
        // Extended precision, read as the nearest double.
        {"f80", [] { return H5T_NATIVE_LDOUBLE; }, 0, "double",
         [](long long g, int) { return double(static_cast<long double>(g) / 3.0L); }},
        {"table_f64", [] { return H5T_IEEE_F64LE; }, 5, "double",
         [](long long g, int c) { return std::cos(0.003 * g * (c + 1)) * (c + 1); }},
        {"table_u16", [] { return H5T_STD_U16BE; }, 4, "int",
         [](long long g, int c) { return double((g * (c + 3)) % 60000); }},
        // Integers of width 3 are a table, not vectors.
        {"table_i64", [] { return H5T_STD_I64LE; }, 3, "double",
         [](long long g, int c) { return double((g - 300) * (c + 1) * 1000003LL); }},
        // Half-precision vectors: held as Vector3 (doubles).
        {"vectors_f16", half_type, 3, "Vector3", [](long long g, int c) { return (g % 100) * 0.25 - c; }},
        // Fewer rows than ranks at 4: a rank without rows still takes part.
        {"small_table", [] { return H5T_STD_I8LE; }, 6, "int", [](long long g, int c) { return double(g * 10 - c); }, 3},
        // Enumerations read as their integers; bit fields as unsigned ones.
        {"enum16be", file_enum, 0, "int", [](long long g, int) { return double(wrap(g, 7, 3)); }, rows, memory_enum, 2},
        {"bits8", [] { return H5T_STD_B8LE; }, 0, "int", [](long long g, int) { return double(g * 37 % 256); }, rows,
         [] { return H5T_NATIVE_B8; }, 1},
        {"bits16_table", [] { return H5T_STD_B16BE; }, 3, "int",
         [](long long g, int c) { return double(g * (c + 1) * 101 % 65536); }, rows, [] { return H5T_NATIVE_B16; }, 2},
        {"bits32", [] { return H5T_STD_B32LE; }, 0, "double",
         [](long long g, int) { return double(g * 2654435761LL % (1LL << 32)); }, rows, [] { return H5T_NATIVE_B32; },
         4},
    };
}

/// The native type a case is written from: long double for extended floats,
/// double for everything else (HDF5 converts on writing).
bool written_as_long_double(const typed_case& c) { return c.file_type() == H5T_NATIVE_LDOUBLE; }

// A filter that this program registers only while it writes: the tool, which
// reads after it is unregistered, must say that it is missing.
constexpr H5Z_filter_t test_filter = 32100;

size_t pass_through(unsigned, size_t, const unsigned[], size_t bytes, size_t*, void**) { return bytes; }

const H5Z_class2_t test_filter_class = {H5Z_CLASS_T_VERS, test_filter, 1, 1, "virda pass-through test filter",
                                        nullptr, nullptr, pass_through};

// Stand-ins, registered only while writing, under the numbers of ZFP and of
// Bitshuffle, whose Debian packages the tool names when their plugins cannot
// be loaded.
constexpr H5Z_filter_t zfp_filter = 32013;
constexpr H5Z_filter_t bitshuffle_filter = 32008;
const H5Z_class2_t zfp_stand_in = {H5Z_CLASS_T_VERS, zfp_filter, 1, 1, "zfp stand-in", nullptr, nullptr, pass_through};
const H5Z_class2_t bitshuffle_stand_in = {H5Z_CLASS_T_VERS,      bitshuffle_filter, 1,       1,
                                          "bitshuffle stand-in", nullptr,           nullptr, pass_through};

bool write_dataset(hid_t file, const char* name, hid_t type, int n, int columns, const void* values,
                   hid_t memory_type, hid_t create = H5P_DEFAULT, hsize_t written_rows = 0)
{
    const hsize_t dims[2] = {static_cast<hsize_t>(n), static_cast<hsize_t>(columns)};
    const hid_t space = H5Screate_simple(columns > 0 ? 2 : 1, dims, nullptr);
    const hid_t dataset = H5Dcreate2(file, name, type, space, H5P_DEFAULT, create, H5P_DEFAULT);
    hid_t file_space = H5Scopy(space);
    hid_t memory_space = H5Scopy(space);
    if (written_rows > 0) {
        // Only the first rows: the later chunks are never allocated.
        const hsize_t start[2] = {0, 0};
        const hsize_t count[2] = {written_rows, dims[1]};
        H5Sselect_hyperslab(file_space, H5S_SELECT_SET, start, nullptr, count, nullptr);
        H5Sselect_hyperslab(memory_space, H5S_SELECT_SET, start, nullptr, count, nullptr);
    }
    const bool ok = dataset >= 0 && (values == nullptr || H5Dwrite(dataset, memory_type, memory_space, file_space,
                                                                H5P_DEFAULT, values) >= 0);
    H5Sclose(memory_space);
    H5Sclose(file_space);
    H5Dclose(dataset);
    H5Sclose(space);
    return ok;
}

/// Writes the test file on rank 0 with HDF5's default (serial) driver.
bool write_file(const std::string& path)
{
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    bool ok = file >= 0;
    for (const typed_case& c : cases()) {
        const int width = std::max(c.columns, 1);
        std::vector<double> d(static_cast<std::size_t>(c.rows) * width);
        std::vector<long double> ld(d.size());
        for (long long g = 0; g < c.rows; ++g) {
            for (int k = 0; k < width; ++k) {
                d[g * width + k] = c.value(g, k);
                ld[g * width + k] = static_cast<long double>(g) / 3.0L;
            }
        }
        if (c.memory_type != nullptr) {
            std::vector<unsigned char> raw(d.size() * static_cast<std::size_t>(c.memory_bytes));
            for (std::size_t i = 0; i < d.size(); ++i) {
                const auto v = static_cast<long long>(d[i]);
                const std::int16_t v16 = static_cast<std::int16_t>(v);
                const std::uint32_t v32 = static_cast<std::uint32_t>(v);
                const unsigned char v8 = static_cast<unsigned char>(v);
                std::memcpy(&raw[i * c.memory_bytes], c.memory_bytes == 1 ? static_cast<const void*>(&v8)
                                                      : c.memory_bytes == 2 ? static_cast<const void*>(&v16)
                                                                            : static_cast<const void*>(&v32),
                            static_cast<std::size_t>(c.memory_bytes));
            }
            ok = ok && write_dataset(file, c.name, c.file_type(), c.rows, c.columns, raw.data(), c.memory_type());
            continue;
        }
        ok = ok && (written_as_long_double(c)
                        ? write_dataset(file, c.name, c.file_type(), c.rows, c.columns, ld.data(), H5T_NATIVE_LDOUBLE)
                        : write_dataset(file, c.name, c.file_type(), c.rows, c.columns, d.data(), H5T_NATIVE_DOUBLE));
    }
    // 64-bit integers, every odd one beyond 2^53: 2^60 + g, which a double
    // rounds; written from int64 so that nothing is lost on the way.
    std::vector<std::int64_t> big(rows);
    for (int g = 0; g < rows; ++g) {
        big[g] = g % 2 == 1 ? (std::int64_t{1} << 60) + g : g;
    }
    ok = ok && write_dataset(file, "i64_big", H5T_STD_I64LE, rows, 0, big.data(), H5T_NATIVE_INT64);
    // The same pattern as 64-bit bit fields, every odd one 2^63 + g.
    std::vector<std::uint64_t> bits(rows);
    for (int g = 0; g < rows; ++g) {
        bits[g] = g % 2 == 1 ? (std::uint64_t{1} << 63) + static_cast<std::uint64_t>(g) : static_cast<std::uint64_t>(g);
    }
    ok = ok && write_dataset(file, "bits64_big", H5T_STD_B64BE, rows, 0, bits.data(), H5T_NATIVE_B64);
    // Datasets without rows.
    ok = ok && write_dataset(file, "empty_table", H5T_STD_U16LE, 0, 3, nullptr, H5T_NATIVE_DOUBLE) &&
         write_dataset(file, "empty_vectors", H5T_IEEE_F32LE, 0, 2, nullptr, H5T_NATIVE_DOUBLE);

    // 19 rows in chunks of 8, shuffled and compressed, of which only the
    // first chunk is written: chunks 1 and 2 are never allocated and read as
    // the fill value 0.
    const hid_t create = H5Pcreate(H5P_DATASET_CREATE);
    const hsize_t chunk = 8;
    H5Pset_chunk(create, 1, &chunk);
    H5Pset_shuffle(create);
    H5Pset_deflate(create, 6);
    std::vector<double> first(19, 0.0);
    for (int g = 0; g < 8; ++g) {
        first[g] = g + 1.0;
    }
    ok = ok && write_dataset(file, "sparse_gzip", H5T_IEEE_F64LE, 19, 0, first.data(), H5T_NATIVE_DOUBLE, create, 8);

    // A dataset behind a filter that the reader does not have.
    const hid_t filtered = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(filtered, 1, &chunk);
    ok = ok && H5Zregister(&test_filter_class) >= 0 && H5Pset_filter(filtered, test_filter, 0, 0, nullptr) >= 0 &&
         write_dataset(file, "unknown_filter", H5T_IEEE_F64LE, 19, 0, first.data(), H5T_NATIVE_DOUBLE, filtered);
    H5Pclose(filtered);
    for (const H5Z_class2_t* stand_in : {&zfp_stand_in, &bitshuffle_stand_in}) {
        const hid_t list = H5Pcreate(H5P_DATASET_CREATE);
        const std::string name = stand_in->id == zfp_filter ? "zfp_like" : "bitshuffle_like";
        ok = ok && H5Pset_chunk(list, 1, &chunk) >= 0 && H5Zregister(stand_in) >= 0 &&
             H5Pset_filter(list, stand_in->id, 0, 0, nullptr) >= 0 &&
             write_dataset(file, name.c_str(), H5T_IEEE_F64LE, 19, 0, first.data(), H5T_NATIVE_DOUBLE, list) &&
             H5Zunregister(stand_in->id) >= 0;
        H5Pclose(list);
    }
    H5Pclose(create);

    // One time step of a field, shape (1, 1, 7, 3), value g at flat index g,
    // in chunks of (1, 1, 2, 3): its rows are the 7 of the third dimension.
    const hsize_t step_dims[4] = {1, 1, 7, 3};
    const hsize_t step_chunk[4] = {1, 1, 2, 3};
    std::vector<double> step(21);
    for (int g = 0; g < 21; ++g) {
        step[g] = g;
    }
    const hid_t step_space = H5Screate_simple(4, step_dims, nullptr);
    const hid_t step_create = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(step_create, 4, step_chunk);
    const hid_t step_set =
        H5Dcreate2(file, "one_step", H5T_IEEE_F64LE, step_space, H5P_DEFAULT, step_create, H5P_DEFAULT);
    ok = ok && step_set >= 0 && H5Dwrite(step_set, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, step.data()) >= 0;
    H5Dclose(step_set);
    H5Pclose(step_create);
    H5Sclose(step_space);
    ok = H5Fclose(file) >= 0 && ok;
    return H5Zunregister(test_filter) >= 0 && ok;
}

/// The file name of this rank count (the counts run side by side).
std::string test_file()
{
    return "virda_stats_typed.np" + std::to_string(virda_test::ranks()) + ".h5";
}

/// Writes the file once per program, on rank 0; every rank then waits for it.
const std::string& file()
{
    static const std::string path = [] {
        // The tool reports HDF5's reasons itself.
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        int ok = 1;
        if (VIRDA_ID == 0) {
            ok = write_file(test_file()) ? 1 : 0;
        }
        MPI_Bcast(&ok, 1, MPI_INT, 0, VIRDA_COMM);
        // The serial plugin folder is on the search path before the tool
        // looks at it, as when the user's HDF5_PLUGIN_PATH names it: the
        // LZF library must be loaded all the same
        // (TheLzfLibraryIsLoadedWhenThePluginPathNamesTheSerialFolder).
        if (*virda_stats::serial_plugin_folder() != '\0') {
            H5PLprepend(virda_stats::serial_plugin_folder());
        }
        // No plugin folder: the filters here are stand-ins that no plugin
        // serves, and a search through Debian's plugins would load each of
        // them (and the serial HDF5 they link) only to find that it is not
        // the one wanted. The tool's own addition comes first, so that it
        // cannot come back.
        virda_stats::enable_filter_plugins();
        unsigned folders = 0;
        H5PLsize(&folders);
        while (folders > 0 && H5PLremove(--folders) >= 0) {
        }
        return ok ? test_file() : std::string();
    }();
    return path;
}

virda_stats::cli_options options(const std::string& dataset, virda_stats::operation op, int column = -1)
{
    virda_stats::cli_options o;
    o.file = file();
    o.dataset = dataset;
    o.op = op;
    o.column = column;
    return o;
}

/// The tool's report, or the message every rank got.
virda_stats::report run(const virda_stats::cli_options& o, std::string& failure)
{
    try {
        return virda_stats::run_operation(o, VIRDA_COMM);
    } catch (const tool_error& e) {
        failure = e.what();
    }
    return {};
}

struct expected_stats {
    double mean = 0, stdev = 0, min = 0, max = 0;
};

expected_stats serial_stats(const typed_case& c, int column)
{
    expected_stats e;
    e.min = e.max = c.value(0, column);
    long double sum = 0;
    for (long long g = 0; g < c.rows; ++g) {
        const double v = c.value(g, column);
        sum += v;
        e.min = std::min(e.min, v);
        e.max = std::max(e.max, v);
    }
    e.mean = static_cast<double>(sum / c.rows);
    long double squares = 0;
    for (long long g = 0; g < c.rows; ++g) {
        squares += (c.value(g, column) - sum / c.rows) * (c.value(g, column) - sum / c.rows);
    }
    e.stdev = static_cast<double>(std::sqrt(squares / c.rows));
    return e;
}

/// Within rounding of a sum of `rows` terms of magnitude up to `scale`.
void expect_close(double got, double want, double scale, const std::string& what)
{
    EXPECT_NEAR(got, want, 1e-12 * rows * std::max(scale, 1.0)) << what;
}

} // namespace

TEST(TypedRead, EveryTypeAndTableGivesTheSerialStatistics)
{
    ASSERT_FALSE(file().empty()) << "rank 0 could not write the test file";
    for (const typed_case& c : cases()) {
        std::string failure;
        const virda_stats::report r = run(options(c.name, virda_stats::operation::summary), failure);
        EXPECT_EQ(failure, "") << c.name;
        if (!failure.empty()) {
            continue; // thrown alike on every rank
        }
        const auto& rows_out = std::get<virda_stats::summary_result>(r.result).rows;
        const int width = std::max(c.columns, 1);
        ASSERT_EQ(static_cast<int>(rows_out.size()), width) << c.name;
        for (int k = 0; k < width; ++k) {
            const auto& row = rows_out[k];
            const expected_stats e = serial_stats(c, k);
            const std::string what = std::string(c.name) + " column " + std::to_string(k);
            EXPECT_EQ(row.type, c.held) << what;
            EXPECT_EQ(row.count, c.rows) << what;
            EXPECT_EQ(row.min, e.min) << what;
            EXPECT_EQ(row.max, e.max) << what;
            const double scale = std::max(std::fabs(e.min), std::fabs(e.max));
            expect_close(row.mean, e.mean, scale, what + " mean");
            expect_close(row.stdev, e.stdev, scale, what + " stdev");
            // Tables other than vectors name their columns by number.
            EXPECT_EQ(row.column, c.columns > 0 && std::string(c.held).rfind("Vector", 0) != 0 ? k : -1) << what;
        }
        EXPECT_EQ(r.dataset->columns, c.columns) << c.name;
    }
}

TEST(TypedRead, OneColumnOfATableForEveryOperation)
{
    ASSERT_FALSE(file().empty());
    const typed_case table = cases()[12]; // table_f64
    ASSERT_EQ(std::string(table.name), "table_f64");
    for (int k : {0, 3, 4}) {
        std::string failure;
        const virda_stats::report r = run(options("table_f64", virda_stats::operation::mean, k), failure);
        ASSERT_EQ(failure, "");
        expect_close(std::get<virda_stats::value_result>(r.result).value, serial_stats(table, k).mean, 5.0,
                     "column " + std::to_string(k));
        EXPECT_EQ(r.dataset->column, k);
    }
    // A histogram of one column counts each of its rows once.
    virda_stats::cli_options h = options("table_u16", virda_stats::operation::histogram, 2);
    h.lower = -1;
    h.width = 1000;
    h.bins = 61;
    std::string failure;
    const virda_stats::report r = run(h, failure);
    ASSERT_EQ(failure, "");
    const auto& counts = std::get<virda_stats::histogram_result>(r.result).counts;
    if (VIRDA_ID == 0) {
        std::vector<long long> want(61, 0);
        for (long long g = 0; g < rows; ++g) {
            ++want[static_cast<std::size_t>((cases()[13].value(g, 2) + 1) / 1000)];
        }
        EXPECT_EQ(counts, want);
    }
    // A vector table's component is a column too.
    const virda_stats::report v = run(options("vectors_f16", virda_stats::operation::mean, 2), failure);
    ASSERT_EQ(failure, "");
    expect_close(std::get<virda_stats::value_result>(v.result).value, serial_stats(cases()[15], 2).mean, 30,
                 "vector component");
}

TEST(TypedRead, TablesNeedAColumnAndColumnsMustExist)
{
    ASSERT_FALSE(file().empty());
    const auto message = [](const virda_stats::cli_options& o) {
        std::string failure;
        run(o, failure);
        return failure;
    };
    std::string m = message(options("table_u16", virda_stats::operation::stdev));
    EXPECT_NE(m.find("a table of 4 columns: give --column K (0 to 3)"), std::string::npos) << m;
    m = message(options("table_u16", virda_stats::operation::mean, 4));
    EXPECT_NE(m.find("has 4 columns: --column must be 0 to 3, not 4"), std::string::npos) << m;
    m = message(options("f64", virda_stats::operation::mean, 0));
    EXPECT_NE(m.find("is one-dimensional"), std::string::npos) << m;
    virda_stats::cli_options paired = options("f64", virda_stats::operation::bin_data);
    paired.y = "table_f64";
    paired.centre0 = 0;
    paired.centre_step = 1;
    paired.centre_count = 2;
    m = message(paired);
    EXPECT_NE(m.find("needs a one-dimensional y dataset"), std::string::npos) << m;
}

TEST(TypedRead, PairedOperationsStopEveryRankWhenOneCannotAllocate)
{
    // The last rank cannot allocate its bins, or the power sums' tables
    // while adding: every rank gets the same message naming it, none waits
    // in a reduction the others left.
    ASSERT_FALSE(file().empty());
    int rank = 0;
    int ranks = 1;
    MPI_Comm_rank(VIRDA_COMM, &rank);
    MPI_Comm_size(VIRDA_COMM, &ranks);
    const std::string last = "rank " + std::to_string(ranks - 1) + " could not allocate";

    virda_stats::cli_options bins = options("f64", virda_stats::operation::bin_data);
    bins.y = "i32";
    bins.centre0 = 0;
    bins.centre_step = 100;
    bins.centre_count = 5;
    virda_stats::cli_options fit = options("f64", virda_stats::operation::poly_fit);
    fit.y = "i32";
    fit.weights = "u16";
    fit.order = 2;
    for (const virda_stats::cli_options& o : {bins, fit}) {
        std::string failure;
        if (rank == ranks - 1) {
            virda::engine::detail::refuse_allocations(1);
        }
        run(o, failure);
        virda::engine::detail::refuse_allocations(0);
        EXPECT_NE(failure.find(last), std::string::npos) << failure;
        // And without the refusal the same run succeeds.
        std::string none;
        run(o, none);
        EXPECT_EQ(none, "");
    }
}

TEST(TypedRead, ValuesBeyondTwoToThe53AreCounted)
{
    ASSERT_FALSE(file().empty());
    std::string failure;
    const virda_stats::report big = run(options("i64_big", virda_stats::operation::summary), failure);
    ASSERT_EQ(failure, "");
    EXPECT_EQ(big.dataset->beyond_exact, 500);
    EXPECT_EQ(big.dataset->stored, "int64");
    const auto& row = std::get<virda_stats::summary_result>(big.result).rows.at(0);
    EXPECT_EQ(row.max, static_cast<double>((std::int64_t{1} << 60) + 999));
    EXPECT_GE(row.max, two_53);
    const virda_stats::report bits = run(options("bits64_big", virda_stats::operation::summary), failure);
    ASSERT_EQ(failure, "");
    EXPECT_EQ(bits.dataset->beyond_exact, 500);
    EXPECT_EQ(bits.dataset->stored, "bitfield64");
    EXPECT_EQ(std::get<virda_stats::summary_result>(bits.result).rows.at(0).max, 9223372036854775808.0);
    // Exact data say so: a count of 0, not the absence of the field.
    const virda_stats::report exact = run(options("i64", virda_stats::operation::mean), failure);
    ASSERT_EQ(failure, "");
    EXPECT_EQ(exact.dataset->beyond_exact, 0);
    const virda_stats::report table = run(options("table_i64", virda_stats::operation::summary), failure);
    ASSERT_EQ(failure, "");
    EXPECT_EQ(table.dataset->beyond_exact, 0);
    // Integers that a double always holds need no count.
    const virda_stats::report narrow = run(options("u32", virda_stats::operation::mean), failure);
    ASSERT_EQ(failure, "");
    EXPECT_EQ(narrow.dataset->beyond_exact, -1);
}

TEST(TypedRead, UnwrittenCompressedChunksReadAsTheFillValue)
{
    // The chunks never written are not in the file at all: reading them must
    // give the fill value on every rank, whichever rank's rows they hold.
    ASSERT_FALSE(file().empty());
    std::string failure;
    const virda_stats::report r = run(options("sparse_gzip", virda_stats::operation::summary), failure);
    ASSERT_EQ(failure, "");
    const auto& row = std::get<virda_stats::summary_result>(r.result).rows.at(0);
    EXPECT_EQ(row.count, 19);
    EXPECT_DOUBLE_EQ(row.mean, 36.0 / 19.0);
    EXPECT_EQ(row.min, 0.0);
    EXPECT_EQ(row.max, 8.0);
}

TEST(TypedRead, AGridWithLeadingExtentsOfOneIsSplitByItsFirstLongerDimension)
{
    // Split by its first dimension, a (1, 1, 7, 3) grid would sit on one
    // rank; split by the 7 rows of the third, every rank of up to 4 holds
    // some, each row at its own place.
    ASSERT_FALSE(file().empty());
    const virda_stats::h5_input in(file(), VIRDA_COMM);
    const virda_stats::dataset_shape shape = in.inspect("one_step");
    EXPECT_EQ(shape.layout, virda_stats::layout_kind::grid);
    EXPECT_EQ(shape.row_axis, 2);
    EXPECT_EQ(shape.rows, 7);
    EXPECT_EQ(shape.row_values, 3);
    int rank = 0;
    int ranks = 1;
    MPI_Comm_rank(VIRDA_COMM, &rank);
    MPI_Comm_size(VIRDA_COMM, &ranks);
    const virda::frontend::row_range own = virda::frontend::balanced_rows(shape.rows, ranks, rank);
    EXPECT_GT(own.count, 0);
    std::vector<double> data(static_cast<std::size_t>(own.count * shape.row_values));
    in.read_slab<double>(shape, own.first, own.count, data.data());
    for (std::size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(data[i], static_cast<double>(own.first * shape.row_values + static_cast<long long>(i))) << i;
    }
    std::string failure;
    const virda_stats::report r = run(options("one_step", virda_stats::operation::summary), failure);
    ASSERT_EQ(failure, "");
    const auto& row = std::get<virda_stats::summary_result>(r.result).rows.at(0);
    EXPECT_EQ(row.count, 21);
    EXPECT_EQ(row.mean, 10.0);
    EXPECT_EQ(row.max, 20.0);
}

TEST(TypedRead, AFailedReadNamesHdf5sReason)
{
    ASSERT_FALSE(file().empty());
    std::string failure;
    run(options("unknown_filter", virda_stats::operation::mean), failure);
    EXPECT_NE(failure.find("reading dataset 'unknown_filter'"), std::string::npos) << failure;
    // The innermost entry of HDF5's error stack: the filter that is missing.
    EXPECT_NE(failure.find("filter"), std::string::npos) << failure;
    EXPECT_NE(failure.find("required filter 'virda pass-through test filter' is not registered"), std::string::npos)
        << failure;
}

TEST(TypedRead, DatasetsWithoutRowsSummariseAsEmpty)
{
    ASSERT_FALSE(file().empty());
    std::string failure;
    const virda_stats::report table = run(options("empty_table", virda_stats::operation::summary), failure);
    ASSERT_EQ(failure, "");
    const auto& rows_out = std::get<virda_stats::summary_result>(table.result).rows;
    ASSERT_EQ(rows_out.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(rows_out[k].count, 0);
        EXPECT_EQ(rows_out[k].column, k);
        EXPECT_TRUE(std::isnan(rows_out[k].mean));
        EXPECT_TRUE(std::isnan(rows_out[k].max));
    }
    const virda_stats::report vectors = run(options("empty_vectors", virda_stats::operation::summary), failure);
    ASSERT_EQ(failure, "");
    EXPECT_EQ(std::get<virda_stats::summary_result>(vectors.result).rows.size(), 2u);
    // The other operations have nothing to compute.
    run(options("empty_table", virda_stats::operation::mean, 1), failure);
    EXPECT_NE(failure.find("dataset 'empty_table' in " + file() + " has no rows"), std::string::npos) << failure;
}

TEST(TypedRead, TheLzfLibraryIsLoadedWhenThePluginPathNamesTheSerialFolder)
{
    ASSERT_FALSE(file().empty());
    // Already loaded (file() searched no plugin that could have loaded it)?
    void* loaded = dlopen("liblzf.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (loaded == nullptr) {
        void* installed = dlopen("liblzf.so.1", RTLD_LAZY | RTLD_LOCAL);
        if (installed == nullptr) {
            GTEST_SKIP() << "liblzf.so.1 is not installed (Debian's liblzf1)";
        }
        dlclose(installed);
    }
    EXPECT_NE(loaded, nullptr) << "the LZF plugin would fail to load: liblzf.so.1 was not loaded";
    if (loaded != nullptr) {
        dlclose(loaded);
    }
}

TEST(TypedRead, AMissingFilterPluginNamesWhatToInstall)
{
    ASSERT_FALSE(file().empty());
    std::string failure;
    run(options("bitshuffle_like", virda_stats::operation::mean), failure);
    // No plugin folder is searched here (file()), as where Debian's
    // packages are not installed: neither plugin can be found, and the
    // message names each one's package.
    EXPECT_NE(failure.find("bitshuffle (HDF5 filter 32008): install Debian's bitshuffle"), std::string::npos)
        << failure;
    failure.clear();
    run(options("zfp_like", virda_stats::operation::mean), failure);
    EXPECT_NE(failure.find("zfp (HDF5 filter 32013): install Debian's hdf5-filter-plugin-zfp-serial"),
              std::string::npos)
        << failure;
}
