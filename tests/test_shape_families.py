"""Negative binomial, scaled t and Tweedie: family formulas, checks and the joint search."""

import math

import numpy as np
import pytest

import vorel

vt = pytest.importorskip("vorel._vorel_testing")


def _tweedie_sample(rng, mu, p, phi):
    lam = mu ** (2 - p) / (phi * (2 - p))
    counts = rng.poisson(lam)
    shape = (2 - p) / (p - 1)
    scale = phi * (p - 1) * mu ** (p - 1)
    out = np.zeros_like(mu)
    pos = counts > 0
    out[pos] = rng.gamma(shape * counts[pos], scale[pos])
    return out


@pytest.fixture(scope="module")
def negbin_data():
    rng = np.random.default_rng(101)
    x = rng.uniform(0, 1, (2000, 1))
    mu = np.exp(1 + np.sin(2 * np.pi * x[:, 0]))
    return x, rng.negative_binomial(3, 3 / (3 + mu)).astype(float), mu


@pytest.fixture(scope="module")
def tdist_data():
    rng = np.random.default_rng(202)
    x = rng.uniform(0, 1, (2000, 1))
    mu = np.sin(2 * np.pi * x[:, 0])
    return x, mu + 0.5 * rng.standard_t(4, 2000), mu


@pytest.fixture(scope="module")
def tweedie_data():
    rng = np.random.default_rng(303)
    x = rng.uniform(0, 1, (3000, 1))
    mu = np.exp(0.5 + np.sin(2 * np.pi * x[:, 0]))
    return x, _tweedie_sample(rng, mu, 1.4, 1.5), mu


def test_negbin_recovers_theta_and_mean(negbin_data):
    x, y, mu = negbin_data
    f = vorel.fit("negbin", x, y)
    assert len(f.shape_params) == 1
    assert f.scale == pytest.approx(math.exp(f.shape_params[0]), rel=1e-12)
    assert abs(f.scale - 3) / 3 < 0.25
    assert f.converged
    rel = np.abs(f.predict_response(x) - mu) / mu
    assert rel.mean() < 0.1
    np.testing.assert_allclose(f.vcov(), f.vcov().T)
    assert np.all(np.linalg.eigvalsh(f.vcov()) > 0)


def test_tdist_recovers_nu_and_sigma2(tdist_data):
    # Without the log-gamma normalising terms of the score the search runs to nu = 2 + eps.
    x, y, mu = tdist_data
    f = vorel.fit("tdist", x, y)
    assert len(f.shape_params) == 2
    sigma2, nu = math.exp(f.shape_params[0]), 2 + math.exp(f.shape_params[1])
    assert f.scale == pytest.approx(sigma2, rel=1e-12)
    assert abs(nu - 4) / 4 < 0.3
    assert abs(sigma2 - 0.25) / 0.25 < 0.3
    assert np.abs(f.predict(x) - mu).mean() < 0.08
    assert f.converged


def test_tweedie_recovers_power_and_dispersion(tweedie_data):
    x, y, mu = tweedie_data
    f = vorel.fit("tweedie", x, y)
    lphi, zp = f.shape_params
    p = 1 + 1 / (1 + math.exp(-zp))
    assert abs(p - 1.4) < 0.05
    assert abs(f.scale - 1.5) / 1.5 < 0.15
    assert f.scale == pytest.approx(math.exp(lphi), rel=1e-12)
    assert np.abs(f.predict_response(x) - mu).mean() / mu.mean() < 0.1


@pytest.mark.parametrize(
    "alias,name,kwargs",
    [("nb", "negbin", {}), ("scat", "tdist", {}), ("tw", "tweedie", {})],
    ids=["nb", "scat", "tw"],
)
def test_aliases_fit_identically(alias, name, kwargs):
    rng = np.random.default_rng(5)
    x = rng.uniform(0, 1, (150, 1))
    y = rng.poisson(np.exp(np.sin(3 * x[:, 0])) + 0.5).astype(float)
    a, b = vorel.fit(alias, x, y, k=6, **kwargs), vorel.fit(name, x, y, k=6, **kwargs)
    np.testing.assert_array_equal(a.beta, b.beta)
    np.testing.assert_array_equal(a.shape_params, b.shape_params)


X20 = np.linspace(0, 1, 20).reshape(-1, 1)
Y20 = np.linspace(0, 3, 20)
YNEG = Y20.copy()
YNEG[3] = -1


@pytest.mark.parametrize(
    "family,y,kwargs,message",
    [
        ("negbin", Y20, {"theta": 0.0}, "negbin theta must be > 0; got theta=0"),
        ("negbin", Y20, {"theta": math.inf},
         "NegBin overdispersion init_theta must be a positive finite scalar (small θ → high "
         "variance, large θ → Poisson limit); got init_theta=inf"),
        ("negbin", Y20, {"theta": math.nan}, "got init_theta=NaN"),
        ("negbin", YNEG, {}, "NegBin requires y ≥ 0; got y=-1 at row 3"),
        ("negbin", Y20[:19], {"theta": math.nan},
         "x and y must have the same number of rows; got x.nrows()=20, y.len()=19"),
        ("tdist", Y20, {"nu": 2.0},
         "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=2"),
        ("tdist", Y20, {"nu": 2.0, "sigma2": -1.0}, "init_nu must be > 2"),
        ("tdist", Y20, {"sigma2": 0.0},
         "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=0"),
        ("tdist", Y20, {"sigma2": math.nan}, "got init_sigma2=NaN"),
        ("tweedie", Y20, {"tweedie_p": 2.0}, "tweedie p must be in (1, 2); got tweedie_p=2"),
        ("tweedie", Y20, {"tweedie_phi": 0.0},
         "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=0"),
        ("tweedie", YNEG, {}, "Tweedie requires y ≥ 0; got y=-1 at row 3"),
        ("tweedie", YNEG, {"tweedie_phi": math.inf}, "init_phi"),
    ],
    ids=["nb-theta0", "nb-inf", "nb-nan", "nb-negy", "nb-rows-first", "t-nu2", "t-nu-first",
         "t-s0", "t-snan", "tw-p2", "tw-phi0", "tw-negy", "tw-phi-first"],
)
def test_validation_order_and_messages(family, y, kwargs, message):
    with pytest.raises(ValueError) as e:
        vorel.fit(family, X20, y, k=5, **kwargs)
    assert message in str(e.value)


def test_weights_length_checked_before_family_checks():
    with pytest.raises(ValueError, match="prior_weights length must match x rows"):
        vorel.fit("tweedie", X20, Y20, weights=np.ones(3), k=5, tweedie_phi=0.0)


def test_negbin_family_formulas():
    init, var, dev0, _ = vt.negbin_ops(2.0, 0.0, 1.5)
    assert init == 0.1 and var == pytest.approx(1.5 + 1.5**2 / 2)
    assert dev0 == pytest.approx(4 * math.log(3.5 / 2))
    _, _, dev, _ = vt.negbin_ops(2.0, 3.0, 3.0)
    assert dev == pytest.approx(0.0, abs=1e-14)
    y = np.array([0.0, 1.0, 4.0])
    th = 1.7
    want = sum(math.lgamma(th + v) - math.lgamma(th) + (v * math.log(v / (th + v)) if v > 0 else 0)
               + th * math.log(th / (th + v)) for v in y)
    assert vt.negbin_saturated(th, y) == pytest.approx(want, rel=1e-12)


def test_tdist_score_term_is_the_normalising_constant():
    # V's family part plus D/2 is the negative log density of the scaled t.
    nu, s2, r = 4.5, 0.3, 0.7
    _, _, d = vt.tdist_ops(nu, s2, 0.0, r, 0.0)
    nll = d / 2 + vt.tdist_score_term(1.0, nu, s2)
    dens = (math.gamma((nu + 1) / 2) / (math.gamma(nu / 2) * math.sqrt(nu * math.pi * s2))
            * (1 + r * r / (nu * s2)) ** (-(nu + 1) / 2))
    assert nll == pytest.approx(-math.log(dens), rel=1e-12)
    assert vt.tdist_ops(nu, s2, 2.0, 1.0, 0.0)[0] == 1.5


@pytest.mark.parametrize("y,p,phi", [(0.3, 1.3, 2.0), (2.5, 1.5, 0.4), (40.0, 1.7, 0.05)],
                         ids=["small", "mid", "many-terms"])
def test_tweedie_series_matches_direct_sum(y, p, phi):
    a = (2 - p) / (1 - p)
    c = math.log(phi) / (1 - p) + a * math.log(p - 1) - math.log(2 - p)
    logw = [j * c - math.lgamma(j + 1) - math.lgamma(-j * a) - j * a * math.log(y)
            for j in range(1, 3000)]
    mx = max(logw)
    want = mx + math.log(sum(math.exp(v - mx) for v in logw))
    assert vt.tweedie_log_series(y, p, phi, 1001, True) == pytest.approx(want, rel=1e-10, abs=1e-10)


def _tweedie_shape_value(y, mu, w, p, phi, pen, mp):
    d = sum(wi * vt.tweedie_ops(p, yi, mi)[2] for yi, mi, wi in zip(y, mu, w))
    return (pen + d) / (2 * phi) - 0.5 * mp * math.log(2 * math.pi * phi) - vt.tweedie_saturated(y, p, phi)


def test_tweedie_analytic_gradient_matches_differences():
    rng = np.random.default_rng(9)
    mu = np.exp(rng.normal(0.3, 0.5, 60))
    y = _tweedie_sample(rng, mu, 1.45, 0.9)
    w = rng.uniform(0.5, 2, 60)
    fitted = mu * np.exp(rng.normal(0, 0.1, 60))
    pen, mp = 3.2, 1.0
    z1, z2 = math.log(0.9), math.log(0.45 / 0.55)

    def v(a, b):
        p = 1 + 1 / (1 + math.exp(-b))
        return _tweedie_shape_value(y, fitted, w, p, math.exp(a), pen, mp)

    h = 1e-5
    num = [(v(z1 + h, z2) - v(z1 - h, z2)) / (2 * h), (v(z1, z2 + h) - v(z1, z2 - h)) / (2 * h)]
    dev = sum(wi * vt.tweedie_ops(1.45, yi, mi)[2] for yi, mi, wi in zip(y, fitted, w))
    got = vt.tweedie_shape_gradient(y, fitted, w, 1.45, 0.9, pen + dev, 60 - mp)
    np.testing.assert_allclose(got, num, rtol=1e-5, atol=1e-6)


def test_tweedie_all_zero_response_has_zero_saturated_term():
    assert vt.tweedie_saturated(np.zeros(5), 1.5, 1.0) == 0.0
    assert vt.tweedie_ops(1.5, 0.0, 2.0)[2] == pytest.approx(2 * 2**0.5 / 0.5)


def test_tweedie_clamped_power_reported_raw():
    # Starting at p = 1.999 puts the logit coordinate far beyond the 1.95 clamp; the search
    # evaluates with p = 1.95 while shape_params keeps the coordinate itself.
    rng = np.random.default_rng(4)
    x = rng.uniform(0, 1, (300, 1))
    y = _tweedie_sample(rng, np.exp(np.sin(3 * x[:, 0])), 1.9, 0.5)
    f = vorel.fit("tweedie", x, y, k=6, tweedie_p=1.999)
    assert np.all(np.isfinite(f.beta))
    assert len(f.shape_params) == 2 and np.isfinite(f.shape_params).all()


@pytest.mark.parametrize("family,a,b", [("negbin", 2.0, 0.0), ("tdist", 5.0, 1.0), ("tweedie", 1.5, 1.0)],
                         ids=["negbin", "tdist", "tweedie"])
def test_two_workers_give_the_sequential_result(family, a, b):
    rng = np.random.default_rng(12)
    x = np.asfortranarray(rng.uniform(0, 1, (400, 1)))
    y = rng.poisson(np.exp(1 + np.sin(2 * np.pi * x[:, 0]))).astype(float)
    seq = vt.shape_fit_counted(family, x, y, 8, a, b, 1)
    par = vt.shape_fit_counted(family, x, y, 8, a, b, 2)
    np.testing.assert_array_equal(seq[0], par[0])
    assert seq[1] == par[1]
