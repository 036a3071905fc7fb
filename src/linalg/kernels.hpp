#pragma once
// Dense kernels shared by every inner solver: triangular solves, the jittered penalised
// solve, the weighted cross-products Xᵀ·W·X and Xᵀ·W·z, and the total penalty.

#include <utility>
#include <vector>

#include "common/result.hpp"
#include "linalg/lapack.hpp"
#include "linalg/types.hpp"

namespace vorsk {

// L·y = b by forward substitution over the lower triangle of L. No pivoting and no test
// of the diagonal: a zero pivot yields inf/NaN for the caller's finiteness checks.
Vector solve_lower(const MatrixView& l, const VectorView& b);

// Lᵀ·x = y by back substitution, reading the lower triangle of L by columns.
Vector solve_lower_transposed(const MatrixView& l, const VectorView& y);

// H⁻¹ from its lower Cholesky factor, column by column.
Matrix inverse_from_factor(const MatrixView& l);

struct PenalizedSolve {
  Matrix factor;  // Cholesky factor of A itself (no jitter)
  Vector x;       // solution of (A + s·1e-12·I)·x = b, s = max(1, max|A_ii|)
};
// The penalised normal-equation solve. Fails only with SingularSystem
// "Cholesky failed: ...".
Result<PenalizedSolve> solve_penalized(const MatrixView& a, const VectorView& b);

// The relative diagonal jitter s·1e-12 of `solve_penalized`, NaN diagonal entries ignored.
double penalized_jitter(const MatrixView& a);

struct CrossProducts {
  Matrix xtwx;  // Xᵀ·diag(w)·X (p × p, symmetric)
  Vector xtwz;  // Xᵀ·diag(w)·z
};
// Xᵀ·diag(w)·X and Xᵀ·diag(w)·z in one pass over the rows of X.
CrossProducts weighted_crossproducts(const MatrixView& x, const VectorView& w,
                                     const VectorView& z);
// Xᵀ·diag(w)·X alone.
Matrix weighted_gram(const MatrixView& x, const VectorView& w);

// s_i = x_iᵀ·M·x_i for every row x_i of X, in blocks of rows so that X·M is never
// formed in full.
Vector row_quadratic_forms(const MatrixView& x, const MatrixView& m);

// S_λ = Σ_j exp(ρ_j)·S_j, accumulated in list order. The list must not be empty.
Matrix total_penalty(const std::vector<Matrix>& penalties, const VectorView& rho);

}  // namespace vorsk
