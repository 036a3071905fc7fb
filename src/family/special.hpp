#pragma once
// log Γ and its first two derivatives from fixed approximations, so that every build
// produces the same values whatever the C library's lgamma does.

namespace vorsk::special {

// log Γ(x) for x > 0, and through the reflection for non-integer x < 0.5.
double lgamma(double x);
// ψ(x) = d log Γ(x)/dx for x > 0.
double digamma(double x);
// ψ′(x) for x > 0.
double trigamma(double x);

}  // namespace vorsk::special
