// The types a stored HDF5 number is held in, and the engine's number type
// its slabs are read in. Local.
#include "held_types.h"
#include "slab_statistics.h"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cstddef>

using virda::engine::number_type;
using virda_stats::element_kind;
using virda_stats::stored_number;

namespace {

stored_number classified(hid_t type)
{
    stored_number out;
    EXPECT_TRUE(virda_stats::classify(type, out));
    return out;
}

} // namespace

TEST(HeldTypes, SlabsOfSmallIntegersAreReadAsStored)
{
    // Every byte order and sign of 8 to 32 bits: the engine's own type.
    const struct {
        hid_t type;
        number_type read;
        element_kind held;
    } cases[] = {
        {H5T_STD_I8LE, number_type::int8, element_kind::int32},
        {H5T_STD_U8BE, number_type::uint8, element_kind::int32},
        {H5T_STD_I16BE, number_type::int16, element_kind::int32},
        {H5T_STD_U16LE, number_type::uint16, element_kind::int32},
        {H5T_STD_I32LE, number_type::int32, element_kind::int32},
        {H5T_STD_U32BE, number_type::uint32, element_kind::float64},
        // 64-bit integers as the doubles every operation holds them in.
        {H5T_STD_I64LE, number_type::float64, element_kind::float64},
        {H5T_STD_U64BE, number_type::float64, element_kind::float64},
        {H5T_IEEE_F32BE, number_type::float32, element_kind::float32},
        {H5T_IEEE_F64LE, number_type::float64, element_kind::float64},
        // Bit fields are widened by the tool, not converted by HDF5.
        {H5T_STD_B8LE, number_type::int32, element_kind::int32},
        {H5T_STD_B64LE, number_type::float64, element_kind::float64},
    };
    for (const auto& c : cases) {
        const stored_number s = classified(c.type);
        EXPECT_EQ(s.read_type, c.read) << s.stored;
        EXPECT_EQ(s.kind, c.held) << s.stored;
    }
    // An enumeration of int8 as its held int; an integer with padding bits
    // as held, not as a type of its width.
    const hid_t e = H5Tenum_create(H5T_NATIVE_INT8);
    signed char v = 1;
    H5Tenum_insert(e, "one", &v);
    EXPECT_EQ(classified(e).read_type, number_type::int32);
    H5Tclose(e);
    const hid_t padded = H5Tcopy(H5T_STD_I32LE);
    H5Tset_precision(padded, 24);
    EXPECT_EQ(classified(padded).read_type, number_type::int32);
    EXPECT_EQ(classified(padded).kind, element_kind::int32);
    H5Tclose(padded);
}

TEST(SlabRows, AQuarterOfTheBudgetAndAtLeastOneRow)
{
    EXPECT_EQ(virda_stats::slab_rows_for(std::size_t{1} << 20, 8), (1 << 18) / 8);
    EXPECT_EQ(virda_stats::slab_rows_for(std::size_t{512} << 20, 1), 128LL << 20);
    // A row wider than the slab's share is still read, alone.
    EXPECT_EQ(virda_stats::slab_rows_for(std::size_t{1} << 20, std::size_t{1} << 30), 1);
    EXPECT_EQ(virda_stats::slab_rows_for(0, 0), 1);
}
