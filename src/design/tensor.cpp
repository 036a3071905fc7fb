// Tensor-product terms: two cubic regression spline margins multiplied row by row,
// centred over the product, with one Kronecker-expanded penalty per margin.

#include <algorithm>
#include <cstdint>

#include "basis/cr.hpp"
#include "common/format.hpp"
#include "design/design.hpp"
#include "design/transform.hpp"
#include "linalg/lapack.hpp"

namespace vorsk {

namespace {

// Overflow-free test of a·b > kMaxSplineDimension.
bool product_exceeds_limit(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > kMaxSplineDimension / b;
}

// S ⊗ I_m: entry (a·m + j, a′·m + j) = S(a, a′).
Matrix kron_with_identity_right(const Matrix& s, Index m) {
  const Index k = s.rows();
  Matrix out = Matrix::Zero(k * m, k * m);
  for (Index a = 0; a < k; ++a) {
    for (Index a2 = 0; a2 < k; ++a2) {
      for (Index j = 0; j < m; ++j) out(a * m + j, a2 * m + j) = s(a, a2);
    }
  }
  return out;
}

// I_m ⊗ S: m copies of S down the diagonal.
Matrix kron_with_identity_left(Index m, const Matrix& s) {
  const Index k = s.rows();
  Matrix out = Matrix::Zero(m * k, m * k);
  for (Index a = 0; a < m; ++a) out.block(a * k, a * k, k, k) = s;
  return out;
}

Matrix constrained_penalty(const Matrix& z, const Matrix& p) {
  const Matrix zt_p = z.transpose() * p;
  return zt_p * z;
}

}  // namespace

Matrix rowwise_kron(const MatrixView& a, const MatrixView& b) {
  // Callers pass blocks evaluated at the same rows; the common rows are all that can
  // be formed otherwise.
  const Index n = std::min(a.rows(), b.rows());
  const Index ma = a.cols();
  const Index mb = b.cols();
  Matrix out(n, ma * mb);
  for (Index i = 0; i < n; ++i) {
    for (Index ia = 0; ia < ma; ++ia) {
      const double av = a(i, ia);
      for (Index ib = 0; ib < mb; ++ib) out(i, ia * mb + ib) = av * b(i, ib);
    }
  }
  return out;
}

Result<Matrix> rescale_penalty(const MatrixView& s) {
  auto decomposition = eigh(s);
  if (failed(decomposition)) {
    return VorskError::linalg(
        fmt("eigh failed in tensor penalty rescale: {}", failure(decomposition).display()));
  }
  double largest = 0.0;
  for (const double v : std::get<0>(decomposition).values) {
    if (v > largest) largest = v;  // NaN never compares greater
  }
  Matrix out = s;
  if (largest > 0.0) out /= largest;
  return out;
}

Result<TermBlock<TensorPredictor>> build_tensor_term(const MatrixView& x, std::uint64_t col_a,
                                                     std::uint64_t col_b, std::uint64_t k_a,
                                                     std::uint64_t k_b) {
  if (col_a == col_b) {
    return VorskError::invalid_parameter(
        fmt("Tensor term must have distinct margin columns (got col_a == col_b == {})", col_a));
  }
  VORSK_RETURN_IF_ERROR(check_term_column(x, col_a));
  const VectorView column_a = x.col(static_cast<Index>(col_a));
  VORSK_ASSIGN_OR_RETURN(const CrBasis margin_a, place_knots(column_a, k_a));
  VORSK_RETURN_IF_ERROR(check_term_column(x, col_b));
  const VectorView column_b = x.col(static_cast<Index>(col_b));
  VORSK_ASSIGN_OR_RETURN(const CrBasis margin_b, place_knots(column_b, k_b));
  // The block and both penalties grow with the product; refuse before any of them.
  if (product_exceeds_limit(k_a, k_b)) {
    return VorskError::invalid_parameter(fmt(
        "Tensor term needs k_a·k_b ≤ {} (got k_a={}, k_b={})", kMaxSplineDimension, k_a, k_b));
  }
  const Index ka = margin_a.size();
  const Index kb = margin_b.size();

  // Margins on a common scale so that neither smoothing parameter is favoured.
  VORSK_ASSIGN_OR_RETURN(const Matrix s_a, rescale_penalty(margin_a.penalties().front()));
  VORSK_ASSIGN_OR_RETURN(const Matrix s_b, rescale_penalty(margin_b.penalties().front()));

  Matrix t;
  {
    const Matrix b_a = margin_a.basis_matrix(column_a);
    const Matrix b_b = margin_b.basis_matrix(column_b);
    t = rowwise_kron(b_a, b_b);
  }
  Matrix z = centring_matrix(constraint_vector(t));

  TermBlock<TensorPredictor> term;
  term.block = t * z;
  t = Matrix();
  term.penalties.push_back(constrained_penalty(z, kron_with_identity_right(s_a, kb)));
  term.penalties.push_back(constrained_penalty(z, kron_with_identity_left(ka, s_b)));

  TensorPredictor& p = term.predictor;
  p.col_a = col_a;
  p.col_b = col_b;
  p.bs_a = MarginBasis::Cr;
  p.bs_b = MarginBasis::Cr;
  p.knots_a = margin_a.knots();
  p.knots_b = margin_b.knots();
  p.xp_a = Matrix::Identity(ka, ka);
  p.xp_b = Matrix::Identity(kb, kb);
  p.centring = std::move(z);
  return term;
}

Result<Matrix> tensor_lpmatrix(const TensorPredictor& p, const MatrixView& x_new) {
  const auto d = static_cast<std::uint64_t>(x_new.cols());
  if (p.col_a >= d || p.col_b >= d) {
    return VorskError::invalid_parameter(
        fmt("TensorPredictor: term reads columns ({}, {}) but x has only {} columns", p.col_a,
            p.col_b, d));
  }
  auto margin_a = CrBasis::create(p.knots_a);
  if (!margin_a.ok()) return VorskError::internal("invalid stored knots_a");
  auto margin_b = CrBasis::create(p.knots_b);
  if (!margin_b.ok()) return VorskError::internal("invalid stored knots_b");

  // Only a hand-edited saved frame can disagree with the knots here; every product
  // below is refused before it could read out of range or allocate without bound.
  if (p.xp_a.rows() != margin_a->size()) {
    return VorskError::internal(
        fmt("invalid stored xp_a: {} rows for {} knots", p.xp_a.rows(), margin_a->size()));
  }
  if (p.xp_b.rows() != margin_b->size()) {
    return VorskError::internal(
        fmt("invalid stored xp_b: {} rows for {} knots", p.xp_b.rows(), margin_b->size()));
  }
  const auto ma = static_cast<std::uint64_t>(p.xp_a.cols());
  const auto mb = static_cast<std::uint64_t>(p.xp_b.cols());
  if (product_exceeds_limit(ma, mb)) {
    return VorskError::internal(fmt("invalid stored xp_a, xp_b: {}·{} tensor columns exceed {}",
                                    ma, mb, kMaxSplineDimension));
  }
  if (static_cast<std::uint64_t>(p.centring.rows()) != ma * mb) {
    return VorskError::internal(fmt("invalid stored centring: {} rows for {} tensor columns",
                                    p.centring.rows(), ma * mb));
  }

  Matrix t;
  {
    const Matrix a = margin_a->basis_matrix(x_new.col(static_cast<Index>(p.col_a))) * p.xp_a;
    const Matrix b = margin_b->basis_matrix(x_new.col(static_cast<Index>(p.col_b))) * p.xp_b;
    t = rowwise_kron(a, b);
  }
  const Index w = p.centring.cols();
  Matrix out(t.rows(), w + 1);
  out.col(0).setOnes();
  out.rightCols(w).noalias() = t * p.centring;
  return out;
}

}  // namespace vorsk
