"""Saving and loading fits: the frame, its errors, hand-edited frames, and pickling."""

import copy
import inspect
import json
import math
import pickle
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorsk

RNG = np.random.default_rng(20261211)
N = 150
X = np.sort(RNG.uniform(0.0, 1.0, N)).reshape(N, 1)
F = np.sin(2 * np.pi * X[:, 0])
LEVELS = RNG.integers(0, 6, N).astype(np.float64).reshape(N, 1)
# Inside and beyond the training range, and random-effect levels never seen.
X_NEW = np.array([[-0.3], [0.0], [0.123456789], [0.5], [0.99], [1.7]])
LEVELS_NEW = np.array([[0.0], [3.0], [5.0], [2.5], [-1.0]])


FIT_NAMES = ["gaussian cr", "poisson cr_stable", "bernoulli cr", "gamma re", "quasipoisson re"]


@pytest.fixture(scope="module")
def fits():
    """Fits of several families and all three single-smooth designs, with inputs to predict at."""
    counts = RNG.poisson(np.exp(1 + F)).astype(np.float64)
    hits = (RNG.uniform(size=N) < 1 / (1 + np.exp(-2 * F))).astype(np.float64)
    return {
        "gaussian cr": (vorsk.fit("gaussian", X, F + RNG.normal(0, 0.3, N), k=8), X_NEW),
        "poisson cr_stable": (vorsk.fit("poisson", X, counts, k=7, design="cr_stable"), X_NEW),
        "bernoulli cr": (vorsk.fit("bernoulli", X, hits, k=6), X_NEW),
        "gamma re": (vorsk.fit("gamma", LEVELS, RNG.gamma(2.0, np.exp(LEVELS[:, 0] / 5)), design="re"), LEVELS_NEW),
        "quasipoisson re": (vorsk.fit("quasipoisson", LEVELS, RNG.poisson(3.0, N).astype(np.float64), design="re"),
                            LEVELS_NEW),
    }


def frame(body, version=1, length=None):
    if isinstance(body, str):
        body = body.encode()
    return b"VORSK" + struct.pack("<IQ", version, len(body) if length is None else length) + body


def body_of(model):
    return json.loads(model.serialize()[17:])


def compact(document):
    return json.dumps(document, separators=(",", ":"))


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.dtype == b.dtype and a.shape == b.shape
    assert a.tobytes() == b.tobytes()


def assert_identical(original, loaded, x_new):
    """Every property and every prediction of `loaded` is bit-for-bit that of `original`."""
    assert type(loaded) is vorsk.FittedGam
    for name in ("beta", "rho", "lambda", "edf_per_term", "shape_params", "scale", "edf_total", "reml_value"):
        same_bits(getattr(original, name), getattr(loaded, name))
    for name in ("n", "n_iters", "converged"):
        assert getattr(loaded, name) == getattr(original, name)
    same_bits(original.vcov(), loaded.vcov())
    assert loaded.term_col_ranges() == original.term_col_ranges()
    for method in ("predict", "predict_response", "evaluate_lpmatrix"):
        same_bits(getattr(original, method)(x_new), getattr(loaded, method)(x_new))
    for args in ((), (0.9, "link"), (0.5, "response")):
        for a, b in zip(original.predict_ci(x_new, *args), loaded.predict_ci(x_new, *args)):
            same_bits(a, b)
    for a, b in zip(original.predict_diff(x_new, x_new[:1]), loaded.predict_diff(x_new, x_new[:1])):
        same_bits(a, b)
    assert loaded.serialize() == original.serialize()


@pytest.mark.parametrize("name", FIT_NAMES)
def test_round_trip_is_bit_for_bit(fits, name):
    model, x_new = fits[name]
    data = model.serialize()
    assert isinstance(data, bytes) and data[:5] == b"VORSK"
    assert struct.unpack("<IQ", data[5:17]) == (1, len(data) - 17)
    assert_identical(model, vorsk.FittedGam.deserialize(data), x_new)


def test_body_layout(fits):
    model, _ = fits["gaussian cr"]
    text = model.serialize()[17:].decode()
    assert " " not in text and "\n" not in text
    document = json.loads(text)
    assert list(document) == [
        "beta", "rho", "lambda", "scale", "edf_total", "edf_per_term", "n", "n_iters",
        "converged", "reml_value", "predictor", "vcov", "link_kind", "shape_params",
    ]
    assert document["vcov"]["dim"] == [8, 8] and list(document["vcov"]) == ["v", "dim", "data"]
    assert list(document["predictor"]) == ["kind", "knots", "centring"]
    assert document["shape_params"] == {"v": 1, "dim": [0], "data": []}
    assert document["link_kind"] == "Identity"
    assert list(body_of(fits["poisson cr_stable"][0])["predictor"]) == ["kind", "knots", "centring", "reparam_v"]
    re_predictor = body_of(fits["gamma re"][0])["predictor"]
    assert re_predictor == {"kind": "re", "levels": [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]}
    assert '"levels":[0.0,1.0,2.0,3.0,4.0,5.0]' in fits["gamma re"][0].serialize().decode()


def test_pickling(fits):
    model, x_new = fits["poisson cr_stable"]
    load, args = model.__reduce__()
    assert load == vorsk.FittedGam.deserialize
    assert args == (model.serialize(),)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert_identical(model, pickle.loads(pickle.dumps(model, protocol=protocol)), x_new)
    assert_identical(model, copy.deepcopy(model), x_new)


def test_pickle_loads_in_another_process(fits, tmp_path):
    model, x_new = fits["bernoulli cr"]
    child = textwrap.dedent(
        """
        import pickle, sys
        model, x_new = pickle.loads(sys.stdin.buffer.read())
        mean, lo, hi = model.predict_ci(x_new)
        sys.stdout.buffer.write(pickle.dumps((type(model).__name__, model.serialize(), mean, lo, hi)))
        """
    )
    # Run outside the source tree so that the installed package is the one imported.
    done = subprocess.run(
        [sys.executable, "-c", child], input=pickle.dumps((model, x_new)), capture_output=True, cwd=tmp_path, check=False
    )
    assert done.returncode == 0, done.stderr.decode()
    name, data, *interval = pickle.loads(done.stdout)
    assert name == "FittedGam" and data == model.serialize()
    for a, b in zip(model.predict_ci(x_new), interval):
        same_bits(a, b)


def test_deserialize_arguments(fits):
    model, x_new = fits["gaussian cr"]
    data = model.serialize()
    with pytest.raises(TypeError, match=r"^deserialize\(\) argument 'bytes' must be bytes, not bytearray$"):
        vorsk.FittedGam.deserialize(bytearray(data))
    with pytest.raises(TypeError, match="must be bytes, not memoryview"):
        vorsk.FittedGam.deserialize(memoryview(data))
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'bytes'"):
        vorsk.FittedGam.deserialize()
    with pytest.raises(ValueError, match=r"^FittedGam::deserialize: buffer too short \(0 < 17 header bytes\)$"):
        vorsk.FittedGam.deserialize(b"")
    with pytest.raises(TypeError, match="takes 0 positional arguments"):
        model.serialize(1)
    # A class method, reachable from an instance, that always builds a FittedGam.
    assert_identical(model, model.deserialize(bytes=data), x_new)
    assert list(inspect.signature(vorsk.FittedGam.deserialize).parameters) == ["bytes"]
    assert list(inspect.signature(model.serialize).parameters) == []
    try:
        class Derived(vorsk.FittedGam):
            pass
    except TypeError:
        return
    assert type(Derived.deserialize(data)) is vorsk.FittedGam


def test_frame_errors(fits):
    data = fits["gaussian cr"][0].serialize()
    document = json.loads(data[17:])
    without_link = {k: v for k, v in document.items() if k != "link_kind"}
    without_shape = {k: v for k, v in document.items() if k != "shape_params"}
    unknown_kind = dict(document, predictor=dict(document["predictor"], kind="xyz"))
    cases = [
        (data[:16], "FittedGam::deserialize: buffer too short (16 < 17 header bytes)"),
        (b"VORSJ" + data[5:], "FittedGam::deserialize: bad magic; expected [86, 79, 82, 83, 75], got [86, 79, 82, 83, 74]"),
        (frame(data[17:], version=2),
         "FittedGam::deserialize: unsupported format_version=2 (this build expects 1). "
         "Re-serialize with a matching vorsk release, or roll a migration."),
        (frame(b"", length=2**64 - 1), "FittedGam::deserialize: length overflow"),
        (frame(b"x" * 50, length=100),
         "FittedGam::deserialize: truncated body (have 50 bytes, header says 100 payload bytes follow the 17-byte header)"),
        (frame(compact(without_link)),
         f"FittedGam::deserialize: JSON decode failed at byte {len(compact(without_link))}: "
         f"missing field `link_kind` at line 1 column {len(compact(without_link))}"),
    ]
    for bad, message in cases:
        with pytest.raises(ValueError) as info:
            vorsk.FittedGam.deserialize(bad)
        assert str(info.value) == message

    with pytest.raises(ValueError, match=r"unknown variant `xyz`, expected one of `cr`, `re`, `cr_stable`, `additive`, `tensor` at line 1 column \d+$"):
        vorsk.FittedGam.deserialize(frame(compact(unknown_kind)))
    with pytest.raises(ValueError, match=r"^FittedGam::deserialize: JSON decode failed at byte 0: .* at line 1 column 0$"):
        vorsk.FittedGam.deserialize(frame(b""))
    # Bytes after the frame are not part of it; shape_params may be left out.
    model = fits["gaussian cr"][0]
    assert_identical(model, vorsk.FittedGam.deserialize(data + b"\x00trailing"), X_NEW)
    assert vorsk.FittedGam.deserialize(frame(compact(without_shape))).shape_params.shape == (0,)


def test_fit_with_nan_scale_survives_saving():
    # Two rows and a two-dimensional unpenalised space: no residual degrees of freedom,
    # so the scale and the covariance are NaN, written as null.
    x = np.array([[0.0], [1.0]])
    model = vorsk.fit("gaussian", x, np.array([1.0, 2.0]), k=3)
    assert math.isnan(model.scale) and np.isnan(model.vcov()).all()
    data = model.serialize()
    assert b'"scale":null' in data
    loaded = pickle.loads(pickle.dumps(model))
    assert math.isnan(loaded.scale) and np.isnan(loaded.vcov()).all()
    same_bits(loaded.beta, model.beta)
    same_bits(loaded.predict(x), model.predict(x))
    np.testing.assert_array_equal(loaded.predict_ci(x), model.predict_ci(x))
    assert loaded.serialize() == data


def edited(model, change):
    document = body_of(model)
    change(document)
    return vorsk.FittedGam.deserialize(frame(compact(document)))


def test_hand_edited_frames_load_then_fail_cleanly(fits):
    model, x_new = fits["gaussian cr"]

    def shorter_beta(d):
        d["beta"]["data"].pop()
        d["beta"]["dim"] = [len(d["beta"]["data"])]

    def reversed_knots(d):
        d["predictor"]["knots"]["data"].reverse()

    short = edited(model, shorter_beta)
    assert short.beta.shape == (7,)
    assert short.evaluate_lpmatrix(x_new).shape == (len(x_new), 8)
    for call in (short.predict, short.predict_response, short.predict_ci):
        with pytest.raises(ValueError, match="coefficients"):
            call(x_new)

    for fit in (model, fits["poisson cr_stable"][0]):
        broken = edited(fit, reversed_knots)
        for call in (broken.predict, broken.evaluate_lpmatrix, broken.predict_ci):
            with pytest.raises(ValueError, match="CR spline knots must be strictly increasing"):
                call(x_new)


def test_hand_edited_shapes_never_crash(fits, tmp_path):
    """Frames whose matrices disagree in shape load, then fail with an exception where the
    shapes meet. Run in a child process, so that a crash fails this test instead of
    ending the run."""
    all_three = ("evaluate_lpmatrix", "predict", "predict_ci")
    cases = []
    for name, fit, change, failing in [
        ("centring rows", "gaussian cr", lambda d: d["predictor"]["centring"].update(dim=[1, 1], data=[1.0]), all_three),
        ("centring cols", "gaussian cr", lambda d: d["predictor"]["centring"].update(dim=[8, 1], data=[1.0] * 8),
         ("predict", "predict_ci")),
        ("empty knots", "gaussian cr", lambda d: d["predictor"]["knots"].update(dim=[0], data=[]), all_three),
        ("vcov shape", "gaussian cr", lambda d: d["vcov"].update(dim=[2, 2], data=[1.0] * 4), ("predict_ci",)),
        ("reparam_v", "poisson cr_stable",
         lambda d: d["predictor"].update(reparam_v={"v": 1, "dim": [2, 3], "data": [0.0] * 6}), all_three),
    ]:
        document = body_of(fits[fit][0])
        change(document)
        cases.append((name, frame(compact(document)), failing))
    child = textwrap.dedent(
        """
        import pickle, sys
        import numpy as np
        import vorsk
        x = np.array([[0.2], [0.7]])
        failed = []
        for name, data, _ in pickle.loads(sys.stdin.buffer.read()):
            model = vorsk.FittedGam.deserialize(data)
            for method in ("evaluate_lpmatrix", "predict", "predict_ci"):
                try:
                    getattr(model, method)(x)
                except (ValueError, RuntimeError):
                    failed.append((name, method))
        sys.stdout.buffer.write(pickle.dumps(failed))
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", child], input=pickle.dumps(cases), capture_output=True, cwd=tmp_path, check=False
    )
    assert done.returncode == 0, done.stderr.decode()[-2000:]
    # Stricter checks at prediction would be welcome; fewer would not.
    failed = set(pickle.loads(done.stdout))
    assert {(name, m) for name, _, failing in cases for m in failing} <= failed


def test_additive_round_trip():
    rng = np.random.default_rng(8)
    n = 300
    x = np.column_stack([rng.uniform(0, 1, n), rng.uniform(0, 1, n), rng.integers(0, 4, n).astype(float),
                         rng.uniform(0, 1, n), rng.uniform(0, 1, n)])
    y = np.sin(2 * np.pi * x[:, 0]) + x[:, 1] ** 2 + 0.3 * x[:, 2] + x[:, 3] * x[:, 4] + rng.normal(0, 0.2, n)
    terms = [(0, "cr", 6), (1, "cr_stable", 5), (2, "re"), ((3, 4), "te", (4, 3))]
    try:
        model = vorsk.fit_additive("gaussian", x, y, terms)
    except ValueError as error:
        if "not available yet" in str(error):
            pytest.skip("fit_additive is not available yet")
        raise
    predictor = body_of(model)["predictor"]
    assert predictor["kind"] == "additive"
    assert [t["kind"] for t in predictor["term_predictors"]] == ["cr", "cr_stable", "re", "tensor"]
    assert_identical(model, pickle.loads(pickle.dumps(model)), x[:7] + 0.01)
