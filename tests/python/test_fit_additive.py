"""`fit_additive`: term parsing, the family restriction, and additive fits with tensor terms."""

import inspect
import math

import numpy as np
import pytest

import vorsk

RNG = np.random.default_rng(42)
N = 400
X3 = RNG.uniform(0.0, 1.0, (N, 3))
Y = np.sin(2 * np.pi * X3[:, 0]) + (X3[:, 1] - 0.5) ** 2 + RNG.normal(0, 0.2, N)
SHAPE = (
    "fit_additive: family {0} is shape-managed and restricted to single-smooth in 94b; use "
    "vorsk.fit(family={0}, …) or wait for multi-smooth shape-aware support. Supported additive "
    "families: gaussian, bernoulli/binomial, poisson, quasipoisson, quasibinomial, gamma, inverse_gaussian"
)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "terms, exception, message",
    [
        ([], ValueError, "fit_additive: terms list must be non-empty"),
        ([[0, "cr", 5]], ValueError, "fit_additive: term 0 must be a tuple; got [0, 'cr', 5]"),
        ([(0, "cr"), "cr"], ValueError, "fit_additive: term 1 must be a tuple; got 'cr'"),
        ([(0,)], ValueError, "fit_additive: term 0 tuple must have at least 2 elements"),
        ([(0, 5)], TypeError, "'terms[0][1]'"),
        ([(0, "CR", 5)], ValueError, "fit_additive: term 0 basis must be 'cr', 'cr_stable', 're', or 'te'; got CR"),
        ([("a", "cr", 5)], ValueError, "fit_additive: univariate term 0 first element must be an integer column index"),
        ([("a", "xx")], ValueError, "fit_additive: univariate term 0 first element must be an integer column index"),
        ([(-1, "cr", 5)], ValueError, "fit_additive: univariate term 0 first element must be an integer column index"),
        ([(2**64, "re")], ValueError, "fit_additive: univariate term 0 first element must be an integer column index"),
        ([(0, "cr", "5")], TypeError, "'terms[0][2]'"),
        ([(0, "cr", -5)], OverflowError, "'terms[0][2]'"),
        ([(0, "te", (5, 5))], ValueError, "fit_additive: tensor term 0 first element must be a (col_a, col_b) tuple"),
        ([((0, 1, 2), "te", (5, 5))], ValueError, "fit_additive: tensor term 0 cols tuple must have exactly 2 elements"),
        ([((0, 1), "te", 5)], ValueError, "fit_additive: tensor term 0 k must be a (k_a, k_b) tuple"),
        ([((0, 1), "te", (5,))], ValueError, "fit_additive: tensor term 0 k tuple must have exactly 2 elements"),
        ([((0, "b"), "te")], TypeError, "'terms[0][0]'"),
        ([((0, -1), "te")], OverflowError, "'terms[0][0]'"),
        ([((0, 1), "te", (5, None))], TypeError, "'terms[0][2]'"),
        # The first bad entry wins; terms are checked before the family.
        ([(0, "cr"), (0, "CR")], ValueError, "fit_additive: term 1 basis must be 'cr', 'cr_stable', 're', or 'te'; got CR"),
    ],
)
def test_term_parsing_errors(terms, exception, message):
    with pytest.raises(exception) as info:
        vorsk.fit_additive("negbin", X3, Y, terms)
    assert type(info.value) is exception
    if message.startswith("'"):
        assert message in str(info.value)
    else:
        assert str(info.value) == message


def test_argument_conversion():
    with pytest.raises(TypeError, match="'terms'"):
        vorsk.fit_additive("gaussian", X3, Y, ((0, "cr"),))
    with pytest.raises(TypeError, match="'x'"):
        vorsk.fit_additive("gaussian", X3[:, 0], Y, [(0, "cr")])
    with pytest.raises(TypeError, match="'weights'"):
        vorsk.fit_additive("gaussian", X3, Y, [(0, "cr")], weights=[1.0] * N)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'terms'"):
        vorsk.fit_additive("gaussian", X3, Y)
    assert list(inspect.signature(vorsk.fit_additive).parameters) == ["family_name", "x", "y", "terms", "weights"]


@pytest.mark.parametrize("name", ["negbin", "tdist", "ocat", "elf", "quantile", "xyz", "Gaussian"])
def test_shape_managed_and_unknown_families_are_refused_before_the_design(name):
    with pytest.raises(ValueError) as info:
        vorsk.fit_additive(name, X3, Y[:10], [(7, "cr", 2)])
    assert str(info.value) == SHAPE.format(name)


@pytest.mark.parametrize(
    "terms, y, message",
    [
        ([(0, "cr"), (5, "cr")], Y[:10], "Additive term 1 reads column 5 but x has only 3 columns"),
        ([((0, 3), "te")], Y, "Additive term 0 reads column 3 but x has only 3 columns"),
        ([((1, 1), "te", (5, 5))], Y[:10], "Tensor term must have distinct margin columns (got col_a == col_b == 1)"),
        ([(0, "cr", 2)], Y[:10], "CR spline needs k ≥ 3 (got 2)"),
        ([((0, 1), "te", (2, 5))], Y, "CR spline needs k ≥ 3 (got 2)"),
        ([(0, "cr")], Y[:10], "x and y must have the same number of rows; got x.nrows()=400, y.len()=10"),
    ],
)
def test_design_errors_come_before_row_checks(terms, y, message):
    with pytest.raises(ValueError) as info:
        vorsk.fit_additive("gaussian", X3, y, terms)
    assert str(info.value) == message


def test_accepted_term_forms():
    # k defaults to 10; a third element of an re term is not read; __index__ objects work.
    model = vorsk.fit_additive("gaussian", X3, Y, [(Index(0), "cr"), (1, "cr_stable", Index(6))])
    assert model.term_col_ranges() == [(1, 10), (10, 15)]
    groups = np.floor(X3[:, 2] * 4)
    x = np.column_stack([X3[:, 0], groups])
    model = vorsk.fit_additive("gaussian", x, Y, [(0, "cr", 5), (1, "re", "ignored")])
    assert model.term_col_ranges() == [(1, 5), (5, 9)]
    model = vorsk.fit_additive("gaussian", X3, Y, [((0, 1), "te")])
    assert model.term_col_ranges() == [(1, 100)]
    assert model.rho.shape == (2,)


def additive_truth(x):
    return np.sin(2 * np.pi * x[:, 0]), 2.0 * (x[:, 1] - 0.5) ** 2


def partial(model, x, term):
    first, last = model.term_col_ranges()[term]
    lp = model.evaluate_lpmatrix(x)
    return lp[:, first:last] @ model.beta[first:last]


def test_two_smooths_are_recovered_up_to_a_constant():
    rng = np.random.default_rng(8)
    x = rng.uniform(0, 1, (800, 2))
    f1, f2 = additive_truth(x)
    y = f1 + f2 + rng.normal(0, 0.2, 800)
    model = vorsk.fit_additive("gaussian", x, y, [(0, "cr", 10), (1, "cr", 10)])
    assert model.converged
    for term, truth in enumerate((f1, f2)):
        est = partial(model, x, term)
        err = (est - est.mean()) - (truth - truth.mean())
        assert math.sqrt(np.mean(err**2)) < 0.06
    assert sum(model.edf_per_term) == pytest.approx(model.edf_total - 1, rel=1e-9)
    np.testing.assert_allclose(model.predict(x), model.evaluate_lpmatrix(x) @ model.beta, rtol=1e-12, atol=1e-12)


def test_lpmatrix_concatenates_the_single_term_blocks():
    terms = [(0, "cr", 6), (1, "cr_stable", 5), (2, "re")]
    x = X3.copy()
    x[:, 2] = np.floor(x[:, 2] * 3)
    model = vorsk.fit_additive("gaussian", x, Y, terms)
    lp = model.evaluate_lpmatrix(x)
    blocks = [vorsk.fit("gaussian", x[:, [c]], Y, k=k, design=d).evaluate_lpmatrix(x[:, [c]])[:, 1:]
              for c, d, k in [(0, "cr", 6), (1, "cr_stable", 5), (2, "re", 10)]]
    np.testing.assert_array_equal(lp, np.column_stack([np.ones(N)] + blocks))


def test_single_cr_term_matches_fit():
    model = vorsk.fit_additive("poisson", X3, np.floor(np.exp(Y)), [(0, "cr", 8)])
    single = vorsk.fit("poisson", X3[:, :1], np.floor(np.exp(Y)), k=8)
    np.testing.assert_array_equal(model.beta, single.beta)
    np.testing.assert_array_equal(model.rho, single.rho)
    assert model.term_col_ranges() == [(1, 8)] == single.term_col_ranges()


def test_tensor_term_without_interaction_stops_at_a_finite_rho():
    rng = np.random.default_rng(10)
    x = rng.uniform(0, 1, (600, 2))
    f1, f2 = additive_truth(x)
    y = f1 + f2 + rng.normal(0, 0.2, 600)
    model = vorsk.fit_additive("gaussian", x, y, [((0, 1), "te", (5, 5))])
    assert model.converged
    assert np.all(np.isfinite(model.rho)) and np.all(np.abs(model.rho) < 25)
    assert model.edf_per_term.shape == (2,)
    assert sum(model.edf_per_term) == pytest.approx(model.edf_total - 1, rel=1e-9)
    assert model.edf_total < 25


def test_four_penalties_with_a_tensor_term():
    rng = np.random.default_rng(12)
    x = rng.uniform(0, 1, (600, 4))
    y = np.sin(2 * np.pi * x[:, 0]) + x[:, 1] + np.sin(np.pi * x[:, 2] * x[:, 3]) + rng.normal(0, 0.2, 600)
    model = vorsk.fit_additive("gaussian", x, y, [(0, "cr", 8), (1, "cr", 8), ((2, 3), "te", (4, 4))])
    for name in ("rho", "lambda", "edf_per_term"):
        assert getattr(model, name).shape == (4,)
    assert sum(model.edf_per_term) == pytest.approx(model.edf_total - 1, rel=1e-9)
    assert model.term_col_ranges() == [(1, 8), (8, 15), (15, 30)]
    lp = model.evaluate_lpmatrix(x)
    np.testing.assert_allclose(lp[:, 15:30].sum(axis=0), 0.0, atol=1e-8)


@pytest.mark.parametrize("family", ["bernoulli", "poisson", "gamma"])
def test_additive_fits_of_other_families(family):
    rng = np.random.default_rng(13)
    x = rng.uniform(0, 1, (600, 3))
    f1, f2 = additive_truth(x[:, 1:])
    eta = 0.3 + 0.8 * f1 + f2 + 0.3 * np.cos(2 * np.pi * x[:, 0])
    if family == "bernoulli":
        y = (rng.uniform(size=600) < 1 / (1 + np.exp(-eta))).astype(float)
    elif family == "poisson":
        y = rng.poisson(np.exp(eta)).astype(float)
    else:
        y = rng.gamma(8.0, np.exp(eta) / 8.0)
    model = vorsk.fit_additive(family, x, y, [(0, "cr", 8), ((1, 2), "te", (4, 4))])
    assert model.converged
    assert model.rho.shape == (3,)
    assert math.isfinite(model.reml_value)


def test_prediction_with_too_few_columns():
    model = vorsk.fit_additive("gaussian", X3, Y, [(0, "cr", 5), (1, "cr", 5)])
    with pytest.raises(ValueError) as info:
        model.predict(X3[:, :1])
    assert str(info.value) == "AdditivePredictor: term 1 expects column 1 but x has only 1 columns"


def test_tensor_sharing_a_column_with_a_spline_is_not_identifiable():
    # Both blocks leave the linear trend of column 0 unpenalised.
    with pytest.raises(RuntimeError, match=r"^singular system: "):
        vorsk.fit_additive("gaussian", X3, Y, [(0, "cr", 8), ((0, 1), "te", (4, 4))])
