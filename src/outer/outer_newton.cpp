#include "outer/outer_newton.hpp"

#include <cmath>
#include <limits>

#include "linalg/lapack.hpp"

namespace vorsk {

namespace {

constexpr double kEigenFloor = 1e-8;

bool gradient_small(const OuterSettings& s, double f, double g_norm) {
  return s.gradient_tol * (std::abs(f) + 1.0) > g_norm;
}

bool change_small(const OuterSettings& s, std::uint64_t accepted, double f, double f_prev) {
  return accepted >= s.change_min_steps &&
         std::abs((f - f_prev) / std::max(std::abs(f), 1.0)) < s.change_tol;
}

// Newton direction on the floored Hessian, steepest descent if the solve fails.
Vector newton_step(const ScoreWithHessian& at) {
  const Matrix h = make_positive_definite(at.hessian);
  const Vector minus_g = -at.gradient;
  auto solved = solve_general(h, minus_g);
  if (failed(solved)) return minus_g;
  return take(std::move(solved));
}

void cap_step(const OuterSettings& s, Vector& delta) {
  const double m = inf_norm(delta);
  if (m > s.max_step) {
    const double q = s.max_step / m;
    for (Index i = 0; i < delta.size(); ++i) delta[i] *= q;
  }
}

}  // namespace

double inf_norm(const VectorView& v) {
  double m = 0.0;
  for (Index i = 0; i < v.size(); ++i) {
    const double a = std::abs(v[i]);
    if (a > m) m = a;
  }
  return m;
}

Matrix make_positive_definite(const MatrixView& hs) {
  const Index d = hs.rows();
  Matrix a = hs;
  if (d == 0) return a;
  if (d == 1) {
    if (a(0, 0) < kEigenFloor) a(0, 0) = kEigenFloor;
    return a;
  }
  for (Index i = 0; i < d; ++i)
    for (Index j = i + 1; j < d; ++j) a(i, j) = a(j, i) = (hs(i, j) + hs(j, i)) * 0.5;
  auto decomposition = eigh(a);
  if (failed(decomposition)) {
    for (Index i = 0; i < d; ++i)
      if (a(i, i) < kEigenFloor) a(i, i) = kEigenFloor;
    return a;
  }
  const Eigh e = take(std::move(decomposition));
  Matrix out = Matrix::Zero(d, d);
  for (Index k = 0; k < d; ++k) {
    const double v = e.values[k];
    const double floored = v >= kEigenFloor ? v : kEigenFloor;  // NaN counts as below
    out.noalias() += floored * e.vectors.col(k) * e.vectors.col(k).transpose();
  }
  return out;
}

Result<OuterResult> outer_newton(const Evaluator& evaluate, const Vector& x0,
                                 const OuterSettings& s) {
  VORSK_ASSIGN_OR_RETURN(ScoreWithHessian current, evaluate(x0));
  Vector x = x0;
  double f_prev = std::numeric_limits<double>::infinity();
  std::uint64_t k = 0;
  for (;;) {
    const double g_norm = inf_norm(current.gradient);
    OuterResult result{x, current.value, g_norm, k, true};
    if (gradient_small(s, current.value, g_norm) || change_small(s, k, current.value, f_prev))
      return result;

    Vector delta = newton_step(current);
    cap_step(s, delta);
    ++k;
    const double threshold = std::abs(current.value) * (-s.sufficient_decrease) + current.value;
    double t = 1.0;
    bool accepted = false;
    for (int trial = 1;; ++trial) {
      Vector x_t = x;
      for (Index i = 0; i < x.size(); ++i) x_t[i] += t * delta[i];
      auto at = evaluate(x_t);
      if (at.ok() && std::isfinite(at->value) && at->value < threshold) {
        f_prev = current.value;
        x = std::move(x_t);
        current = std::move(at).value();
        accepted = true;
        break;
      }
      t *= 0.5;
      if (t < s.min_step_factor || trial >= s.max_trials) break;
    }
    if (!accepted) {
      result.iterations = k;
      result.converged = s.loose_gradient_tol * (std::abs(current.value) + 1.0) > g_norm;
      return result;
    }
    if (k == s.max_iterations) return VorskError::not_converged(k, inf_norm(current.gradient));
  }
}

}  // namespace vorsk
