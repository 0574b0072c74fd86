"""Design build and predictor evaluation at n = 10^6 (needs the test-only extension).

Run: PYTHONPATH=<build>/pkg python bench/bench_basis.py
Times include copying the model matrix out to NumPy.
"""
import time

import numpy as np

from vorel import _vorel_testing as t


def main(n=1_000_000):
    rng = np.random.default_rng(0)
    x = rng.uniform(0, 1, (n, 3))
    x[:, 1] = np.floor(x[:, 1] * 50)
    col1 = np.ascontiguousarray(x[:, 1:2])
    cases = [
        ("cr k=10", lambda: t.build_cr_design(x, 10), x),
        ("cr_stable k=10", lambda: t.build_cr_stable_design(x, 10), x),
        ("re 50 levels", lambda: t.build_re_design(col1), col1),
        ("te 10x10", lambda: t.build_additive_design([("te", 0, 2, 10, 10)], x), x),
        ("cr + re + cr", lambda: t.build_additive_design([("cr", 0, 10), ("re", 1), ("cr", 2, 10)], x), x),
    ]
    for name, build, xin in cases:
        s = time.perf_counter()
        d = build()
        built = time.perf_counter() - s
        s = time.perf_counter()
        t.predictor_design(d["predictor"], xin)
        evaluated = time.perf_counter() - s
        print(f"{name:16s} {str(d['x'].shape):16s} build {built:6.3f}s  predict {evaluated:6.3f}s")


if __name__ == "__main__":
    main()
