"""FittedGam: properties, prediction, the lpmatrix, Wald intervals and contrasts."""

import copy
import pickle

import numpy as np
import pytest

import vorel

Z95 = 1.959963986120195


# --- properties ---------------------------------------------------------------------------


def test_properties_have_documented_types(gaussian_fit):
    f = gaussian_fit
    p = len(f.beta)
    for name in ["beta", "rho", "lambda", "edf_per_term", "shape_params"]:
        a = getattr(f, name)
        assert isinstance(a, np.ndarray) and a.dtype == np.float64 and a.ndim == 1
    assert len(f.rho) == len(getattr(f, "lambda")) == len(f.edf_per_term) == 1
    assert np.array_equal(getattr(f, "lambda"), np.exp(f.rho))
    assert f.shape_params.shape == (0,)  # empty, never None
    assert type(f.scale) is float and type(f.edf_total) is float and type(f.reml_value) is float
    assert type(f.n) is int and f.n == 200 and type(f.n_iters) is int
    assert type(f.converged) is bool
    v = f.vcov()
    assert v.shape == (p, p) and v.dtype == np.float64 and v.flags.c_contiguous
    np.testing.assert_allclose(v, v.T, rtol=1e-10, atol=1e-14 * np.abs(v).max())


def test_returned_arrays_are_fresh_copies(gaussian_fit):
    f = gaussian_fit
    beta, v = f.beta, f.vcov()
    keep_beta, keep_v = beta.copy(), v.copy()
    beta[:] = 0.0
    v[:] = 0.0
    assert np.array_equal(f.beta, keep_beta)
    assert np.array_equal(f.vcov(), keep_v)
    assert f.beta is not f.beta


def test_properties_are_read_only(gaussian_fit):
    with pytest.raises(AttributeError):
        gaussian_fit.scale = 2.0
    with pytest.raises(AttributeError):
        gaussian_fit.extra = 1


def test_term_col_ranges_single_smooth(gaussian_fit):
    assert gaussian_fit.term_col_ranges() == [(1, 10)]


def test_term_col_ranges_additive(smooth_data, needs_fits):
    x, y = smooth_data
    x = np.column_stack([x[:, 0], np.floor(x[:, 1] * 4)])
    try:
        f = vorel.fit_additive("gaussian", x, y, [(0, "cr", 10), (1, "re")])
    except NotImplementedError as e:
        pytest.skip(str(e))
    assert f.term_col_ranges() == [(1, 10), (10, 14)]
    assert len(f.beta) == 14


# --- point prediction ---------------------------------------------------------------------


@pytest.mark.parametrize("fit_name", ["gaussian_fit", "poisson_fit", "bernoulli_fit"])
def test_lpmatrix_times_beta_is_predict(fit_name, request, smooth_data):
    f = request.getfixturevalue(fit_name)
    x, _ = smooth_data
    X = f.evaluate_lpmatrix(x)
    assert X.shape == (200, len(f.beta))
    assert np.array_equal(X[:, 0], np.ones(200))
    np.testing.assert_allclose(X @ f.beta, f.predict(x), rtol=1e-12, atol=1e-12)


def test_gaussian_predict_at_training_x_gives_fitted_values(gaussian_fit, smooth_data):
    x, y = smooth_data
    fitted = gaussian_fit.predict(x)
    # The intercept is unpenalised and every smooth is centred, so residuals sum to zero.
    assert abs(np.sum(y - fitted)) < 1e-8 * len(y)
    assert np.corrcoef(fitted, np.sin(2 * np.pi * x[:, 0]))[0, 1] > 0.95


def test_predict_response_per_link(gaussian_fit, poisson_fit, bernoulli_fit, smooth_data):
    x, _ = smooth_data
    assert np.array_equal(gaussian_fit.predict_response(x), gaussian_fit.predict(x))
    # NumPy's vectorised exp may differ from the C library's by one unit in the last place.
    np.testing.assert_allclose(poisson_fit.predict_response(x), np.exp(poisson_fit.predict(x)),
                               rtol=4.5e-16)
    mu = bernoulli_fit.predict_response(x)
    assert np.all((mu >= 0) & (mu <= 1))


def _with_beta(f, beta):
    """The same fit with other coefficients, rebuilt through an edited frame."""
    import json
    import struct

    frame = _frame(f)
    body = json.loads(frame[17:])
    body["beta"]["data"] = [float(b) for b in beta]
    body["beta"]["dim"] = [len(beta)]
    text = json.dumps(body, separators=(",", ":")).encode()
    return vorel.FittedGam.deserialize(frame[:9] + struct.pack("<Q", len(text)) + text)


@pytest.mark.parametrize("intercept, expected", [(800.0, 1.0), (-800.0, 0.0), (0.0, 0.5)])
def test_logistic_inverse_link_extremes(bernoulli_fit, intercept, expected):
    beta = np.zeros(len(bernoulli_fit.beta))
    beta[0] = intercept
    g = _with_beta(bernoulli_fit, beta)
    x = np.linspace(0.0, 1.0, 7)[:, None]
    assert np.array_equal(g.predict(x), np.full(7, intercept))
    mu = g.predict_response(x)
    assert np.array_equal(mu, np.full(7, expected))
    mean, lo, hi = g.predict_ci(x)
    assert np.all(np.isfinite(lo)) and np.all(np.isfinite(hi))


def test_corrupt_frame_with_wrong_beta_length_is_value_error(gaussian_fit):
    # The reader checks beta against vcov and the predictor, so the frame is refused on load.
    with pytest.raises(ValueError, match="beta has 3 coefficients"):
        g = _with_beta(gaussian_fit, np.zeros(3))
        g.predict(np.zeros((2, 1)))


def test_extra_columns_are_ignored(gaussian_fit, smooth_data):
    x, _ = smooth_data
    wide = np.column_stack([x, np.full((200, 3), np.nan)])
    assert np.array_equal(gaussian_fit.predict(wide), gaussian_fit.predict(x[:, :1]))


@pytest.mark.parametrize(
    "layout",
    [np.asfortranarray, lambda a: a[::-1].copy()[::-1], lambda a: np.repeat(a, 2, 1)[:, ::2],
     lambda a: a.T.copy().T],
    ids=["fortran", "negative-stride", "col-strided", "transposed"],
)
def test_x_new_layout_does_not_change_predictions(gaussian_fit, smooth_data, layout):
    x, _ = smooth_data
    xl = layout(x)
    assert np.array_equal(gaussian_fit.predict(xl), gaussian_fit.predict(np.ascontiguousarray(x)))
    assert np.array_equal(gaussian_fit.evaluate_lpmatrix(xl), gaussian_fit.evaluate_lpmatrix(x))


@pytest.mark.parametrize("method", ["predict", "predict_response", "evaluate_lpmatrix", "predict_ci"])
@pytest.mark.parametrize(
    "bad", [[[0.5]], np.zeros(3), np.zeros((3, 1), np.float32), np.zeros((3, 1), np.int64)],
    ids=["list", "1d", "float32", "int64"],
)
def test_x_new_conversion_errors(gaussian_fit, method, bad):
    with pytest.raises(TypeError, match="^argument 'x_new': "):
        getattr(gaussian_fit, method)(bad)


def test_zero_rows_predict_empty(gaussian_fit):
    out = gaussian_fit.predict(np.zeros((0, 1)))
    assert out.shape == (0,) and out.dtype == np.float64
    assert gaussian_fit.evaluate_lpmatrix(np.zeros((0, 1))).shape == (0, len(gaussian_fit.beta))


# --- Wald intervals -----------------------------------------------------------------------


def test_link_scale_interval_is_symmetric_with_z95(gaussian_fit, smooth_data):
    x, _ = smooth_data
    mean, lo, hi = gaussian_fit.predict_ci(x, scale="link")
    assert np.array_equal(mean, gaussian_fit.predict(x))
    X = gaussian_fit.evaluate_lpmatrix(x)
    se = np.sqrt(np.einsum("ij,jk,ik->i", X, gaussian_fit.vcov(), X))
    np.testing.assert_allclose(hi - mean, Z95 * se, rtol=1e-10)
    np.testing.assert_allclose(mean - lo, hi - mean, rtol=1e-12)


def test_poisson_response_scale_is_asymmetric(poisson_fit, smooth_data):
    x, _ = smooth_data
    eta, elo, ehi = poisson_fit.predict_ci(x, scale="link")
    mean, lo, hi = poisson_fit.predict_ci(x)
    for got, link in [(mean, eta), (lo, elo), (hi, ehi)]:
        np.testing.assert_allclose(got, np.exp(link), rtol=4.5e-16)
    assert np.all(lo <= mean) and np.all(mean <= hi)
    assert np.all(hi - mean > mean - lo)


def test_level_changes_width_in_proportion(gaussian_fit, smooth_data):
    x, _ = smooth_data
    m, lo, hi = gaussian_fit.predict_ci(x[:5], level=0.5, scale="link")
    m, lo95, hi95 = gaussian_fit.predict_ci(x[:5], 0.95, "link")
    # z(0.75) of the rational approximation; its relative error is below 1.2e-9.
    np.testing.assert_allclose((hi - m) / (hi95 - m), 0.6744897501960817 / Z95, rtol=2e-9)


LEVEL_CASES = [(1.0, "1"), (0.0, "0"), (-0.5, "-0.5"), (float("nan"), "NaN"), (2, "2"),
               # so close to 1 that (level + 1) / 2 rounds to 1: no finite critical value
               (np.nextafter(1.0, 0.0), "0.9999999999999999")]


@pytest.mark.parametrize("level, shown", LEVEL_CASES, ids=[s for _, s in LEVEL_CASES])
def test_level_outside_open_interval(gaussian_fit, level, shown):
    x = np.zeros((3, 1))
    msg = f"level must be in (0, 1); got level={shown}"
    with pytest.raises(ValueError) as info:
        gaussian_fit.predict_ci(x, level=level)
    assert str(info.value) == msg
    with pytest.raises(ValueError) as info:
        gaussian_fit.predict_diff(x, x, level=level)
    assert str(info.value) == msg


def test_level_just_inside_one_still_works(gaussian_fit):
    level = 1.0 - 2.0**-52  # (level + 1) / 2 is still below 1
    mean, lo, hi = gaussian_fit.predict_ci(np.full((2, 1), 0.5), level=level, scale="link")
    assert np.all(np.isfinite(lo)) and np.all(lo < mean)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"scale": "mu"}, "scale must be 'link' or 'response', got \"mu\""),
        ({"scale": "Link"}, "scale must be 'link' or 'response', got \"Link\""),
        ({"scale": "x\n", "level": 5.0}, "scale must be 'link' or 'response', got \"x\\n\""),
    ],
    ids=["mu", "case-sensitive", "scale-before-level"],
)
def test_scale_errors(gaussian_fit, kwargs, message):
    with pytest.raises(ValueError) as info:
        gaussian_fit.predict_ci(np.zeros((3, 1)), **kwargs)
    assert str(info.value) == message


def test_interval_argument_conversion(gaussian_fit):
    x = np.zeros((3, 1))
    with pytest.raises(TypeError, match="^argument 'level': "):
        gaussian_fit.predict_ci(x, level="0.9")
    with pytest.raises(TypeError, match="^argument 'scale': "):
        gaussian_fit.predict_ci(x, scale=None)
    with pytest.raises(TypeError, match="^argument 'x_b': "):
        gaussian_fit.predict_diff(x, [[0.0]])
    mean, lo, hi = gaussian_fit.predict_ci(x_new=x, level=np.float32(0.9), scale="link")
    assert mean.shape == (3,)


# --- contrasts ----------------------------------------------------------------------------


def test_contrast_with_itself_is_zero(gaussian_fit, smooth_data):
    x, _ = smooth_data
    for part in gaussian_fit.predict_diff(x, x):
        assert np.array_equal(part, np.zeros(200))


def test_contrast_broadcasts_single_row(gaussian_fit, smooth_data):
    x, _ = smooth_data
    a, b = x[:1], x[:5]
    diff, lo, hi = gaussian_fit.predict_diff(a, b)
    assert diff.shape == lo.shape == hi.shape == (5,)
    np.testing.assert_allclose(diff, gaussian_fit.predict(a)[0] - gaussian_fit.predict(b),
                               rtol=1e-12, atol=1e-12)
    D = gaussian_fit.evaluate_lpmatrix(a) - gaussian_fit.evaluate_lpmatrix(b)
    se = np.sqrt(np.maximum(np.einsum("ij,jk,ik->i", D, gaussian_fit.vcov(), D), 0))
    np.testing.assert_allclose(hi - diff, Z95 * se, rtol=1e-9, atol=1e-15)
    rdiff, _, _ = gaussian_fit.predict_diff(b, a)
    np.testing.assert_allclose(rdiff, -diff, rtol=1e-12, atol=1e-12)


def test_contrast_row_count_mismatch(gaussian_fit, smooth_data):
    x, _ = smooth_data
    with pytest.raises(ValueError) as info:
        gaussian_fit.predict_diff(x[:2], x[:5])
    assert str(info.value) == (
        "predict_diff: row counts must match or one must be 1 (broadcast); got a=2, b=5")


def test_contrast_one_against_zero_rows_is_empty(gaussian_fit):
    for a, b in [(np.zeros((1, 1)), np.zeros((0, 1))), (np.zeros((0, 1)), np.zeros((1, 1)))]:
        parts = gaussian_fit.predict_diff(a, b)
        assert [p.shape for p in parts] == [(0,), (0,), (0,)]


def test_contrast_in_unread_columns_is_exactly_zero(gaussian_fit):
    a = np.array([[0.3, 1.0, -5.0]])
    b = np.array([[0.3, 7.0, 99.0]])
    for part in gaussian_fit.predict_diff(a, b):
        assert np.array_equal(part, [0.0])


# --- persistence through the class --------------------------------------------------------


def _frame(f):
    try:
        return f.serialize()
    except NotImplementedError as e:
        pytest.skip(str(e))


def test_deserialize_needs_bytes(gaussian_fit):
    with pytest.raises(TypeError, match="^argument 'bytes': "):
        vorel.FittedGam.deserialize(bytearray(b"VOREL"))
    with pytest.raises(TypeError, match="^argument 'bytes': "):
        vorel.FittedGam.deserialize("VOREL")


def test_reduce_routes_through_the_frame(gaussian_fit):
    frame = _frame(gaussian_fit)
    fn, args = gaussian_fit.__reduce__()
    assert fn == vorel.FittedGam.deserialize
    assert args == (frame,) and type(args[0]) is bytes


@pytest.mark.parametrize("clone", [lambda f: pickle.loads(pickle.dumps(f)), copy.copy,
                                   copy.deepcopy,
                                   lambda f: vorel.FittedGam.deserialize(f.serialize())],
                         ids=["pickle", "copy", "deepcopy", "deserialize"])
@pytest.mark.parametrize("fit_name", ["gaussian_fit", "poisson_fit", "bernoulli_fit"])
def test_reloaded_fit_predicts_identically(fit_name, clone, request, smooth_data):
    f = request.getfixturevalue(fit_name)
    _frame(f)
    g = clone(f)
    assert g is not f and isinstance(g, vorel.FittedGam)
    x, _ = smooth_data
    assert np.array_equal(g.predict_response(x), f.predict_response(x))
    for a, b in zip(g.predict_ci(x), f.predict_ci(x)):
        assert np.array_equal(a, b)
    assert g.serialize() == f.serialize()


def test_deserialize_errors_are_value_errors():
    try:
        vorel.FittedGam.deserialize(b"\0" * 16)
    except NotImplementedError as e:
        pytest.skip(str(e))
    except ValueError as e:
        assert str(e) == "FittedGam::deserialize: buffer too short (16 < 17 header bytes)"


def test_x_new_without_columns_is_value_error(gaussian_fit):
    with pytest.raises(ValueError):
        gaussian_fit.predict(np.zeros((3, 0)))
