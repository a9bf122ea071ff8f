#include "framework/runtime/matrix.h"

#include <cmath>
#include <limits>
#include <utility>

matrix::matrix(double* values, int rows, int cols)
    : rows_(rows > 0 ? rows : 0), cols_(cols > 0 ? cols : 0),
      values_(values, values + static_cast<std::size_t>(rows_) * static_cast<std::size_t>(cols_))
{
}

double* matrix::get_data()
{
    return values_.data();
}

matrix& matrix::operator*(matrix& right)
{
    // The caller copies the product at once; one slot per thread is enough.
    static thread_local matrix product;
    product = matrix();
    if (cols_ != right.rows_) {
        return product;
    }
    product.rows_ = rows_;
    product.cols_ = right.cols_;
    product.values_.assign(static_cast<std::size_t>(rows_) * right.cols_, 0.0);
    for (int i = 0; i < rows_; ++i) {
        for (int k = 0; k < cols_; ++k) {
            const double a = values_[static_cast<std::size_t>(i) * cols_ + k];
            for (int j = 0; j < right.cols_; ++j) {
                product.values_[static_cast<std::size_t>(i) * right.cols_ + j] +=
                    a * right.values_[static_cast<std::size_t>(k) * right.cols_ + j];
            }
        }
    }
    return product;
}

matrix& matrix_invert(matrix& m)
{
    static thread_local matrix inverse;
    const int n = m.rows();
    if (n != m.cols()) {
        inverse = matrix();
        return inverse;
    }

    // Gauss-Jordan elimination on [A | I] with partial pivoting.
    const std::size_t w = 2 * static_cast<std::size_t>(n);
    std::vector<double> work(static_cast<std::size_t>(n) * w, 0.0);
    const double* a = m.get_data();
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            work[i * w + j] = a[static_cast<std::size_t>(i) * n + j];
        }
        work[i * w + n + i] = 1.0;
    }

    bool singular = false;
    for (int col = 0; col < n && !singular; ++col) {
        int pivot = col;
        for (int r = col + 1; r < n; ++r) {
            if (std::fabs(work[r * w + col]) > std::fabs(work[pivot * w + col])) {
                pivot = r;
            }
        }
        const double p = work[pivot * w + col];
        if (p == 0.0 || !std::isfinite(p)) {
            singular = true;
            break;
        }
        if (pivot != col) {
            for (std::size_t j = 0; j < w; ++j) {
                std::swap(work[pivot * w + j], work[col * w + j]);
            }
        }
        for (std::size_t j = 0; j < w; ++j) {
            work[col * w + j] /= p;
        }
        for (int r = 0; r < n; ++r) {
            const double f = work[r * w + col];
            if (r == col || f == 0.0) {
                continue;
            }
            for (std::size_t j = 0; j < w; ++j) {
                work[r * w + j] -= f * work[col * w + j];
            }
        }
    }

    std::vector<double> result(static_cast<std::size_t>(n) * n, std::numeric_limits<double>::quiet_NaN());
    if (!singular) {
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                result[static_cast<std::size_t>(i) * n + j] = work[i * w + n + j];
            }
        }
    }
    inverse = matrix(result.data(), n, n);
    return inverse;
}
