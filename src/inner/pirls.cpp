// PIRLS instances, one per family that fits by iteration.

#include "family/standard.hpp"
#include "inner/pirls_impl.hpp"

namespace vorsk {

template Result<InnerFit> pirls<Bernoulli>(const InnerProblem<Bernoulli>&, const VectorView&);
template Result<InnerFit> pirls<QuasiBinomial>(const InnerProblem<QuasiBinomial>&, const VectorView&);
template Result<InnerFit> pirls<Poisson>(const InnerProblem<Poisson>&, const VectorView&);
template Result<InnerFit> pirls<QuasiPoisson>(const InnerProblem<QuasiPoisson>&, const VectorView&);
template Result<InnerFit> pirls<Gamma>(const InnerProblem<Gamma>&, const VectorView&);
template Result<InnerFit> pirls<InverseGaussian>(const InnerProblem<InverseGaussian>&, const VectorView&);

}  // namespace vorsk
