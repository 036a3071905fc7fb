"""The Python entry `fit`: module contents, argument binding and conversion, and the
order in which a request is checked."""

import inspect
import math
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorsk
from vorsk import _vorsk_native as native

FIT_PARAMS = [
    ("family_name", inspect.Parameter.empty),
    ("x", inspect.Parameter.empty),
    ("y", inspect.Parameter.empty),
    ("weights", None),
    ("k", 10),
    ("design", "cr"),
    ("theta", None),
    ("nu", None),
    ("sigma2", None),
    ("tweedie_p", None),
    ("tweedie_phi", None),
    ("r", None),
    ("tau", None),
    ("elf_sigma", None),
    ("elf_lambda", None),
]


def test_module_registers_exactly_its_three_members_in_order():
    public = [name for name in vars(native) if not name.startswith("__")]
    assert public == ["FittedGam", "fit", "fit_additive"]
    assert vorsk.fit is native.fit
    assert vorsk.fit_additive is native.fit_additive
    assert vorsk.FittedGam is native.FittedGam
    assert native.FittedGam.__module__ == "vorsk._vorsk_native"
    assert native.FittedGam.__name__ == "FittedGam"


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3})], ids=["bare", "with-arguments"])
def test_fittedgam_cannot_be_constructed(args, kwargs):
    with pytest.raises(TypeError, match=r"^cannot create 'vorsk\._vorsk_native\.FittedGam' instances$"):
        native.FittedGam(*args, **kwargs)


def test_a_sub_interpreter_cannot_load_the_module():
    code = textwrap.dedent(
        """
        import sys
        import vorsk
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            sys.exit(3)
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import vorsk._vorsk_native")
        except Exception as exc:
            print(exc)
            sys.exit(0)
        sys.exit(1)
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          cwd=os.path.dirname(__file__))
    if done.returncode == 3:
        pytest.skip("this interpreter has no sub-interpreter module")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "ImportError" in done.stdout and "main interpreter" in done.stdout


def test_text_signatures():
    sig = inspect.signature(vorsk.fit)
    assert [(p.name, p.default) for p in sig.parameters.values()] == FIT_PARAMS
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    sig = inspect.signature(vorsk.fit_additive)
    assert [(p.name, p.default) for p in sig.parameters.values()] == [
        ("family_name", inspect.Parameter.empty),
        ("x", inspect.Parameter.empty),
        ("y", inspect.Parameter.empty),
        ("terms", inspect.Parameter.empty),
        ("weights", None),
    ]
    for name in ("gaussian", "inverse.gaussian", "tweedie_p", "cr_stable"):
        assert name in vorsk.fit.__doc__


X = np.linspace(0.0, 1.0, 30).reshape(30, 1)
Y = np.sin(X[:, 0])


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("gaussian", X), {}, "fit() missing 1 required positional argument: 'y'"),
        (("gaussian",), {}, "fit() missing 2 required positional arguments: 'x' and 'y'"),
        ((), {}, "fit() missing 3 required positional arguments: 'family_name', 'x', and 'y'"),
        (("gaussian", X, Y) + (None,) * 13, {}, "fit() takes from 3 to 15 positional arguments but 16 were given"),
        (("gaussian", X, Y), {"x": X}, "fit() got multiple values for argument 'x'"),
        (("gaussian", X, Y), {"kk": 3}, "fit() got an unexpected keyword argument 'kk'"),
    ],
    ids=["missing-one", "missing-two", "missing-three", "surplus", "duplicate", "unexpected"],
)
def test_binding_errors_use_the_interpreter_wording(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        vorsk.fit(*args, **kwargs)
    assert str(info.value) == message


GOOD = {"family_name": "gaussian", "x": X, "y": Y}


@pytest.mark.parametrize(
    "changes, exception, argument",
    [
        ({"family_name": b"gaussian"}, TypeError, "family_name"),
        ({"x": X[:, 0]}, TypeError, "x"),
        ({"x": X.tolist()}, TypeError, "x"),
        ({"x": X.astype(np.int64)}, TypeError, "x"),
        ({"x": X.astype(np.float32)}, TypeError, "x"),
        ({"x": X.reshape(30, 1, 1)}, TypeError, "x"),
        ({"y": Y.reshape(30, 1)}, TypeError, "y"),
        ({"y": list(Y)}, TypeError, "y"),
        ({"weights": [1.0] * 30}, TypeError, "weights"),
        ({"weights": np.ones(30, dtype=np.int64)}, TypeError, "weights"),
        ({"k": -1}, OverflowError, "k"),
        ({"k": 2**64}, OverflowError, "k"),
        ({"k": 3.0}, TypeError, "k"),
        ({"k": None}, TypeError, "k"),
        ({"design": None}, TypeError, "design"),
        ({"design": 1}, TypeError, "design"),
        ({"theta": "2"}, TypeError, "theta"),
        ({"tweedie_phi": [1.0]}, TypeError, "tweedie_phi"),
        ({"r": -1}, OverflowError, "r"),
        ({"r": 3.5}, TypeError, "r"),
        ({"elf_lambda": "x"}, TypeError, "elf_lambda"),
        # The first failing conversion in parameter order wins.
        ({"y": "bad", "k": -1, "theta": "2"}, TypeError, "y"),
        ({"k": "bad", "x": X[:, 0]}, TypeError, "x"),
    ],
)
def test_conversion_errors_name_the_argument(changes, exception, argument):
    with pytest.raises(exception) as info:
        vorsk.fit(**{**GOOD, **changes})
    assert type(info.value) is exception
    assert f"'{argument}'" in str(info.value)


class Index:
    def __index__(self):
        return 5


class Real:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "kwargs, message",
    [
        # None means "absent" for the float parameters and r; integers and __index__ objects
        # are accepted where integers or floats are expected.
        ({"family_name": "negbin", "theta": None}, "fitting the NegBin family is not available yet"),
        ({"family_name": "negbin", "theta": 3}, "fitting the NegBin family is not available yet"),
        ({"family_name": "negbin", "theta": Real()}, "fitting the NegBin family is not available yet"),
        ({"family_name": "ocat", "r": Index()}, "fitting the Ocat family is not available yet"),
        ({"family_name": "gaussian", "k": Index()}, None),
        ({"family_name": "gaussian", "k": np.int64(6), "r": None}, None),
        ({"family_name": "gaussian", "k": True + 3}, None),
        # Arguments a family does not read are ignored.
        ({"family_name": "gaussian", "theta": -1.0, "design": "re", "k": 0}, None),
    ],
)
def test_accepted_conversions(kwargs, message):
    if message is None:
        model = vorsk.fit(x=X, y=Y, **kwargs)
        assert isinstance(model, vorsk.FittedGam)
        return
    with pytest.raises(ValueError) as info:
        vorsk.fit(x=X, y=Y, **kwargs)
    assert str(info.value) == message


def test_strided_and_reversed_views_are_read_in_place():
    wide = np.column_stack([X[:, 0], np.full(30, 7.0), X[:, 0] ** 2])
    for x in (wide[:, ::2], wide[::-1], np.asfortranarray(wide), wide[::3]):
        y = np.asfortranarray(np.column_stack([Y[: x.shape[0]], Y[: x.shape[0]]]))[:, 1]
        model = vorsk.fit("poisson", x, np.abs(y))
        reference = vorsk.fit("poisson", np.ascontiguousarray(x), np.ascontiguousarray(np.abs(y)))
        np.testing.assert_array_equal(model.beta, reference.beta)
    before = wide.copy()
    vorsk.fit("gaussian", wide, Y, weights=np.ones(30))
    np.testing.assert_array_equal(wide, before)
