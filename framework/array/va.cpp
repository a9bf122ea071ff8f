// The library's instantiations of the distributed array, one per element type.
#include "framework/array/va_impl.h"

#define VIRDA_INSTANTIATE_VA(T) template class va<T>;
VIRDA_FOR_EACH_ELEMENT_TYPE(VIRDA_INSTANTIATE_VA)
#undef VIRDA_INSTANTIATE_VA

#define VIRDA_INSTANTIATE_RANGE_READ(T) template int va<T>::va_get<T, 0>(int, int, T*) const;
VIRDA_FOR_EACH_REAL_TYPE(VIRDA_INSTANTIATE_RANGE_READ)
#undef VIRDA_INSTANTIATE_RANGE_READ
