#pragma once
// Gaussian identity-link fit in closed form: β̂ = (G + S_λ)⁻¹·c with G = Xᵀ·diag(pw)·X and
// c = Xᵀ·diag(pw)·y formed once per fit.

#include <optional>
#include <vector>

#include "common/result.hpp"
#include "inner/inner_fit.hpp"

namespace vorsk {

// Builds the problem, forming the cross-products once. Takes ownership of X and y.
GaussianProblem make_gaussian_problem(std::vector<Matrix> penalties, Matrix x, Vector y,
                                      std::optional<Vector> prior_weights);

// The full InnerFit, with η, μ, the weights and z as n-vectors.
Result<InnerFit> closed_form(const GaussianProblem& problem, const VectorView& rho);

// What the score reads (β, the factor, the deviance, n and p), without the n-vectors: the
// residual sum of squares comes from the cross-products (to rounding; the rows are
// summed when it is small enough to cancel).
Result<InnerFit> closed_form_summary(const GaussianProblem& problem, const VectorView& rho);

}  // namespace vorsk
