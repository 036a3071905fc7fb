#include "linalg/kernels.hpp"

#include <algorithm>
#include <cmath>

#include "common/format.hpp"

namespace vorsk {

Vector solve_lower(const MatrixView& l, const VectorView& b) {
  const Index p = b.size();
  Vector y(p);
  for (Index i = 0; i < p; ++i) {
    double s = b[i];
    for (Index j = 0; j < i; ++j) s -= l(i, j) * y[j];
    y[i] = s / l(i, i);
  }
  return y;
}

Vector solve_lower_transposed(const MatrixView& l, const VectorView& y) {
  const Index p = y.size();
  Vector x(p);
  for (Index i = p - 1; i >= 0; --i) {
    double s = y[i];
    for (Index j = i + 1; j < p; ++j) s -= l(j, i) * x[j];
    x[i] = s / l(i, i);
  }
  return x;
}

Matrix inverse_from_factor(const MatrixView& l) {
  const Index p = l.rows();
  Matrix inv(p, p);
  Vector e = Vector::Zero(p);
  for (Index i = 0; i < p; ++i) {
    e[i] = 1.0;
    inv.col(i) = solve_lower_transposed(l, solve_lower(l, e));
    e[i] = 0.0;
  }
  return inv;
}

double penalized_jitter(const MatrixView& a) {
  double s = 1.0;
  for (Index i = 0; i < a.rows(); ++i) {
    const double d = std::abs(a(i, i));
    if (d > s) s = d;  // NaN compares false and leaves s unchanged
  }
  return s * 1e-12;
}

Result<PenalizedSolve> solve_penalized(const MatrixView& a, const VectorView& b) {
  auto l0 = cholesky_lower(a);
  if (failed(l0)) return VorskError::singular_system("Cholesky failed: " + failure(l0).display());
  Matrix jittered = a;
  jittered.diagonal().array() += penalized_jitter(a);
  auto l1 = cholesky_lower(jittered);
  if (failed(l1)) return VorskError::singular_system("Cholesky failed: " + failure(l1).display());
  const Matrix& l = std::get<0>(l1);
  Vector x = solve_lower_transposed(l, solve_lower(l, b));
  return PenalizedSolve{take(std::move(l0)), std::move(x)};
}

namespace {

// Rows per block: a block of the scaled transpose (p × kBlockRows) stays in L1/L2 cache
// while it multiplies the same rows of X.
constexpr Index kBlockRows = 256;

template <bool kWithRhs>
void accumulate_crossproducts(const MatrixView& x, const VectorView& w, const VectorView* z,
                              Matrix& xtwx, Vector* xtwz) {
  const Index n = x.rows();
  const Index p = x.cols();
  ColMajorMatrix lower = ColMajorMatrix::Zero(p, p);
  ColMajorMatrix t(p, std::min(n, kBlockRows));  // Xᵀ·diag(w) for one block of rows
  ColMajorMatrix xb(std::min(n, kBlockRows), p);
  for (Index start = 0; start < n; start += kBlockRows) {
    const Index rows = std::min(kBlockRows, n - start);
    xb.topRows(rows) = x.middleRows(start, rows);
    t.leftCols(rows) = xb.topRows(rows).transpose() * w.segment(start, rows).asDiagonal();
    // Only the lower triangle is formed; the product is symmetric.
    lower.triangularView<Eigen::Lower>() += t.leftCols(rows) * xb.topRows(rows);
    if constexpr (kWithRhs) xtwz->noalias() += t.leftCols(rows) * z->segment(start, rows);
  }
  lower.triangularView<Eigen::StrictlyUpper>() = lower.transpose();
  xtwx = lower;
}

}  // namespace

CrossProducts weighted_crossproducts(const MatrixView& x, const VectorView& w,
                                     const VectorView& z) {
  CrossProducts out{Matrix(), Vector::Zero(x.cols())};
  accumulate_crossproducts<true>(x, w, &z, out.xtwx, &out.xtwz);
  return out;
}

Matrix weighted_gram(const MatrixView& x, const VectorView& w) {
  Matrix out;
  accumulate_crossproducts<false>(x, w, nullptr, out, nullptr);
  return out;
}

Matrix total_penalty(const std::vector<Matrix>& penalties, const VectorView& rho) {
  const Index p = penalties.at(0).rows();
  Matrix s = Matrix::Zero(p, p);
  for (std::size_t j = 0; j < penalties.size(); ++j) s += std::exp(rho[static_cast<Index>(j)]) * penalties[j];
  return s;
}

}  // namespace vorsk
