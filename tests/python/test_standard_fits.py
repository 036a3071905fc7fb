"""Fits of the seven standard families: recovery of a smooth truth, the reported
summaries, and the errors that reach Python."""

import math
import zlib

import numpy as np
import pytest

import vorsk

N = 500
X = np.linspace(0.0, 1.0, N).reshape(N, 1)
F = np.sin(2 * np.pi * X[:, 0])


def draw(family, rng):
    """Response of `family` whose mean on the link scale is a + b·sin(2πx)."""
    if family == "gaussian":
        eta = F
        return eta, eta + rng.normal(0, 0.2, N)
    if family in ("bernoulli", "quasibinomial"):
        eta = 1.5 * F
        return eta, (rng.uniform(size=N) < 1 / (1 + np.exp(-eta))).astype(float)
    if family in ("poisson", "quasipoisson"):
        eta = 1.5 + F
        return eta, rng.poisson(np.exp(eta)).astype(float)
    if family == "gamma":
        eta = 0.5 + 0.5 * F
        shape = 10.0
        return eta, rng.gamma(shape, np.exp(eta) / shape)
    if family == "inverse_gaussian":
        eta = 0.3 * F
        return eta, rng.wald(np.exp(eta), 20.0)
    raise AssertionError(family)


# family, design, tolerance on the RMS error of η̂ against the truth
RECOVERY = [
    ("gaussian", "cr", 0.05),
    ("gaussian", "cr_stable", 0.05),
    ("bernoulli", "cr", 0.5),
    ("quasibinomial", "cr", 0.5),
    ("poisson", "cr", 0.06),
    ("poisson", "cr_stable", 0.06),
    ("quasipoisson", "cr", 0.06),
    ("gamma", "cr", 0.08),
    ("inverse_gaussian", "cr", 0.08),
]


@pytest.mark.parametrize("family, design, tol", RECOVERY, ids=[f"{f}-{d}" for f, d, _ in RECOVERY])
def test_smooth_truth_is_recovered(family, design, tol):
    rng = np.random.default_rng(zlib.crc32(f"{family}-{design}".encode()))
    eta, y = draw(family, rng)
    model = vorsk.fit(family, X, y, design=design)
    assert model.converged
    assert 0 < model.n_iters < 50
    rms = math.sqrt(np.mean((model.predict(X) - eta) ** 2))
    assert rms < tol
    assert 2.0 < model.edf_total < 10.0
    assert math.isfinite(model.reml_value)
    assert model.edf_per_term[0] == pytest.approx(model.edf_total - 1, rel=1e-9)


def test_dispersion_of_poisson_and_quasipoisson():
    rng = np.random.default_rng(11)
    _, y = draw("poisson", rng)
    poisson = vorsk.fit("poisson", X, y)
    quasi = vorsk.fit("quasipoisson", X, y)
    assert poisson.scale == 1.0
    assert quasi.scale == pytest.approx(1.0, abs=0.15)


def test_random_effect_fit_shrinks_level_means():
    rng = np.random.default_rng(5)
    groups = np.repeat(np.arange(8.0), 25)
    effects = rng.normal(0, 1.0, 8)
    y = 2.0 + effects[groups.astype(int)] + rng.normal(0, 0.5, groups.size)
    model = vorsk.fit("gaussian", groups.reshape(-1, 1), y, design="re")
    assert model.beta.shape == (9,)
    assert model.converged
    fitted = model.predict(np.arange(8.0).reshape(8, 1))
    means = np.array([y[groups == g].mean() for g in range(8)])
    # Shrinkage toward the grand mean: each fitted level lies between its mean and the intercept region.
    assert np.all(np.abs(fitted - y.mean()) <= np.abs(means - y.mean()) + 1e-9)
    np.testing.assert_allclose(fitted, means, atol=0.1)
    assert model.predict(np.array([[2.5]]))[0] == model.beta[0]


def test_prior_weights_equal_replication():
    rng = np.random.default_rng(9)
    _, y = draw("poisson", rng)
    idx = np.arange(0, N, 2)
    weighted = vorsk.fit("poisson", X[idx], y[idx], weights=np.full(idx.size, 2.0))
    doubled = vorsk.fit("poisson", np.repeat(X[idx], 2, axis=0), np.repeat(y[idx], 2))
    np.testing.assert_allclose(weighted.beta, doubled.beta, rtol=1e-6, atol=1e-8)
    np.testing.assert_allclose(weighted.rho, doubled.rho, rtol=1e-5, atol=1e-6)


def test_gaussian_with_as_many_rows_as_unpenalised_directions():
    x = np.array([[0.0], [1.0]])
    model = vorsk.fit("gaussian", x, np.array([1.0, 3.0]))
    assert math.isnan(model.scale)
    assert np.all(np.isnan(model.vcov()))
    assert model.reml_value == 1e12
    assert model.n_iters == 0
    np.testing.assert_array_equal(model.rho, [0.0])


def test_zero_weights_leave_a_singular_system():
    rng = np.random.default_rng(2)
    _, y = draw("poisson", rng)
    with pytest.raises(RuntimeError) as info:
        vorsk.fit("poisson", X, y, weights=np.zeros(N))
    assert str(info.value).startswith(
        "singular system: PIRLS factor: Cholesky failed: Computational failure in LAPACK subroutine: return_code = "
    )


def test_nan_response_of_a_log_link_family_does_not_crash():
    y = np.exp(F)
    y[7] = math.nan
    try:
        model = vorsk.fit("poisson", X, y)
    except (ValueError, RuntimeError):
        return
    assert isinstance(model, vorsk.FittedGam)


def test_inputs_are_not_modified():
    rng = np.random.default_rng(1)
    _, y = draw("gamma", rng)
    x, yc, w = X.copy(), y.copy(), np.ones(N)
    vorsk.fit("gamma", x, yc, weights=w)
    np.testing.assert_array_equal(x, X)
    np.testing.assert_array_equal(yc, y)
    np.testing.assert_array_equal(w, 1.0)
