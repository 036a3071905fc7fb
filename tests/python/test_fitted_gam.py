"""The FittedGam object: properties, methods, intervals and their argument checks."""

import inspect
import math

import numpy as np
import pytest

import vorsk


@pytest.fixture(scope="module")
def gaussian_model():
    rng = np.random.default_rng(3)
    n = 300
    x = np.sort(rng.uniform(0, 1, n)).reshape(n, 1)
    y = np.sin(2 * np.pi * x[:, 0]) + rng.normal(0, 0.3, n)
    return vorsk.fit("gaussian", x, y, k=10), x, y


@pytest.fixture(scope="module")
def logit_model():
    rng = np.random.default_rng(4)
    n = 400
    x = np.sort(rng.uniform(0, 1, n)).reshape(n, 1)
    p = 1 / (1 + np.exp(-2 * np.sin(2 * np.pi * x[:, 0])))
    y = (rng.uniform(size=n) < p).astype(float)
    return vorsk.fit("bernoulli", x, y), x, y


def test_properties_are_typed_fresh_copies(gaussian_model):
    model, x, y = gaussian_model
    assert isinstance(model, vorsk.FittedGam)
    for name, size in [("beta", 10), ("rho", 1), ("lambda", 1), ("edf_per_term", 1), ("shape_params", 0)]:
        value = getattr(model, name)
        assert isinstance(value, np.ndarray) and value.dtype == np.float64 and value.shape == (size,)
    assert isinstance(model.scale, float) and isinstance(model.edf_total, float)
    assert isinstance(model.reml_value, float)
    assert isinstance(model.n, int) and model.n == x.shape[0]
    assert isinstance(model.n_iters, int) and isinstance(model.converged, bool)
    np.testing.assert_array_equal(getattr(model, "lambda"), np.exp(model.rho))
    assert model.edf_per_term[0] == pytest.approx(model.edf_total - 1, rel=1e-10)

    beta = model.beta
    beta[:] = 0.0
    assert np.any(model.beta != 0.0)
    v = model.vcov()
    v[:] = 0.0
    assert np.any(model.vcov() != 0.0)
    with pytest.raises(AttributeError):
        model.beta = beta


def test_methods_agree_with_each_other(gaussian_model, logit_model):
    model, x, _ = gaussian_model
    lp = model.evaluate_lpmatrix(x)
    assert lp.shape == (x.shape[0], 10)
    np.testing.assert_array_equal(lp[:, 0], 1.0)
    np.testing.assert_allclose(lp[:, 1:].sum(axis=0), 0.0, atol=1e-9)
    np.testing.assert_allclose(model.predict(x), lp @ model.beta, rtol=1e-13, atol=1e-13)
    np.testing.assert_array_equal(model.predict_response(x), model.predict(x))
    v = model.vcov()
    assert v.shape == (10, 10)
    np.testing.assert_allclose(v, v.T, rtol=1e-12, atol=1e-15)
    assert model.term_col_ranges() == [(1, 10)]

    logit, xl, _ = logit_model
    eta = logit.predict(xl)
    np.testing.assert_allclose(logit.predict_response(xl), 1 / (1 + np.exp(-eta)), rtol=1e-14)


def test_predict_ci(gaussian_model, logit_model):
    model, x, _ = gaussian_model
    mean, lo, hi = model.predict_ci(x)
    np.testing.assert_array_equal(mean, model.predict(x))
    lp = model.evaluate_lpmatrix(x)
    se = np.sqrt(np.einsum("ij,jk,ik->i", lp, model.vcov(), lp))
    np.testing.assert_allclose(hi - mean, 1.959963984540054 * se, rtol=1e-6)
    np.testing.assert_allclose(mean - lo, hi - mean, rtol=1e-12)
    m90, lo90, hi90 = model.predict_ci(x, level=0.9, scale="link")
    assert np.all(hi90 - lo90 < hi - lo)

    logit, xl, _ = logit_model
    mean_r, lo_r, hi_r = logit.predict_ci(xl)
    mean_l, lo_l, hi_l = logit.predict_ci(xl, 0.95, "link")
    np.testing.assert_allclose(mean_r, 1 / (1 + np.exp(-mean_l)), rtol=1e-14)
    np.testing.assert_allclose(lo_r, 1 / (1 + np.exp(-lo_l)), rtol=1e-14)
    assert np.all((lo_r <= mean_r) & (mean_r <= hi_r))


@pytest.mark.parametrize(
    "kwargs, exception, message",
    [
        ({"scale": "LINK"}, ValueError, "scale must be 'link' or 'response', got LINK"),
        ({"scale": "LINK", "level": 2.0}, ValueError, "scale must be 'link' or 'response', got LINK"),
        ({"level": 1.0}, ValueError, "level must be in (0, 1); got level=1"),
        ({"level": 0}, ValueError, "level must be in (0, 1); got level=0"),
        ({"level": math.nan}, ValueError, "level must be in (0, 1); got level=NaN"),
        ({"level": math.nextafter(1.0, 0.0)}, ValueError, None),
        ({"level": None}, TypeError, "'level'"),
        ({"scale": None}, TypeError, "'scale'"),
        ({"scale": b"link"}, TypeError, "'scale'"),
    ],
)
def test_predict_ci_argument_checks(gaussian_model, kwargs, exception, message):
    model, x, _ = gaussian_model
    with pytest.raises(exception) as info:
        model.predict_ci(x, **kwargs)
    if exception is ValueError and message is not None:
        assert str(info.value) == message
    elif message is not None:
        assert message in str(info.value)
    else:
        assert "too close to 1" in str(info.value)


def test_predict_diff(gaussian_model):
    model, x, _ = gaussian_model
    xa, xb = x[:1], x[:5]
    diff, lo, hi = model.predict_diff(xa, xb)
    np.testing.assert_allclose(diff, model.predict(xa)[0] - model.predict(xb), rtol=1e-12, atol=1e-12)
    assert diff.shape == (5,)
    back, _, _ = model.predict_diff(xb, xa, level=0.5)
    np.testing.assert_allclose(back, -diff, rtol=1e-12, atol=1e-12)
    zero, zlo, zhi = model.predict_diff(xb, xb)
    np.testing.assert_array_equal(zero, 0.0)
    np.testing.assert_array_equal(zlo, 0.0)
    np.testing.assert_array_equal(zhi, 0.0)
    empty = model.predict_diff(x[:0], x[:0])
    assert all(v.shape == (0,) for v in empty)
    with pytest.raises(ValueError, match=r"^predict_diff: row counts must match or one must be 1 \(broadcast\); got a=3, b=5$"):
        model.predict_diff(x[:3], xb)
    with pytest.raises(ValueError, match=r"^level must be in \(0, 1\); got level=-1$"):
        model.predict_diff(x[:3], xb, level=-1)


def test_logit_response_never_overflows(logit_model):
    model, _, _ = logit_model
    lp = model.evaluate_lpmatrix(np.array([[0.5]]))
    # Shift the intercept so that eta = ±800 through a contrast-free check of the link.
    eta = model.predict(np.array([[0.5]]))[0]
    assert math.isfinite(eta)
    mu = model.predict_response(np.array([[1e6], [-1e6]]))
    assert np.all(np.isfinite(mu)) and np.all((mu >= 0) & (mu <= 1))
    assert lp.shape == (1, 10)


def test_method_signatures(gaussian_model):
    model, _, _ = gaussian_model
    expected = {
        "predict": ["x_new"],
        "predict_response": ["x_new"],
        "predict_ci": ["x_new", "level", "scale"],
        "predict_diff": ["x_a", "x_b", "level"],
        "evaluate_lpmatrix": ["x_new"],
        "vcov": [],
        "term_col_ranges": [],
    }
    for name, params in expected.items():
        assert list(inspect.signature(getattr(model, name)).parameters) == params
    ci = inspect.signature(model.predict_ci).parameters
    assert ci["level"].default == 0.95 and ci["scale"].default == "response"


@pytest.mark.parametrize(
    "call, exception, fragment",
    [
        (lambda m: m.predict(np.zeros(3)), TypeError, "'x_new'"),
        (lambda m: m.predict([[0.5]]), TypeError, "'x_new'"),
        (lambda m: m.predict(np.zeros((3, 1), dtype=np.float32)), TypeError, "'x_new'"),
        (lambda m: m.predict(), TypeError, "predict() missing 1 required positional argument: 'x_new'"),
        (lambda m: m.vcov(1), TypeError, "vcov() takes 0 positional arguments but 1 was given"),
        (lambda m: m.predict(np.zeros((3, 0))), ValueError, "x_new has 0 columns; the model reads column 0"),
        (lambda m: m.predict_diff(np.zeros((1, 1)), [[0.0]]), TypeError, "'x_b'"),
    ],
)
def test_method_argument_errors(gaussian_model, call, exception, fragment):
    model, _, _ = gaussian_model
    with pytest.raises(exception) as info:
        call(model)
    assert fragment in str(info.value)
