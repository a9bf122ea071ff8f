#include "held_types.h"

#include "h5_handle.h"

namespace virda_stats {

namespace {

/// The name of a stored number type: the engine's (NumPy's) name of the
/// type of that kind and size where its table has one ("int16", "uint64",
/// "float32"), else the same spelling by width ("float16", "float128").
std::string stored_name(bool floating, bool is_signed, std::size_t bytes)
{
    virda::engine::number_type t = virda::engine::number_type::float64;
    if (virda::engine::number_type_with(floating, is_signed, bytes, &t)) {
        return virda::engine::facts_of(t).name;
    }
    return std::string(floating ? "float" : is_signed ? "int" : "uint") + std::to_string(bytes * 8);
}

} // namespace

const char* kind_name(element_kind kind)
{
    return visit_kind(kind, [](auto tag) { return h5_element<typename decltype(tag)::type>::name; });
}

std::string describe_type(hid_t type)
{
    const std::size_t bits = H5Tget_size(type) * 8;
    switch (H5Tget_class(type)) {
    case H5T_INTEGER:
        return std::to_string(bits) + "-bit " + (H5Tget_sign(type) == H5T_SGN_NONE ? "unsigned " : "") + "integers";
    case H5T_FLOAT:
        return std::to_string(bits) + "-bit floats";
    case H5T_STRING:
        return "strings";
    case H5T_COMPOUND:
        return "compound records";
    case H5T_ENUM:
        return "enumerated values";
    case H5T_ARRAY:
        return "arrays";
    case H5T_BITFIELD:
        return "bit fields";
    case H5T_OPAQUE:
        return "opaque data";
    case H5T_REFERENCE:
        return "references";
    case H5T_VLEN:
        return "variable-length sequences";
    case H5T_TIME:
        return "values of HDF5's time type, which has no conversion to numbers";
    default:
        return "values of an unknown type";
    }
}

virda::engine::number_type held_number_type(element_kind kind)
{
    return visit_kind(kind, [](auto tag) { return virda::engine::number_type_of<typename decltype(tag)::type>::value; });
}

bool classify(hid_t type, stored_number& out)
{
    const std::size_t bytes = H5Tget_size(type);
    const std::size_t bits = bytes * 8;
    switch (H5Tget_class(type)) {
    case H5T_FLOAT:
        if (bytes == 0) {
            return false;
        }
        out.stored = stored_name(true, true, bytes);
        if (H5Tget_precision(type) < bits) {
            // x87 extended precision: 80 bits in 16 bytes.
            out.stored += " (" + std::to_string(H5Tget_precision(type)) + " bits used)";
        }
        // Half and single precision fit a float; wider ones need a double.
        out.kind = bytes <= 4 ? element_kind::float32 : element_kind::float64;
        out.read_type = held_number_type(out.kind);
        return true;
    case H5T_INTEGER: {
        const bool is_signed = H5Tget_sign(type) == H5T_SGN_2;
        if (bytes == 0) {
            return false;
        }
        out.stored = stored_name(false, is_signed, bytes);
        // int holds every value of 8-, 16- and 32-bit signed and of 8- and
        // 16-bit unsigned integers; the others go to double, exact up to 2^53.
        const bool fits_int = is_signed ? bytes <= 4 : bytes <= 2;
        out.kind = fits_int ? element_kind::int32 : element_kind::float64;
        out.wide_integers = H5Tget_precision(type) > 53;
        // Whole bytes of at most 32 bits as stored; 64-bit integers as the
        // doubles they are held in, as every operation takes them.
        if (!(bytes <= 4 && H5Tget_precision(type) == bits &&
              virda::engine::number_type_with(false, is_signed, bytes, &out.read_type))) {
            out.read_type = held_number_type(out.kind);
        }
        return true;
    }
    case H5T_ENUM: {
        // Read as the integers the names stand for (HDF5 converts them).
        const h5_handle base = h5_type_handle(H5Tget_super(type));
        if (!base.valid() || H5Tget_class(base.get()) != H5T_INTEGER || !classify(base.get(), out)) {
            return false;
        }
        out.stored = "enum of " + out.stored;
        out.read_type = held_number_type(out.kind);
        return true;
    }
    case H5T_BITFIELD:
        if (bytes != 1 && bytes != 2 && bytes != 4 && bytes != 8) {
            return false;
        }
        out.stored = "bitfield" + std::to_string(bits);
        out.kind = bytes <= 2 ? element_kind::int32 : element_kind::float64;
        out.wide_integers = bytes == 8;
        out.bitfield_bytes = static_cast<int>(bytes);
        out.read_type = held_number_type(out.kind);
        return true;
    default:
        return false;
    }
}

} // namespace virda_stats
