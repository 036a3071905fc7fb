"""The order in which `fit` checks a request, and every message on the way."""

import math

import numpy as np
import pytest

import vorsk

N = 40
X = np.linspace(0.0, 1.0, N).reshape(N, 1)
Y = 1.0 + X[:, 0]
SHORT_Y = Y[:-1]
NEG_Y = Y.copy()
NEG_Y[3] = -1.0
NAN_Y = Y.copy()
NAN_Y[1] = math.nan
UNKNOWN = (
    "unknown family {}; supported: gaussian, bernoulli, poisson, quasipoisson, quasibinomial, "
    "gamma, inverse_gaussian, negbin, tdist, tweedie, ocat, elf"
)
ROWS = "x and y must have the same number of rows; got x.nrows()=40, y.len()=39"
WEIGHTS = "prior_weights length must match x rows; got weights.len()=3, x.nrows()=40"
DESIGN = "design must be 'cr', 're', or 'cr_stable'; got {}"


def stub(display):
    return f"fitting the {display} family is not available yet"


CASES = [
    # family name first, exact and case-sensitive; aliases are not listed in the message
    ("Gaussian", {}, UNKNOWN.format("Gaussian")),
    ("gaussian ", {}, UNKNOWN.format("gaussian ")),
    ("", {}, UNKNOWN.format("")),
    ("xyz", {"design": "bad", "y": SHORT_Y}, UNKNOWN.format("xyz")),
    # the design name, then the design itself, before any data check of a standard family
    ("gaussian", {"design": "CR"}, DESIGN.format("CR")),
    ("poisson", {"design": "cr ", "y": NEG_Y}, DESIGN.format("cr ")),
    ("gaussian", {"k": 2, "y": SHORT_Y}, "CR spline needs k ≥ 3 (got 2)"),
    ("gaussian", {"k": 1}, "CR spline needs k ≥ 3 (got 1)"),
    ("gaussian", {"k": 0, "design": "cr_stable"}, "CR spline needs k ≥ 3 (got 0)"),
    ("gaussian", {"k": 10**12}, "CR spline needs k ≤ 10000 (got 1000000000000)"),
    ("gaussian", {"x": np.ones((N, 1))}, "CR spline knots must be strictly increasing"),
    ("gaussian", {"x": np.where(X == 1.0, math.nan, X)}, "CR spline knots must be strictly increasing"),
    ("gaussian", {"x": np.where(X == 1.0, math.inf, X)}, "CR spline knots must be finite"),
    ("poisson", {"x": np.where(X == 0.0, -math.inf, X), "design": "cr_stable"}, "CR spline knots must be finite"),
    ("gaussian", {"x": np.empty((0, 1)), "y": np.empty(0), "design": "re"}, "Re basis: x is empty"),
    ("gaussian", {"x": np.empty((N, 0))}, "x has 0 columns; a single-smooth fit reads column 0"),
    # route A: rows, weights, then the response range of the family
    ("gaussian", {"y": SHORT_Y}, ROWS),
    ("bernoulli", {"y": SHORT_Y, "weights": np.ones(3)}, ROWS),
    ("binomial", {"weights": np.ones(3), "y": NAN_Y}, WEIGHTS),
    ("poisson", {"y": NEG_Y}, "Poisson requires y ≥ 0; got y=-1 at row 3"),
    ("quasipoisson", {"y": NEG_Y}, "QuasiPoisson requires y ≥ 0; got y=-1 at row 3"),
    ("bernoulli", {"y": NAN_Y * 0.5}, "Bernoulli requires y in [0, 1]; got y=NaN at row 1"),
    ("quasibinomial", {"y": np.where(np.arange(N) == 5, 1.5, 0.5)}, "QuasiBinomial requires y in [0, 1]; got y=1.5 at row 5"),
    ("gamma", {"y": Y - 1.0}, "Gamma requires y > 0; got y=0 at row 0"),
    ("inverse.gaussian", {"y": -Y}, "InverseGaussian requires y > 0; got y=-1 at row 0"),
    # a NaN response passes the y ≥ 0 and y > 0 tests (what the fit then does is not a check)
    ("quasibinomial", {"y": Y * 0.4, "design": "re"}, None),
    ("gamma", {"y": Y, "design": "cr_stable", "weights": np.ones(N)}, None),
    # negbin: theta ≤ 0 before the design; NaN and inf only after the row checks
    ("negbin", {"theta": 0.0, "design": "bad"}, "negbin theta must be > 0; got theta=0"),
    ("nb", {"theta": -math.inf}, "negbin theta must be > 0; got theta=-inf"),
    ("negbin", {"theta": math.nan, "design": "bad"}, DESIGN.format("bad")),
    ("negbin", {"theta": math.nan, "y": SHORT_Y}, ROWS),
    ("negbin", {"theta": math.nan}, "NegBin overdispersion init_theta must be a positive finite scalar (small θ → high variance, large θ → Poisson limit); got init_theta=NaN"),
    ("negbin", {"theta": math.inf}, "NegBin overdispersion init_theta must be a positive finite scalar (small θ → high variance, large θ → Poisson limit); got init_theta=inf"),
    ("negbin", {"y": NEG_Y}, "NegBin requires y ≥ 0; got y=-1 at row 3"),
    ("negbin", {"y": NAN_Y, "theta": 0.5}, stub("NegBin")),
    # tdist: its checks all come after the design and the row checks
    ("tdist", {"nu": 2.0, "design": "bad"}, DESIGN.format("bad")),
    ("tdist", {"nu": 2.0, "y": SHORT_Y}, ROWS),
    ("tdist", {"nu": 2.0}, "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=2"),
    ("scat", {"nu": math.inf}, "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=inf"),
    ("tdist", {"nu": math.nan}, "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=NaN"),
    ("tdist", {"sigma2": 0.0}, "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=0"),
    ("tdist", {"sigma2": math.inf, "nu": 1.0}, "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=1"),
    ("tdist", {"y": NEG_Y, "nu": 2.5}, stub("TDist")),
    # tweedie: p before the design, phi after the rows
    ("tweedie", {"tweedie_p": 1.0, "design": "bad"}, "tweedie p must be in (1, 2); got tweedie_p=1"),
    ("tw", {"tweedie_p": 2}, "tweedie p must be in (1, 2); got tweedie_p=2"),
    ("tweedie", {"tweedie_p": math.nan}, "tweedie p must be in (1, 2); got tweedie_p=NaN"),
    ("tweedie", {"tweedie_phi": 0.0, "y": SHORT_Y}, ROWS),
    ("tweedie", {"tweedie_phi": 0.0}, "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=0"),
    ("tweedie", {"y": NEG_Y}, "Tweedie requires y ≥ 0; got y=-1 at row 3"),
    ("tweedie", {"tweedie_p": 1.25, "design": "re"}, stub("Tweedie")),
    # elf: tau before the design; sigma and lambda are not checked here
    ("elf", {"tau": 0.0, "design": "bad"}, "elf/quantile tau must be in (0, 1); got tau=0"),
    ("quantile", {"tau": 1}, "elf/quantile tau must be in (0, 1); got tau=1"),
    ("elf", {"tau": 0.9, "y": SHORT_Y}, ROWS),
    ("elf", {"elf_sigma": -1.0, "y": NEG_Y}, stub("ELF")),
    # ocat: r before anything else
    ("ocat", {"design": "bad"}, "family='ocat' requires r=K (number of ordered categories, K >= 3)"),
    ("ocat", {"r": 2, "design": "bad"}, "ocat requires r >= 3, got r=2"),
    ("ocat", {"r": 3}, stub("Ocat")),
]


@pytest.mark.parametrize("family, changes, message", CASES, ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_request_checks_in_order(family, changes, message):
    kwargs = {"x": X, "y": Y, **changes}
    if message is None:  # every check passes and the fit runs
        assert isinstance(vorsk.fit(family, **kwargs), vorsk.FittedGam)
        return
    with pytest.raises(ValueError) as info:
        vorsk.fit(family, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "value, text",
    [(2.5, "2.5"), (1e-7, "0.0000001"), (3e20, "300000000000000000000"),
     (0.1 + 0.2, "0.30000000000000004"), (-0.5, "-0.5"), (10**22, "10000000000000000000000")],
)
def test_numbers_in_messages_use_shortest_plain_decimals(value, text):
    with pytest.raises(ValueError) as info:
        vorsk.fit("tweedie", X, Y, tweedie_p=value)
    assert str(info.value) == f"tweedie p must be in (1, 2); got tweedie_p={text}"


def test_embedded_nul_in_a_name_is_echoed_whole():
    with pytest.raises(ValueError) as info:
        vorsk.fit("gauss\0ian", X, Y)
    assert str(info.value) == UNKNOWN.format("gauss\0ian")


def test_impossible_allocation_is_a_memory_error():
    # A zero-stride view of 10^10 rows costs nothing to pass but cannot be copied.
    huge = 10**10
    x = np.broadcast_to(np.zeros((1, 1)), (huge, 1))
    y = np.broadcast_to(np.zeros(1), (huge,))
    with pytest.raises(MemoryError):
        vorsk.fit("gaussian", x, y)
