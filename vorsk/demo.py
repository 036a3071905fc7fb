"""Demo: fit smooths to data generated here, print a summary and write a plot.

Run with ``python -m vorsk.demo --out DIR``.
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np

import vorsk


def make_data(n: int = 400, seed: int = 1):
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.0, 1.0, n))
    truth = np.sin(2.0 * np.pi * x)
    gaussian_y = truth + rng.normal(0.0, 0.3, n)
    counts = rng.poisson(np.exp(1.0 + truth)).astype(np.float64)
    return x.reshape(n, 1), truth, {"gaussian": gaussian_y, "poisson": counts}


def fit_all(x, responses):
    results = {}
    for family, y in responses.items():
        try:
            results[family] = vorsk.fit(family, x, y, k=10)
        except ValueError as exc:
            results[family] = exc
    return results


def summarise(results) -> str:
    lines = []
    for family, model in results.items():
        if isinstance(model, Exception):
            lines.append(f"{family:>10}: {model}")
            continue
        lam = getattr(model, "lambda")
        lines.append(
            f"{family:>10}: edf={model.edf_total:.3f} lambda={lam[0]:.4g} "
            f"reml={model.reml_value:.4f} scale={model.scale:.4g} converged={model.converged}"
        )
    return "\n".join(lines)


def plot(x, truth, responses, results, path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    grid = np.linspace(0.0, 1.0, 200).reshape(200, 1)
    fig, axes = plt.subplots(1, len(responses), figsize=(5 * len(responses), 4), squeeze=False)
    for ax, (family, y) in zip(axes[0], responses.items()):
        ax.scatter(x[:, 0], y, s=6, color="0.6", label="data")
        model = results[family]
        if isinstance(model, Exception):
            ax.set_title(f"{family}: not fitted")
            ax.text(0.5, 0.02, str(model), transform=ax.transAxes, ha="center", fontsize=7, wrap=True)
        else:
            mean, lo, hi = model.predict_ci(grid, level=0.95, scale="response")
            ax.fill_between(grid[:, 0], lo, hi, color="tab:blue", alpha=0.25, label="95% band")
            ax.plot(grid[:, 0], mean, color="tab:blue", label="fit")
            ax.set_title(f"{family}: edf {model.edf_total:.2f}")
        ax.set_xlabel("x")
        ax.legend(loc="upper right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def make_additive_data(n: int = 1500, seed: int = 2):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 1.0, (n, 4))
    parts = [
        np.sin(2.0 * np.pi * x[:, 0]),
        2.0 * (x[:, 1] - 0.5) ** 2,
        np.sin(np.pi * x[:, 2]) * np.cos(np.pi * x[:, 3]),
    ]
    y = sum(parts) + rng.normal(0.0, 0.25, n)
    return x, y


ADDITIVE_TERMS = [(0, "cr", 10), (1, "cr", 10), ((2, 3), "te", (5, 5))]


def partial_effect(model, x, term):
    """Partial prediction of one term with its pointwise standard error."""
    first, last = model.term_col_ranges()[term]
    lp = model.evaluate_lpmatrix(x)[:, first:last]
    v = model.vcov()[first:last, first:last]
    fit = lp @ model.beta[first:last]
    se = np.sqrt(np.maximum(np.einsum("ij,jk,ik->i", lp, v, lp), 0.0))
    return fit, se


def plot_additive(model, x, y, path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(15, 4))
    grid = np.linspace(0.0, 1.0, 200)
    for term, ax in enumerate(axes[:2]):
        xg = np.full((200, 4), 0.5)
        xg[:, term] = grid
        fit, se = partial_effect(model, xg, term)
        ax.fill_between(grid, fit - 1.96 * se, fit + 1.96 * se, color="tab:green", alpha=0.25, label="95% band")
        ax.plot(grid, fit, color="tab:green", label=f"s(x{term})")
        ax.set_xlabel(f"x{term}")
        ax.set_title(f"partial effect of s(x{term}), edf {model.edf_per_term[term]:.2f}")
        ax.legend(fontsize=8)
    g = np.linspace(0.0, 1.0, 60)
    a, b = np.meshgrid(g, g)
    xg = np.full((a.size, 4), 0.5)
    xg[:, 2], xg[:, 3] = a.ravel(), b.ravel()
    fit, se = partial_effect(model, xg, 2)
    cs = axes[2].contourf(a, b, fit.reshape(a.shape), levels=20, cmap="viridis")
    fig.colorbar(cs, ax=axes[2])
    axes[2].set_xlabel("x2")
    axes[2].set_ylabel("x3")
    edf = model.edf_per_term[2] + model.edf_per_term[3]
    axes[2].set_title(f"te(x2, x3), edf {edf:.2f}, max se {se.max():.2f}")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="demo_output", help="folder for the plot")
    args = parser.parse_args(argv)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    x, truth, responses = make_data()
    results = fit_all(x, responses)
    print(f"vorsk {vorsk.__version__}: smooth fits of y ~ s(x), n = {x.shape[0]}, k = 10")
    print(summarise(results))
    path = out / "demo.png"
    plot(x, truth, responses, results, path)
    print(f"plot written to {path}")

    xa, ya = make_additive_data()
    model = vorsk.fit_additive("gaussian", xa, ya, ADDITIVE_TERMS)
    print(f"additive: y ~ s(x0) + s(x1) + te(x2, x3), n = {xa.shape[0]}")
    print(f"  edf per penalty {np.round(model.edf_per_term, 2).tolist()}, edf total {model.edf_total:.2f}")
    print(f"  rho {np.round(model.rho, 2).tolist()}, reml {model.reml_value:.3f}, converged {model.converged}")
    path = out / "additive.png"
    plot_additive(model, xa, ya, path)
    print(f"plot written to {path}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
