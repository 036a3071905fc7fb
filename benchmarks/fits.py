#!/usr/bin/env python3
"""Whole fits against their unavoidable cross-products, measured side by side.

Builds benchmarks/bench_fit (Release, with work counters) into build/bench-fit. For every
family and n it runs one fit in a fresh process and reports the wall time, the inner
fits, the formations of Xᵀ·W·X, the outer iterations and the peak memory beyond the
data; in the same run it times NumPy's ``X.T @ (w[:, None] * X)`` for the same shape and
reports

    floor ratio = fit time / (formations × one NumPy cross-product)

so a ratio near 1 means the fit costs little beyond its cross-products. NumPy is timed
with its default threads; ``--numpy-threads 1`` pins it to one thread like vorsk.

    python3 benchmarks/fits.py [--sizes 1000,10000,100000,1000000] [--families ...] [--additive]
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
BUILD = ROOT / "build" / "bench-fit"
EXE = BUILD / "benchmarks" / "bench_fit"
FAMILIES = ["gaussian", "bernoulli", "poisson", "quasipoisson", "quasibinomial", "gamma", "inverse_gaussian"]


def build() -> None:
    configure = ["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                 "-DVORSK_BUILD_PYTHON=OFF", "-DVORSK_BUILD_TESTS=OFF", "-DVORSK_BUILD_BENCHMARKS=ON",
                 "-DCMAKE_CXX_FLAGS=-DVORSK_KERNEL_COUNTERS"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "bench_fit", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)


def run_fit(family: str, n: int, additive: bool) -> dict:
    cmd = [str(EXE), family, str(n)] + (["additive"] if additive else [])
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    fields = dict(item.split("=", 1) for item in out.split())
    return {k: (v if k == "family" else float(v)) for k, v in fields.items()}


def numpy_crossproduct_seconds(n: int, p: int, repeats: int) -> float:
    import numpy as np

    rng = np.random.default_rng(1)
    x = rng.uniform(size=(n, p))
    w = rng.uniform(size=n)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        x.T @ (w[:, None] * x)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,10000,100000,1000000")
    parser.add_argument("--families", default=",".join(FAMILIES))
    parser.add_argument("--additive", action="store_true",
                        help="four cr terms (k=10) and one te(5, 5) term instead of one smooth")
    parser.add_argument("--numpy-threads", type=int, default=0, help="0: NumPy's default")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--skip-build", action="store_true")
    args = parser.parse_args()
    if args.numpy_threads:
        for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
            os.environ[var] = str(args.numpy_threads)
    if not args.skip_build:
        build()

    sizes = [int(s) for s in args.sizes.split(",")]
    families = args.families.split(",")
    print(f"{'family':>16} {'n':>8} {'p':>3} {'time s':>8} {'inner':>5} {'XtWX':>5} {'iters':>5} "
          f"{'numpy XtWX s':>12} {'floor ratio':>11} {'peak MB':>8} {'X MB':>7} {'mem ratio':>9}")
    for n in sizes:
        floor = None
        for family in families:
            r = run_fit(family, n, args.additive)
            if floor is None:
                floor = numpy_crossproduct_seconds(n, int(r["p"]), args.repeats)
            ratio = r["time_s"] / (r["crossproducts"] * floor)
            mem = r["peak_extra_mb"] / r["model_matrix_mb"] if r["model_matrix_mb"] > 0 else float("nan")
            print(f"{family:>16} {n:>8} {int(r['p']):>3} {r['time_s']:>8.3f} {int(r['inner_fits']):>5} "
                  f"{int(r['crossproducts']):>5} {int(r['n_iters']):>5} {floor:>12.5f} {ratio:>11.2f} "
                  f"{r['peak_extra_mb']:>8.1f} {r['model_matrix_mb']:>7.1f} {mem:>9.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
