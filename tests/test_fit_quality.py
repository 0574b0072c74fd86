"""Statistical sanity of whole fits on simulated data with a known smooth truth."""

import numpy as np
import pytest

import vorel

N = 2000
K = 10


def truth(x):
    return np.sin(2.0 * np.pi * x) * 0.8 + 0.4 * x


@pytest.fixture(scope="module")
def covariate():
    rng = np.random.default_rng(11)
    return rng.uniform(0.0, 1.0, (N, 1))


def _simulate(family, x, rng):
    f = truth(x[:, 0])
    if family == "gaussian":
        mu = f
        y = mu + rng.normal(0.0, 0.4, N)
    elif family in ("bernoulli", "binomial", "quasibinomial"):
        mu = 1.0 / (1.0 + np.exp(-2.0 * f))
        y = (rng.uniform(size=N) < mu).astype(float)
    elif family in ("poisson", "quasipoisson"):
        mu = np.exp(1.0 + f)
        y = rng.poisson(mu).astype(float)
    elif family == "gamma":
        mu = np.exp(1.0 + f)
        y = rng.gamma(4.0, mu / 4.0)
    elif family in ("inverse_gaussian", "inverse.gaussian"):
        mu = np.exp(0.5 + 0.5 * f)
        y = rng.wald(mu, 20.0)
    else:
        raise AssertionError(family)
    return y, mu


STANDARD = ["gaussian", "bernoulli", "poisson", "quasipoisson", "quasibinomial", "gamma",
            "inverse_gaussian"]


@pytest.mark.parametrize("family", STANDARD)
@pytest.mark.parametrize("design", ["cr", "cr_stable"])
def test_fit_recovers_smooth_truth(family, design, covariate):
    rng = np.random.default_rng(abs(hash(family)) % 2**32)
    y, mu = _simulate(family, covariate, rng)
    fit = vorel.fit(family, covariate, y, k=K, design=design)
    fitted = fit.predict_response(covariate)
    noise = np.sqrt(np.mean((y - mu) ** 2))
    rmse = np.sqrt(np.mean((fitted - mu) ** 2))
    assert rmse < 0.25 * noise, (rmse, noise)
    assert 2.0 < fit.edf_total < K
    assert fit.converged
    assert np.isfinite(fit.reml_value)
    assert fit.n == N


@pytest.mark.parametrize("family", ["gaussian", "poisson", "gamma"])
def test_cr_and_cr_stable_give_the_same_fit(family, covariate):
    rng = np.random.default_rng(5)
    y, _ = _simulate(family, covariate, rng)
    a = vorel.fit(family, covariate, y, design="cr")
    b = vorel.fit(family, covariate, y, design="cr_stable")
    np.testing.assert_allclose(a.predict(covariate), b.predict(covariate), rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(a.reml_value, b.reml_value, rtol=1e-7)
    np.testing.assert_allclose(a.edf_total, b.edf_total, rtol=1e-5)


def test_family_aliases_give_identical_fits(covariate):
    rng = np.random.default_rng(9)
    y, _ = _simulate("bernoulli", covariate, rng)
    a, b = vorel.fit("bernoulli", covariate, y), vorel.fit("binomial", covariate, y)
    assert a.serialize() == b.serialize()
    y, _ = _simulate("inverse_gaussian", covariate, rng)
    a, b = vorel.fit("inverse_gaussian", covariate, y), vorel.fit("inverse.gaussian", covariate, y)
    assert a.serialize() == b.serialize()


def test_random_effect_fit_shrinks_group_means():
    rng = np.random.default_rng(4)
    groups = rng.integers(0, 8, 400).astype(float)
    effects = rng.normal(0.0, 1.0, 8)
    y = 2.0 + effects[groups.astype(int)] + rng.normal(0.0, 1.0, 400)
    fit = vorel.fit("gaussian", groups.reshape(-1, 1), y, design="re")
    pred = fit.predict(np.arange(8.0).reshape(-1, 1))
    raw = np.array([y[groups == g].mean() for g in range(8)])
    # Penalised group means lie between the raw means and the grand mean.
    grand = y.mean()
    assert np.all(np.abs(pred - grand) <= np.abs(raw - grand) + 1e-9)
    assert np.corrcoef(pred, 2.0 + effects)[0, 1] > 0.9
    # An unseen level predicts the intercept alone.
    assert fit.predict(np.array([[99.0]]))[0] == pytest.approx(fit.beta[0])
