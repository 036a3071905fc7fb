// Times weighted_crossproducts (Xᵀ·W·X and Xᵀ·W·z) on random data.
//
//   bench_crossproducts N P [REPEATS]
//
// Prints one line of key=value pairs per run, for scripts:
//   kernel=weighted_crossproducts n=100000 p=40 repeats=7 best_s=... median_s=... checksum=...

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "linalg/kernels.hpp"

namespace {

bool parse_count(const char* text, long long& out) {
  char* end = nullptr;
  out = std::strtoll(text, &end, 10);
  return end != text && *end == '\0' && out >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  long long n = 0, p = 0, repeats = 7;
  if (argc < 3 || argc > 4 || !parse_count(argv[1], n) || !parse_count(argv[2], p) ||
      (argc == 4 && (!parse_count(argv[3], repeats) || repeats < 1))) {
    std::fprintf(stderr, "usage: %s N P [REPEATS]\n", argv[0]);
    return 2;
  }

  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  vorsk::Matrix x(n, p);
  vorsk::Vector w(n), z(n);
  for (long long i = 0; i < n; ++i) {
    for (long long j = 0; j < p; ++j) x(i, j) = u(rng);
    w[i] = 0.5 * (u(rng) + 1.0);
    z[i] = u(rng);
  }

  std::vector<double> seconds;
  double checksum = 0.0;
  for (long long r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const vorsk::CrossProducts out = vorsk::weighted_crossproducts(x, w, z);
    const auto stop = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(stop - start).count());
    // Keeps the call observable.
    checksum += out.xtwx.sum() + out.xtwz.sum();
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("kernel=weighted_crossproducts n=%lld p=%lld repeats=%lld best_s=%.6e median_s=%.6e checksum=%.17g\n",
              n, p, repeats, seconds.front(), seconds[seconds.size() / 2], checksum / static_cast<double>(repeats));
  return 0;
}
