#include "inner/closed_form.hpp"

#include "common/counters.hpp"
#include "linalg/kernels.hpp"

namespace vorsk {

GaussianProblem make_gaussian_problem(std::vector<Matrix> penalties, Matrix x, Vector y,
                                      std::optional<Vector> prior_weights) {
  VORSK_COUNT(crossproducts);
  const Vector ones = prior_weights ? Vector() : Vector::Ones(x.rows());
  const VectorView w = prior_weights ? VectorView(*prior_weights) : VectorView(ones);
  CrossProducts cp = weighted_crossproducts(x, w, y);
  const double yty = y.dot(w.cwiseProduct(y));
  return GaussianProblem{std::move(penalties), std::move(x), std::move(y), std::move(prior_weights),
                         std::move(cp.xtwx), std::move(cp.xtwz), yty};
}

namespace {

// Σ_i pw_i·(y_i − x_iᵀβ)², rows taken in blocks so that X·β never exists in full.
double weighted_rss(const GaussianProblem& problem, const Vector& beta) {
  constexpr Index kBlock = 4096;
  const Index n = problem.x.rows();
  Vector f(std::min(n, kBlock));
  double rss = 0.0;
  for (Index start = 0; start < n; start += kBlock) {
    const Index rows = std::min(kBlock, n - start);
    f.head(rows).noalias() = problem.x.middleRows(start, rows) * beta;
    for (Index r = 0; r < rows; ++r) {
      const Index i = start + r;
      const double e = problem.y[i] - f[r];
      rss += problem.prior_weights ? (*problem.prior_weights)[i] * e * e : e * e;
    }
  }
  return rss;
}

// The same sum from the cross-products, yᵀWy − 2βᵀc + βᵀGβ, in O(p²). It cancels when
// the fit is close to exact, so below a millionth of yᵀWy the rows are summed instead.
double rss_from_crossproducts(const GaussianProblem& problem, const Vector& beta) {
  const double rss = problem.yty - 2.0 * beta.dot(problem.rhs) + beta.dot(problem.gram * beta);
  if (rss > 1e-6 * problem.yty) return rss;
  return weighted_rss(problem, beta);
}

Result<InnerFit> solve(const GaussianProblem& problem, const VectorView& rho, bool exact_rss) {
  VORSK_COUNT(inner_fits);
  Matrix a = problem.gram;
  if (!problem.penalties.empty()) a += total_penalty(problem.penalties, rho);
  VORSK_ASSIGN_OR_RETURN(PenalizedSolve solved, solve_penalized(a, problem.rhs));
  InnerFit fit;
  fit.beta = std::move(solved.x);
  fit.factor = std::move(solved.factor);
  fit.deviance = exact_rss ? weighted_rss(problem, fit.beta) : rss_from_crossproducts(problem, fit.beta);
  fit.working_rss = fit.deviance;
  fit.n = static_cast<std::uint64_t>(problem.x.rows());
  fit.p = static_cast<std::uint64_t>(problem.x.cols());
  fit.iterations = 1;
  fit.converged = true;
  return fit;
}

}  // namespace

Result<InnerFit> closed_form_summary(const GaussianProblem& problem, const VectorView& rho) {
  return solve(problem, rho, false);
}

Result<InnerFit> closed_form(const GaussianProblem& problem, const VectorView& rho) {
  VORSK_ASSIGN_OR_RETURN(InnerFit fit, solve(problem, rho, true));
  const Index n = problem.x.rows();
  fit.mu.noalias() = problem.x * fit.beta;
  fit.eta = fit.mu;
  fit.weights = problem.prior_weights ? *problem.prior_weights : Vector::Ones(n);
  fit.z = problem.y;
  return fit;
}

}  // namespace vorsk
