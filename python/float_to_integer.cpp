#include "float_to_integer.h"

#include <cstdint>
#include <limits>

namespace py = pybind11;

namespace virda_python {

namespace {

constexpr double two_to_31 = 2147483648.0;
constexpr double two_to_63 = 9223372036854775808.0;

/// A 32-bit truncating conversion: out of range (or NaN) gives INT32_MIN.
std::int64_t truncated_32(double x)
{
    return x > -two_to_31 - 1.0 && x < two_to_31 ? static_cast<std::int32_t>(x)
                                                 : std::numeric_limits<std::int32_t>::min();
}

/// A 64-bit truncating conversion: out of range (or NaN) gives INT64_MIN.
std::int64_t truncated_64(double x)
{
    return x >= -two_to_63 && x < two_to_63 ? static_cast<std::int64_t>(x) : std::numeric_limits<std::int64_t>::min();
}

/// The unsigned 64-bit conversion: at or above 2^63 through x - 2^63 with
/// the top bit flipped (NaN compares false and takes the signed one).
std::int64_t unsigned_64(double x)
{
    if (x >= two_to_63) {
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(truncated_64(x - two_to_63)) ^
                                         (std::uint64_t{1} << 63));
    }
    return truncated_64(x);
}

/// Casts every value with `cast`; `valid` says whether the conversion takes
/// it as it is (NaN, infinities and values beyond the conversion are where
/// NumPy warns).
template <typename F, typename V>
std::int64_t cast_all(const py::array& values, py::array_t<std::int64_t>& out, bool nan_as_zero, V&& valid, F&& cast)
{
    const auto* in = static_cast<const double*>(values.data());
    std::int64_t* to = out.mutable_data();
    std::int64_t invalid = 0;
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        double x = in[i];
        if (nan_as_zero && x != x) {
            x = 0.0;
        }
        invalid += valid(x) ? 0 : 1;
        to[i] = cast(x);
    }
    return invalid;
}

} // namespace

py::array cast_to_integers(const py::array& block, const py::dtype& to, bool nan_as_zero, std::int64_t* invalid)
{
    // float32 (and float16) values are exact as doubles, and convert alike.
    const py::module_ numpy = py::module_::import("numpy");
    const py::array values = numpy.attr("ascontiguousarray")(block, "float64");
    py::array_t<std::int64_t> out(std::vector<py::ssize_t>(values.shape(), values.shape() + values.ndim()));
    const bool is_signed = to.kind() == 'i';
    const auto valid_32 = [](double x) { return x > -two_to_31 - 1.0 && x < two_to_31; };
    const auto valid_64 = [](double x) { return x >= -two_to_63 && x < two_to_63; };
    const auto valid_unsigned_64 = [](double x) { return x >= -two_to_63 && x < 2.0 * two_to_63; };
    if (to.itemsize() == 8 && is_signed) {
        *invalid = cast_all(values, out, nan_as_zero, valid_64, truncated_64);
    } else if (to.itemsize() == 8) {
        *invalid = cast_all(values, out, nan_as_zero, valid_unsigned_64, unsigned_64);
    } else if (to.itemsize() == 4 && !is_signed) {
        *invalid = cast_all(values, out, nan_as_zero, valid_64, truncated_64);
    } else {
        *invalid = cast_all(values, out, nan_as_zero, valid_32, truncated_32);
    }
    return std::move(out);
}

} // namespace virda_python
