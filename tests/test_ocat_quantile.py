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
