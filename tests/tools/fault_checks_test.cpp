// Units of the tool's defences against faults: the refusal of slabs that
// cannot fit in memory, the targets the
// writer refuses, and the centring, back-conversion and condition number of
// poly-fit, and HDF5's reasons kept on one line. Run at 1 to 4 ranks.
#include "collective_error.h"
#include "fit.h"
#include "h5_error.h"
#include "memory_check.h"
#include "h5_writer.h"

#include "framework/runtime/virda_globals.h"

#include "virda_test/ranks.h"
#include <gtest/gtest.h>
#include <hdf5.h>
#include <mpi.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using virda_stats::tool_error;

namespace {

/// The message this rank got from `step`, empty when it returned.
template <typename Step>
std::string message_of(Step step)
{
    try {
        step();
    } catch (const tool_error& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(CheckMemory, RefusesWhatNoMachineHolds)
{
    virda_stats::dataset_shape shape;
    shape.name = "huge";
    // Slabs of 2^61 bytes: far beyond any memory.
    const std::string m = message_of([&] { virda_stats::check_memory_bytes(shape, 1ULL << 61, VIRDA_COMM); });
    EXPECT_NE(m.find("dataset 'huge' does not fit in memory"), std::string::npos) << m;
    EXPECT_EQ(message_of([&] { virda_stats::check_memory_bytes(shape, 8000, VIRDA_COMM); }), "");
}

TEST(WritableTarget, DevicesAndDirectoriesAreRefused)
{
    for (const char* path : {"/dev/null", "/dev/full", "/", "/nonexistent-dir/x.h5"}) {
        const std::string m = message_of([&] { virda_stats::check_writable_target(path); });
        EXPECT_NE(m.find(std::string("cannot write ") + path), std::string::npos) << path << ": " << m;
    }
}

TEST(FitVariable, MapsTheRangeOntoMinusOneToOne)
{
    const virda_stats::fit_variable v = virda_stats::fit_variable_for(0.0, 10.0);
    EXPECT_EQ(v.centre, 5.0);
    EXPECT_EQ(v.scale, 5.0);
    const virda_stats::fit_variable single = virda_stats::fit_variable_for(3.0, 3.0);
    EXPECT_EQ(single.centre, 3.0);
    EXPECT_EQ(single.scale, 1.0);
    const virda_stats::fit_variable none = virda_stats::fit_variable_for(std::numeric_limits<double>::infinity(),
                                                                         -std::numeric_limits<double>::infinity());
    EXPECT_EQ(none.centre, 0.0);
    EXPECT_EQ(none.scale, 1.0);
    // No overflow for the widest range of finite doubles.
    const double big = std::numeric_limits<double>::max();
    const virda_stats::fit_variable wide = virda_stats::fit_variable_for(-big, big);
    EXPECT_EQ(wide.centre, 0.0);
    EXPECT_EQ(wide.scale, big);
}

TEST(FitVariable, CoefficientsConvertBackToX)
{
    // 11 + 10 x' with x' = (x - 5) / 5 is 1 + 2 x.
    const std::vector<double> line = virda_stats::coefficients_in_x({11.0, 10.0}, {5.0, 5.0});
    ASSERT_EQ(line.size(), 2u);
    EXPECT_DOUBLE_EQ(line[0], 1.0);
    EXPECT_DOUBLE_EQ(line[1], 2.0);
    // x'^2 with x' = (x - 1) / 2 is (x^2 - 2x + 1) / 4.
    const std::vector<double> square = virda_stats::coefficients_in_x({0.0, 0.0, 1.0}, {1.0, 2.0});
    ASSERT_EQ(square.size(), 3u);
    EXPECT_DOUBLE_EQ(square[0], 0.25);
    EXPECT_DOUBLE_EQ(square[1], -0.5);
    EXPECT_DOUBLE_EQ(square[2], 0.25);
}

TEST(ConditionNumber, OfKnownMatrices)
{
    EXPECT_DOUBLE_EQ(virda_stats::condition_number({2.0, 0.0, 0.0, 8.0}, 2), 4.0);
    // [[2, 1], [1, 2]]: eigenvalues 1 and 3.
    EXPECT_NEAR(virda_stats::condition_number({2.0, 1.0, 1.0, 2.0}, 2), 3.0, 1e-12);
    // Singular: [[1, 1], [1, 1]].
    EXPECT_TRUE(std::isinf(virda_stats::condition_number({1.0, 1.0, 1.0, 1.0}, 2)) ||
                virda_stats::condition_number({1.0, 1.0, 1.0, 1.0}, 2) > 1e15);
    EXPECT_TRUE(std::isnan(virda_stats::condition_number({1.0, std::nan(""), std::nan(""), 1.0}, 2)));
}

TEST(Hdf5Reason, IsOneLineWhateverHdf5Says)
{
    // MPI-IO's error strings, which HDF5 passes on, hold a stack of their
    // own, one entry a line (seen for a directory opened as a file).
    H5Epush2(
        H5E_DEFAULT, __FILE__, "read", __LINE__, H5E_ERR_CLS, H5E_IO, H5E_READERROR, "%s",
        "MPI_File_read_at failed: error stack:\n  ADIOI_GEN_READCONTIG(78): Other I/O error \r\n Is a directory\n");
    EXPECT_EQ(virda_stats::h5_error_reason(),
              "MPI_File_read_at failed: error stack: ADIOI_GEN_READCONTIG(78): Other I/O error Is a directory");
    EXPECT_EQ(virda_stats::h5_error_reason(), "") << "the stack was taken over";
}
