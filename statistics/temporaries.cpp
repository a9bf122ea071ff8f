#include "statistics/temporaries.h"

#include "framework/attribute/attribute.h"
#include "framework/attribute/attribute_visitors.h"
#include "framework/runtime/attribute_functions.h"
#include "framework/types/promote_trait.h"

#include <limits>
#include <type_traits>

namespace virda_detail {

namespace {

int elements_of(const Attribute& a)
{
    return a.held() != nullptr ? boost::apply_visitor(Attribute_size_visitor(), *a.held()) : 0;
}

/// Whether the product of x's and w's element types is a number type
/// narrower than double (int or float), which an int * int wraps and a float
/// product rounds. Only numbers are converted: a char or composite operand
/// keeps its undefined or composite product.
bool product_narrower_than_double(const Attribute& x, const Attribute& w)
{
    if (x.held() == nullptr || w.held() == nullptr) {
        return false;
    }
    return boost::apply_visitor(
        [](const auto& a, const auto& b) {
            using T = typename std::decay_t<decltype(a)>::value_type;
            using U = typename std::decay_t<decltype(b)>::value_type;
            if constexpr (is_real<T> && is_real<U>) {
                return !std::is_same_v<typename promote_trait<T, U>::T_promote_pr, double>;
            } else {
                return false;
            }
        },
        *x.held(), *w.held());
}

} // namespace

bool made_from(const Attribute& temporary, const Attribute& operand)
{
    return elements_of(temporary) == elements_of(operand);
}

double weighted_total(const Attribute& x, const Attribute& w)
{
    constexpr double not_made = std::numeric_limits<double>::quiet_NaN();
    if (!product_narrower_than_double(x, w)) {
        const Attribute product = x * w;
        return made_from(product, x) ? static_cast<double>(sum(product)) : not_made;
    }
    const Attribute x_double = x * scalar_variant(1.0);
    if (!made_from(x_double, x)) {
        return not_made;
    }
    const Attribute product = x_double * w;
    return made_from(product, x_double) ? static_cast<double>(sum(product)) : not_made;
}

} // namespace virda_detail
