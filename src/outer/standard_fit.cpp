// The seven instances of the standard fit routine, behind one run-time switch.

#include "outer/standard_fit.hpp"

namespace vorsk {

Result<FittedGam> fit_standard_family(FamilyId id, Design design, std::uint64_t n, const VectorView& y,
                                      const std::optional<Vector>& weights) {
  switch (id) {
    case FamilyId::Gaussian:
      return fit_standard<Gaussian>(std::move(design), n, y, weights);
    case FamilyId::Bernoulli:
      return fit_standard<Bernoulli>(std::move(design), n, y, weights);
    case FamilyId::Poisson:
      return fit_standard<Poisson>(std::move(design), n, y, weights);
    case FamilyId::QuasiPoisson:
      return fit_standard<QuasiPoisson>(std::move(design), n, y, weights);
    case FamilyId::QuasiBinomial:
      return fit_standard<QuasiBinomial>(std::move(design), n, y, weights);
    case FamilyId::Gamma:
      return fit_standard<Gamma>(std::move(design), n, y, weights);
    case FamilyId::InverseGaussian:
      return fit_standard<InverseGaussian>(std::move(design), n, y, weights);
    default:
      return VorskError::internal("fit_standard_family: not a standard family");
  }
}

}  // namespace vorsk
