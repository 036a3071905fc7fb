#pragma once
// Quantities a fitted model reports, computed from its final inner fit: effective
// degrees of freedom, the posterior covariance and the Pearson dispersion.

#include <limits>
#include <optional>
#include <vector>

#include "linalg/types.hpp"
#include "score/penalty_blocks.hpp"

namespace vorsk {

// tr(H⁻¹·Xᵀ·diag(W)·X) with H⁻¹ from the Cholesky factor of H.
double effective_df_total(const MatrixView& x, const VectorView& w, const MatrixView& factor);

// Per penalty j: k_j − λ_j·tr(H⁻¹·S_j), k_j the rows of S_j with a non-zero or NaN entry.
// A row shared by the m_B penalties of one block counts 1/m_B for each, so the entries
// still add up to edf_total − 1.
Vector effective_df_per_term(const std::vector<Matrix>& penalties, const VectorView& rho,
                             const MatrixView& factor, const PenaltyBlocks* blocks = nullptr);

// scale·H⁻¹; H⁻¹ itself when scale is exactly 1.
Matrix posterior_covariance(const MatrixView& factor, double scale);

// Σ_i pw_i·(y_i − m_i)²/V(m_i) / (n − edf), NaN when n − edf ≤ 0. `variance` maps the
// floored mean m_i to V.
template <typename VarianceOf>
double pearson_scale(const VectorView& y, const VectorView& mu, const std::optional<Vector>& pw,
                     double edf, double mean_floor, VarianceOf variance) {
  const double denominator = static_cast<double>(y.size()) - edf;
  double sum = 0.0;
  for (Index i = 0; i < y.size(); ++i) {
    const double m = mu[i] > mean_floor ? mu[i] : mean_floor;
    const double r = y[i] - m;
    sum += (pw ? (*pw)[i] : 1.0) * r * r / variance(m);
  }
  if (!(denominator > 0.0)) return std::numeric_limits<double>::quiet_NaN();
  return sum / denominator;
}

}  // namespace vorsk
