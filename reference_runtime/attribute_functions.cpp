// Whole-attribute operations of the reference runtime: the global total, the
// integer power and the product with a scalar on the left. Each works on this
// rank's own block directly; none reads its own elements through the window.
#include "framework/runtime/attribute_functions.h"

#include "engine/exact_sum.h"
#include "framework/attribute/attribute.h"
#include "framework/attribute/attribute_visitors.h"
#include "reference_runtime/messages.h"
#include "reference_runtime/power_kernels.h"

#include <cmath>
#include <cstdint>
#include <iostream>
#include <type_traits>

namespace {

using virda_messages::pow_unsupported;

/// The total of one array over all ranks, in one collective.
class total_visitor : public boost::static_visitor<VV1> {
public:
    template <typename T>
    VV1 operator()(const va<T>& a) const
    {
        const T* block = a.va_local_data();
        const std::size_t n = static_cast<std::size_t>(a.va_local_count());
        if constexpr (virda_detail::is_real<T>) {
            // Exact, rounded once: the same double at any number of ranks and
            // in any order of the data.
            virda::engine::exact_sum acc;
            acc.add(virda::engine::values_of(block, static_cast<std::int64_t>(n)));
            return VV1(element_variant(acc.allreduce_rounded(a.va_get_comm())));
        } else if constexpr (std::is_same_v<T, char>) {
            // char is not a number here (it takes part in no arithmetic): the
            // total is kept as a char, wrapping modulo 256, and converting it
            // to double raises boost::bad_get like the composite types.
            long long local = 0;
            for (std::size_t i = 0; i < n; ++i) {
                local += block[i];
            }
            long long total = 0;
            MPI_Allreduce(&local, &total, 1, MPI_LONG_LONG, MPI_SUM, a.va_get_comm());
            return VV1(element_variant(static_cast<char>(static_cast<unsigned char>(total & 0xff))));
        } else {
            // Composite types: the componentwise total, each component exact
            // and rounded once, all components in one reduction.
            constexpr int parts = sizeof(T) / sizeof(double);
            virda::engine::exact_sum acc[parts];
            const double* components = reinterpret_cast<const double*>(block);
            for (int c = 0; c < parts; ++c) {
                acc[c].add(virda::engine::values_of(components + c, static_cast<std::int64_t>(n), parts));
            }
            double total[parts];
            virda::engine::exact_sum::allreduce_rounded(acc, parts, total, a.va_get_comm());
            T value{};
            double* out = reinterpret_cast<double*>(&value);
            for (int c = 0; c < parts; ++c) {
                out[c] = total[c];
            }
            return VV1(element_variant(value));
        }
    }
};

/// A new double array of the operand's shape holding every element raised to
/// a whole exponent; other element types give a zero array of their own type.
class power_visitor : public boost::static_visitor<array_variant> {
public:
    explicit power_visitor(double e) : exponent_(e) {}

    template <typename T>
    array_variant operator()(const va<T>& a) const
    {
        const int n = a.va_local_count();
        const bool whole = std::isfinite(exponent_) && exponent_ >= 0.0 && std::floor(exponent_) == exponent_;
        if constexpr (virda_detail::is_real<T>) {
            if (whole) {
                va<double> result(a.va_get_dimensions(), a.va_get_comm());
                if (result.va_local_count() != n) {
                    return array_variant(std::move(result)); // not created, on every rank alike
                }
                const T* in = a.va_local_data();
                double* out = result.va_local_data();
                if (exponent_ <= 4294967295.0) {
                    // Binary powering, vectorised on the host's path.
                    virda_detail::run_power_kernel(in, static_cast<unsigned>(exponent_), out,
                                                   static_cast<std::size_t>(n));
                } else {
                    // Beyond 32 bits: the C library's power, exact in sign and
                    // limits for whole exponents of any size.
                    for (int i = 0; i < n; ++i) {
                        out[i] = std::pow(static_cast<double>(in[i]), exponent_);
                    }
                }
                result.va_sync();
                return array_variant(std::move(result));
            }
        }
        virda_messages::report(pow_unsupported);
        va<T> result(a.va_get_dimensions(), a.va_get_comm());
        std::fill(result.va_local_data(), result.va_local_data() + result.va_local_count(), T{});
        result.va_sync();
        return array_variant(std::move(result));
    }

private:
    double exponent_;
};

} // namespace

VV1 sum(const Attribute& a)
{
    if (a.held() == nullptr) {
        virda_messages::report(virda_messages::sum_no_array);
        return VV1(element_variant(0.0));
    }
    return boost::apply_visitor(total_visitor(), *a.held());
}

Attribute pow(const Attribute& a, double e)
{
    // The operand's Context, as every arithmetic result shares its left
    // operand's: no Context is made per call.
    Attribute result(a.get_context_pointer());
    if (a.held() == nullptr) {
        virda_messages::report(virda_messages::pow_no_array);
        return result;
    }
    result.set_attribute(boost::apply_visitor(power_visitor(e), *a.held()));
    return result;
}

Attribute operator*(double s, const Attribute& a)
{
    // s * x equals x * s element by element (IEEE products commute), so the
    // attribute's own product with a scalar serves: one new array, filled
    // from the local block and published before it is returned.
    return a * scalar_variant(s);
}
