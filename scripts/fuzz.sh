#!/usr/bin/env bash
# Fuzzes the saved-fit loader with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer for a bounded time (default 60 s), starting from real
# frames. Exits non-zero on any crash, sanitizer report, leak, time-out, memory blow-up
# or broken round trip, leaving the input that caused it in build/fuzz/artifacts.
#   bash scripts/fuzz.sh [seconds]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${1:-60}"

packages=(clang-14 libclang-rt-14-dev cmake ninja-build libeigen3-dev nlohmann-json3-dev
          libopenblas-dev libopenblas-serial-dev liblapacke-dev)
# shellcheck source=scripts/ensure_packages.sh
source "$root/scripts/ensure_packages.sh"
ensure_packages "${packages[@]}"

build=build/fuzz
# The whole core is instrumented for coverage and the sanitizers; only the fuzzer
# itself links the libFuzzer driver.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $sanitize" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
  -DVORSK_BUILD_PYTHON=OFF -DVORSK_BUILD_TESTS=OFF -DVORSK_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" --target saved_fit_fuzzer saved_fit_seeds -j "$(nproc 2>/dev/null || echo 2)"

export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# Seeds: frames of records built by the design code, and of real fits when the package
# is installed (scripts/setup.sh). An odd first byte marks a bare body (see the fuzzer).
seeds="$build/seeds"
corpus="$build/corpus"
artifacts="$build/artifacts"
rm -rf "$seeds" "$artifacts"
mkdir -p "$seeds" "$corpus" "$artifacts"
"$build/fuzz/saved_fit_seeds" "$seeds"
if [ -x .venv/bin/python ]; then
  # Run outside the source tree so that the installed package is imported.
  if ! (cd "$seeds" && "$root/.venv/bin/python" - <<'PY'
import numpy as np
import vorsk

rng = np.random.default_rng(1)
n = 60
x = np.column_stack([np.sort(rng.uniform(0, 1, n)), rng.uniform(0, 1, n), rng.integers(0, 4, n).astype(float)])
f = np.sin(2 * np.pi * x[:, 0])
fits = {
    "gaussian_cr": lambda: vorsk.fit("gaussian", x, f + rng.normal(0, 0.3, n), k=5),
    "poisson_cr_stable": lambda: vorsk.fit("poisson", x, rng.poisson(np.exp(f)).astype(float), k=4, design="cr_stable"),
    "bernoulli_re": lambda: vorsk.fit("bernoulli", x[:, 2:], (rng.uniform(size=n) < 0.4).astype(float), design="re"),
    "gaussian_nan_scale": lambda: vorsk.fit("gaussian", x[:2], np.array([1.0, 2.0]), k=3),
    "additive": lambda: vorsk.fit_additive(
        "gaussian", x, f + x[:, 1] + rng.normal(0, 0.3, n), [(0, "cr", 4), (2, "re"), ((0, 1), "te", (3, 3))]),
}
for name, make in fits.items():
    try:
        frame = make().serialize()
    except ValueError as error:  # a fit path that is not available in this build
        print(f"seed {name} skipped: {error}")
        continue
    open(f"fit_frame_{name}", "wb").write(b"\0" + frame)
    open(f"fit_body_{name}", "wb").write(b"\1" + frame[17:])
PY
  ); then
    echo "fitted seed frames unavailable; fuzzing from the built seeds only"
  fi
fi

echo "== fuzzing the saved-fit loader for ${seconds}s"
if ! "$build/fuzz/saved_fit_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=16384 -dict=fuzz/saved_fit.dict -artifact_prefix="$artifacts/" -print_final_stats=1 \
    "$corpus" "$seeds"; then
  echo "fuzzing found a failure; the input is in $artifacts:" >&2
  ls -l "$artifacts" >&2
  exit 1
fi
