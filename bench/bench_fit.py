"""Single-smooth fit benchmark: gaussian and poisson `cr` fits with k = 10 at n = 1e4, 1e5, 1e6.

Prints, per case: wall time of the fit, extra peak memory during the fit next to the size of the
model matrix and of the inputs, and the ratio of the fit time to the time of one X^T W X
formation of the same model matrix (the unit of work every inner fit repeats).

    python bench/bench_fit.py            # all cases
    python bench/bench_fit.py --quick    # n = 1e4 and 1e5 only
"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _measure  # noqa: E402  (sets the BLAS thread count before numpy loads)

import numpy as np  # noqa: E402


def simulate(family, n, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 1.0, (n, 1))
    f = np.sin(2.0 * np.pi * x[:, 0])
    if family == "gaussian":
        y = f + rng.normal(0.0, 0.3, n)
    else:
        y = rng.poisson(np.exp(1.0 + f)).astype(np.float64)
    return x, y


def run_case(case):
    import vorel

    x, y = simulate(case["family"], case["n"])
    fit, secs, extra_mib = _measure.measure(lambda: vorel.fit(case["family"], x, y, k=10))
    X = fit.evaluate_lpmatrix(x)
    mu = fit.predict_response(x)
    w = np.ones_like(mu) if case["family"] == "gaussian" else mu
    g = _measure.gram_time(X, w)
    return {
        **case,
        "fit_s": secs,
        "extra_peak_mib": extra_mib,
        "model_matrix_mib": X.nbytes / 2**20,
        "inputs_mib": (x.nbytes + y.nbytes) / 2**20,
        "xtwx_s": g,
        "fit_over_xtwx": secs / g if g > 0 else float("nan"),
        "n_iters": fit.n_iters,
        "edf": fit.edf_total,
    }


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--case":
        print(json.dumps(run_case(json.loads(sys.argv[2]))))
        return
    sizes = [10_000, 100_000] if "--quick" in sys.argv else [10_000, 100_000, 1_000_000]
    cases = [{"family": f, "n": n} for f in ("gaussian", "poisson") for n in sizes]
    print(f"{'family':9} {'n':>9} {'fit s':>8} {'peak+ MiB':>10} {'X MiB':>7} {'in MiB':>7} "
          f"{'XtWX ms':>8} {'fit/XtWX':>9} {'iters':>5} {'edf':>6}")
    for r in _measure.run_cases(os.path.abspath(__file__), cases):
        if "error" in r:
            print(f"{r['family']:9} {r['n']:>9} error: {r['error']}")
            continue
        print(f"{r['family']:9} {r['n']:>9} {r['fit_s']:8.3f} {r['extra_peak_mib']:10.1f} "
              f"{r['model_matrix_mib']:7.1f} {r['inputs_mib']:7.1f} {1e3 * r['xtwx_s']:8.2f} "
              f"{r['fit_over_xtwx']:9.1f} {r['n_iters']:5d} {r['edf']:6.2f}")


if __name__ == "__main__":
    main()
