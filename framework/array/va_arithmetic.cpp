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
VIRDA_FOR_EACH_ELEMENT_PAIR(VIRDA_INSTANTIATE_ARRAY_PAIR)
VIRDA_FOR_EACH_ELEMENT_SCALAR_PAIR(VIRDA_INSTANTIATE_SCALAR_PAIR)
#undef VIRDA_INSTANTIATE_SCALAR_PAIR
#undef VIRDA_INSTANTIATE_ARRAY_PAIR
