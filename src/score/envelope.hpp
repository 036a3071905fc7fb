#pragma once
// The REML score of the standard families and its envelope gradient.
//
// With H = Xᵀ·W·X + S_λ at the inner optimum β̂, D_p = D + β̂ᵀ·S_λ·β̂ and M_p the
// dimension of the unpenalised space,
//   f(ρ) = ½·log|H| + D_p/(2φ) − (M_p/2)·log(2πφ) − ½·log|S_λ|₊ − ℓ_s(φ)
//   g_j  = ½·λ_j·tr(H⁻¹·S_j) + λ_j·β̂ᵀS_jβ̂/(2φ) − ½·r_j
// with ½·log|S_λ|₊ = ½·Σ_j (r_j·ρ_j + c_j) for penalties on blocks of their own; a block
// shared by several penalties contributes its exact log pseudo-determinant, and its
// penalties' −½·r_j become −½·λ_j·tr(S_λ⁺·S_j). Only the explicit dependence on ρ is
// differentiated (dD_p/dβ = 0 at β̂); the inverse Gaussian family adds the change of
// log|H^N| through its Newton weights. φ is 1 or estimated, per family (table below).

#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "common/result.hpp"
#include "family/special.hpp"
#include "family/standard.hpp"
#include "inner/closed_form.hpp"
#include "inner/pirls.hpp"
#include "linalg/kernels.hpp"
#include "score/penalty_blocks.hpp"
#include "score/score.hpp"

namespace vorsk {

template <Family F>
struct ScoreProblem {
  using Inner = std::conditional_t<std::is_same_v<F, Gaussian>, GaussianProblem, InnerProblem<F>>;
  Inner inner;  // penalties, X, y, prior weights, settings
  std::vector<std::uint64_t> penalty_ranks;
  std::vector<double> penalty_log_dets;
  PenaltyBlocks blocks;              // penalties that share coefficients
  std::uint64_t null_space_dim = 0;  // M_p, with a shared block counted once at rank r_B
};

// How each family treats the dispersion φ in the score:
//   Fixed            φ = 1 (Poisson, Bernoulli)
//   Profiled         φ̂ = max(D_p/max(n − M_p, 1), 1e-8) (Gaussian, quasi families)
//   InverseGaussian  φ̂ as Profiled, saturated term with −1.5·log y
//   GammaNewton      φ̂ solves ∂f/∂φ = 0 by Newton's method
enum class DispersionKind { Fixed, Profiled, InverseGaussian, GammaNewton };

template <Family F>
constexpr DispersionKind dispersion_kind() {
  if constexpr (std::is_same_v<F, Poisson> || std::is_same_v<F, Bernoulli>) return DispersionKind::Fixed;
  else if constexpr (std::is_same_v<F, InverseGaussian>) return DispersionKind::InverseGaussian;
  else if constexpr (std::is_same_v<F, Gamma>) return DispersionKind::GammaNewton;
  else return DispersionKind::Profiled;
}

namespace score_detail {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kMinusLogTwoPi = -1.8378770664093453;
constexpr double kFallbackValue = 1e12;

inline double floored_y(double y) { return y > 1e-300 ? y : 1e-300; }

// ℓ_s for the fixed-dispersion families (no log y! term for Poisson).
template <Family F>
double fixed_saturated(const Vector& y) {
  double s = 0.0;
  for (Index i = 0; i < y.size(); ++i) {
    const double v = y[i];
    if constexpr (std::is_same_v<F, Poisson>) {
      if (v > 0.0) s += v * std::log(v) - v;
    } else {
      if (v > 0.0 && v < 1.0) {
        const double c = std::min(std::max(v, kProbLow), kProbHigh);
        s += c * std::log(c) + (1.0 - c) * std::log(1.0 - c);
      }
    }
  }
  return s;
}

// The stationary point in φ of the gamma score, by Newton's method on φ.
double gamma_dispersion(double dp, double n, double mp);

}  // namespace score_detail

// The inner fit as the fitted model needs it (every field filled).
template <Family F>
Result<InnerFit> run_inner(const ScoreProblem<F>& problem, const VectorView& rho) {
  if constexpr (std::is_same_v<F, Gaussian>) return closed_form(problem.inner, rho);
  else return pirls(problem.inner, rho);
}

// The inner fit as the score reads it; the Gaussian closed form skips its n-vectors.
template <Family F>
Result<InnerFit> run_inner_for_score(const ScoreProblem<F>& problem, const VectorView& rho) {
  if constexpr (std::is_same_v<F, Gaussian>) return closed_form_summary(problem.inner, rho);
  else return pirls(problem.inner, rho);
}

// The score and its gradient at ρ, read from one inner fit.
template <Family F>
Result<ScoreEval> envelope_score(const ScoreProblem<F>& problem, const VectorView& rho) {
  using namespace score_detail;
  const auto& penalties = problem.inner.penalties;
  const auto m = static_cast<Index>(penalties.size());
  VORSK_ASSIGN_OR_RETURN(const InnerFit fit, run_inner_for_score(problem, rho));

  const Matrix h_inv = inverse_from_factor(fit.factor);
  Vector lambda(m), q(m), t(m);
  double pen = 0.0, trace = 0.0;
  for (Index j = 0; j < m; ++j) {
    const Matrix& s = penalties[static_cast<std::size_t>(j)];
    lambda[j] = std::exp(rho[j]);
    q[j] = fit.beta.dot(s * fit.beta);
    t[j] = h_inv.cwiseProduct(s).sum();
    pen += lambda[j] * q[j];
    trace += lambda[j] * t[j];
  }
  double log_det_h = 0.0;
  if (fit.newton_extension) {
    log_det_h = fit.newton_extension->log_det;
  } else {
    for (Index i = 0; i < fit.factor.rows(); ++i) log_det_h += std::log(fit.factor(i, i));
    log_det_h *= 2.0;
  }
  // log|S_λ|₊ and its derivative along each ρ_j.
  double log_s = 0.0;
  Vector log_s_slope(m);
  for (Index j = 0; j < m; ++j) {
    const auto jj = static_cast<std::size_t>(j);
    if (!problem.blocks.block_of.empty() && problem.blocks.block_of[jj] >= 0) continue;
    log_s_slope[j] = static_cast<double>(problem.penalty_ranks[jj]);
    log_s += log_s_slope[j] * rho[j] + problem.penalty_log_dets[jj];
  }
  for (const SharedBlock& block : problem.blocks.shared) {
    VORSK_ASSIGN_OR_RETURN(const BlockLogDet b, block_log_pseudo_det(block, penalties, rho));
    log_s += b.log_det;
    for (std::size_t k = 0; k < block.penalties.size(); ++k)
      log_s_slope[block.penalties[k]] = b.traces[static_cast<Index>(k)];
  }
  const double half_log_s = 0.5 * log_s;

  const double d = fit.deviance;
  const double dp = d + pen;
  const double n = static_cast<double>(fit.n);
  const double mp = static_cast<double>(problem.null_space_dim);
  const Vector& y = problem.inner.y;
  constexpr DispersionKind kind = dispersion_kind<F>();

  ScoreEval out;
  out.gradient.resize(m);
  if constexpr (kind == DispersionKind::Fixed) {
    out.value = 0.5 * log_det_h + dp * 0.5 + mp * 0.5 * kMinusLogTwoPi - half_log_s - fixed_saturated<F>(y);
    for (Index j = 0; j < m; ++j)
      out.gradient[j] = 0.5 * lambda[j] * t[j] + q[j] * lambda[j] * 0.5 - 0.5 * log_s_slope[j];
    return out;
  } else {
    // An exact or saturated fit has no dispersion to estimate.
    if (d <= 0.0 || dp <= 0.0 || static_cast<double>(fit.p) - trace >= n || n - mp <= 0.0) {
      out.value = kFallbackValue;
      out.gradient.setZero();
      return out;
    }
    double phi = 0.0;
    double saturated = 0.0;
    if constexpr (kind == DispersionKind::GammaNewton) {
      phi = gamma_dispersion(dp, n, mp);
      const double kappa_term = -std::log(phi) / phi - 1.0 / phi - special::lgamma(1.0 / phi);
      for (Index i = 0; i < y.size(); ++i) saturated += kappa_term - std::log(floored_y(y[i]));
    } else {
      phi = std::max(dp / std::max(n - mp, 1.0), 1e-8);
      const double log_two_pi_phi = std::log(kTwoPi * phi);
      for (Index i = 0; i < y.size(); ++i) {
        if constexpr (kind == DispersionKind::InverseGaussian)
          saturated += -0.5 * log_two_pi_phi - 1.5 * std::log(floored_y(y[i]));
        else
          saturated += -0.5 * log_two_pi_phi;
      }
    }
    out.value = 0.5 * log_det_h + dp / (2.0 * phi) - (mp / 2.0) * std::log(kTwoPi * phi) - half_log_s - saturated;
    for (Index j = 0; j < m; ++j) {
      const double r = log_s_slope[j];
      double g = 0.5 * lambda[j] * t[j] + lambda[j] * q[j] / (2.0 * phi) - 0.5 * r;
      if (fit.newton_extension) {
        const NewtonExtension& ext = *fit.newton_extension;
        const Vector& b = ext.b[static_cast<std::size_t>(j)];
        double correction = 0.0;
        for (Index i = 0; i < b.size(); ++i) correction += ext.a[i] * b[i] * ext.c[i];
        g = 0.5 * ext.t_tilde[j] + lambda[j] * q[j] / (2.0 * phi) - 0.5 * r + 0.5 * correction;
      }
      out.gradient[j] = g;
    }
    return out;
  }
}

// Value and gradient at ρ with the Hessian from central differences of the gradient
// (step 1e-5, plus side first), symmetrised.
template <Family F>
Result<ScoreWithHessian> score_with_hessian(const ScoreProblem<F>& problem, const VectorView& rho) {
  VORSK_ASSIGN_OR_RETURN(ScoreEval at, envelope_score(problem, rho));
  const Index m = rho.size();
  ScoreWithHessian out{at.value, std::move(at.gradient), Matrix(m, m)};
  Vector shifted = rho;
  for (Index i = 0; i < m; ++i) {
    shifted[i] = rho[i] + 1e-5;
    VORSK_ASSIGN_OR_RETURN(const ScoreEval plus, envelope_score(problem, shifted));
    shifted[i] = rho[i] - 1e-5;
    VORSK_ASSIGN_OR_RETURN(const ScoreEval minus, envelope_score(problem, shifted));
    shifted[i] = rho[i];
    out.hessian.col(i) = (plus.gradient - minus.gradient) / 2e-5;
  }
  for (Index a = 0; a < m; ++a)
    for (Index b = a + 1; b < m; ++b)
      out.hessian(a, b) = out.hessian(b, a) = (out.hessian(a, b) + out.hessian(b, a)) * 0.5;
  return out;
}

}  // namespace vorsk
