#include "inner/closed_form.hpp"

#include "common/counters.hpp"
#include "linalg/kernels.hpp"

namespace vorsk {

GaussianProblem make_gaussian_problem(std::vector<Matrix> penalties, Matrix x, Vector y,
                                      std::optional<Vector> prior_weights) {
  VORSK_COUNT(crossproducts);
  const Vector ones = prior_weights ? Vector() : Vector::Ones(x.rows());
  CrossProducts cp = weighted_crossproducts(x, prior_weights ? *prior_weights : ones, y);
  return GaussianProblem{std::move(penalties), std::move(x), std::move(y), std::move(prior_weights),
                         std::move(cp.xtwx), std::move(cp.xtwz)};
}

Result<InnerFit> closed_form(const GaussianProblem& problem, const VectorView& rho) {
  VORSK_COUNT(inner_fits);
  const Index n = problem.x.rows();
  const Index p = problem.x.cols();
  Matrix a = problem.gram;
  if (!problem.penalties.empty()) a += total_penalty(problem.penalties, rho);
  VORSK_ASSIGN_OR_RETURN(PenalizedSolve solve, solve_penalized(a, problem.rhs));

  InnerFit fit;
  fit.mu.noalias() = problem.x * solve.x;
  double rss = 0.0;
  for (Index i = 0; i < n; ++i) {
    const double r = problem.y[i] - fit.mu[i];
    rss += problem.prior_weights ? (*problem.prior_weights)[i] * r * r : r * r;
  }
  fit.beta = std::move(solve.x);
  fit.eta = fit.mu;
  fit.weights = problem.prior_weights ? *problem.prior_weights : Vector::Ones(n);
  fit.z = problem.y;
  fit.factor = std::move(solve.factor);
  fit.deviance = rss;
  fit.working_rss = rss;
  fit.n = static_cast<std::uint64_t>(n);
  fit.p = static_cast<std::uint64_t>(p);
  fit.iterations = 1;
  fit.converged = true;
  return fit;
}

}  // namespace vorsk
