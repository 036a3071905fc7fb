#pragma once
// The family names a caller may pass, matched exactly and case-sensitively.

#include <optional>
#include <string_view>

namespace vorsk {

enum class FamilyId {
  Gaussian,
  Bernoulli,
  Poisson,
  QuasiPoisson,
  QuasiBinomial,
  Gamma,
  InverseGaussian,
  NegBin,
  TDist,
  Tweedie,
  Ocat,
  Elf,
};

struct FamilyName {
  std::string_view name;
  FamilyId id;
};

// Every accepted spelling; aliases follow the primary name of their family.
inline constexpr FamilyName kFamilyNames[] = {
    {"gaussian", FamilyId::Gaussian},
    {"bernoulli", FamilyId::Bernoulli},
    {"binomial", FamilyId::Bernoulli},
    {"poisson", FamilyId::Poisson},
    {"quasipoisson", FamilyId::QuasiPoisson},
    {"quasibinomial", FamilyId::QuasiBinomial},
    {"gamma", FamilyId::Gamma},
    {"inverse_gaussian", FamilyId::InverseGaussian},
    {"inverse.gaussian", FamilyId::InverseGaussian},
    {"negbin", FamilyId::NegBin},
    {"nb", FamilyId::NegBin},
    {"tdist", FamilyId::TDist},
    {"scat", FamilyId::TDist},
    {"tweedie", FamilyId::Tweedie},
    {"tw", FamilyId::Tweedie},
    {"ocat", FamilyId::Ocat},
    {"elf", FamilyId::Elf},
    {"quantile", FamilyId::Elf},
};

inline std::optional<FamilyId> parse_family_name(std::string_view name) {
  for (const auto& entry : kFamilyNames)
    if (entry.name == name) return entry.id;
  return std::nullopt;
}

// The families that `fit_additive` accepts.
inline bool is_standard_family(FamilyId id) {
  switch (id) {
    case FamilyId::Gaussian:
    case FamilyId::Bernoulli:
    case FamilyId::Poisson:
    case FamilyId::QuasiPoisson:
    case FamilyId::QuasiBinomial:
    case FamilyId::Gamma:
    case FamilyId::InverseGaussian:
      return true;
    default:
      return false;
  }
}

}  // namespace vorsk
