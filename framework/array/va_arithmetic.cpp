// The library's instantiations of elementwise arithmetic: every ordered pair
// of element types (array with array) and every element type with every
// scalar type, for the sum and the product.
#include "framework/array/va_arithmetic.h"

#define VIRDA_INSTANTIATE_ARRAY_PAIR(T, U)                                                               \
    template va<promote_trait<T, U>::T_promote> va<T>::operator+ <U>(const va<U>&) const;                 \
    template va<promote_trait<T, U>::T_promote_pr> va<T>::operator* <U>(const va<U>&) const;
#define VIRDA_INSTANTIATE_SCALAR_PAIR(T, U)                                                              \
    template va<promote_trait<T, U>::T_promote> va<T>::operator+ <U, void>(U) const;                      \
    template va<promote_trait<T, U>::T_promote_pr> va<T>::operator* <U, void>(U) const;
#define VIRDA_INSTANTIATE_ROW(T)                                      \
    VIRDA_FOR_EACH_ELEMENT_TYPE_PAIRED_WITH(VIRDA_INSTANTIATE_ARRAY_PAIR, T) \
    VIRDA_FOR_EACH_SCALAR_TYPE_PAIRED_WITH(VIRDA_INSTANTIATE_SCALAR_PAIR, T)
VIRDA_FOR_EACH_ELEMENT_TYPE(VIRDA_INSTANTIATE_ROW)
#undef VIRDA_INSTANTIATE_ROW
#undef VIRDA_INSTANTIATE_SCALAR_PAIR
#undef VIRDA_INSTANTIATE_ARRAY_PAIR

// The pair list must name the same types, in the same order, as the main list.
#define VIRDA_LIST_ITEM(T) , T
#define VIRDA_PAIR_ITEM(T, U) , U
namespace {
template <typename... Ts>
using list = virda_detail::type_list<Ts...>;
static_assert(std::is_same_v<list<void VIRDA_FOR_EACH_ELEMENT_TYPE(VIRDA_LIST_ITEM)>,
                             list<void VIRDA_FOR_EACH_ELEMENT_TYPE_PAIRED_WITH(VIRDA_PAIR_ITEM, void)>>,
              "element type lists differ");
static_assert(std::is_same_v<list<void VIRDA_FOR_EACH_SCALAR_TYPE(VIRDA_LIST_ITEM)>,
                             list<void VIRDA_FOR_EACH_SCALAR_TYPE_PAIRED_WITH(VIRDA_PAIR_ITEM, void)>>,
              "scalar type lists differ");
} // namespace
#undef VIRDA_PAIR_ITEM
#undef VIRDA_LIST_ITEM
