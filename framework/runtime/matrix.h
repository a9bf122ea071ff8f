#ifndef VIRDA_FRAMEWORK_RUNTIME_MATRIX_H
#define VIRDA_FRAMEWORK_RUNTIME_MATRIX_H

/// \file
/// The framework's dense matrix and its inversion.

#include <vector>

/// A small dense matrix of doubles in row-major order, a value type: copies
/// are deep and independent of the matrix they were made from.
class matrix {
public:
    matrix() = default;
    /// Copies rows x cols values from `values` (row-major); the caller keeps
    /// ownership of the array.
    matrix(double* values, int rows, int cols);

    /// The product of this matrix and `right`. The returned reference is to
    /// storage owned by the runtime that the next product overwrites: copy it.
    /// Factors of mismatched shapes give a 0 x 0 matrix.
    matrix& operator*(matrix& right);

    /// The elements in row-major order.
    double* get_data();

    /// Number of rows (0 for a default-constructed matrix).
    int rows() const { return rows_; }
    /// Number of columns.
    int cols() const { return cols_; }

private:
    int rows_ = 0;
    int cols_ = 0;
    std::vector<double> values_;
};

/// The inverse of a square matrix, by Gauss-Jordan elimination with partial
/// pivoting. The returned reference is to storage owned by the runtime that the
/// next inversion overwrites: copy it. A singular matrix (a zero or non-finite
/// pivot) gives a matrix of the same shape filled with NaN; a matrix that is not
/// square gives a 0 x 0 matrix. Never fails otherwise.
matrix& matrix_invert(matrix& m);

#endif
