"""Quickstart: smooth trends in a simulated air-quality and bike-hire data set.

Run with `python examples/quickstart.py` after `pip install .`.
"""

import numpy as np

import vorel


def make_data(n=600, seed=20261211):
    """Daily records: temperature (deg C), ozone (ppb, noisy, smooth in temperature) and the
    number of bikes hired (counts whose log-mean rises, peaks and falls with temperature)."""
    rng = np.random.default_rng(seed)
    temp = np.sort(rng.uniform(-5.0, 35.0, n))
    ozone = 20.0 + 1.5 * temp + 12.0 * np.sin(temp / 6.0) + rng.normal(0.0, 6.0, n)
    log_rate = 3.0 + 1.2 * np.exp(-((temp - 22.0) / 9.0) ** 2) - 0.02 * temp
    hires = rng.poisson(np.exp(log_rate)).astype(np.float64)
    return temp, ozone, hires


def main():
    temp, ozone, hires = make_data()
    x = temp.reshape(-1, 1)

    ozone_fit = vorel.fit("gaussian", x, ozone, k=12)
    print("ozone ~ s(temp), gaussian")
    print(f"  edf_total   = {ozone_fit.edf_total:.3f}")
    # `lambda` is a Python keyword, so the property is read with getattr.
    print(f"  lambda      = {getattr(ozone_fit, 'lambda')[0]:.5g}")
    print(f"  scale       = {ozone_fit.scale:.4f}  (residual variance; the noise variance is 36)")
    print(f"  REML        = {ozone_fit.reml_value:.4f}, converged: {ozone_fit.converged}")

    hire_fit = vorel.fit("poisson", x, hires, k=10)
    grid = np.linspace(-5.0, 35.0, 9).reshape(-1, 1)
    mean, lo, hi = hire_fit.predict_ci(grid, level=0.95, scale="response")
    print("\nbikes hired ~ s(temp), poisson: expected hires with 95% intervals")
    for t, m, a, b in zip(grid[:, 0], mean, lo, hi):
        print(f"  {t:6.1f} C  {m:8.2f}  [{a:8.2f}, {b:8.2f}]")

    # A fit saves to bytes and loads back predicting identically.
    again = vorel.FittedGam.deserialize(hire_fit.serialize())
    assert np.array_equal(again.predict(grid), hire_fit.predict(grid))
    print("\nserialize/deserialize round trip: identical predictions")


if __name__ == "__main__":
    main()
