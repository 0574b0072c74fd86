"""Wall time and inner fits per fit of the shape-aware families at n = 1e4 and 1e5, with the
refitted Hessian columns on one thread and shared between two.

Run: PYTHONPATH=build/dev/pkg python bench/bench_shape.py
"""

import time

import numpy as np

import vorel._vorel_testing as vt


def tweedie_sample(rng, mu, p, phi):
    counts = rng.poisson(mu ** (2 - p) / (phi * (2 - p)))
    out = np.zeros_like(mu)
    pos = counts > 0
    out[pos] = rng.gamma((2 - p) / (p - 1) * counts[pos], (phi * (p - 1) * mu ** (p - 1))[pos])
    return out


def data(family, n, rng):
    x = rng.uniform(0, 1, (n, 1))
    f = np.sin(2 * np.pi * x[:, 0])
    if family == "negbin":
        mu = np.exp(1 + f)
        return x, rng.negative_binomial(3, 3 / (3 + mu)).astype(float), (2.0, 0.0)
    if family == "tdist":
        return x, f + 0.5 * rng.standard_t(4, n), (5.0, 1.0)
    return x, tweedie_sample(rng, np.exp(0.5 + f), 1.4, 1.5), (1.5, 1.0)


def main():
    rng = np.random.default_rng(0)
    print(f"{'family':8} {'n':>7} {'1 thread s':>10} {'2 threads s':>11} {'inner fits':>10} same")
    for family in ("negbin", "tdist", "tweedie"):
        for n in (10_000, 100_000):
            x, y, (a, b) = data(family, n, rng)
            x = np.asfortranarray(x)
            runs = []
            for workers in (1, 2):
                t = time.perf_counter()
                shape, fits = vt.shape_fit_counted(family, x, y, 10, a, b, workers)
                runs.append((time.perf_counter() - t, fits, shape))
            same = np.array_equal(runs[0][2], runs[1][2])
            print(f"{family:8} {n:>7} {runs[0][0]:10.3f} {runs[1][0]:11.3f} {runs[0][1]:>10} {same}")


if __name__ == "__main__":
    main()
