#!/usr/bin/env bash
# The whole test suite: C++ tests (optimised, then under AddressSanitizer and
# UndefinedBehaviorSanitizer), a bounded fuzz run of the saved-fit loader, and the
# Python tests against the installed package.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh

jobs="$(nproc 2>/dev/null || echo 2)"

echo "== C++ tests"
cmake -S . -B build/cpp -G Ninja -DVORSK_BUILD_PYTHON=OFF -DVORSK_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp -j "$jobs"
ctest --test-dir build/cpp --output-on-failure -j "$jobs"

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DVORSK_BUILD_PYTHON=OFF -DVORSK_BUILD_TESTS=ON \
  -DVORSK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== Fuzzing the saved-fit loader"
bash scripts/fuzz.sh 60

echo "== Python tests"
# The console script keeps the source tree off sys.path, so the installed package is tested.
.venv/bin/pytest tests/python -q -p no:cacheprovider
