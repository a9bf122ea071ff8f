#ifndef VIRDA_FRAMEWORK_TYPES_NON_C_D_MD_H
#define VIRDA_FRAMEWORK_TYPES_NON_C_D_MD_H

/// \file
/// non_c_d_md, the sub-block marker of mpi_type_trait.

/// Marker used only as a type argument: mpi_type_trait<non_c_d_md<T>> builds
/// the datatype of a rectangular sub-block of a multi-dimensional array of T
/// (T = double, int or float).
template <typename T>
struct non_c_d_md {
};

#endif
