#pragma once
// PIRLS body; included only by the file that instantiates it for each family.
//
// At iterate β with η = X·β, μ = g⁻¹(η):
//   W_i = pw_i / (V(μ_i)·g′(μ_i)²),  z_i = η_i + (y_i − μ_i)·g′(μ_i)
//   β_new = (Xᵀ·W·X + S_λ)⁻¹·Xᵀ·W·z
// A candidate is halved toward the last accepted iterate while its penalised deviance
// P = D + βᵀ·S_λ·β is not finite or (after the first iteration) rises by more than
// τ = (|P_old| + 0.1)·10·2⁻²⁶. The fit has converged when the unpenalised deviance
// changes by less than tol relative to its previous value.

#include <cmath>
#include <utility>

#include "common/counters.hpp"
#include "inner/pirls.hpp"
#include "linalg/kernels.hpp"

namespace vorsk {

namespace pirls_detail {

constexpr int kMaxHalvings = 100;
constexpr double kSqrtEpsilon = 1.4901161193847656e-08;  // 2⁻²⁶

// W = pw/(V·g′²), evaluated as pw·(1/g′)·((1/g′)/V) so that a floored mean (g′ = 1e300
// for the log link at μ = 0) gives pw·1e-300 instead of overflowing g′² to zero weight.
template <Family F>
double working_weight(const F& f, double pw, double mu, double gp) {
  const double inv = 1.0 / gp;
  return pw * inv * (inv / f.variance(mu));
}

// The factor used when no solve has been accepted: prior weights in place of W.
inline Result<Matrix> prior_weight_factor(const Matrix& x, const Vector& pw, const Matrix& s_lambda) {
  VORSK_COUNT(crossproducts);
  Matrix a = weighted_gram(x, pw) + s_lambda;
  a.diagonal().array() += penalized_jitter(a);
  auto l = cholesky_lower(a);
  if (failed(l)) return VorskError::singular_system("Cholesky failed: " + failure(l).display());
  return take(std::move(l));
}

// Inverse Gaussian correction terms from the Newton-weighted Hessian. Absent when a
// Newton weight is not finite or H^N has a (near) zero or non-finite eigenvalue.
template <Family F>
std::optional<NewtonExtension> newton_extension(const InnerProblem<F>& problem, const Vector& pw,
                                                const Vector& rho, const Matrix& s_lambda,
                                                const InnerFit& fit) {
  const F& f = problem.family;
  const Matrix& x = problem.x;
  const Index n = x.rows();
  Vector wn(n);
  Vector a(n);
  for (Index i = 0; i < n; ++i) {
    const double mu = fit.mu[i];
    const double resid = problem.y[i] - mu;
    const double r_v = f.variance_log_derivative(mu);
    const double r_g = f.link_log_derivative(mu);
    const double alpha = 1.0 + resid * (r_v + r_g);
    const double gp = f.link_derivative(mu);
    const double base = working_weight(f, pw[i], mu, gp);  // W_i without α
    wn[i] = alpha * base;
    if (!std::isfinite(wn[i])) return std::nullopt;
    // dW^N/dη = (dα/dμ − α·(V′/V + 2·g″/g′))·base·dμ/dη, with dμ/dη = max(μ, floor).
    const double dalpha =
        (f.variance_log_derivative_slope(mu) + f.link_log_derivative_slope(mu)) * resid - (r_v + r_g);
    a[i] = gp < 1e-12 ? 0.0 : (dalpha - alpha * (r_v + 2.0 * r_g)) * base * std::max(mu, kFloor);
  }
  VORSK_COUNT(crossproducts);
  const Matrix hn = weighted_gram(x, wn) + s_lambda;
  auto decomposition = eigh(hn);
  if (failed(decomposition)) return std::nullopt;
  const Eigh e = take(std::move(decomposition));
  NewtonExtension ext;
  for (Index k = 0; k < e.values.size(); ++k) {
    const double v = e.values[k];
    if (!std::isfinite(v) || std::abs(v) < 1e-300) return std::nullopt;
    ext.log_det += std::log(std::abs(v));
  }
  const Matrix hn_inv = e.vectors * e.values.cwiseInverse().asDiagonal() * e.vectors.transpose();
  ext.c = row_quadratic_forms(x, hn_inv);  // leverages x_iᵀ·(H^N)⁻¹·x_i
  ext.a = std::move(a);
  ext.t_tilde.resize(static_cast<Index>(problem.penalties.size()));
  for (std::size_t j = 0; j < problem.penalties.size(); ++j) {
    const Matrix ls = std::exp(rho[static_cast<Index>(j)]) * problem.penalties[j];
    ext.t_tilde[static_cast<Index>(j)] = (hn_inv * ls).trace();
    const Vector dbeta = -(hn_inv * (ls * fit.beta));
    ext.b.push_back(x * dbeta);
  }
  return ext;
}

}  // namespace pirls_detail

template <Family F>
Result<InnerFit> pirls(const InnerProblem<F>& problem, const VectorView& rho_view) {
  using namespace pirls_detail;
  VORSK_COUNT(inner_fits);
  const F& f = problem.family;
  const Matrix& x = problem.x;
  const Vector& y = problem.y;
  const Index n = x.rows();
  const Index p = x.cols();
  const Vector rho = rho_view;

  const Matrix s_lambda = problem.penalties.empty() ? Matrix(Matrix::Zero(p, p))
                                                    : total_penalty(problem.penalties, rho);
  const Vector pw = problem.prior_weights ? *problem.prior_weights : Vector::Ones(n);
  const Vector* pw_ptr = &pw;

  // The last accepted iterate (eta, mu) and the candidate under test (eta_c, mu_c).
  Vector eta(n), mu(n), eta_c(n), mu_c(n);
  if (problem.eta_start) {
    eta = *problem.eta_start;
  } else {
    for (Index i = 0; i < n; ++i) eta[i] = f.link(f.initial_mu(y[i]));
  }
  for (Index i = 0; i < n; ++i) mu[i] = f.inverse_link(eta[i]);

  // Deviance of the candidate β, with the finiteness test of every η_i, μ_i and
  // unweighted d(y_i, μ_i) in the same pass.
  struct Candidate {
    double deviance = 0.0;
    double penalised = 0.0;
    bool finite = true;
  };
  auto evaluate = [&](const Vector& beta) {
    Candidate c;
    eta_c.noalias() = x * beta;
    for (Index i = 0; i < n; ++i) {
      mu_c[i] = f.inverse_link(eta_c[i]);
      const double d = f.unit_deviance(y[i], mu_c[i]);
      c.finite = c.finite && std::isfinite(eta_c[i]) && std::isfinite(mu_c[i]) && std::isfinite(d);
      c.deviance += pw[i] * d;
    }
    c.penalised = c.deviance + beta.dot(s_lambda * beta);
    return c;
  };

  double d_old = deviance(f, y, mu, pw_ptr);
  Vector beta_old = Vector::Zero(p);
  double p_old = d_old;
  Vector w = Vector::Ones(n);
  Vector z = eta;  // overwritten by the first iteration
  std::optional<Matrix> factor;
  bool converged = false;
  std::uint64_t iterations = 0;

  const std::uint64_t max_iter = problem.settings.max_iter;
  for (std::uint64_t iter = 0; iter < max_iter; ++iter) {
    iterations = iter + 1;
    // 1) working weights and responses at the accepted iterate
    for (Index i = 0; i < n; ++i) {
      const double gp = f.link_derivative(mu[i]);
      w[i] = working_weight(f, pw[i], mu[i], gp);
      z[i] = eta[i] + (y[i] - mu[i]) * gp;
    }
    // 2-3) penalised weighted least squares
    VORSK_COUNT(crossproducts);
    CrossProducts cp = weighted_crossproducts(x, w, z);
    cp.xtwx += s_lambda;
    auto solved = solve_penalized(cp.xtwx, cp.xtwz);
    if (!solved.ok()) {
      VorskError e = std::move(solved).error();
      if (e.kind() == VorskError::Kind::SingularSystem)
        return VorskError::singular_system("PIRLS factor: " + e.message());
      return e;
    }
    Vector beta = std::move(solved->x);
    // 4) the candidate's deviance
    Candidate c = evaluate(beta);
    // 5-7) accept, or halve toward the last accepted iterate
    const double tau = ((std::abs(p_old) + 0.1) * 10.0) * kSqrtEpsilon;
    auto rejected = [&] {
      return !std::isfinite(c.penalised) || !c.finite || (iter > 0 && c.penalised - p_old > tau);
    };
    int halvings = 0;
    while (rejected() && halvings < kMaxHalvings) {
      beta = (beta + beta_old) * 0.5;
      c = evaluate(beta);
      ++halvings;
    }
    // 8) still rejected: keep the last accepted iterate and the factor that produced it
    if (rejected()) break;
    // 9) accept
    beta_old = std::move(beta);
    eta.swap(eta_c);
    mu.swap(mu_c);
    factor = std::move(solved->factor);
    if (iter > 0 && std::abs(d_old - c.deviance) / (std::abs(d_old) + 1e-30) < problem.settings.tol) {
      d_old = c.deviance;
      converged = true;
      break;
    }
    // 10)
    d_old = c.deviance;
    p_old = c.penalised;
  }

  if (!factor) {
    VORSK_ASSIGN_OR_RETURN(Matrix l, prior_weight_factor(x, pw, s_lambda));
    factor = std::move(l);
  }

  InnerFit fit;
  fit.beta = std::move(beta_old);
  fit.eta = std::move(eta);
  fit.mu = std::move(mu);
  double rss = 0.0;
  for (Index i = 0; i < n; ++i) {
    const double r = z[i] - fit.eta[i];
    rss += w[i] * r * r;
  }
  fit.working_rss = rss;
  fit.weights = std::move(w);
  fit.z = std::move(z);
  fit.factor = std::move(*factor);
  fit.deviance = d_old;
  fit.n = static_cast<std::uint64_t>(n);
  fit.p = static_cast<std::uint64_t>(p);
  fit.iterations = iterations;
  fit.converged = converged;
  if constexpr (requires { F::kNewtonCorrection; }) {
    fit.newton_extension = newton_extension(problem, pw, rho, s_lambda, fit);
  }
  return fit;
}

}  // namespace vorsk
