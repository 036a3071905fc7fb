// Times one fit on synthetic data and reports the work it did: inner fits, formations
// of Xᵀ·W·X, outer iterations and the peak memory beyond the data.
//
//   bench_fit FAMILY N [additive]
//
// Prints one line of key=value pairs. Built with VORSK_KERNEL_COUNTERS defined.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "common/counters.hpp"
#include "fit/additive_driver.hpp"
#include "fit/driver.hpp"

#ifndef VORSK_KERNEL_COUNTERS
#error "bench_fit needs VORSK_KERNEL_COUNTERS"
#endif

namespace {

// The high-water mark of this process's own memory. getrusage's ru_maxrss would carry
// the parent's peak over fork and exec.
double peak_rss_mb() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0.0;
  char line[256];
  double kb = 0.0;
  while (std::fgets(line, sizeof line, status))
    if (std::sscanf(line, "VmHWM: %lf kB", &kb) == 1) break;
  std::fclose(status);
  return kb / 1024.0;
}

// A response of the named family whose link-scale mean is a smooth of x.
double draw(const std::string& family, double eta, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  if (family == "gaussian") return eta + std::normal_distribution<double>(0.0, 0.3)(rng);
  if (family == "bernoulli" || family == "quasibinomial") return u(rng) < 1.0 / (1.0 + std::exp(-eta)) ? 1.0 : 0.0;
  if (family == "poisson" || family == "quasipoisson")
    return static_cast<double>(std::poisson_distribution<int>(std::exp(eta))(rng));
  if (family == "gamma") return std::gamma_distribution<double>(5.0, std::exp(eta) / 5.0)(rng);
  // inverse Gaussian with mean μ and shape 20, by the transformation of a chi-square
  const double mu = std::exp(0.3 * eta), shape = 20.0;
  const double z = std::normal_distribution<double>(0.0, 1.0)(rng);
  const double v = z * z;
  const double x = mu + mu * mu * v / (2 * shape) - mu / (2 * shape) * std::sqrt(4 * mu * shape * v + mu * mu * v * v);
  return u(rng) <= mu / (mu + x) ? x : mu * mu / x;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_fit FAMILY N [additive]\n");
    return 2;
  }
  const std::string family = argv[1];
  const auto n = static_cast<vorsk::Index>(std::atoll(argv[2]));
  const bool additive = argc > 3 && std::string(argv[3]) == "additive";
  const vorsk::Index cols = additive ? 6 : 1;

  std::mt19937_64 rng(20261211);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  vorsk::Matrix x(n, cols);
  vorsk::Vector y(n);
  for (vorsk::Index i = 0; i < n; ++i) {
    for (vorsk::Index c = 0; c < cols; ++c) x(i, c) = u(rng);
    double eta = 0.5 + std::sin(2 * M_PI * x(i, 0));
    if (additive) eta += 0.5 * x(i, 1) * x(i, 1) + 0.3 * std::cos(M_PI * x(i, 2)) + 0.2 * x(i, 3) + 0.4 * x(i, 4) * x(i, 5);
    y[i] = draw(family, eta, rng);
  }
  const double baseline_mb = peak_rss_mb();

  const auto start = std::chrono::steady_clock::now();
  vorsk::Result<vorsk::FittedGam> fit = vorsk::VorskError::internal("not run");
  vorsk::Index p = 0;
  if (additive) {
    std::vector<vorsk::TermSpec> terms{vorsk::CrTermSpec{0, 10}, vorsk::CrTermSpec{1, 10}, vorsk::CrTermSpec{2, 10},
                                       vorsk::CrTermSpec{3, 10}, vorsk::TensorTermSpec{4, 5, 5, 5}};
    fit = vorsk::fit_additive_core(family, x, y, std::nullopt, terms);
    p = 1 + 4 * 9 + 24;
  } else {
    fit = vorsk::fit_single(family, x, y, std::nullopt, vorsk::FitOptions{});
    p = 10;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!fit.ok()) {
    std::fprintf(stderr, "fit failed: %s\n", fit.error().display().c_str());
    return 1;
  }
  std::printf("family=%s n=%lld p=%lld time_s=%.6f inner_fits=%llu crossproducts=%llu n_iters=%llu converged=%d "
              "peak_extra_mb=%.1f model_matrix_mb=%.1f\n",
              family.c_str(), static_cast<long long>(n), static_cast<long long>(p), seconds,
              static_cast<unsigned long long>(vorsk::counters::inner_fits.load()),
              static_cast<unsigned long long>(vorsk::counters::crossproducts.load()),
              static_cast<unsigned long long>(fit->n_iters), fit->converged ? 1 : 0, peak_rss_mb() - baseline_mb,
              static_cast<double>(n) * static_cast<double>(p) * 8.0 / (1024.0 * 1024.0));
  return 0;
}
