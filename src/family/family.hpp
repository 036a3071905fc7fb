#pragma once
// What a response family offers the solvers, as a compile-time interface. Solvers,
// scores and fit routines are templates over a `Family`; nothing dispatches at run time
// inside the per-observation loops.
//
// A family F provides
//   F::kName          display name used in response-domain messages
//   F::kLinkKind      the link stored in a fitted model
//   F::kDomain        the range of y accepted by the response check
//   initial_mu(y)     μ⁰ from the response alone
//   link(μ), inverse_link(η), link_derivative(μ) = dη/dμ (guarded)
//   variance(μ)       V(μ) (guarded)
//   unit_deviance(y, μ)
// Working weights W = pw/(V·g′²) and responses z = η + (y − μ)·g′ are formed by the
// solvers from these; the raw μ enters y − μ, only V and g′ see the guarded value.

#include <cmath>
#include <concepts>
#include <string_view>

#include "common/format.hpp"
#include "common/result.hpp"
#include "family/link.hpp"
#include "linalg/types.hpp"

namespace vorsk {

// The response range a family accepts. Each test is a plain comparison, so NaN fails
// UnitInterval but passes NonNegative and Positive.
enum class ResponseDomain { Any, NonNegative, Positive, UnitInterval };

template <typename F>
concept Family = requires(const F& f, double y, double mu, double eta) {
  { F::kName } -> std::convertible_to<std::string_view>;
  { F::kLinkKind } -> std::convertible_to<LinkKind>;
  { F::kDomain } -> std::convertible_to<ResponseDomain>;
  { f.initial_mu(y) } -> std::same_as<double>;
  { f.link(mu) } -> std::same_as<double>;
  { f.inverse_link(eta) } -> std::same_as<double>;
  { f.link_derivative(mu) } -> std::same_as<double>;
  { f.variance(mu) } -> std::same_as<double>;
  { f.unit_deviance(y, mu) } -> std::same_as<double>;
};

// The first row of y outside the family's domain, as InvalidParameter.
template <Family F>
Status check_response(const VectorView& y) {
  for (Index i = 0; i < y.size(); ++i) {
    const double v = y[i];
    switch (F::kDomain) {
      case ResponseDomain::Any:
        return Status::success();
      case ResponseDomain::NonNegative:
        if (v < 0.0) return VorskError::invalid_parameter(fmt("{} requires y ≥ 0; got y={} at row {}", F::kName, v, i));
        break;
      case ResponseDomain::Positive:
        if (v <= 0.0) return VorskError::invalid_parameter(fmt("{} requires y > 0; got y={} at row {}", F::kName, v, i));
        break;
      case ResponseDomain::UnitInterval:
        if (!(v >= 0.0 && v <= 1.0))
          return VorskError::invalid_parameter(fmt("{} requires y in [0, 1]; got y={} at row {}", F::kName, v, i));
        break;
    }
  }
  return Status::success();
}

// D = Σ_i pw_i·d(y_i, μ_i) in observation order; pw == nullptr means all ones.
template <Family F>
double deviance(const F& family, const VectorView& y, const VectorView& mu, const Vector* pw) {
  double d = 0.0;
  for (Index i = 0; i < y.size(); ++i) {
    const double w = pw ? (*pw)[i] : 1.0;
    d += w * family.unit_deviance(y[i], mu[i]);
  }
  return d;
}

// True when every η_i, μ_i and unweighted d(y_i, μ_i) is finite.
template <Family F>
bool step_is_finite(const F& family, const VectorView& y, const VectorView& eta,
                    const VectorView& mu) {
  for (Index i = 0; i < y.size(); ++i) {
    if (!std::isfinite(eta[i]) || !std::isfinite(mu[i]) ||
        !std::isfinite(family.unit_deviance(y[i], mu[i])))
      return false;
  }
  return true;
}

}  // namespace vorsk
