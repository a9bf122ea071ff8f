#ifndef VIRDA_STATISTICS_NORMAL_EQUATIONS_H
#define VIRDA_STATISTICS_NORMAL_EQUATIONS_H

// The normal equations of a least-squares fit, A c = b with A symmetric and
// positive semi-definite: their eigenvalues by cyclic Jacobi rotations, their
// condition number, and their minimum-norm solution. Shared by virda-stats
// and the Python module. Not installed.

#include <cstddef>
#include <vector>

namespace virda_detail {

/// The eigenvalues of the symmetric n x n matrix `a` (row-major), left on its
/// diagonal, by cyclic Jacobi rotations until the off-diagonal part is
/// negligible. When `vectors` is not null it receives the eigenvectors
/// (row-major n x n, column i the one of the eigenvalue a[i * n + i]). The
/// entries must be finite. Allocates nothing.
void jacobi_eigen(double* a, int n, double* vectors);

/// The 2-norm condition number of the symmetric n x n matrix `a` (row-major),
/// the ratio of its largest to its smallest eigenvalue (cyclic Jacobi):
/// infinity when the smallest is not positive (a singular or not positive
/// definite matrix), NaN when an entry is not finite.
double condition_number(std::vector<double> a, int n);

/// The doubles solve_normal_equations works in, for n unknowns.
inline std::size_t normal_equations_workspace(int n)
{
    return static_cast<std::size_t>(n) * static_cast<std::size_t>(n) + 2 * static_cast<std::size_t>(n);
}

/// The minimum-norm solution c of A c = b, A symmetric positive
/// semi-definite n x n (row-major, finite entries), as a least-squares
/// solver gives it: the columns are scaled to a unit diagonal first (a zero
/// column stays as it is), and eigenvalues of the scaled matrix at or below
/// `tolerance` times the largest count as zero, their directions left out of
/// c. Returns the numerical rank, the number of eigenvalues kept (0 when none
/// is positive: c is all zeros). `a` is overwritten; `work` holds
/// normal_equations_workspace(n) doubles. Allocates nothing.
int solve_normal_equations(double* a, const double* b, int n, double tolerance, double* work, double* c);

} // namespace virda_detail

#endif
