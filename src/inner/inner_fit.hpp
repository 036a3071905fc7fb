#pragma once
// What every inner solver reads and returns. An inner fit finds the penalised
// coefficients β̂ at fixed log smoothing parameters ρ (and fixed family parameters).

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "linalg/types.hpp"

namespace vorsk {

// The pieces of the inverse Gaussian gradient correction, computed from the Hessian
// with the full Newton weights H^N = Xᵀ·diag(W^N)·X + S_λ.
struct NewtonExtension {
  double log_det = 0.0;   // log|det H^N|
  Vector a;               // dW^N_i/dη_i
  Vector c;               // leverages x_iᵀ·(H^N)⁻¹·x_i
  std::vector<Vector> b;  // per penalty j: dη/dρ_j = X·(−(H^N)⁻¹·λ_j S_j·β̂)
  Vector t_tilde;         // per penalty j: tr((H^N)⁻¹·λ_j S_j)
};

// Defaults describe a fit that never ran: not converged, no iterations.
struct InnerFit {
  std::optional<NewtonExtension> newton_extension;
  Vector beta;
  Vector eta;
  Vector mu;
  Vector weights;  // working weights of the last iteration
  Vector z;        // working responses of the last iteration
  Matrix factor;   // lower Cholesky factor of Xᵀ·diag(W)·X + S_λ, no jitter
  double deviance = std::numeric_limits<double>::quiet_NaN();
  double working_rss = std::numeric_limits<double>::quiet_NaN();
  std::uint64_t n = 0;
  std::uint64_t p = 0;
  std::uint64_t iterations = 0;
  bool converged = false;
};

// Inner-fit settings: iteration cap and relative deviance tolerance.
struct InnerSettings {
  std::uint64_t max_iter = 50;
  double tol = 1e-9;
};

// The problem PIRLS solves at every ρ; built once per fit.
template <typename F>
struct InnerProblem {
  std::vector<Matrix> penalties;  // S_j, p × p
  Matrix x;                       // model matrix, n × p
  Vector y;
  std::optional<Vector> prior_weights;
  std::optional<Vector> eta_start;
  InnerSettings settings;
  F family;
};

// The Gaussian problem: the cross-products do not depend on ρ and are formed once.
struct GaussianProblem {
  std::vector<Matrix> penalties;
  Matrix x;
  Vector y;
  std::optional<Vector> prior_weights;
  Matrix gram;       // Xᵀ·diag(pw)·X
  Vector rhs;        // Xᵀ·diag(pw)·y
  double yty = 0.0;  // yᵀ·diag(pw)·y
};

}  // namespace vorsk
