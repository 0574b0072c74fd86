"""Inner solvers, score, outer search, standard families and the standard-family driver."""

import math

import numpy as np
import pytest

vt = pytest.importorskip("vorel._vorel_testing")


# ---- a small penalised spline design built here (intercept + centred B-splines) -------------

def bspline_basis(x, k):
    """Cubic B-spline basis with k functions on [min x, max x]."""
    lo, hi = x.min(), x.max()
    inner = np.linspace(lo, hi, k - 2)
    h = inner[1] - inner[0]
    t = np.concatenate([lo - h * np.arange(3, 0, -1), inner, hi + h * np.arange(1, 4)])
    b = np.array([[1.0 if t[j] <= xi < t[j + 1] else 0.0 for j in range(len(t) - 1)] for xi in x])
    b[x == hi, len(inner) + 1] = 1.0
    for d in range(1, 4):
        nb = np.zeros((len(x), len(t) - 1 - d))
        for j in range(len(t) - 1 - d):
            a = (x - t[j]) / (t[j + d] - t[j]) * b[:, j]
            c = (t[j + d + 1] - x) / (t[j + d + 1] - t[j + 1]) * b[:, j + 1]
            nb[:, j] = a + c
        b = nb
    return b


def spline_design(x, k=8):
    """Model matrix [1 | B Z], second-difference penalty, its rank and log pseudo-determinant."""
    b = bspline_basis(x, k)
    dmat = np.diff(np.eye(k), 2, axis=0)
    s = dmat.T @ dmat
    q, _ = np.linalg.qr(b.sum(axis=0).reshape(-1, 1), mode="complete")
    z = q[:, 1:]
    xm = np.column_stack([np.ones(len(x)), b @ z])
    sc = z.T @ s @ z
    sc *= np.abs(xm).sum(axis=1).max() ** 2 / np.abs(sc).sum(axis=1).max()
    p = xm.shape[1]
    full = np.zeros((p, p))
    full[1:, 1:] = sc
    ev = np.linalg.eigvalsh(sc)
    pos = ev[ev > ev.max() * 1e-10]
    return xm, full, len(pos), float(np.log(pos).sum()), p - len(pos)


@pytest.fixture(scope="module")
def design():
    rng = np.random.default_rng(7)
    x = np.sort(rng.uniform(0, 1, 200))
    xm, s, r, ld, mp = spline_design(x)
    return {"x": x, "xm": xm, "s": s, "rank": r, "logdet": ld, "mp": mp, "rng": rng}


def problem(d, y, weights=None, **kw):
    return vt.make_problem(d["xm"], y, weights, [d["s"]], [d["rank"]], [d["logdet"]], d["mp"], **kw)


def signal(x):
    return np.sin(2 * np.pi * x)


def responses(d):
    rng = np.random.default_rng(11)
    f = signal(d["x"])
    n = len(f)
    return {
        "gaussian": f + rng.normal(0, 0.3, n),
        "poisson": rng.poisson(np.exp(1 + f)).astype(float),
        "quasipoisson": rng.poisson(np.exp(1 + f)).astype(float),
        "bernoulli": (rng.uniform(size=n) < 1 / (1 + np.exp(-2 * f))).astype(float),
        "quasibinomial": (rng.uniform(size=n) < 1 / (1 + np.exp(-2 * f))).astype(float),
        "gamma": rng.gamma(4.0, np.exp(0.5 + f) / 4.0),
        "inverse_gaussian": rng.wald(np.exp(0.3 * f), 4.0),
    }


# ---- penalised solve -------------------------------------------------------------------------

def test_solve_identity_returns_factor_of_a_and_ridged_beta():
    factor, beta = vt.solve_penalized(np.eye(3), np.array([1.0, 2.0, 3.0]))
    np.testing.assert_array_equal(factor, np.eye(3))
    np.testing.assert_allclose(beta, np.array([1.0, 2.0, 3.0]) / (1 + 1e-12), rtol=0, atol=1e-15)


@pytest.mark.parametrize(
    "diag, ridge",
    [([1e6, 2.0, 0.5], 1e-6), ([0.5, 0.25, 0.9], 1e-12), ([-4.0], None)],
    ids=["large-diagonal", "small-diagonal", "p1-negative"],
)
def test_ridge_size_follows_largest_diagonal(diag, ridge):
    a = np.diag(diag)
    if ridge is None:
        with pytest.raises(RuntimeError, match="return_code = 1$"):
            vt.solve_penalized(a, np.ones(len(diag)))
        return
    factor, beta = vt.solve_penalized(a, np.ones(len(diag)))
    np.testing.assert_allclose(np.diag(factor), np.sqrt(diag), rtol=1e-15)
    np.testing.assert_allclose(beta, 1.0 / (np.array(diag) + ridge), rtol=1e-14)


def test_solve_singular_reports_the_failing_minor():
    with pytest.raises(RuntimeError) as e:
        vt.solve_penalized(np.array([[1.0, 1.0], [1.0, 1.0]]), np.array([1.0, 1.0]))
    assert str(e.value) == (
        "singular system: Cholesky failed: Computational failure in LAPACK subroutine: return_code = 2"
    )


def test_inverse_from_factor_matches_numpy():
    rng = np.random.default_rng(3)
    m = rng.normal(size=(6, 6))
    a = m @ m.T + 6 * np.eye(6)
    factor, _ = vt.solve_penalized(a, np.zeros(6))
    np.testing.assert_allclose(vt.inverse_from_factor(factor), np.linalg.inv(a), rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("signs", ["nonnegative", "mixed"])
def test_weighted_gram_both_paths(signs):
    rng = np.random.default_rng(5)
    x = rng.normal(size=(50, 4))
    w = rng.uniform(0, 2, 50)
    if signs == "mixed":
        w[::3] *= -1
    g = vt.weighted_gram(x, w)
    np.testing.assert_allclose(g, x.T @ (w[:, None] * x), rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(g, g.T)


# ---- PIRLS -------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def line_data():
    rng = np.random.default_rng(2)
    n = 200
    x = np.sort(rng.uniform(0, 1, n))
    return {"n": n, "x": x, "y": rng.poisson(3.0, n).astype(float)}


def test_pirls_never_converges_at_the_first_iteration(line_data):
    # Started at the maximum-likelihood intercept with the slope penalised away, the first step
    # is already exact; convergence can only be declared at the second.
    n, y = line_data["n"], line_data["y"]
    xm = np.column_stack([np.ones(n), line_data["x"]])
    pr = vt.make_problem(xm, y, None, [np.diag([0.0, 1.0])], [1], [0.0], 1,
                         eta_start=np.full(n, np.log(y.mean())))
    f = vt.pirls(pr, "poisson", np.array([12.0]))
    assert (f["iterations"], f["converged"]) == (2, True)
    assert f["beta"][0] == pytest.approx(np.log(y.mean()), abs=1e-4)


@pytest.mark.parametrize(
    "settings, iterations",
    [({"max_iter": 3}, 3), ({"tol": 0.0}, 50)],
    ids=["iteration-limit", "tolerance-never-met"],
)
def test_pirls_iteration_limit_is_not_an_error(design, settings, iterations):
    f = vt.pirls(problem(design, responses(design)["poisson"], **settings), "poisson", np.array([0.0]))
    assert (f["iterations"], f["converged"]) == (iterations, False)
    assert np.isfinite(f["deviance"])


def test_pirls_zero_iterations_uses_ridged_prior_weight_factor(design):
    y = responses(design)["poisson"]
    w = np.linspace(0.5, 1.5, len(y))
    f = vt.pirls(problem(design, y, w, max_iter=0), "poisson", np.array([0.0]))
    assert (f["iterations"], f["converged"]) == (0, False)
    np.testing.assert_array_equal(f["beta"], 0.0)
    np.testing.assert_array_equal(f["working_weights"], 1.0)
    a = design["xm"].T @ (w[:, None] * design["xm"]) + design["s"]
    a += np.eye(len(a)) * 1e-12 * max(1.0, np.abs(np.diag(a)).max())
    np.testing.assert_allclose(f["factor"] @ f["factor"].T, a, rtol=1e-12, atol=1e-12)


def test_pirls_halves_an_overflowing_step_until_finite(line_data):
    # From a start whose mean underflows, the first solve proposes eta ~ 1e14: exp overflows and
    # only halving makes the candidate acceptable.
    n, y = line_data["n"], line_data["y"]
    pr = vt.make_problem(np.ones((n, 1)), y, None, [np.zeros((1, 1))], [0], [0.0], 1,
                         eta_start=np.full(n, -800.0))
    f = vt.pirls(pr, "poisson", np.array([0.0]))
    assert f["iterations"] >= 1
    assert np.all(np.isfinite(f["mu"])) and np.isfinite(f["deviance"])
    assert 0 < f["beta"][0] < 709


def test_pirls_keeps_the_start_when_no_step_can_be_made_finite(design):
    y = responses(design)["poisson"].copy()
    y[5] = np.nan
    f = vt.pirls(problem(design, y), "poisson", np.array([0.0]))
    assert (f["iterations"], f["converged"]) == (1, False)
    np.testing.assert_array_equal(f["beta"], 0.0)
    np.testing.assert_array_equal(np.triu(f["factor"], 1), 0.0)  # the fallback factor, lower
    assert np.all(np.diag(f["factor"]) > 0)


def test_pirls_singular_solve_is_prefixed(line_data):
    n = line_data["n"]
    xm = np.column_stack([np.ones(n), np.ones(n)])  # collinear, unpenalised
    pr = vt.make_problem(xm, line_data["y"], None, [np.zeros((2, 2))], [0], [0.0], 2)
    with pytest.raises(RuntimeError) as e:
        vt.pirls(pr, "poisson", np.array([0.0]))
    assert str(e.value) == ("singular system: PIRLS factor: Cholesky failed: "
                            "Computational failure in LAPACK subroutine: return_code = 2")


@pytest.mark.parametrize("family", ["poisson", "bernoulli", "gamma", "inverse_gaussian"])
def test_pirls_fields_are_consistent(design, family):
    y = responses(design)[family]
    f = vt.pirls(problem(design, y), family, np.array([0.0]))
    assert f["converged"]
    np.testing.assert_allclose(f["eta"], design["xm"] @ f["beta"], rtol=1e-12, atol=1e-12)
    r = f["working_response"] - f["eta"]
    assert f["pearson"] == pytest.approx(float(np.sum(f["working_weights"] * r * r)), rel=1e-12)
    assert (f["log_det"] is not None) == (family == "inverse_gaussian")


# ---- closed form ---------------------------------------------------------------------------

@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_closed_form_matches_dense_solve(design, weighted):
    y = responses(design)["gaussian"]
    w = np.linspace(0.2, 2.0, len(y)) if weighted else None
    rho = np.array([0.7])
    f = vt.closed_form_fit(problem(design, y, w), rho)
    ww = np.ones(len(y)) if w is None else w
    xm = design["xm"]
    a = xm.T @ (ww[:, None] * xm) + np.exp(0.7) * design["s"]
    beta = np.linalg.solve(a, xm.T @ (ww * y))
    np.testing.assert_allclose(f["beta"], beta, rtol=1e-9, atol=1e-10)
    np.testing.assert_array_equal(f["working_weights"], ww)
    dev = float(np.sum(ww * (y - xm @ f["beta"]) ** 2))
    assert f["deviance"] == pytest.approx(dev, rel=1e-12)
    assert f["pearson"] == f["deviance"]
    assert (f["iterations"], f["converged"]) == (1, True)


# ---- families --------------------------------------------------------------------------------

LOGIT_HIGH = 0.999999999999999

FORMULAS = [
    ("poisson", "initial_mu", (np.nan,), 0.1),
    ("poisson", "initial_mu", (0.0,), 0.1),
    ("bernoulli", "initial_mu", (1.0,), 0.75),
    ("gamma", "initial_mu", (1e-5,), 0.001),
    ("inverse_gaussian", "initial_mu", (1e-5,), 0.001),
    ("poisson", "link", (0.0,), math.log(1e-300)),
    ("bernoulli", "link", (0.0,), math.log(1e-15 / (1 - 1e-15))),
    ("bernoulli", "link", (1.0,), math.log(LOGIT_HIGH / (1 - LOGIT_HIGH))),
    ("bernoulli", "inverse_link", (-800.0,), 0.0),
    ("bernoulli", "inverse_link", (800.0,), 1.0),
    ("bernoulli", "inverse_link", (-30.0,), math.exp(-30) / (1 + math.exp(-30))),
    ("poisson", "inverse_link", (800.0,), math.inf),
    ("poisson", "link_derivative", (0.0,), 1e300),
    ("bernoulli", "link_derivative", (0.5,), 4.0),
    ("bernoulli", "variance", (1.0,), 1e-300),
    ("gamma", "variance", (0.0,), 1e-300),
    ("inverse_gaussian", "variance", (2.0,), 8.0),
    ("gaussian", "unit_deviance", (1.0, 3.0), 4.0),
    ("poisson", "unit_deviance", (0.0, 0.5), 1.0),
    ("poisson", "unit_deviance", (2.0, 1.0), 2 * (2 * math.log(2) - 1)),
    ("bernoulli", "unit_deviance", (1.0, 1.0), 2 * math.log(1 / LOGIT_HIGH)),
    ("bernoulli", "unit_deviance", (0.3, 0.5), 2 * (0.3 * math.log(0.6) + 0.7 * math.log(1.4))),
    ("gamma", "unit_deviance", (2.0, 1.0), 2 * (math.log(0.5) + 1.0)),
    ("inverse_gaussian", "unit_deviance", (2.0, 1.0), 0.5),
]


@pytest.mark.parametrize("family, op, args, expected", FORMULAS,
                         ids=[f"{f}-{o}-{a}" for f, o, a, _ in FORMULAS])
def test_family_formulas(family, op, args, expected):
    assert vt.family_op(family, op, *args) == pytest.approx(expected, rel=1e-14, abs=0)


@pytest.mark.parametrize(
    "family, y, phi, expected",
    [
        ("poisson", [0.0, 0.0], 1.0, 0.0),
        ("poisson", [2.0, 0.0], 1.0, 2 * math.log(2) - 2),
        ("bernoulli", [0.0, 1.0, 1.0], 1.0, 0.0),
        ("bernoulli", [0.3, 1.0], 1.0, 0.3 * math.log(0.3) + 0.7 * math.log(0.7)),
        ("gaussian", [1.0, 2.0, 3.0], 0.5, -1.5 * math.log(math.pi)),
        ("quasipoisson", [1.0, 2.0], 2.0, -math.log(4 * math.pi)),
        ("inverse_gaussian", [1.0, math.e], 1.0, -math.log(2 * math.pi) - 1.5),
        ("gamma", [1.0], 0.5, -math.lgamma(2.0) - 2 * math.log(0.5) - 2.0),
    ],
    ids=["poisson-zeros", "poisson", "bernoulli-binary", "bernoulli-proportion", "gaussian",
         "quasipoisson", "inverse-gaussian", "gamma"],
)
def test_saturated_loglik(family, y, phi, expected):
    assert vt.saturated_loglik(family, np.array(y), phi) == pytest.approx(expected, rel=1e-12, abs=1e-14)


@pytest.mark.parametrize(
    "family, y, message",
    [
        ("poisson", [1.0, -0.5], "Poisson requires y ≥ 0; got y=-0.5 at row 1"),
        ("quasipoisson", [-1.0], "QuasiPoisson requires y ≥ 0; got y=-1 at row 0"),
        ("gamma", [1.0, 2.0, 0.0, -1.0], "Gamma requires y > 0; got y=0 at row 2"),
        ("inverse_gaussian", [0.0], "InverseGaussian requires y > 0; got y=0 at row 0"),
        ("bernoulli", [0.0, 2.0], "Bernoulli requires y in [0, 1]; got y=2 at row 1"),
        ("quasibinomial", [0.5, np.nan], "QuasiBinomial requires y in [0, 1]; got y=NaN at row 1"),
        ("poisson", [0.0, np.nan], None),
        ("gamma", [np.nan, 1.0], None),
        ("gaussian", [-1e300, np.nan], None),
    ],
    ids=["poisson", "quasipoisson", "gamma-zero", "ig-zero", "bernoulli-two", "quasibinomial-nan",
         "poisson-accepts-zero-nan", "gamma-accepts-nan", "gaussian-any"],
)
def test_valid_response(family, y, message):
    if message is None:
        vt.check_response(family, np.array(y))
        return
    with pytest.raises(ValueError) as e:
        vt.check_response(family, np.array(y))
    assert str(e.value) == message


# ---- score -------------------------------------------------------------------------------------

def gaussian_reml(d, y, rho):
    xm, s = d["xm"], d["s"]
    lam = math.exp(rho)
    a = xm.T @ xm + lam * s
    beta = np.linalg.solve(a, xm.T @ y)
    dp = float(np.sum((y - xm @ beta) ** 2) + lam * beta @ s @ beta)
    n, mp = len(y), d["mp"]
    phi = dp / (n - mp)
    return (dp / (2 * phi) + 0.5 * np.linalg.slogdet(a)[1] - 0.5 * (d["rank"] * rho + d["logdet"])
            + 0.5 * (n - mp) * math.log(2 * math.pi * phi))


@pytest.mark.parametrize("rho", [-3.0, 0.0, 2.5])
def test_gaussian_score_equals_its_closed_form(design, rho):
    y = responses(design)["gaussian"]
    v, g = vt.score_eval(problem(design, y), "gaussian", np.array([rho]))
    assert v == pytest.approx(gaussian_reml(design, y, rho), rel=1e-10)


def test_gaussian_score_at_the_fitted_optimum(design):
    y = responses(design)["gaussian"]
    d = design
    rec = vt.fit_standard("gaussian", d["xm"], y, None, [d["s"]], [d["rank"]], [d["logdet"]], d["mp"])
    assert rec["reml_value"] == pytest.approx(gaussian_reml(d, y, rec["rho"][0]), rel=1e-10)
    _, g = vt.score_eval(problem(d, y), "gaussian", rec["rho"])
    assert abs(g[0]) < 5e-7 * (abs(rec["reml_value"]) + 1)


def central_difference(pr, family, rho, h=1e-4):
    up = vt.score_eval(pr, family, np.array([rho + h]))[0]
    down = vt.score_eval(pr, family, np.array([rho - h]))[0]
    return (up - down) / (2 * h)


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("rho", [-1.0, 0.5, 2.0])
def test_gaussian_envelope_gradient_is_the_derivative(design, rho, weighted):
    y = responses(design)["gaussian"]
    w = np.linspace(0.5, 2.0, len(y)) if weighted else None
    pr = problem(design, y, w)
    _, g = vt.score_eval(pr, "gaussian", np.array([rho]))
    assert g[0] == pytest.approx(central_difference(pr, "gaussian", rho), rel=1e-6, abs=1e-7)


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("rho", [-1.0, 0.5, 2.0])
def test_inverse_gaussian_correction_matches_the_score_derivative(design, rho, weighted):
    # The value uses log|H| of the observed information; only the corrected gradient, taken per
    # unit lambda_1 and with the prior weights inside dW/d eta, differentiates that value.
    y = responses(design)["inverse_gaussian"]
    assert np.any(y < 0.5 * np.exp(0.3 * signal(design["x"])))  # rows with alpha <= 0 present
    w = np.random.default_rng(1).uniform(0.5, 2.0, len(y)) if weighted else None
    pr = problem(design, y, w)
    _, corrected, plain = vt.inverse_gaussian_gradients(pr, np.array([rho]))
    fd = central_difference(pr, "inverse_gaussian", rho)
    err_corrected, err_plain = abs(corrected[0] - fd), abs(plain[0] - fd)
    assert err_corrected < 1e-6 * max(1.0, abs(fd))
    assert err_plain > 1000 * err_corrected


def test_degenerate_estimated_scale_gives_flat_penalty_value(design):
    y = np.zeros(len(design["x"]))  # fitted exactly: D = 0
    v, g, h = vt.score_with_hessian(problem(design, y), "gaussian", np.array([0.0]))
    assert v == 1e12
    np.testing.assert_array_equal(g, 0.0)


def test_fixed_scale_score_is_never_the_degenerate_value(design):
    y = np.zeros(len(design["x"]))
    v, _ = vt.score_eval(problem(design, y), "poisson", np.array([0.0]))
    assert v != 1e12 and np.isfinite(v)


def test_score_hessian_two_penalties_symmetric_and_matches_differences(design):
    d = design
    s1 = d["s"].copy()
    s2 = np.zeros_like(s1)
    s2[1:4, 1:4] = np.eye(3)
    y = responses(d)["poisson"]
    pr = vt.make_problem(d["xm"], y, None, [s1, s2], [d["rank"], 3], [d["logdet"], 0.0], d["mp"])
    rho = np.array([0.3, -0.4])
    v, g, h = vt.score_with_hessian(pr, "poisson", rho)
    np.testing.assert_array_equal(h, h.T)
    e = np.array([1e-5, 0.0])
    gp = vt.score_eval(pr, "poisson", rho + e)[1]
    gm = vt.score_eval(pr, "poisson", rho - e)[1]
    assert h[0, 0] == ((gp - gm) / 2e-5)[0]


def _digamma(x):
    """Reference psi(x): recurrence up past 20, then the asymptotic series (error < 1e-15)."""
    acc = 0.0
    while x < 20.0:
        acc -= 1.0 / x
        x += 1.0
    r2 = 1.0 / (x * x)
    return acc + math.log(x) - 0.5 / x - r2 * (1 / 12 - r2 * (1 / 120 - r2 * (1 / 252 - r2 / 240)))


def test_gamma_scale_newton_finds_the_stationary_point():
    digamma = _digamma
    dp, n, mp = 30.0, 100.0, 2.0
    phi = vt.gamma_scale_newton(dp, n, mp, dp / (n - mp))
    f = dp + mp * phi + 2 * n * (digamma(1 / phi) + math.log(phi))
    assert abs(f) < 1e-8 * (dp + mp + 1)
    # A start far off is pulled in by at most a factor of ten per step.
    assert vt.gamma_scale_newton(dp, n, mp, 1e3) == pytest.approx(phi, rel=1e-9)


# ---- outer search --------------------------------------------------------------------------------

def quadratic(centre, curvature=1.0, offset=10.0, log=None):
    def f(rho):
        if log is not None:
            log.append(rho.copy())
        r = rho - centre
        return (offset + 0.5 * curvature * float(r @ r), curvature * r,
                curvature * np.eye(len(rho)))
    return f


def test_optimize_already_converged_at_start():
    rho, value, it, conv = vt.optimize(quadratic(np.zeros(2)), np.zeros(2))
    np.testing.assert_array_equal(rho, 0.0)
    assert (value, it, conv) == (10.0, 0, True)


def test_optimize_newton_step_on_a_quadratic():
    rho, value, it, conv = vt.optimize(quadratic(np.array([3.0])), np.zeros(1))
    assert (rho[0], value, it, conv) == (3.0, 10.0, 1, True)


def test_optimize_caps_the_step_at_five():
    log = []
    rho, _, it, conv = vt.optimize(quadratic(np.array([12.0, -1.0]), log=log), np.zeros(2))
    np.testing.assert_allclose(log[1], [5.0, -5.0 / 12.0], rtol=1e-15)
    assert conv and rho == pytest.approx([12.0, -1.0]) and it == 3


def test_optimize_failed_line_search_ends_with_the_current_point():
    calls = []

    def flat(rho, g=1.0):
        calls.append(rho.copy())
        return 1.0, np.array([g]), np.array([[1.0]])

    rho, value, it, conv = vt.optimize(flat, np.zeros(1))
    assert (rho[0], value, it, conv) == (0.0, 1.0, 1, False)
    assert len(calls) == 11  # start + alpha = 1 ... 1/512
    assert vt.optimize(lambda r: flat(r, 1e-3), np.zeros(1))[3] is True


def test_optimize_rejects_failing_trials_and_halves():
    base = quadratic(np.array([3.0]))

    def f(rho):
        if rho[0] > 2.0:
            raise ArithmeticError("inner fit failed")
        return base(rho)

    rho, _, _, _ = vt.optimize(f, np.zeros(1))
    assert rho[0] <= 2.0 and rho[0] >= 1.5


def test_optimize_first_evaluation_failure_is_the_error():
    def f(rho):
        raise ArithmeticError("boom")

    with pytest.raises(RuntimeError, match="callback failed"):
        vt.optimize(f, np.zeros(1))


def test_optimize_relative_change_test_waits_three_steps():
    # Each step lowers V by 1e-3 on 1e6: relative change 1e-9, gradient above its tolerance.
    rho, _, it, conv = vt.optimize(lambda r: (1e6 - r[0], np.array([-1.0]), np.array([[1e3]])), np.zeros(1))
    assert (it, conv) == (3, True)
    assert rho[0] == pytest.approx(3e-3)


def test_optimize_fifty_steps_is_not_converged():
    with pytest.raises(RuntimeError) as e:
        vt.optimize(lambda r: (-float(r[0]), np.array([-1.0]), np.array([[0.0]])), np.zeros(1))
    assert str(e.value) == "solver did not converge after 50 iterations (last grad norm = 1.000e0)"


@pytest.mark.parametrize(
    "h, expected",
    [
        ([[-2.0]], [[1e-8]]),
        ([[3.0]], [[3.0]]),
        ([[np.nan]], [[np.nan]]),
        ([[2.0, 1.0], [3.0, 2.0]], [[2.0, 2.0], [2.0, 2.0]]),  # symmetric part, eigenvalue 0 -> 1e-8
    ],
    ids=["m1-negative", "m1-positive", "m1-nan", "m2-floor"],
)
def test_make_positive_definite(h, expected):
    out = vt.make_positive_definite(np.array(h))
    np.testing.assert_allclose(out, np.array(expected) + (0.5e-8 if len(h) == 2 else 0), rtol=1e-7, atol=1e-9)


def test_negative_curvature_gives_a_capped_step():
    log = []

    def f(rho):
        log.append(rho.copy())
        return 1.0 - 0.1 * float(rho[0]), np.array([-0.1]), np.array([[-4.0]])

    with pytest.raises(RuntimeError, match="after 50 iterations"):
        vt.optimize(f, np.zeros(1))
    assert log[1][0] == 5.0


# ---- driver ------------------------------------------------------------------------------------

def fit(family, d, y, weights=None, **kw):
    return vt.fit_standard(family, d["xm"], y, weights, [d["s"]], [d["rank"]], [d["logdet"]], d["mp"], **kw)


@pytest.mark.parametrize("family", ["poisson", "bernoulli"])
def test_fixed_scale_fit_reports_unit_scale_and_exact_inverse(design, family):
    y = responses(design)[family]
    rec = fit(family, design, y)
    assert rec["scale"] == 1.0
    inner = vt.pirls(problem(design, y), family, rec["rho"])
    np.testing.assert_array_equal(rec["vcov"], vt.inverse_from_factor(inner["factor"]))
    assert rec["converged"] and rec["shape_params"].size == 0
    np.testing.assert_array_equal(rec["lambda"], np.exp(rec["rho"]))


@pytest.mark.parametrize("family", ["gaussian", "poisson", "quasibinomial", "gamma", "inverse_gaussian"])
def test_edf_per_term_is_edf_total_minus_intercept(design, family):
    rec = fit(family, design, responses(design)[family])
    assert rec["edf_per_term"].shape == (1,)
    assert rec["edf_per_term"][0] == pytest.approx(rec["edf_total"] - 1, abs=1e-9)
    assert 1 < rec["edf_total"] < design["xm"].shape[1]


@pytest.mark.parametrize("family", ["quasipoisson", "quasibinomial", "gamma", "inverse_gaussian"])
def test_pearson_scale_and_vcov(design, family):
    y = responses(design)[family]
    rec = fit(family, design, y)
    inner = vt.pirls(problem(design, y), family, rec["rho"])
    mu = inner["mu"]
    if family == "quasibinomial":
        m = np.maximum(mu, 1e-15)
        c = np.minimum(m, 1 - 1e-15)
        v = c * (1 - c)
    else:
        m = np.maximum(mu, 1e-300)
        v = m ** {"quasipoisson": 1, "gamma": 2, "inverse_gaussian": 3}[family]
    scale = float(np.sum((y - m) ** 2 / v)) / (len(y) - rec["edf_total"])
    assert rec["scale"] == pytest.approx(scale, rel=1e-12)
    np.testing.assert_allclose(rec["vcov"], scale * vt.inverse_from_factor(inner["factor"]), rtol=1e-12)


def test_gaussian_scale_uses_penalised_residuals(design):
    y = responses(design)["gaussian"]
    w = np.linspace(0.5, 1.5, len(y))
    rec = fit("gaussian", design, y, w)
    xm, s = design["xm"], design["s"]
    b = rec["beta"]
    dp = float(np.sum(w * (y - xm @ b) ** 2) + rec["lambda"][0] * b @ s @ b)
    assert rec["scale"] == pytest.approx(dp / (len(y) - design["mp"]), rel=1e-10)
    a = xm.T @ (w[:, None] * xm) + rec["lambda"][0] * s
    np.testing.assert_allclose(rec["vcov"], rec["scale"] * np.linalg.inv(a), rtol=1e-8)


def test_gaussian_with_no_residual_degrees_of_freedom_has_nan_scale(design):
    d = dict(design)
    d["mp"] = len(design["x"])  # n - M_p = 0
    rec = fit("gaussian", d, responses(design)["gaussian"])
    assert math.isnan(rec["scale"]) and np.all(np.isnan(rec["vcov"]))
    assert (rec["n_iters"], rec["rho"][0], rec["lambda"][0]) == (0, 0.0, 1.0)


@pytest.mark.parametrize(
    "family, y_len, weights_len, bad, message",
    [
        ("gaussian", 199, None, None, "x and y must have the same number of rows; got x.nrows()=200, y.len()=199"),
        ("poisson", 200, 3, None, "prior_weights length must match x rows; got weights.len()=3, x.nrows()=200"),
        ("gamma", 200, None, (17, 0.0), "Gamma requires y > 0; got y=0 at row 17"),
        ("bernoulli", 200, None, (4, 2.0), "Bernoulli requires y in [0, 1]; got y=2 at row 4"),
    ],
    ids=["rows", "weights", "gamma-zero", "bernoulli-two"],
)
def test_driver_checks(design, family, y_len, weights_len, bad, message):
    y = np.abs(responses(design)[family][:y_len]) + (0.0 if family == "bernoulli" else 0.5)
    if bad:
        y[bad[0]] = bad[1]
    w = None if weights_len is None else np.ones(weights_len)
    with pytest.raises(ValueError) as e:
        fit(family, design, y, w)
    assert str(e.value) == message


def test_driver_first_evaluation_error_passes_through(design):
    d = dict(design)
    d["xm"] = np.column_stack([design["xm"], design["xm"][:, 0]])  # duplicated intercept
    d["s"] = np.pad(design["s"], ((0, 1), (0, 1)))
    with pytest.raises(RuntimeError, match="^singular system: Cholesky failed"):
        fit("gaussian", d, responses(design)["gaussian"])


def test_additive_two_penalties_fit(design):
    d = design
    s2 = np.zeros_like(d["s"])
    s2[1:4, 1:4] = np.eye(3)
    y = responses(d)["poisson"]
    rec = vt.fit_standard("poisson", d["xm"], y, None, [d["s"], s2], [d["rank"], 3],
                          [d["logdet"], 0.0], d["mp"])
    assert rec["rho"].shape == (2,) and rec["edf_per_term"].shape == (2,)
    assert rec["n_iters"] <= 50 and rec["converged"]


@pytest.mark.parametrize("design_name", ["cr", "re"])
def test_entry_fit_edf_and_fixed_scale(design_name):
    nat = pytest.importorskip("vorel._vorel_native")
    rng = np.random.default_rng(4)
    n = 300
    col = rng.uniform(0, 1, n) if design_name == "cr" else rng.integers(0, 6, n).astype(float)
    x = col.reshape(-1, 1)
    y = rng.poisson(np.exp(np.sin(4 * col) if design_name == "cr" else 0.2 * col)).astype(float)
    g = nat.fit("poisson", x, y, design=design_name)
    assert g.scale == 1.0
    assert len(g.edf_per_term) == 1
    assert g.edf_per_term[0] == pytest.approx(g.edf_total - 1, abs=1e-9)
    np.testing.assert_allclose(g.vcov(), g.vcov().T, rtol=1e-12, atol=1e-15)
