#pragma once
// The fit routine of the seven standard families, for single-smooth and additive
// designs alike: check the request, minimise the REML score over ρ from ρ = 0, refit
// once at ρ̂ and report edf, scale and the posterior covariance.

#include <cstdint>
#include <optional>

#include "common/format.hpp"
#include "common/result.hpp"
#include "design/design.hpp"
#include "family/family.hpp"
#include "family/names.hpp"
#include "family/standard.hpp"
#include "fit/fitted.hpp"
#include "inner/closed_form.hpp"
#include "outer/outer_newton.hpp"
#include "outer/summaries.hpp"
#include "score/envelope.hpp"

namespace vorsk {

// Row counts first, then the weights' length.
inline Status check_rows(std::uint64_t n, const VectorView& y, const std::optional<Vector>& weights) {
  if (n != static_cast<std::uint64_t>(y.size()))
    return VorskError::invalid_parameter(
        fmt("x and y must have the same number of rows; got x.nrows()={}, y.len()={}", n, y.size()));
  if (weights && static_cast<std::uint64_t>(weights->size()) != n)
    return VorskError::invalid_parameter(fmt(
        "prior_weights length must match x rows; got weights.len()={}, x.nrows()={}", weights->size(), n));
  return Status::success();
}

namespace standard_detail {

// The score problem takes the design's model matrix and penalties; the predictor
// stays with the design.
template <Family F>
Result<ScoreProblem<F>> make_score_problem(Design& design, const VectorView& y,
                                           const std::optional<Vector>& weights) {
  ScoreProblem<F> problem;
  VORSK_ASSIGN_OR_RETURN(problem.blocks, find_penalty_blocks(design.penalties, design.penalty_ranks,
                                                             design.model_matrix.cols()));
  if constexpr (std::is_same_v<F, Gaussian>) {
    problem.inner = make_gaussian_problem(design.penalties, std::move(design.model_matrix), Vector(y), weights);
  } else {
    problem.inner.penalties = design.penalties;
    problem.inner.x = std::move(design.model_matrix);
    problem.inner.y = y;
    problem.inner.prior_weights = weights;
  }
  problem.penalty_ranks = design.penalty_ranks;
  problem.penalty_log_dets = design.penalty_log_dets;
  problem.null_space_dim = problem.blocks.null_space_dim;
  return problem;
}

// The dispersion reported by the fit (and used for the covariance).
template <Family F>
double fitted_scale(const ScoreProblem<F>& problem, const InnerFit& fit, const Vector& rho,
                    double edf_total) {
  const auto& y = problem.inner.y;
  const auto& pw = problem.inner.prior_weights;
  if constexpr (!F::kEstimatedScale) {
    return 1.0;
  } else if constexpr (std::is_same_v<F, Gaussian>) {
    double pen = 0.0;
    for (std::size_t j = 0; j < problem.inner.penalties.size(); ++j)
      pen += std::exp(rho[static_cast<Index>(j)]) *
             fit.beta.dot(problem.inner.penalties[j] * fit.beta);
    const double denominator = static_cast<double>(fit.n) - static_cast<double>(problem.null_space_dim);
    if (!(denominator > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    return (fit.working_rss + pen) / denominator;
  } else if constexpr (std::is_same_v<F, QuasiBinomial>) {
    return pearson_scale(y, fit.mu, pw, edf_total, kProbLow, [](double m) {
      const double c = std::min(m, kProbHigh);
      return c * (1.0 - c);
    });
  } else if constexpr (std::is_same_v<F, QuasiPoisson>) {
    return pearson_scale(y, fit.mu, pw, edf_total, kFloor, [](double m) { return m; });
  } else if constexpr (std::is_same_v<F, Gamma>) {
    return pearson_scale(y, fit.mu, pw, edf_total, kFloor, [](double m) { return m * m; });
  } else {
    return pearson_scale(y, fit.mu, pw, edf_total, kFloor, [](double m) { return m * m * m; });
  }
}

}  // namespace standard_detail

template <Family F>
Result<FittedGam> fit_standard(Design design, std::uint64_t n, const VectorView& y,
                               const std::optional<Vector>& weights) {
  using namespace standard_detail;
  VORSK_RETURN_IF_ERROR(check_rows(n, y, weights));
  VORSK_RETURN_IF_ERROR(check_response<F>(y));

  VORSK_ASSIGN_OR_RETURN(const ScoreProblem<F> problem, make_score_problem<F>(design, y, weights));
  const auto m = static_cast<Index>(problem.inner.penalties.size());
  const Evaluator evaluate = [&problem](const Vector& rho) { return score_with_hessian(problem, rho); };
  VORSK_ASSIGN_OR_RETURN(OuterResult outer, outer_newton(evaluate, Vector::Zero(m)));
  VORSK_ASSIGN_OR_RETURN(InnerFit fit, run_inner(problem, outer.x));

  FittedGam record;
  record.edf_total = effective_df_total(problem.inner.x, fit.weights, fit.factor);
  record.scale = fitted_scale(problem, fit, outer.x, record.edf_total);
  record.vcov = posterior_covariance(fit.factor, record.scale);
  record.lambda = outer.x.array().exp();
  record.edf_per_term = effective_df_per_term(problem.inner.penalties, outer.x, fit.factor, &problem.blocks);
  record.beta = std::move(fit.beta);
  record.rho = std::move(outer.x);
  record.n = n;
  record.n_iters = outer.iterations;
  record.converged = outer.converged && fit.converged;
  record.reml_value = outer.value;
  record.predictor = std::move(design.predictor);
  record.link_kind = F::kLinkKind;
  return record;
}

// The routine of a standard family chosen at run time (one of the seven).
Result<FittedGam> fit_standard_family(FamilyId id, Design design, std::uint64_t n, const VectorView& y,
                                      const std::optional<Vector>& weights);

}  // namespace vorsk
