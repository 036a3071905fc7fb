#!/usr/bin/env python3
"""Weighted cross-products: vorsk's kernel against NumPy, measured side by side.

Builds benchmarks/bench_crossproducts (Release) into build/bench, then for every shape
times vorsk's Xᵀ·W·X (with Xᵀ·W·z) and NumPy's ``X.T @ (w[:, None] * X)``, each as the
best of several repeats, and prints both times and their ratio. NumPy is timed with its
default BLAS threads in this process and with one thread in a subprocess
(OPENBLAS_NUM_THREADS=1), since vorsk always runs on the calling thread alone.

    python3 benchmarks/crossproducts.py [--repeats 7] [--skip-build]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
EXE = BUILD / "benchmarks" / "bench_crossproducts"
SHAPES = [(n, p) for n in (10**4, 10**5, 10**6) for p in (10, 40)]


def build() -> None:
    configure = ["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                 "-DVORSK_BUILD_PYTHON=OFF", "-DVORSK_BUILD_TESTS=OFF",
                 "-DVORSK_BUILD_BENCHMARKS=ON"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "bench_crossproducts", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)


def time_vorsk(n: int, p: int, repeats: int) -> float:
    out = subprocess.run([str(EXE), str(n), str(p), str(repeats)], check=True,
                         capture_output=True, text=True).stdout
    fields = dict(item.split("=", 1) for item in out.split())
    return float(fields["best_s"])


def time_numpy(n: int, p: int, repeats: int) -> float:
    import numpy as np

    rng = np.random.default_rng(12345)
    x = rng.uniform(-1.0, 1.0, size=(n, p))
    w = rng.uniform(0.0, 1.0, size=n)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        g = x.T @ (w[:, None] * x)
        best = min(best, time.perf_counter() - start)
        del g
    return best


def numpy_single_thread(repeats: int) -> dict[tuple[int, int], float]:
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    out = subprocess.run([sys.executable, __file__, "--numpy-only", "--repeats", str(repeats)],
                         check=True, capture_output=True, text=True, env=env).stdout
    times = {}
    for line in out.splitlines():
        fields = dict(item.split("=", 1) for item in line.split())
        times[(int(fields["n"]), int(fields["p"]))] = float(fields["best_s"])
    return times


def blas_threads() -> str:
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "threadpoolctl not installed; NumPy uses its BLAS default"
    import numpy  # noqa: F401  (loads the BLAS so threadpoolctl can see it)

    pools = [f"{info.get('internal_api')} {info.get('architecture', '')} "
             f"threads={info.get('num_threads')}" for info in threadpool_info()
             if info.get("user_api") == "blas"]
    return "; ".join(pools) or "no BLAS pool found"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--skip-build", action="store_true")
    parser.add_argument("--numpy-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.numpy_only:
        for n, p in SHAPES:
            print(f"n={n} p={p} best_s={time_numpy(n, p, args.repeats):.6e}", flush=True)
        return 0

    if not args.skip_build:
        build()
    single = numpy_single_thread(args.repeats)
    print(f"NumPy BLAS: {blas_threads()}")
    print(f"best of {args.repeats}; ratio = vorsk time / NumPy time (below 1: vorsk faster)")
    header = (f"{'n':>8} {'p':>3} {'vorsk s':>10} {'numpy s':>10} {'ratio':>6} "
              f"{'numpy 1T s':>11} {'ratio 1T':>8}")
    print(header)
    print("-" * len(header))
    for n, p in SHAPES:
        ours = time_vorsk(n, p, args.repeats)
        theirs = time_numpy(n, p, args.repeats)
        one = single[(n, p)]
        print(f"{n:>8} {p:>3} {ours:>10.3e} {theirs:>10.3e} {ours / theirs:>6.2f} "
              f"{one:>11.3e} {ours / one:>8.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
