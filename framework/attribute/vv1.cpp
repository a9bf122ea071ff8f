#include "framework/attribute/vv1.h"

VV1::VV1(element_variant v) : element(std::move(v)) {}

double VV1::to_double() const
{
    // Only the real element types are numbers here; char is not, although it
    // is numeric.
    return boost::apply_visitor(
        [](const auto& v) -> double {
            if constexpr (virda_detail::is_real<std::decay_t<decltype(v)>>) {
                return v;
            } else {
                throw boost::bad_get();
            }
        },
        element);
}
