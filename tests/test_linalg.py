"""The factorisation reports non-finite input as a failure instead of returning a NaN factor."""

import numpy as np
import pytest

import vorel
import vorel._vorel_testing as vt

PREFIX = "singular system: Cholesky failed: Computational failure in LAPACK subroutine: return_code = "


@pytest.mark.parametrize(
    "matrix, order",
    [
        (np.diag([1.0, np.nan, 1.0]), 2),
        (np.diag([1.0, 1.0, np.inf]), 3),
        (np.array([[1.0, 0.0, np.nan], [0.0, 1.0, 0.0], [np.nan, 0.0, 1.0]]), 3),
        (np.array([[1.0, 1.0], [1.0, 1.0]]), 2),
    ],
    ids=["nan-diagonal", "inf-diagonal", "nan-off-diagonal", "singular"],
)
def test_solve_penalized_reports_the_failing_leading_minor(matrix, order):
    with pytest.raises(RuntimeError) as err:
        vt.solve_penalized(matrix, np.ones(len(matrix)))
    assert str(err.value) == PREFIX + str(order)


def test_nan_prior_weight_fails_the_fit_instead_of_returning_nan():
    rng = np.random.default_rng(0)
    x = rng.uniform(size=(50, 1))
    y = x[:, 0] + rng.normal(0, 0.1, 50)
    w = np.ones(50)
    w[7] = np.nan
    with pytest.raises(RuntimeError, match="Cholesky failed"):
        vorel.fit("gaussian", x, y, weights=w)
