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

// Rows per block. Measured flat from 64 to 256 rows for p from 5 to 100 and slower from
// 512 on, once a block of X and its scaled copy T no longer sit in L1/L2 together.
constexpr Index kBlockRows = 128;

using RowBlock = Eigen::Map<const Matrix, 0, Eigen::OuterStride<>>;

template <bool kWithRhs>
void accumulate_crossproducts(const MatrixView& x, const VectorView& w, const VectorView* z,
                              Matrix& xtwx, Vector* xtwz) {
  const Index n = x.rows();
  const Index p = x.cols();
  const Index block = std::min(n, kBlockRows);
  xtwx = Matrix::Zero(p, p);
  if (p == 0) return;  // no columns: nothing to read, and data() may be null
  // Rows with unit column stride (the usual C-ordered input) are read in place; any other
  // layout is copied block by block into contiguous rows first.
  const bool in_place = x.innerStride() == 1 || p <= 1;
  Matrix copy(in_place ? 0 : block, p);
  ColMajorMatrix t(p, block);  // Xᵀ·diag(w) for one block: column i is w_i times row i
  for (Index start = 0; start < n; start += kBlockRows) {
    const Index rows = std::min(kBlockRows, n - start);
    const double* base = x.data() + start * x.outerStride();
    Index stride = x.outerStride();
    if (!in_place) {
      copy.topRows(rows) = x.middleRows(start, rows);
      base = copy.data();
      stride = p;
    }
    const RowBlock xb(base, rows, p, Eigen::OuterStride<>(stride));
    for (Index i = 0; i < rows; ++i) t.col(i) = w[start + i] * xb.row(i).transpose();
    // Only the lower triangle is formed (about half the flops); it is mirrored at the end.
    xtwx.triangularView<Eigen::Lower>() += t.leftCols(rows) * xb;
    if constexpr (kWithRhs) xtwz->noalias() += t.leftCols(rows) * z->segment(start, rows);
  }
  xtwx.triangularView<Eigen::StrictlyUpper>() = xtwx.transpose();
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

Vector row_quadratic_forms(const MatrixView& x, const MatrixView& m) {
  constexpr Index kBlock = 4096;
  const Index n = x.rows();
  Vector s(n);
  for (Index start = 0; start < n; start += kBlock) {
    const Index rows = std::min(kBlock, n - start);
    const Matrix xm = x.middleRows(start, rows) * m;
    s.segment(start, rows) = xm.cwiseProduct(x.middleRows(start, rows)).rowwise().sum();
  }
  return s;
}

Matrix total_penalty(const std::vector<Matrix>& penalties, const VectorView& rho) {
  const Index p = penalties.at(0).rows();
  Matrix s = Matrix::Zero(p, p);
  for (std::size_t j = 0; j < penalties.size(); ++j) s += std::exp(rho[static_cast<Index>(j)]) * penalties[j];
  return s;
}

}  // namespace vorsk
