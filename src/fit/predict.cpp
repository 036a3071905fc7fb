#include "fit/predict.hpp"

#include <cmath>

#include "common/format.hpp"
#include "family/link.hpp"
#include "linalg/kernels.hpp"

namespace vorsk {

Result<double> normal_quantile(double p) {
  if (!(p > 0.0 && p < 1.0))
    return VorskError::invalid_parameter(fmt("normal_quantile: p must be in (0,1), got {}", p));
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                                 1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                                 6.680131188771972e+01, -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                                 -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                                 3.754408661907416e+00};
  constexpr double kLow = 0.02425;
  auto tail = [&](double q) {
    return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
           ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
  };
  if (p < kLow) return tail(std::sqrt(-2.0 * std::log(p)));
  if (p > 1.0 - kLow) return -tail(std::sqrt(-2.0 * std::log(1.0 - p)));
  const double q = p - 0.5;
  const double r = q * q;
  return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
         (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
}

namespace {

Status check_level(double level) {
  if (!(level > 0.0 && level < 1.0))
    return VorskError::invalid_parameter(fmt("level must be in (0, 1); got level={}", level));
  return Status::success();
}

// z for a two-sided interval; a level within rounding of 1 has no finite z.
Result<double> two_sided_z(double level) {
  const double p = (level + 1.0) * 0.5;
  if (!(p < 1.0))
    return VorskError::invalid_parameter(fmt(
        "level={} is too close to 1: (level + 1)/2 rounds to 1, so the interval is unbounded", level));
  return normal_quantile(p);
}

Status check_shapes(const FittedGam& model, Index width) {
  const Index p = model.beta.size();
  if (width != p)
    return VorskError::invalid_parameter(
        fmt("the model matrix has {} columns but the model has {} coefficients", width, p));
  if (model.vcov.rows() != p || model.vcov.cols() != p)
    return VorskError::invalid_parameter(fmt(
        "the covariance is {}x{} but the model has {} coefficients", model.vcov.rows(), model.vcov.cols(), p));
  return Status::success();
}

}  // namespace

Result<Matrix> evaluate_lpmatrix(const FittedGam& model, const MatrixView& x_new) {
  return model.predictor.lpmatrix(x_new);
}

Result<Vector> predict(const FittedGam& model, const MatrixView& x_new) {
  VORSK_ASSIGN_OR_RETURN(const Matrix x, evaluate_lpmatrix(model, x_new));
  if (x.cols() != model.beta.size())
    return VorskError::invalid_parameter(fmt(
        "the model matrix has {} columns but the model has {} coefficients", x.cols(), model.beta.size()));
  return Vector(x * model.beta);
}

Result<Vector> predict_response(const FittedGam& model, const MatrixView& x_new) {
  VORSK_ASSIGN_OR_RETURN(Vector eta, predict(model, x_new));
  for (Index i = 0; i < eta.size(); ++i) eta[i] = inverse_link(model.link_kind, eta[i]);
  return eta;
}

Result<Interval> predict_ci(const FittedGam& model, const MatrixView& x_new, double level,
                            const std::string& scale) {
  if (scale != "link" && scale != "response")
    return VorskError::invalid_parameter(fmt("scale must be 'link' or 'response', got {}", scale));
  VORSK_RETURN_IF_ERROR(check_level(level));
  VORSK_ASSIGN_OR_RETURN(const double z, two_sided_z(level));
  VORSK_ASSIGN_OR_RETURN(const Matrix x, evaluate_lpmatrix(model, x_new));
  VORSK_RETURN_IF_ERROR(check_shapes(model, x.cols()));
  Interval out;
  out.mean = x * model.beta;
  const Vector s2 = row_quadratic_forms(x, model.vcov);
  out.lo.resize(out.mean.size());
  out.hi.resize(out.mean.size());
  for (Index i = 0; i < out.mean.size(); ++i) {
    const double se = std::sqrt(std::max(s2[i], 0.0));
    out.lo[i] = out.mean[i] - z * se;
    out.hi[i] = out.mean[i] + z * se;
  }
  if (scale == "response") {
    for (Vector* v : {&out.mean, &out.lo, &out.hi})
      for (Index i = 0; i < v->size(); ++i) (*v)[i] = inverse_link(model.link_kind, (*v)[i]);
  }
  return out;
}

Result<Interval> predict_diff(const FittedGam& model, const MatrixView& x_a, const MatrixView& x_b,
                              double level) {
  VORSK_RETURN_IF_ERROR(check_level(level));
  VORSK_ASSIGN_OR_RETURN(const Matrix a, evaluate_lpmatrix(model, x_a));
  VORSK_ASSIGN_OR_RETURN(const Matrix b, evaluate_lpmatrix(model, x_b));
  if (a.cols() != b.cols())
    return VorskError::invalid_parameter(
        fmt("predict_diff: design width mismatch (a={}, b={})", a.cols(), b.cols()));
  const Index na = a.rows();
  const Index nb = b.rows();
  Index n = 0;
  if (na == nb) n = na;
  else if (na == 1) n = nb;
  else if (nb == 1) n = na;
  else
    return VorskError::invalid_parameter(
        fmt("predict_diff: row counts must match or one must be 1 (broadcast); got a={}, b={}", na, nb));
  VORSK_ASSIGN_OR_RETURN(const double z, two_sided_z(level));
  VORSK_RETURN_IF_ERROR(check_shapes(model, a.cols()));
  Matrix d(n, a.cols());
  for (Index i = 0; i < n; ++i) d.row(i) = a.row(na == 1 ? 0 : i) - b.row(nb == 1 ? 0 : i);
  Interval out;
  out.mean = d * model.beta;
  const Vector s2 = row_quadratic_forms(d, model.vcov);
  out.lo.resize(n);
  out.hi.resize(n);
  for (Index i = 0; i < n; ++i) {
    const double se = std::sqrt(std::max(s2[i], 0.0));
    out.lo[i] = out.mean[i] - z * se;
    out.hi[i] = out.mean[i] + z * se;
  }
  return out;
}

std::vector<ColumnRange> term_col_ranges(const FittedGam& model) {
  if (const auto* additive = std::get_if<AdditivePredictor>(&model.predictor.value))
    return additive->term_col_ranges;
  return {ColumnRange{1, static_cast<std::uint64_t>(model.beta.size())}};
}

}  // namespace vorsk
