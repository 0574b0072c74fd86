"""Whole additive fits: recovery of known effects, interval coverage, and invariances."""

import numpy as np
import pytest

import vorel


def effects(x):
    f0 = 2.0 * np.sin(np.pi * x[:, 0])
    f1 = np.exp(2.0 * x[:, 1])
    f2 = 0.2 * x[:, 2] ** 11 * (10.0 * (1.0 - x[:, 2])) ** 6 + 10.0 * (10.0 * x[:, 2]) ** 3 * (1.0 - x[:, 2]) ** 10
    f3 = np.zeros(len(x))
    return [f0, f1, f2, f3]


TERMS = [(0, "cr"), (1, "cr"), (2, "cr"), (3, "cr")]


def term_estimates(fit, x):
    """Per-term fitted effect and pointwise standard error at x."""
    X = fit.evaluate_lpmatrix(x)
    V = fit.vcov()
    beta = fit.beta
    out = []
    for a, b in fit.term_col_ranges():
        Xj = X[:, a:b]
        est = Xj @ beta[a:b]
        se = np.sqrt(np.maximum(0.0, np.einsum("ij,jk,ik->i", Xj, V[a:b, a:b], Xj)))
        out.append((est, se))
    return out


def simulate(family, n, seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 1.0, (n, 4))
    fs = effects(x)
    if family == "gaussian":
        scale = 1.0
        y = sum(fs) + rng.normal(0.0, 2.0, n)
        noise = 2.0
    else:
        scale = 0.25  # effects on the log scale
        eta = scale * sum(fs)
        y = rng.poisson(np.exp(eta - eta.mean() + 1.5)).astype(float)
        noise = None
    truth = [scale * (f - f.mean()) for f in fs]
    return x, y, truth, noise


@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_additive_fit_recovers_each_effect_and_covers_it(family):
    coverage = []
    for seed in (1, 2, 3):
        x, y, truth, noise = simulate(family, 800, seed)
        fit = vorel.fit_additive(family, x, y, TERMS)
        assert len(fit.rho) == 4 and len(getattr(fit, "lambda")) == 4 and len(fit.edf_per_term) == 4
        np.testing.assert_allclose(fit.edf_per_term.sum(), fit.edf_total - 1.0, rtol=1e-9)
        for j, ((est, se), t) in enumerate(zip(term_estimates(fit, x), truth)):
            rmse = np.sqrt(np.mean((est - t) ** 2))
            if family == "gaussian":
                assert rmse < 0.3 * noise, (seed, j, rmse)
            else:
                spread = max(np.std(t), 0.25)
                assert rmse < 0.3 * spread, (seed, j, rmse, spread)
            coverage.append(np.mean(np.abs(est - t) <= 1.959963986120195 * se))
    # Across-the-function coverage of the 95% intervals, averaged over curves and replicates.
    assert 0.85 <= np.mean(coverage) <= 1.0, coverage


def test_zero_effect_is_shrunk_towards_zero():
    x, y, truth, _ = simulate("gaussian", 800, 7)
    fit = vorel.fit_additive("gaussian", x, y, TERMS)
    edf = fit.edf_per_term
    # The fourth covariate has no effect: its smooth is penalised almost to the null space.
    assert edf[3] < 2.0 < edf[2]


def test_tensor_margins_swapped_give_the_same_surface():
    rng = np.random.default_rng(8)
    x = rng.uniform(0.0, 1.0, (600, 2))
    y = np.sin(3 * x[:, 0]) * np.cos(4 * x[:, 1]) + rng.normal(0.0, 0.2, 600)
    a = vorel.fit_additive("gaussian", x, y, [((0, 1), "te", (5, 4))])
    b = vorel.fit_additive("gaussian", x, y, [((1, 0), "te", (4, 5))])
    np.testing.assert_allclose(a.predict(x), b.predict(x), rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(a.rho, b.rho[::-1], rtol=1e-4, atol=1e-4)
    np.testing.assert_allclose(a.reml_value, b.reml_value, rtol=1e-8)
    assert a.term_col_ranges() == [(1, 20)]
    assert len(a.rho) == 2


def test_cr_stable_term_matches_cr_term():
    x, y, _, _ = simulate("gaussian", 600, 4)
    a = vorel.fit_additive("gaussian", x, y, [(0, "cr"), (1, "cr"), (2, "cr", 8)])
    b = vorel.fit_additive("gaussian", x, y, [(0, "cr"), (1, "cr_stable"), (2, "cr", 8)])
    np.testing.assert_allclose(a.predict(x), b.predict(x), rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(a.reml_value, b.reml_value, rtol=1e-8)


def test_mixed_terms_predict_serialize_and_pickle():
    import pickle

    rng = np.random.default_rng(12)
    n = 500
    x = np.column_stack([rng.uniform(size=n), rng.integers(0, 5, n).astype(float),
                         rng.uniform(size=n), rng.uniform(size=n), rng.uniform(size=n)])
    eta = np.sin(2 * x[:, 0]) + 0.3 * (x[:, 1] - 2) + x[:, 3] * x[:, 4]
    y = rng.poisson(np.exp(eta)).astype(float)
    terms = [(0, "cr", 8), (1, "re"), ((3, 4), "te", (4, 4))]
    fit = vorel.fit_additive("poisson", x, y, terms)
    assert fit.term_col_ranges() == [(1, 8), (8, 13), (13, 28)]
    assert len(fit.rho) == 4
    again = vorel.FittedGam.deserialize(fit.serialize())
    assert again.serialize() == fit.serialize()
    unpickled = pickle.loads(pickle.dumps(fit))
    for other in (again, unpickled):
        assert np.array_equal(other.predict(x), fit.predict(x))
    mean, lo, hi = fit.predict_ci(x[:20])
    assert np.all(lo <= mean) and np.all(mean <= hi)
    # Column 2 is never read: changing it changes nothing.
    x2 = x.copy()
    x2[:, 2] = 1e6
    assert np.array_equal(fit.predict(x2), fit.predict(x))
