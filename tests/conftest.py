"""Shared data sets and fitted models for the API and prediction tests."""

import numpy as np
import pytest

import vorel


def _try_fit(*args, **kwargs):
    """A fit, or a skip while the pieces it needs are not part of this build."""
    try:
        return vorel.fit(*args, **kwargs)
    except NotImplementedError as e:
        pytest.skip(f"not available in this build: {e}")


@pytest.fixture(scope="session")
def smooth_data():
    """n = 200 noisy samples of sin(2πx) on [0, 1], plus an unused second column."""
    rng = np.random.default_rng(20261211)
    x = rng.uniform(0.0, 1.0, (200, 2))
    y = np.sin(2 * np.pi * x[:, 0]) + rng.normal(0.0, 0.3, 200)
    return x, y


@pytest.fixture(scope="session")
def count_data(smooth_data):
    x, _ = smooth_data
    rng = np.random.default_rng(7)
    y = rng.poisson(np.exp(1.0 + np.sin(2 * np.pi * x[:, 0]))).astype(np.float64)
    return x, y


@pytest.fixture(scope="session")
def binary_data(smooth_data):
    x, _ = smooth_data
    rng = np.random.default_rng(11)
    p = 1.0 / (1.0 + np.exp(-2.0 * np.sin(2 * np.pi * x[:, 0])))
    return x, (rng.uniform(size=x.shape[0]) < p).astype(np.float64)


@pytest.fixture(scope="session")
def gaussian_fit(smooth_data):
    x, y = smooth_data
    return _try_fit("gaussian", x, y)


@pytest.fixture(scope="session")
def poisson_fit(count_data):
    x, y = count_data
    return _try_fit("poisson", x, y)


@pytest.fixture(scope="session")
def bernoulli_fit(binary_data):
    x, y = binary_data
    return _try_fit("bernoulli", x, y)


@pytest.fixture(scope="session")
def designs_available(smooth_data):
    """Whether the single-smooth designs and the standard driver are built."""
    x, y = smooth_data
    try:
        vorel.fit("gaussian", x[:30], y[:30], k=5)
    except NotImplementedError:
        return False
    return True


@pytest.fixture
def needs_fits(designs_available):
    if not designs_available:
        pytest.skip("single-smooth designs or the standard driver not in this build")
