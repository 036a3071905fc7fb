#include "fit/additive_driver.hpp"

#include "common/format.hpp"
#include "family/names.hpp"
#include "outer/standard_fit.hpp"

namespace vorsk {

Result<FittedGam> fit_additive_core(const std::string& family_name, const MatrixView& x,
                                    const VectorView& y, const std::optional<Vector>& weights,
                                    const std::vector<TermSpec>& terms) {
  const auto id = parse_family_name(family_name);
  if (!id || !is_standard_family(*id))
    return VorskError::invalid_parameter(fmt(
        "fit_additive: family {0} is shape-managed and restricted to single-smooth in 94b; use "
        "vorsk.fit(family={0}, …) or wait for multi-smooth shape-aware support. Supported additive "
        "families: gaussian, bernoulli/binomial, poisson, quasipoisson, quasibinomial, gamma, "
        "inverse_gaussian",
        family_name));
  VORSK_ASSIGN_OR_RETURN(Design design, additive_design(x, terms));
  return fit_standard_family(*id, std::move(design), static_cast<std::uint64_t>(x.rows()), y, weights);
}

}  // namespace vorsk
