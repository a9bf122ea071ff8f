#include "framework/simd/array_kernels.h"

namespace virda_detail {

const array_kernel_table& array_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(array_kernel_table, array_table);
}

} // namespace virda_detail
