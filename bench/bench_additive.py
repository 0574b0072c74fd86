"""Additive fit benchmark: four `cr` terms (k = 10) and one `te` term (5 x 5), gaussian and
poisson, at n = 1e4 and 1e5.

Prints, per case: wall time, extra peak memory, the number of inner fits, the time per inner
fit and the time of one X^T W X formation of the same model matrix.

    python bench/bench_additive.py
"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _measure  # noqa: E402

import numpy as np  # noqa: E402

TERMS = [(0, "cr", 10), (1, "cr", 10), (2, "cr", 10), (3, "cr", 10), ((4, 5), "te", (5, 5))]


def simulate(family, n, seed=3):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 1.0, (n, 6))
    f = (np.sin(np.pi * x[:, 0]) + 0.5 * np.exp(x[:, 1]) - 0.8 * x[:, 2] ** 2
         + np.cos(2 * np.pi * x[:, 4]) * x[:, 5])
    f = f - f.mean()
    if family == "gaussian":
        y = f + rng.normal(0.0, 0.5, n)
    else:
        y = rng.poisson(np.exp(0.5 + 0.5 * f)).astype(np.float64)
    return x, y


def count_inner_fits(family, x, y):
    """Replays the smoothing-parameter search through the test-only extension's hooks, counting
    score evaluations: each costs 2m + 1 inner fits, and the driver adds one final fit."""
    try:
        from vorel import _vorel_testing as vt
    except ImportError:
        return None
    specs = [("te", t[0][0], t[0][1], *t[2]) if t[1] == "te" else (t[1], t[0], *t[2:])
             for t in TERMS]
    d = vt.build_additive_design(specs, x)
    prob = vt.make_problem(d["x"], y, None, d["penalties"], d["penalty_ranks"],
                           d["penalty_log_dets"], d["null_space_dim"])
    m = len(d["penalties"])
    calls = [0]

    def score(rho):
        calls[0] += 1
        return vt.score_with_hessian(prob, family, rho)

    vt.optimize(score, np.zeros(m))
    return calls[0] * (2 * m + 1) + 1


def run_case(case):
    import vorel

    x, y = simulate(case["family"], case["n"])
    fit, secs, extra = _measure.measure(lambda: vorel.fit_additive(case["family"], x, y, TERMS))
    fits = count_inner_fits(case["family"], x, y)
    X = fit.evaluate_lpmatrix(x)
    mu = fit.predict_response(x)
    w = np.ones_like(mu) if case["family"] == "gaussian" else mu
    g = _measure.gram_time(X, w)
    return {**case, "fit_s": secs, "extra_peak_mib": extra, "model_matrix_mib": X.nbytes / 2**20,
            "inner_fits": fits, "per_inner_ms": (1e3 * secs / fits) if fits else None,
            "xtwx_ms": 1e3 * g, "p": X.shape[1], "n_iters": fit.n_iters}


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--case":
        print(json.dumps(run_case(json.loads(sys.argv[2]))))
        return
    cases = [{"family": f, "n": n} for f in ("gaussian", "poisson") for n in (10_000, 100_000)]
    print(f"{'family':9} {'n':>7} {'p':>4} {'fit s':>7} {'peak+ MiB':>9} {'X MiB':>6} "
          f"{'inner':>6} {'ms/inner':>9} {'XtWX ms':>8} {'iters':>5}")
    for r in _measure.run_cases(os.path.abspath(__file__), cases):
        if "error" in r:
            print(f"{r['family']:9} {r['n']:>7} error: {r['error']}")
            continue
        fits = "-" if r["inner_fits"] is None else str(r["inner_fits"])
        per = "-" if r["per_inner_ms"] is None else f"{r['per_inner_ms']:.2f}"
        print(f"{r['family']:9} {r['n']:>7} {r['p']:>4} {r['fit_s']:7.3f} {r['extra_peak_mib']:9.1f} "
              f"{r['model_matrix_mib']:6.1f} {fits:>6} {per:>9} {r['xtwx_ms']:8.2f} {r['n_iters']:5d}")


if __name__ == "__main__":
    main()
