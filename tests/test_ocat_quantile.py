"""Ordered categorical and quantile (extended log-F) families, their inner solvers and fit paths."""
import math

import numpy as np
import pytest

t = pytest.importorskip("vorel._vorel_testing")

# --------------------------------------------------------------------------------------------
# Ordered categorical family formulas


def naive_probs(cuts, eta):
    F = lambda x: 1.0 / (1.0 + math.exp(-x)) if np.isfinite(x) else (1.0 if x > 0 else 0.0)
    return [F(cuts[k] - eta) - F(cuts[k - 1] - eta) for k in range(1, len(cuts))]


def test_cut_points_follow_log_gaps():
    c = t.ocat_cut_points(5, [0.0, math.log(2.0), -1.0])
    assert c[0] == -math.inf and c[-1] == math.inf
    assert c[1:4] == pytest.approx([-1.0, 0.0, 2.0])
    assert c[4] == pytest.approx(2.0 + math.exp(-1.0))
    assert t.ocat_cut_points(3, [0.3])[1:3] == pytest.approx([-1.0, -1.0 + math.exp(0.3)])


@pytest.mark.parametrize("eta", [-800.0, -40.0, -3.0, -0.5, 0.0, 0.7, 2.5, 40.0, 800.0])
def test_probabilities_form_a_distribution_without_cancellation(eta):
    th = [0.2, -0.4]
    cuts = t.ocat_cut_points(4, th)
    p = [t.ocat_probability(4, th, k, eta) for k in range(1, 5)]
    assert all(0.0 <= v <= 1.0 for v in p)
    assert sum(p) == pytest.approx(1.0, abs=1e-12)
    if abs(eta) < 10:
        assert p == pytest.approx(naive_probs(cuts, eta), rel=1e-12, abs=1e-15)
    # Far tails keep their relative accuracy: P(k=1 | eta=40) = 1 / (1 + e^41).
    if eta == 40.0:
        assert p[0] == pytest.approx(math.exp(-41.0), rel=1e-10)
        assert p[1] == pytest.approx(1 / (1 + math.exp(40 - cuts[2])) - 1 / (1 + math.exp(41)), rel=1e-9)


def test_vanishing_probability_gives_a_large_finite_deviance():
    d = t.ocat_unit_deviance(3, [0.0], 1, 1e6)
    assert math.isfinite(d) and d == pytest.approx(-2.0 * math.log(2.2250738585072014e-308))


@pytest.mark.parametrize("k,eta", [(1, -1.3), (1, 4.0), (2, 0.1), (2, -6.0), (3, 0.0), (3, 9.0), (4, 1.0), (4, -5.0)])
def test_derivatives_match_finite_differences(k, eta):
    th = [0.1, 0.5]
    d = lambda e: t.ocat_unit_deviance(4, th, k, e)
    g1, g2 = t.ocat_derivatives(4, th, k, eta)
    h = 1e-5
    assert g1 == pytest.approx((d(eta + h) - d(eta - h)) / (2 * h), rel=1e-6, abs=1e-8)
    h = 1e-4
    assert g2 == pytest.approx((d(eta + h) - 2 * d(eta) + d(eta - h)) / h**2, rel=1e-4, abs=1e-6)
    assert g2 > 0.0  # -log P is convex in eta for the logistic distribution


@pytest.mark.parametrize(
    "y,k", [(2.4, 2), (2.5, 3), (1.0, 1), (0.2, 1), (-3.0, 1), (math.nan, 1), (3.49, 3), (9.0, 4), (math.inf, 4)],
    ids=["2.4", "2.5", "1", "0.2", "negative", "nan", "3.49", "above", "inf"])
def test_category_rounding(y, k):
    assert t.ocat_category(y, 4) == k


@pytest.mark.parametrize(
    "bad,shown", [(0.0, "0"), (4.0, "4"), (math.nan, "NaN"), (0.49, "0.49"), (3.5, "3.5"), (-math.inf, "-inf")])
def test_ocat_response_check_reports_first_bad_row(bad, shown):
    y = np.array([1.0, 2.5, 3.0, bad, 0.0])
    assert t.ocat_check_response(y, 3) == f"Ocat requires y to be an integer in 1..=3; got y={shown} at row 3"


def test_ocat_response_check_accepts_values_that_round_into_range():
    assert t.ocat_check_response(np.array([0.5, 1.4, 2.5, 3.49]), 3) is None


# --------------------------------------------------------------------------------------------
# Extended log-F family formulas


@pytest.mark.parametrize("tau", [0.1, 0.5, 0.9])
def test_elf_unit_deviance_is_zero_at_its_minimum_and_tends_to_pinball(tau):
    sigma, lam = 0.7, 0.3
    r_min = lam * math.log((1 - tau) / tau)
    d = lambda r, l=lam: t.elf_unit_deviance(tau, sigma, l, r)
    assert d(r_min) == pytest.approx(0.0, abs=1e-14)
    assert min(d(r) for r in np.linspace(-5, 5, 201)) >= -1e-14
    pinball = lambda r: tau * r if r > 0 else (tau - 1) * r
    for r in [-3.0, -0.4, 0.25, 2.0]:
        assert d(r, 1e-6) == pytest.approx(2 / sigma * pinball(r), abs=1e-5)
    # Residuals far beyond the softness neither overflow nor lose the linear growth.
    h = tau * math.log(tau) + (1 - tau) * math.log(1 - tau)
    assert d(1e6, 1e-3) == pytest.approx(2 / sigma * (tau * 1e6 + 1e-3 * h), rel=1e-14)
    assert d(-1e6, 1e-3) == pytest.approx(2 / sigma * ((1 - tau) * 1e6 + 1e-3 * h), rel=1e-14)


@pytest.mark.parametrize("r", [-4.0, -0.3, 0.0, 0.8, 6.0])
def test_elf_newton_quantities_are_half_derivatives_in_eta(r):
    tau, sigma, lam = 0.25, 1.3, 0.6
    d = lambda e: t.elf_unit_deviance(tau, sigma, lam, 1.0 - e)
    w, g = t.elf_newton(tau, sigma, lam, r)
    eta, h = 1.0 - r, 1e-4
    assert -2 * g == pytest.approx((d(eta + h) - d(eta - h)) / (2 * h), rel=1e-6, abs=1e-9)
    h = 1e-3
    assert 2 * w == pytest.approx((d(eta + h) - 2 * d(eta) + d(eta - h)) / h**2, rel=1e-4, abs=1e-7)


@pytest.mark.parametrize("tau,sigma,lam", [(0.5, 1.0, 1.0), (0.1, 0.5, 0.2), (0.9, 2.0, 3.0)])
def test_elf_saturated_term_normalises_the_density(tau, sigma, lam):
    q = t.elf_saturated_term(tau, sigma, lam)
    r = np.linspace(-1500, 1500, 1500001)
    dens = np.exp(q - 0.5 * np.array([t.elf_unit_deviance(tau, sigma, lam, v) for v in r]))
    assert np.trapezoid(dens, r) == pytest.approx(1.0, rel=1e-6)


def test_elf_response_check_rejects_non_finite_values():
    assert t.elf_check_response(np.array([0.0, -2.0, 1e300])) is None
    assert t.elf_check_response(np.array([0.0, math.inf, math.nan])) == "ELF requires finite y; got y=inf at row 1"


# --------------------------------------------------------------------------------------------
# Inner solvers on a small hand-made smooth: orthonormal polynomial columns whose penalty grows
# with the degree (intercept and slope unpenalised).


def poly_design(x, k=7):
    v = np.vander(2 * (x - x.min()) / np.ptp(x) - 1, k + 1, increasing=True)
    q, _ = np.linalg.qr(v)
    q = q * np.sqrt(len(x))
    q[:, 0] = 1.0
    s = np.diag([0.0, 0.0] + [float(j) ** 4 for j in range(2, k + 1)])
    return q, s


def latent_ocat_data(n, rng, cuts=(-1.0, 0.2, 1.5)):
    x = rng.uniform(0, 1, n)
    f = 1.5 * np.sin(2 * np.pi * x)
    latent = f + rng.logistic(size=n)
    y = 1.0 + np.searchsorted(np.asarray(cuts), latent).astype(float)
    return x, f, y


@pytest.fixture(scope="module")
def ocat_problem():
    rng = np.random.default_rng(11)
    x, f, y = latent_ocat_data(600, rng)
    X, S = poly_design(x)
    w = rng.uniform(0.5, 2.0, len(y))
    return X, S, y, w


def ocat_objective_gradient(X, S, y, w, th, beta, rho):
    eta = X @ beta
    g1 = np.array([t.ocat_derivatives(4, th, t.ocat_category(v, 4), e)[0] for v, e in zip(y, eta)])
    return X.T @ (w * g1) + 2 * math.exp(rho) * S @ beta


def test_full_newton_reaches_the_penalised_optimum(ocat_problem):
    X, S, y, w = ocat_problem
    th = [math.log(1.2), math.log(1.3)]
    r = t.full_newton(X, S, y, w, 4, th, 0.5)
    assert r["converged"] and 2 <= r["iterations"] < 50
    grad = ocat_objective_gradient(X, S, y, w, th, r["beta"], 0.5)
    assert np.max(np.abs(grad)) < 1e-6
    assert np.allclose(r["eta"], X @ r["beta"])
    L = r["factor"]
    assert np.allclose(np.triu(L, 1), 0.0)
    A = X.T @ (r["working_weights"][:, None] * X) + math.exp(0.5) * S
    assert np.allclose(L @ L.T, A)
    dev = sum(wi * t.ocat_unit_deviance(4, th, t.ocat_category(v, 4), e) for v, e, wi in zip(y, r["eta"], w))
    assert r["deviance"] == pytest.approx(dev, rel=1e-12)


def test_full_newton_starts_at_category_midpoints():
    th = [0.0]
    y = np.array([1.0, 2.0, 3.0, 2.4, 2.5])
    X = np.ones((5, 1))
    r = t.full_newton(X, np.zeros((1, 1)), y, None, 3, th, 0.0, max_iter=0)
    # c1 = -1, c2 = 0: category 1 spans (-2, -1), category 3 spans (0, 1).
    assert r["eta"] == pytest.approx([-1.5, -0.5, 0.5, -0.5, 0.5])
    assert r["iterations"] == 0 and not r["converged"]
    eta0 = np.full(5, 0.25)
    assert t.full_newton(X, np.zeros((1, 1)), y, None, 3, th, 0.0, max_iter=0, eta_start=eta0)["eta"] == pytest.approx(eta0)


def test_full_newton_never_declares_convergence_on_the_first_iteration(ocat_problem):
    X, S, y, w = ocat_problem
    r = t.full_newton(X, S, y, w, 4, [0.0, 0.0], 0.0, max_iter=1)
    assert r["iterations"] == 1 and not r["converged"]


@pytest.mark.parametrize("cat", [1.0, 4.0], ids=["lowest", "highest"])
def test_full_newton_with_one_category_stays_finite(ocat_problem, cat):
    X, S, _, _ = ocat_problem
    y = np.full(X.shape[0], cat)
    r = t.full_newton(X, S, y, None, 4, [0.0, 0.0], 0.0)
    assert "error" not in r
    assert np.all(np.isfinite(r["beta"])) and np.all(r["working_weights"] >= 1e-12)
    assert np.all(r["eta"] < -1.0) if cat == 1.0 else np.all(r["eta"] > 1.0)


def test_full_newton_reports_a_singular_penalised_hessian(ocat_problem):
    X, S, y, w = ocat_problem
    X = X.copy()
    X[:, 1] = 0.0  # unpenalised column carrying no information
    r = t.full_newton(X, S, y, w, 4, [0.0, 0.0], 0.0)
    assert r["error"].startswith("singular system: Cholesky failed: Computational failure in LAPACK subroutine: return_code = ")


def quantile_data(n, rng):
    x = rng.uniform(0, 1, n)
    mean = np.sin(2 * np.pi * x)
    sd = 0.2 + 0.6 * x
    return x, mean, sd, mean + sd * rng.standard_normal(n)


def test_armijo_fits_the_median_and_restarts_at_its_optimum():
    rng = np.random.default_rng(5)
    x, mean, _, y = quantile_data(800, rng)
    X, S = poly_design(x)
    r = t.armijo(X, S, y, 0.5, 0.3, 0.05, -2.0, np.zeros(X.shape[1]))
    assert r["converged"] and r["iterations"] >= 1
    assert np.mean(y < r["eta"]) == pytest.approx(0.5, abs=0.03)
    again = t.armijo(X, S, y, 0.5, 0.3, 0.05, -2.0, r["beta"])
    assert again["converged"] and again["iterations"] == 1
    assert again["beta"] == pytest.approx(r["beta"], abs=1e-6)
    W = again["working_weights"]
    A = X.T @ (W[:, None] * X) + math.exp(-2.0) * S
    A += 1e-7 * max(1.0, np.max(np.abs(np.diag(A)))) * np.eye(len(A))
    assert np.allclose(again["factor"] @ again["factor"].T, A)


def test_armijo_small_softness_approaches_absolute_loss():
    rng = np.random.default_rng(6)
    x, _, _, y = quantile_data(300, rng)
    X, S = poly_design(x)
    sigma = 0.5
    r = t.armijo(X, S, y, 0.5, sigma, 1e-4, 0.0, np.zeros(X.shape[1]))
    assert r["deviance"] == pytest.approx(np.sum(np.abs(y - r["eta"])) / sigma, rel=1e-3)


def test_armijo_reports_a_failed_factorisation():
    X = np.ones((4, 2))
    X[2, 1] = math.nan
    r = t.armijo(X, np.zeros((2, 2)), np.zeros(4), 0.5, 1.0, 1.0, 0.0, np.zeros(2))
    assert r["error"].startswith("singular system: ELF Cholesky: Computational failure in LAPACK subroutine")


# --------------------------------------------------------------------------------------------
# Fit paths on a hand-made single-smooth design (the entry point builds the real designs).


def penalty_info(S):
    d = np.diag(S)
    nz = d[d > 0]
    return len(nz), float(np.sum(np.log(nz)))


def elf_fit(X, S, y, tau, weights=None, n=None, **kw):
    r, ld = penalty_info(S)
    return t.fit_elf_design(X, S, r, ld, 2, len(y) if n is None else n, y, weights, tau, **kw)


def ocat_fit(X, S, y, n_cats, weights=None, n=None):
    r, ld = penalty_info(S)
    return t.fit_ocat_design(X, S, r, ld, 2, len(y) if n is None else n, y, weights, n_cats)


@pytest.fixture(scope="module")
def hetero():
    rng = np.random.default_rng(1)
    x, mean, sd, y = quantile_data(2000, rng)
    X, S = poly_design(x, 9)
    return x, X, S, y


@pytest.fixture(scope="module")
def quantile_fits(hetero):
    _, X, S, y = hetero
    return {tau: elf_fit(X, S, y, tau) for tau in (0.1, 0.5, 0.9)}


def test_quantile_curves_cover_their_level_and_do_not_cross(hetero, quantile_fits):
    x, X, S, y = hetero
    curves = {}
    for tau, f in quantile_fits.items():
        assert "error" not in f and f["converged"]
        curves[tau] = X @ f["beta"]
        # The automatic sigma widens the loss at extreme levels, which pulls those curves slightly
        # towards the median (about 0.078 below the 0.1 curve here): within 0.04 of tau.
        assert np.mean(y < curves[tau]) == pytest.approx(tau, abs=0.04)
    inner = (x > 0.05) & (x < 0.95)
    assert np.all(curves[0.1][inner] < curves[0.5][inner])
    assert np.all(curves[0.5][inner] < curves[0.9][inner])


def test_quantile_record_reports_sigma_as_scale(hetero, quantile_fits):
    _, X, S, y = hetero
    f = quantile_fits[0.5]
    assert f["shape_params"].size == 0 and f["link_kind"] == 0
    start = t.elf_warm_start(X, S, y, 0.5, 0.0, 0.0)
    assert f["scale"] == start["sigma"]
    assert f["lambda"] == pytest.approx(np.exp(f["rho"]))
    user = elf_fit(X, S, y, 0.5, sigma=2.0)
    assert user["scale"] == 2.0
    assert user["vcov"] == pytest.approx(user["vcov"].T)
    assert np.all(np.linalg.eigvalsh(user["vcov"]) > 0)


def test_quantile_fit_ignores_prior_weights_but_checks_their_length(hetero, quantile_fits):
    _, X, S, y = hetero
    w = np.random.default_rng(3).uniform(0.1, 3.0, len(y))
    plain = quantile_fits[0.9]
    for weights in (w, 2 * w, np.full(len(y), 2.0)):
        f = elf_fit(X, S, y, 0.9, weights=weights)
        assert np.array_equal(f["beta"], plain["beta"]) and f["reml_value"] == plain["reml_value"]
    bad = elf_fit(X, S, y, 0.9, weights=w[:-1])
    assert bad["error"] == "invalid parameter: prior_weights length must match x rows; got weights.len()=1999, x.nrows()=2000"


@pytest.mark.parametrize("tau,sigma_user,lam_user", [(0.5, 0.0, 0.0), (0.1, 0.0, 0.0), (0.9, -1.0, math.nan), (0.3, 2.0, 0.0), (0.3, 0.5, 0.25)],
                         ids=["median", "low", "negative-user-values", "user-sigma", "both-given"])
def test_elf_warm_start_shift_and_automatic_sigma(hetero, tau, sigma_user, lam_user):
    _, X, S, y = hetero
    s = t.elf_warm_start(X, S, y, tau, sigma_user, lam_user)
    beta_ls = np.linalg.solve(X.T @ X + S, X.T @ y)
    e = y - X @ beta_ls
    n = len(y)
    q = np.sort(e)[int(math.floor((n - 1) * tau + 0.5))]
    # The constant column is orthogonal to the others and unpenalised, so the shift is q exactly.
    assert X @ s["beta0"] == pytest.approx(X @ beta_ls + q, abs=1e-9)
    auto = 0.05 * math.sqrt(2 * math.pi * np.mean(e**2)) / math.log(4) * max(1.0, 1 / (4 * tau * (1 - tau)))
    sigma = sigma_user if sigma_user > 0 else auto
    assert s["sigma"] == pytest.approx(sigma, rel=1e-12)
    assert s["lambda"] == pytest.approx(lam_user if lam_user > 0 else sigma, rel=1e-12)


def test_elf_warm_start_reports_a_singular_least_squares_system(hetero):
    _, X, S, y = hetero
    X = X.copy()
    X[:, 1] = 0.0
    f = elf_fit(X, S, y, 0.5)
    assert f["error"] == ("singular system: ELF warm-start Cholesky: "
                          "Computational failure in LAPACK subroutine: return_code = 2")


@pytest.mark.parametrize(
    "tau,y_bad,kw,message",
    [
        (0.0, None, {}, "elf/quantile tau must be in (0, 1); got tau=0"),
        (1.0, None, {}, "elf/quantile tau must be in (0, 1); got tau=1"),
        (math.nan, None, {}, "elf/quantile tau must be in (0, 1); got tau=NaN"),
        (0.5, "short", {}, "x and y must have the same number of rows; got x.nrows()=2000, y.len()=1999"),
        (0.5, math.nan, {}, "ELF requires finite y; got y=NaN at row 7"),
        (0.5, -math.inf, {}, "ELF requires finite y; got y=-inf at row 7"),
        (0.5, None, {"sigma": math.inf}, "elf_sigma must be finite; got elf_sigma=inf"),
        (0.5, None, {"lam": math.inf}, "elf_lambda must be finite; got elf_lambda=inf"),
    ],
    ids=["tau0", "tau1", "tau-nan", "rows", "y-nan", "y-inf", "sigma-inf", "lambda-inf"])
def test_quantile_path_checks(hetero, tau, y_bad, kw, message):
    _, X, S, y = hetero
    y = y.copy()
    if y_bad == "short":
        y = y[:-1]
    elif y_bad is not None:
        y[7] = y_bad
    f = elf_fit(X, S, y, tau, n=X.shape[0], **kw)
    assert f["error"] == "invalid parameter: " + message


TRUE_CUTS = (-1.0, 0.2, 1.5)


@pytest.fixture(scope="module")
def ocat_data():
    rng = np.random.default_rng(2)
    x, f, y = latent_ocat_data(2000, rng, TRUE_CUTS)
    X, S = poly_design(x, 9)
    return X, S, f, y


@pytest.fixture(scope="module")
def ocat_record(ocat_data):
    X, S, _, y = ocat_data
    return ocat_fit(X, S, y, 4)


def test_ocat_recovers_cut_points_and_latent_smooth(ocat_data, ocat_record):
    X, S, f, y = ocat_data
    g = ocat_record
    assert "error" not in g and g["converged"]
    assert g["shape_params"].shape == (2,)
    cuts = t.ocat_cut_points(4, list(g["shape_params"]))
    assert cuts[1:4] == pytest.approx(TRUE_CUTS, abs=0.3)
    eta = X @ g["beta"]
    assert np.corrcoef(eta, f)[0, 1] > 0.99
    assert np.max(np.abs(eta - f)) < 0.5


def test_ocat_record_keeps_the_unscaled_inverse_hessian(ocat_data, ocat_record):
    X, S, _, y = ocat_data
    g = ocat_record
    assert g["scale"] == 1.0 and g["link_kind"] == 0
    th = list(g["shape_params"])
    eta = X @ g["beta"]
    W = np.array([max(0.5 * t.ocat_derivatives(4, th, t.ocat_category(v, 4), e)[1], 1e-12) for v, e in zip(y, eta)])
    A = X.T @ (W[:, None] * X) + g["lambda"][0] * S
    assert np.linalg.inv(g["vcov"]) == pytest.approx(A, rel=1e-8, abs=1e-8)
    assert g["edf_total"] == pytest.approx(np.trace(g["vcov"] @ (X.T @ (W[:, None] * X))), rel=1e-10)


def test_ocat_with_three_categories_has_one_threshold(ocat_data):
    X, S, _, y = ocat_data
    g = ocat_fit(X, S, np.minimum(y, 3.0), 3)
    assert g["converged"] and g["shape_params"].shape == (1,)


@pytest.mark.parametrize(
    "mutate,message",
    [
        (lambda y, w: (y[:-1], None), "invalid parameter: x and y must have the same number of rows; got x.nrows()=2000, y.len()=1999"),
        (lambda y, w: (y, w[:5]), "invalid parameter: prior_weights length must match x rows; got weights.len()=5, x.nrows()=2000"),
        (lambda y, w: (np.where(np.arange(len(y)) == 9, 5.0, y), None), "invalid parameter: Ocat requires y to be an integer in 1..=4; got y=5 at row 9"),
        (lambda y, w: (np.where(np.arange(len(y)) == 3, 0.4, y), None), "invalid parameter: Ocat requires y to be an integer in 1..=4; got y=0.4 at row 3"),
    ],
    ids=["rows", "weights", "above-range", "rounds-to-zero"])
def test_ocat_path_checks(ocat_data, mutate, message):
    X, S, _, y = ocat_data
    y2, w2 = mutate(y.copy(), np.ones(len(y)))
    assert ocat_fit(X, S, y2, 4, weights=w2, n=X.shape[0])["error"] == message


def test_ocat_nan_prior_weight_fails_instead_of_returning_nan(ocat_data):
    X, S, _, y = ocat_data
    w = np.ones(len(y))
    w[4] = math.nan
    g = ocat_fit(X, S, y, 4, weights=w)
    assert g["error"].startswith("singular system: Cholesky failed: Computational failure in LAPACK subroutine")


# --------------------------------------------------------------------------------------------
# Through the public entry point with the real designs.

vorel = pytest.importorskip("vorel")


@pytest.fixture(scope="module")
def entry_quantile_data():
    rng = np.random.default_rng(21)
    x, _, _, y = quantile_data(2000, rng)
    return x[:, None], y


@pytest.mark.parametrize("design", ["cr", "cr_stable"])
def test_entry_quantile_fits_cover_their_levels(entry_quantile_data, design):
    x, y = entry_quantile_data
    curves = {}
    for tau in (0.1, 0.5, 0.9):
        g = vorel.fit("quantile", x, y, tau=tau, design=design)
        assert g.converged and g.shape_params.size == 0
        curves[tau] = g.predict(x)
        # Extreme levels land a little towards the median (the automatic sigma): within 0.04.
        assert np.mean(y < curves[tau]) == pytest.approx(tau, abs=0.04)
    inner = (x[:, 0] > 0.05) & (x[:, 0] < 0.95)
    assert np.all(curves[0.1][inner] < curves[0.5][inner]) and np.all(curves[0.5][inner] < curves[0.9][inner])


def test_entry_quantile_and_elf_names_agree_and_weights_do_not_matter(entry_quantile_data):
    x, y = entry_quantile_data
    a = vorel.fit("quantile", x, y)
    b = vorel.fit("elf", x, y, tau=0.5, weights=np.full(len(y), 2.0))
    assert np.array_equal(a.beta, b.beta) and a.scale == b.scale and a.reml_value == b.reml_value
    c = vorel.fit("elf", x, y, elf_sigma=2.0)
    assert c.scale == 2.0


@pytest.mark.parametrize(
    "kwargs,message",
    [
        (dict(tau=1.0, design="bogus"), "elf/quantile tau must be in (0, 1); got tau=1"),
        (dict(tau=0.5, design="bogus", elf_sigma=math.inf), "design must be 'cr', 're', or 'cr_stable'; got \"bogus\""),
        (dict(tau=0.5, elf_sigma=math.inf), "elf_sigma must be finite; got elf_sigma=inf"),
    ],
    ids=["tau-before-design", "design-before-own-checks", "sigma"])
def test_entry_quantile_check_order(entry_quantile_data, kwargs, message):
    x, y = entry_quantile_data
    with pytest.raises(ValueError) as info:
        vorel.fit("elf", x, y, **kwargs)
    assert str(info.value) == message


@pytest.fixture(scope="module")
def entry_ocat_data():
    rng = np.random.default_rng(22)
    x, f, y = latent_ocat_data(2000, rng, TRUE_CUTS)
    return x[:, None], f, y


def test_entry_ocat_recovers_truth(entry_ocat_data):
    x, f, y = entry_ocat_data
    g = vorel.fit("ocat", x, y, r=4)
    assert g.converged and g.scale == 1.0 and g.shape_params.shape == (2,)
    assert t.ocat_cut_points(4, list(g.shape_params))[1:4] == pytest.approx(TRUE_CUTS, abs=0.3)
    eta = g.predict(x)
    assert np.corrcoef(eta, f)[0, 1] > 0.99 and np.max(np.abs(eta - f)) < 0.5


def test_entry_ocat_rounds_categories_half_away_from_zero(entry_ocat_data):
    x, _, y = entry_ocat_data
    x, y = x[:400], y[:400].copy()
    base = vorel.fit("ocat", x, y, r=4)
    shifted = y.copy()
    shifted[y == 2.0] = 2.4
    shifted[y == 3.0] = 2.5
    moved = vorel.fit("ocat", x, shifted, r=4)
    assert np.array_equal(base.beta, moved.beta)
    with pytest.raises(ValueError) as info:
        vorel.fit("ocat", x, np.where(np.arange(len(y)) == 5, 4.5, y), r=4)
    assert str(info.value) == "Ocat requires y to be an integer in 1..=4; got y=4.5 at row 5"
    with pytest.raises(ValueError) as info:
        vorel.fit("ocat", x, y, r=4, design="tp")
    assert str(info.value) == "design must be 'cr', 're', or 'cr_stable'; got \"tp\""


def test_full_newton_with_overflowing_threshold_fails_instead_of_returning_nan(ocat_problem):
    # exp(800) makes the upper cut points infinite and the category midpoints NaN; the search
    # must see a failed evaluation (a rejected trial), never a NaN fit.
    X, S, y, w = ocat_problem
    r = t.full_newton(X, S, y, w, 4, [800.0, 0.0], 0.0)
    assert r["error"].startswith("singular system: Cholesky failed: ")
    tiny = t.full_newton(X, S, y, w, 4, [-800.0, 0.0], 0.0)
    assert "error" not in tiny and math.isfinite(tiny["deviance"])
