#include "fit/driver.hpp"

#include <cmath>
#include <limits>

#include "common/format.hpp"
#include "design/design.hpp"
#include "family/names.hpp"
#include "outer/standard_fit.hpp"

namespace vorsk {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Result<SmoothKind> parse_design_name(const std::string& name) {
  if (name == "cr") return SmoothKind::Cr;
  if (name == "re") return SmoothKind::Re;
  if (name == "cr_stable") return SmoothKind::CrStable;
  return VorskError::invalid_parameter(
      fmt("design must be 'cr', 're', or 'cr_stable'; got {}", name));
}

Result<Design> build_design(const MatrixView& x, const FitOptions& options) {
  VORSK_ASSIGN_OR_RETURN(const SmoothKind kind, parse_design_name(options.design));
  return single_smooth_design(kind, x, options.k);
}

VorskError not_available(std::string_view family) {
  return VorskError::invalid_parameter(fmt("fitting the {} family is not available yet", family));
}

// Starting values of the shape-aware families, given or defaulted.
struct ShapeStart {
  double theta = 2.0;  // negbin
  double nu = 5.0;     // tdist
  double sigma2 = 1.0;
  double p = 1.5;  // tweedie
  double phi = 1.0;
};

// Route B: negbin, tdist and tweedie, after their design was built.
Result<FittedGam> fit_shape_aware(FamilyId id, const ShapeStart& start, const Design& design,
                                  std::uint64_t n, const VectorView& y,
                                  const std::optional<Vector>& weights) {
  VORSK_RETURN_IF_ERROR(check_rows(n, y, weights));
  std::string_view display;
  switch (id) {
    case FamilyId::NegBin:
      display = "NegBin";
      if (!std::isfinite(start.theta))
        return VorskError::invalid_parameter(fmt(
            "NegBin overdispersion init_theta must be a positive finite scalar (small θ → high "
            "variance, large θ → Poisson limit); got init_theta={}",
            start.theta));
      break;
    case FamilyId::TDist:
      display = "TDist";
      if (!(start.nu > 2.0 && start.nu != kInf))
        return VorskError::invalid_parameter(fmt(
            "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu={}",
            start.nu));
      if (!(start.sigma2 > 0.0 && std::isfinite(start.sigma2)))
        return VorskError::invalid_parameter(fmt(
            "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2={}",
            start.sigma2));
      break;
    default:  // Tweedie
      display = "Tweedie";
      if (!(start.phi > 0.0 && std::isfinite(start.phi)))
        return VorskError::invalid_parameter(fmt(
            "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi={}",
            start.phi));
      break;
  }
  if (id != FamilyId::TDist) {
    for (Index i = 0; i < y.size(); ++i)
      if (y[i] < 0.0)
        return VorskError::invalid_parameter(
            fmt("{} requires y ≥ 0; got y={} at row {}", display, y[i], i));
  }
  if (design.penalties.size() != 1)
    return VorskError::invalid_parameter(
        fmt("shape-aware families (TDist/scat, NegBin, Tweedie, Ocat) are restricted to "
            "single-smooth fits in 94b; got {} terms",
            design.penalties.size()));
  return not_available(display);
}

// Route D: the extended log-F quantile family.
Result<FittedGam> fit_quantile_route(const Design& design, std::uint64_t n, const VectorView& y,
                                     const std::optional<Vector>& weights) {
  VORSK_RETURN_IF_ERROR(check_rows(n, y, weights));
  if (design.penalties.size() != 1)
    return VorskError::invalid_parameter(fmt(
        "ELF/quantile is restricted to single-smooth fits in 94b; got {} terms", design.penalties.size()));
  return not_available("ELF");
}

}  // namespace

Result<FittedGam> fit_single(const std::string& family_name, const MatrixView& x,
                             const VectorView& y, const std::optional<Vector>& weights,
                             const FitOptions& options) {
  const auto id = parse_family_name(family_name);
  if (!id)
    return VorskError::invalid_parameter(
        fmt("unknown family {}; supported: gaussian, bernoulli, poisson, quasipoisson, "
            "quasibinomial, gamma, inverse_gaussian, negbin, tdist, tweedie, ocat, elf",
            family_name));
  const auto n = static_cast<std::uint64_t>(x.rows());

  // Checks that precede the design.
  ShapeStart start;
  switch (*id) {
    case FamilyId::NegBin:
      start.theta = options.theta.value_or(2.0);
      if (start.theta <= 0.0)
        return VorskError::invalid_parameter(
            fmt("negbin theta must be > 0; got theta={}", start.theta));
      break;
    case FamilyId::Tweedie:
      start.p = options.tweedie_p.value_or(1.5);
      start.phi = options.tweedie_phi.value_or(1.0);
      if (!(start.p > 1.0 && start.p < 2.0))
        return VorskError::invalid_parameter(
            fmt("tweedie p must be in (1, 2); got tweedie_p={}", start.p));
      break;
    case FamilyId::Elf: {
      const double tau = options.tau.value_or(0.5);
      if (!(tau > 0.0 && tau < 1.0))
        return VorskError::invalid_parameter(
            fmt("elf/quantile tau must be in (0, 1); got tau={}", tau));
      break;
    }
    case FamilyId::TDist:
      start.nu = options.nu.value_or(5.0);
      start.sigma2 = options.sigma2.value_or(1.0);
      break;
    case FamilyId::Ocat:
      if (!options.r)
        return VorskError::invalid_parameter(
            "family='ocat' requires r=K (number of ordered categories, K >= 3)");
      if (*options.r < 3)
        return VorskError::invalid_parameter(fmt("ocat requires r >= 3, got r={}", *options.r));
      return not_available("Ocat");
    default:
      break;
  }

  VORSK_ASSIGN_OR_RETURN(Design design, build_design(x, options));

  if (is_standard_family(*id)) return fit_standard_family(*id, std::move(design), n, y, weights);
  switch (*id) {
    case FamilyId::NegBin:
    case FamilyId::TDist:
    case FamilyId::Tweedie:
      return fit_shape_aware(*id, start, design, n, y, weights);
    case FamilyId::Elf:
      return fit_quantile_route(design, n, y, weights);
    default:
      break;
  }
  return VorskError::internal("unreachable family route");
}

}  // namespace vorsk
