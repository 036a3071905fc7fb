#pragma once
// Damped Newton minimisation of a smooth criterion over an unconstrained vector (the
// log smoothing parameters, or those joined with transformed shape parameters).
//
// Each iteration: stop if max|g| < 5e-7·(1 + |f|) or, after 3 accepted steps, if f
// changed by less than 1e-7 relative; otherwise δ = −Ĥ⁻¹·g with Ĥ the Hessian whose
// eigenvalues are floored at 1e-8, capped to max|δ| ≤ 5, and halved from t = 1 until
// f(x + t·δ) < f − 1e-10·|f| (giving up below t = 0.001).

#include <cstdint>
#include <functional>

#include "common/result.hpp"
#include "linalg/types.hpp"
#include "score/score.hpp"

namespace vorsk {

struct OuterSettings {
  double gradient_tol = 5e-7;         // converged when max|g| < gradient_tol·(1 + |f|)
  double change_tol = 1e-7;           // converged when |Δf|/max(|f|, 1) < change_tol ...
  std::uint64_t change_min_steps = 3;  // ... once this many steps have been accepted
  double max_step = 5.0;              // cap on max|δ|
  double sufficient_decrease = 1e-10;  // accept when f_t < f − sufficient_decrease·|f|
  double min_step_factor = 0.001;     // the line search gives up below this factor
  int max_trials = 20;                // hard cap on trials per iteration
  double loose_gradient_tol = 0.001;  // converged flag after a failed line search
  std::uint64_t max_iterations = 50;  // accepted steps before NotConverged
};

// Defaults describe an iteration that never ran.
struct OuterResult {
  Vector x;
  double value = 0.0;
  double grad_norm = 0.0;
  std::uint64_t iterations = 0;
  bool converged = false;
};

using Evaluator = std::function<Result<ScoreWithHessian>(const Vector&)>;

// max_i |v_i| folded from 0, NaN entries ignored.
double inf_norm(const VectorView& v);

// Σ_k max(e_k, 1e-8)·v_k·v_kᵀ over the eigenpairs of the symmetrised Hs.
Matrix make_positive_definite(const MatrixView& hs);

Result<OuterResult> outer_newton(const Evaluator& evaluate, const Vector& x0,
                                 const OuterSettings& settings = {});

}  // namespace vorsk
