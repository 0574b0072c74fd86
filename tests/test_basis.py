"""Bases, penalties, constraints, designs and predictors (through the test-only extension)."""
import copy
import math

import numpy as np
import pytest

t = pytest.importorskip("vorel._vorel_testing")


@pytest.fixture
def x3():
    rng = np.random.default_rng(7)
    x = rng.uniform(-1.0, 2.0, size=(150, 3))
    x[:, 1] = np.floor(x[:, 1] * 2.0)  # a grouping column with a few levels
    return x


def col(values):
    return np.asarray(values, dtype=float).reshape(-1, 1)


# ---------------------------------------------------------------------------------------------
# knot placement


def quantile_knots(uniq, k):
    u = len(uniq)
    out = []
    for j in range(k):
        pos = (j / (k - 1)) * (u - 1)
        i = math.floor(pos)
        f = pos - i
        out.append(f * uniq[i + 1] + (1 - f) * uniq[i] if i < u - 1 else uniq[u - 1])
    return out


@pytest.mark.parametrize(
    "values,k,expected",
    [
        ([0.0] * 10 + list(range(1, 10)), 10, list(range(10))),
        # near-duplicates collapse onto the first of their run
        ([2.0, 0.0, 0.5e-12, 1.0, 1.0 + 0.9e-12, 2.0 + 0.3e-12], 3, [0.0, 1.0, 2.0]),
        # differences just above the tolerance are distinct values
        ([0.0, 3e-12, 1.0], 3, [0.0, 3e-12, 1.0]),
        # fewer distinct values than k: equally spaced between the extremes
        ([0.0, 1.0, 2.0, 3.0, 10.0, 10.0], 10, [j * (10.0 / 9) + 0.0 for j in range(10)]),
        (list(range(11)), 4, quantile_knots(list(map(float, range(11))), 4)),
        ([5.0, -1.0, 2.0], 3, [-1.0, 2.0, 5.0]),
    ],
    ids=["repeated", "collapse", "tolerance-edge", "few-unique", "interpolated", "k3-unsorted"],
)
def test_place_knots(values, k, expected):
    got = t.place_knots(np.asarray(values, dtype=float), k)
    assert got.tolist() == expected


@pytest.mark.parametrize(
    "values,k,msg",
    [
        ([1.0, 2.0, 3.0], 2, "CR spline needs k ≥ 3 (got 2)"),
        ([1.0, 2.0, 3.0], 0, "CR spline needs k ≥ 3 (got 0)"),
        ([4.0] * 20, 5, "CR spline knots must be strictly increasing"),
        ([4.0, 4.0 + 1e-13], 3, "CR spline knots must be strictly increasing"),
    ],
    ids=["k2", "k0", "all-equal", "all-collapsed"],
)
def test_place_knots_errors(values, k, msg):
    with pytest.raises(ValueError) as e:
        t.place_knots(np.asarray(values, dtype=float), k)
    assert str(e.value) == msg


def test_place_knots_survives_nan():
    # NaN sorts last and is dropped as a near-duplicate; the sort itself must stay well defined.
    got = t.place_knots(np.array([np.nan, 2.0, np.nan, 0.0, 1.0, np.nan]), 3)
    assert got.tolist() == [0.0, 1.0, 2.0]


# ---------------------------------------------------------------------------------------------
# basis


KNOTS = np.array([-1.0, -0.2, 0.1, 0.9, 1.5, 3.0])


def test_basis_partition_of_unity_inside_and_outside():
    pts = np.linspace(-5.0, 8.0, 301)
    b = t.cr_basis(KNOTS, col(pts), 0)
    assert b.shape == (301, 6)
    np.testing.assert_allclose(b.sum(axis=1), 1.0, atol=1e-12)


def test_basis_row_at_knot_is_unit_vector():
    b = t.cr_basis(KNOTS, col(KNOTS), 0)
    np.testing.assert_allclose(b, np.eye(6), atol=1e-14)


def test_basis_is_linear_outside_the_knot_range():
    left = t.cr_basis(KNOTS, col([-1.0, -2.0, -3.0]), 0)
    right = t.cr_basis(KNOTS, col([3.0, 4.0, 6.0]), 0)
    np.testing.assert_allclose(left[1] - left[0], left[2] - left[1], atol=1e-12)
    np.testing.assert_allclose((right[2] - right[1]) / 2, right[1] - right[0], atol=1e-12)
    # the extension continues the end slope of the inner piece
    eps = 1e-6
    inner = t.cr_basis(KNOTS, col([KNOTS[0] + eps, KNOTS[0]]), 0)
    np.testing.assert_allclose((inner[0] - inner[1]) / eps, left[0] - left[1], atol=1e-4)


def test_basis_reproduces_linear_functions_and_propagates_nan():
    pts = np.array([-3.0, -0.5, 0.1, 0.7, 2.2, 5.0])
    b = t.cr_basis(KNOTS, col(pts), 0)
    np.testing.assert_allclose(b @ (2.0 * KNOTS - 1.0), 2.0 * pts - 1.0, atol=1e-12)
    assert np.isnan(t.cr_basis(KNOTS, col([np.nan]), 0)).all()


def test_basis_reads_any_strides():
    x = np.asfortranarray(np.random.default_rng(1).uniform(-1, 3, size=(40, 3)))
    ref = t.cr_basis(KNOTS, np.ascontiguousarray(x[:, 2:3]), 0)
    np.testing.assert_array_equal(t.cr_basis(KNOTS, x, 2), ref)
    np.testing.assert_array_equal(t.cr_basis(KNOTS, x[::-1], 2), ref[::-1])


# ---------------------------------------------------------------------------------------------
# penalty


def second_derivative_energy(knots, beta):
    """Integral of g''^2 over the knot range for g = B beta, by finite differences."""
    grid = np.linspace(knots[0], knots[-1], 200001)
    g = t.cr_basis(knots, col(grid), 0) @ beta
    h = grid[1] - grid[0]
    g2 = (g[2:] - 2 * g[1:-1] + g[:-2]) / h**2
    return np.trapezoid(g2**2, dx=h)


@pytest.mark.parametrize("fn", [np.sin, np.exp, lambda v: v**3 - v], ids=["sin", "exp", "cubic"])
def test_penalty_is_integrated_squared_second_derivative(fn):
    s = t.cr_penalty(KNOTS)
    beta = fn(KNOTS)
    np.testing.assert_allclose(beta @ s @ beta, second_derivative_energy(KNOTS, beta), rtol=1e-4)


def test_penalty_null_space_and_rank():
    s = t.cr_penalty(KNOTS)
    np.testing.assert_allclose(s, s.T, atol=1e-12)
    np.testing.assert_allclose(s @ np.ones(6), 0.0, atol=1e-10)
    np.testing.assert_allclose(s @ KNOTS, 0.0, atol=1e-10)
    assert t.penalty_rank_log_det(s)[0] == 4


def test_penalty_scale_factor():
    s = t.cr_penalty(KNOTS)
    s_inf = np.abs(s).sum(axis=1).max()
    assert t.cr_penalty_scale(1.5, s) == pytest.approx(1.5**2 / s_inf, rel=1e-15)
    assert t.cr_penalty_scale(1.5, np.zeros((3, 3))) == 1.0


@pytest.mark.parametrize(
    "eigs,rank,log_det",
    [
        ([0.0, 1e-11, 2.0, 3.0], 2, math.log(6.0)),
        ([1e-12, 0.5], 1, math.log(0.5)),  # threshold floors lambda_max at 1
        ([0.0, 0.0], 0, 0.0),
        ([5e-8, 1e2], 2, math.log(5e-8 * 1e2)),  # 5e-8 > 1e-10 * 100
        ([5e-9, 1e3], 1, math.log(1e3)),
    ],
)
def test_penalty_rank_log_det(eigs, rank, log_det):
    q, _ = np.linalg.qr(np.random.default_rng(3).normal(size=(len(eigs), len(eigs))))
    s = q @ np.diag(eigs) @ q.T
    got_rank, got_ld = t.penalty_rank_log_det(s)
    assert got_rank == rank
    assert got_ld == pytest.approx(log_det, rel=1e-6, abs=1e-12)


# ---------------------------------------------------------------------------------------------
# sum-to-zero constraint


@pytest.mark.parametrize(
    "c", [[3.0, 1.0, 2.0], [-3.0, 1.0, 2.0, 0.5], [-0.0, 1.0, 2.0], [0.0, 0.0, 5.0]],
    ids=["pos", "neg", "negzero", "zero-first"],
)
def test_null_space_orthonormal_and_orthogonal(c):
    z = t.sum_to_zero_null_space(np.array(c))
    assert z.shape == (len(c), len(c) - 1)
    np.testing.assert_allclose(z.T @ z, np.eye(len(c) - 1), atol=1e-14)
    np.testing.assert_allclose(np.array(c) @ z, 0.0, atol=1e-14)


def test_null_space_of_tiny_c_is_truncated_identity():
    np.testing.assert_array_equal(t.sum_to_zero_null_space(np.array([1e-17, 0.0, 1e-17])), np.eye(3)[:, :2])


# ---------------------------------------------------------------------------------------------
# cr term / design


def test_cr_term_block_centred_and_penalty_rank(x3):
    term = t.build_cr_term(x3, 2, 8)
    assert term["x_block"].shape == (150, 7)
    np.testing.assert_allclose(term["x_block"].sum(axis=0), 0.0, atol=1e-12)
    assert t.penalty_rank_log_det(term["penalty"])[0] == 6
    b = t.cr_basis(term["knots"], x3, 2)
    np.testing.assert_allclose(term["x_block"], b @ term["centring"], atol=1e-13)


def test_cr_penalty_scaled_by_basis_norm(x3):
    term = t.build_cr_term(x3, 0, 6)
    b = t.cr_basis(term["knots"], x3, 0)
    s = t.cr_penalty(term["knots"])
    scaled = s * (np.abs(b).sum(axis=1).max() ** 2 / np.abs(s).sum(axis=1).max())
    z = term["centring"]
    np.testing.assert_allclose(term["penalty"], z.T @ scaled @ z, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("k,width,rank", [(3, 2, 1), (10, 9, 8)])
def test_cr_design_layout(x3, k, width, rank):
    d = t.build_cr_design(x3, k)
    assert d["x"].shape == (150, k)
    np.testing.assert_array_equal(d["x"][:, 0], 1.0)
    assert d["penalty_ranks"] == [rank]
    assert d["null_space_dim"] == 2
    assert d["penalty_spans"] == [(1, width)]
    (s,) = d["penalties"]
    assert s.shape == (k, k)
    assert not s[0].any() and not s[:, 0].any()
    rank_full, ld_full = t.penalty_rank_log_det(s)
    assert rank_full == rank
    assert d["penalty_log_dets"][0] == pytest.approx(ld_full, rel=1e-10)


# ---------------------------------------------------------------------------------------------
# stable reparametrisation


@pytest.mark.parametrize("k", [3, 10])
def test_cr_stable_penalty_diagonal_descending(x3, k):
    st = t.build_cr_stable_term(x3, 0, k)
    cr = t.build_cr_term(x3, 0, k)
    p = st["penalty"]
    v = st["reparam_v"]
    assert v.shape == (k - 1, k - 1)
    scale = np.abs(p).max()
    np.testing.assert_allclose(p - np.diag(np.diag(p)), 0.0, atol=1e-12 * scale)
    diag = np.diag(p)
    assert np.all(np.diff(diag) <= 1e-12 * scale)
    assert abs(diag[-1]) <= 1e-10 * scale
    np.testing.assert_allclose(v.T @ v, np.eye(k - 1), atol=1e-12)
    np.testing.assert_allclose(st["x_block"], cr["x_block"] @ v, atol=1e-12)


def test_stable_reparam_orders_descending():
    p = np.diag([1.0, 3.0, 2.0])
    vals, v = t.stable_reparam(p, 3)
    assert vals.tolist() == [3.0, 2.0, 1.0]
    np.testing.assert_allclose(np.abs(v), np.eye(3)[:, [1, 2, 0]])


# ---------------------------------------------------------------------------------------------
# random effect


@pytest.mark.parametrize(
    "values,levels,rows",
    [
        ([3.0, 1.0, 3.0, 2.0], [1.0, 2.0, 3.0], [2, 0, 2, 1]),
        ([1.0, 1.0000000000001, 1.0], [1.0, 1.0000000000001], [0, 1, 0]),
        ([7.5, 7.5], [7.5], [0, 0]),
        ([0.0, -0.0, 0.0, 1.0], [-0.0, 0.0, 1.0], [1, 0, 1, 2]),
    ],
    ids=["basic", "no-tolerance", "single", "signed-zeros"],
)
def test_re_levels_and_indicator(values, levels, rows):
    term = t.build_re_term(col(values), 0)
    assert [math.copysign(1, v) * abs(v) for v in term["levels"]] == levels
    assert [math.copysign(1, v) for v in term["levels"]] == [math.copysign(1, v) for v in levels]
    np.testing.assert_array_equal(term["x_block"], np.eye(len(levels))[rows])
    np.testing.assert_array_equal(term["penalty"], np.eye(len(levels)))


def test_re_indicator_unknown_values_give_zero_rows():
    ind = t.re_indicator([1.0, 2.0, 3.0], col([2.5, 0.0, 9.0, np.nan, 3.0]), 0)
    np.testing.assert_array_equal(ind, [[0, 0, 0]] * 4 + [[0, 0, 1]])


def test_re_design_layout():
    d = t.build_re_design(col([3.0, 1.0, 3.0, 2.0]))
    assert d["x"].shape == (4, 4)
    assert d["penalty_ranks"] == [3]
    assert d["penalty_log_dets"] == [0.0]
    assert d["null_space_dim"] == 1
    np.testing.assert_array_equal(d["penalties"][0], np.diag([0.0, 1, 1, 1]))


# ---------------------------------------------------------------------------------------------
# tensor


def test_row_kronecker_layout():
    a = np.array([[1.0, 2.0], [3.0, 4.0]])
    b = np.array([[5.0, 6.0, 7.0], [8.0, 9.0, 10.0]])
    got = t.row_kronecker(a, b)
    for i in range(2):
        np.testing.assert_array_equal(got[i], np.kron(a[i], b[i]))


def test_rescale_by_max_eigenvalue():
    s = np.array([[4.0, 1.0], [1.0, 2.0]])
    r = t.rescale_by_max_eigenvalue(s)
    assert np.linalg.eigvalsh(r).max() == pytest.approx(1.0)
    neg = -np.eye(2)
    np.testing.assert_array_equal(t.rescale_by_max_eigenvalue(neg), neg)


def test_tensor_term_shapes_penalties_and_constraint(x3):
    te = t.build_tensor_term(x3, 0, 2, 3, 4)
    assert te["x_block"].shape == (150, 11)
    np.testing.assert_array_equal(te["xp_a"], np.eye(3))
    np.testing.assert_array_equal(te["xp_b"], np.eye(4))
    assert [p.shape for p in te["penalties"]] == [(11, 11), (11, 11)]
    np.testing.assert_allclose(te["x_block"].sum(axis=0), 0.0, atol=1e-12)
    ba = t.cr_basis(te["knots_a"], x3, 0)
    bb = t.cr_basis(te["knots_b"], x3, 2)
    prod = t.row_kronecker(ba, bb)
    np.testing.assert_allclose(prod.sum(axis=1), 1.0, atol=1e-12)
    np.testing.assert_allclose(te["x_block"], prod @ te["centring"], atol=1e-12)
    # margin penalties: each divided by its largest eigenvalue, placed as S_a (x) I and I (x) S_b
    sa = t.rescale_by_max_eigenvalue(t.cr_penalty(te["knots_a"]))
    sb = t.rescale_by_max_eigenvalue(t.cr_penalty(te["knots_b"]))
    z = te["centring"]
    np.testing.assert_allclose(te["penalties"][0], z.T @ np.kron(sa, np.eye(4)) @ z, atol=1e-12)
    np.testing.assert_allclose(te["penalties"][1], z.T @ np.kron(np.eye(3), sb) @ z, atol=1e-12)


def test_tensor_swap_margins_swaps_penalties(x3):
    ab = t.build_tensor_term(x3, 0, 2, 3, 4)
    ba = t.build_tensor_term(x3, 2, 0, 4, 3)
    for i, j in [(0, 1), (1, 0)]:
        np.testing.assert_allclose(
            np.linalg.eigvalsh(ab["penalties"][i]), np.linalg.eigvalsh(ba["penalties"][j]), atol=1e-10
        )
    # the same column space (same fitted surfaces)
    qa, _ = np.linalg.qr(ab["x_block"])
    qb, _ = np.linalg.qr(ba["x_block"])
    np.testing.assert_allclose(qa @ qa.T, qb @ qb.T, atol=1e-9)


# ---------------------------------------------------------------------------------------------
# build errors


@pytest.mark.parametrize(
    "build,msg",
    [
        (lambda x: t.build_cr_design(x, 2), "CR spline needs k ≥ 3 (got 2)"),
        (lambda x: t.build_cr_stable_design(x, 1), "CR spline needs k ≥ 3 (got 1)"),
        (lambda x: t.build_cr_design(np.ones((9, 1)), 4), "CR spline knots must be strictly increasing"),
        (lambda x: t.build_re_design(np.empty((0, 1))), "Re basis: x is empty"),
        (lambda x: t.build_tensor_term(x, 2, 2, 4, 4),
         "Tensor term must have distinct margin columns (got col_a == col_b == 2)"),
        (lambda x: t.build_tensor_term(np.column_stack([x[:, 0], np.ones(150)]), 0, 1, 4, 4),
         "CR spline knots must be strictly increasing"),
        (lambda x: t.build_tensor_term(x, 0, 2, 2, 1), "CR spline needs k ≥ 3 (got 2)"),
        (lambda x: t.build_additive_design([("cr", 0, 10), ("cr", 5, 10)], x),
         "Additive term 1 reads column 5 but x has only 3 columns"),
        (lambda x: t.build_additive_design([("cr", 0, 2), ("te", 1, 7, 4, 4)], x),
         "Additive term 1 reads column 7 but x has only 3 columns"),
        (lambda x: t.build_additive_design([("te", 4, 7, 4, 4)], x),
         "Additive term 0 reads column 4 but x has only 3 columns"),
        (lambda x: t.build_additive_design([("re", 1), ("cr", 0, 2), ("te", 0, 0, 4, 4)], x),
         "CR spline needs k ≥ 3 (got 2)"),
    ],
    ids=["cr-k2", "stable-k1", "all-equal", "re-empty", "te-same-col", "te-margin-constant",
         "te-margin-a-first", "add-column", "add-te-col-b", "add-te-col-a-first", "add-first-builder"],
)
def test_build_error_messages(x3, build, msg):
    with pytest.raises(ValueError) as e:
        build(x3)
    assert str(e.value) == msg


# ---------------------------------------------------------------------------------------------
# additive layout and finiteness


def test_additive_layout_cr_plus_re():
    rng = np.random.default_rng(5)
    x = np.column_stack([rng.uniform(size=80), rng.integers(0, 4, size=80).astype(float)])
    d = t.build_additive_design([("cr", 0, 10), ("re", 1)], x)
    assert d["x"].shape == (80, 14)
    assert d["predictor"]["term_col_ranges"] == [(1, 10), (10, 14)]
    assert d["predictor"]["cols_used"] == [[0], [1]]
    assert d["penalty_ranks"] == [8, 4]
    assert d["null_space_dim"] == 2
    assert d["penalty_spans"] == [(1, 9), (10, 4)]
    np.testing.assert_array_equal(d["x"][:, 0], 1.0)
    for s, (first, width) in zip(d["penalties"], d["penalty_spans"]):
        assert s.shape == (14, 14)
        mask = np.zeros((14, 14), bool)
        mask[first:first + width, first:first + width] = True
        assert not s[~mask].any()
        rank, ld = t.penalty_rank_log_det(s)
        assert rank == d["penalty_ranks"][d["penalty_spans"].index((first, width))]
    np.testing.assert_allclose(d["penalty_log_dets"][1], 0.0, atol=1e-12)
    # the cr block equals the stand-alone term
    np.testing.assert_array_equal(d["x"][:, 1:10], t.build_cr_term(x, 0, 10)["x_block"])


def test_additive_tensor_block_and_shared_columns(x3):
    d = t.build_additive_design([("te", 0, 2, 5, 5), ("cr", 0, 4), ("re", 0)], x3[:20])
    ranges = d["predictor"]["term_col_ranges"]
    assert ranges[:2] == [(1, 25), (25, 28)]
    assert ranges[2] == (28, 48)
    assert d["penalty_spans"][:2] == [(1, 24), (1, 24)]
    assert len(d["penalties"]) == 4
    assert d["null_space_dim"] == max(0, 48 - sum(d["penalty_ranks"]))


@pytest.mark.parametrize(
    "cells,terms,msg",
    [
        ({(3, 2): np.nan, (3, 0): np.inf}, [("cr", 2, 4), ("cr", 0, 4)], "x[3, 2]=NaN"),
        ({(3, 2): np.nan, (1, 0): -np.inf}, [("cr", 2, 4), ("cr", 0, 4)], "x[1, 0]=-inf"),
        ({(0, 1): np.nan, (5, 0): np.inf}, [("cr", 0, 4)], "x[5, 0]=inf"),
        ({(2, 1): np.nan}, [("re", 1)], "x[2, 1]=NaN"),
        ({(4, 2): np.nan}, [("te", 0, 2, 4, 4)], "x[4, 2]=NaN"),
        # the finiteness check runs before any term is built
        ({(6, 0): np.nan}, [("cr", 0, 2)], "x[6, 0]=NaN"),
    ],
    ids=["within-row-order", "row-order", "unread-column", "re", "tensor", "before-build"],
)
def test_additive_rejects_non_finite(x3, cells, terms, msg):
    x = x3.copy()
    for (i, j), v in cells.items():
        x[i, j] = v
    with pytest.raises(ValueError) as e:
        t.build_additive_design(terms, x)
    assert str(e.value) == "x must be finite in the columns the model reads; got " + msg


def test_check_finite_columns_direct():
    x = np.zeros((4, 3))
    x[2, 1] = np.nan
    x[1, 0] = np.nan
    t.check_finite_columns(x, [2])
    with pytest.raises(ValueError, match=r"got x\[1, 0\]=NaN$"):
        t.check_finite_columns(x, [1, 0])
    with pytest.raises(ValueError, match=r"got x\[2, 1\]=NaN$"):
        t.check_finite_columns(x, [2, 1])


def test_additive_column_check_precedes_finiteness(x3):
    x = x3.copy()
    x[0, 0] = np.nan
    with pytest.raises(ValueError, match="Additive term 1 reads column 3 but x has only 3 columns"):
        t.build_additive_design([("cr", 0, 4), ("re", 3)], x)


# ---------------------------------------------------------------------------------------------
# predictors at the training data and at new data


def designs(x):
    return {
        "cr": t.build_cr_design(x, 10),
        "cr_stable": t.build_cr_stable_design(x, 7),
        "re": t.build_re_design(np.ascontiguousarray(x[:, 1:2])),
        "additive": t.build_additive_design(
            [("cr", 0, 6), ("re", 1), ("cr_stable", 2, 5), ("te", 2, 0, 4, 3), ("cr", 0, 3)], x
        ),
    }


@pytest.mark.parametrize("kind", ["cr", "cr_stable", "re", "additive"])
def test_predictor_reproduces_training_matrix(x3, kind):
    d = designs(x3)[kind]
    xin = np.ascontiguousarray(x3[:, 1:2]) if kind == "re" else x3
    got = t.predictor_design(d["predictor"], xin)
    np.testing.assert_array_equal(got, d["x"])
    assert t.predictor_width(d["predictor"]) == d["x"].shape[1]
    # any memory layout of x gives the same matrix
    np.testing.assert_array_equal(t.predictor_design(d["predictor"], np.asfortranarray(xin)), d["x"])


def test_predictor_at_new_points(x3):
    cr = designs(x3)["cr"]["predictor"]
    row = t.predictor_design(cr, np.array([[0.3, np.nan]]))  # column 1 is never read
    assert row.shape == (1, 10)
    far = t.predictor_design(cr, col([10.0, 20.0, 30.0]))
    np.testing.assert_allclose(far[2] - far[1], far[1] - far[0], atol=1e-9)
    re = designs(x3)["re"]["predictor"]
    width = len(re["levels"])
    np.testing.assert_array_equal(t.predictor_design(re, col([123.0, np.nan])), [[1] + [0] * width] * 2)
    assert t.predictor_design(cr, np.empty((0, 1))).shape == (0, 10)


def test_additive_predictor_reads_only_named_columns(x3):
    d = t.build_additive_design([("cr", 0, 5), ("cr", 2, 5)], x3)
    x = x3.copy()
    x[:, 1] = np.nan
    np.testing.assert_array_equal(t.predictor_design(d["predictor"], x), d["x"])
    with pytest.raises(ValueError) as e:
        t.predictor_design(d["predictor"], x3[:, :2])
    assert str(e.value) == "AdditivePredictor: term 1 expects column 2 but x has only 2 columns"


def test_tensor_predictor_column_message(x3):
    te = t.build_tensor_term(x3, 0, 2, 3, 3)
    pred = {k: te[k] for k in ("kind", "col_a", "col_b", "bs_a", "bs_b", "knots_a", "knots_b", "xp_a", "xp_b", "centring")}
    got = t.predictor_design(pred, x3)
    np.testing.assert_array_equal(got[:, 1:], te["x_block"])
    with pytest.raises(ValueError) as e:
        t.predictor_design(pred, x3[:, :2])
    assert str(e.value) == "TensorPredictor: term reads columns (0, 2) but x has only 2 columns"


# ---------------------------------------------------------------------------------------------
# predictors with corrupted stored data (as a hand-edited serialized fit could hold)


@pytest.fixture(scope="module")
def preds():
    rng = np.random.default_rng(11)
    x = rng.uniform(size=(60, 3))
    x[:, 1] = np.floor(x[:, 1] * 3)
    add = t.build_additive_design([("cr", 0, 5), ("re", 1), ("cr_stable", 2, 4), ("te", 0, 2, 3, 4)], x)
    terms = add["predictor"]["term_predictors"]
    return {"x": x, "cr": terms[0], "re": terms[1], "cr_stable": terms[2], "tensor": terms[3],
            "additive": add["predictor"]}


def edit(p, **changes):
    q = copy.deepcopy(p)
    for key, fn in changes.items():
        q[key] = fn(q[key])
    return q


CORRUPT = [
    ("cr", dict(centring=lambda c: c[:4]), "CrPredictor: centring has 4 rows but there are 5 knots"),
    ("cr", dict(centring=lambda c: c[:, :3]),
     "CrPredictor: centring has 3 columns but must have 4 (one fewer than the 5 knots)"),
    ("cr", dict(knots=lambda k: [], centring=lambda c: []), "CrPredictor: knots is empty"),
    ("cr_stable", dict(reparam_v=lambda v: v[:2]),
     "CrStablePredictor: reparam_v is 2x3 but must be 3x3 (one row and column per centring column)"),
    ("cr_stable", dict(centring=lambda c: c[1:]), "CrStablePredictor: centring has 3 rows but there are 4 knots"),
    ("re", dict(levels=lambda v: []), "RePredictor: levels is empty"),
    ("re", dict(levels=lambda v: [0.0, 2.0, 1.0]),
     "RePredictor: levels must be strictly ascending; got levels[2]=1 after levels[1]=2"),
    ("re", dict(levels=lambda v: [1.0, 1.0]),
     "RePredictor: levels must be strictly ascending; got levels[1]=1 after levels[0]=1"),
    ("tensor", dict(xp_a=lambda m: m[:, :2]), "TensorPredictor: xp_a is 3x2 but must be 3x3 to match the 3 knots_a"),
    ("tensor", dict(xp_b=lambda m: []), "TensorPredictor: xp_b is 0x0 but must be 4x4 to match the 4 knots_b"),
    ("tensor", dict(knots_a=lambda k: []), "TensorPredictor: knots_a is empty"),
    ("tensor", dict(centring=lambda c: c[:11]), "TensorPredictor: centring has 11 rows but must have k_a * k_b = 12"),
    ("tensor", dict(centring=lambda c: c[:, :10]),
     "TensorPredictor: centring has 10 columns but must have k_a * k_b - 1 = 11"),
    ("tensor", dict(bs_b=lambda s: "tp"), 'TensorPredictor: bs_b must be "cr"; got bs_b="tp"'),
    ("additive", dict(cols_used=lambda c: c[:3]),
     "AdditivePredictor: cols_used has 3 entries but there are 4 term predictors"),
    ("additive", dict(term_col_ranges=lambda r: r[:2]),
     "AdditivePredictor: term_col_ranges has 2 entries but there are 4 term predictors"),
    ("additive", dict(term_col_ranges=lambda r: [r[0], (5, 9)] + r[2:]),
     "AdditivePredictor: term_col_ranges[1] is (5, 9) but the term's block occupies (5, 8)"),
    ("additive", dict(cols_used=lambda c: [[]] + c[1:]),
     "AdditivePredictor: term 0 reads exactly one column but cols_used lists []"),
    ("additive", dict(cols_used=lambda c: [[0, 1]] + c[1:]),
     "AdditivePredictor: term 0 reads exactly one column but cols_used lists [0, 1]"),
    ("additive", dict(cols_used=lambda c: c[:3] + [[2, 0]]),
     "AdditivePredictor: term 3 is a tensor term of columns (0, 2) but cols_used lists [2, 0]"),
    ("additive", dict(term_predictors=lambda tp: [edit(tp[0], centring=lambda c: c[:, :2])] + tp[1:]),
     "AdditivePredictor: term 0: CrPredictor: centring has 2 columns but must have 4 (one fewer than the 5 knots)"),
]


@pytest.mark.parametrize("kind,changes,msg", CORRUPT, ids=[f"{k}-{m[:40]}" for k, _, m in CORRUPT])
def test_corrupted_predictor_shapes_are_rejected(preds, kind, changes, msg):
    bad = edit(preds[kind], **changes)
    x = preds["x"] if kind in ("tensor", "additive") else preds["x"][:, :1]
    with pytest.raises(ValueError) as e:
        t.predictor_width(bad)
    assert str(e.value) == msg
    with pytest.raises(ValueError) as e:
        t.predictor_design(bad, x)
    assert str(e.value) == msg


def test_nested_additive_predictor_is_rejected(preds):
    add = preds["additive"]
    nested = edit(add, term_predictors=lambda tp: [add] + tp[1:])
    for fn in (t.predictor_width, lambda p: t.predictor_design(p, preds["x"])):
        with pytest.raises(ValueError, match="^AdditivePredictor: term 0 is itself an additive predictor"):
            fn(nested)


@pytest.mark.parametrize(
    "kind,changes,width,msg",
    [
        ("cr", dict(knots=lambda k: k[::-1]), 5, "CR spline knots must be strictly increasing"),
        ("cr", dict(knots=lambda k: k[:2], centring=lambda c: c[:2, :1]), 2, "CR spline needs k ≥ 3 (got 2)"),
        ("cr_stable", dict(knots=lambda k: [k[0], np.nan, k[2], k[3]]), 4, "CR spline knots must be strictly increasing"),
    ],
    ids=["cr-decreasing", "cr-k2", "stable-nan"],
)
def test_invalid_stored_knots_load_but_fail_on_use(preds, kind, changes, width, msg):
    bad = edit(preds[kind], **changes)
    assert t.predictor_width(bad) == width
    with pytest.raises(ValueError) as e:
        t.predictor_design(bad, preds["x"][:, :1])
    assert str(e.value) == msg


@pytest.mark.parametrize("side", ["a", "b"])
def test_invalid_stored_tensor_knots_are_internal_faults(preds, side):
    key = "knots_" + side
    bad = edit(preds["tensor"], **{key: lambda k: k[::-1]})
    assert t.predictor_width(bad) == 12
    with pytest.raises(RuntimeError, match=f"^internal failure: invalid stored knots_{side}$"):
        t.predictor_design(bad, preds["x"])


@pytest.mark.parametrize("kind", ["cr", "cr_stable", "re"])
def test_single_smooth_predictor_on_x_without_columns(preds, kind):
    with pytest.raises(ValueError) as e:
        t.predictor_design(preds[kind], np.empty((4, 0)))
    assert str(e.value) == {"cr": "CrPredictor", "cr_stable": "CrStablePredictor", "re": "RePredictor"}[kind] + \
        ": x has no columns"


def test_non_identity_margin_transform_is_honoured(preds):
    te = preds["tensor"]
    rot = np.linalg.qr(np.random.default_rng(2).normal(size=(3, 3)))[0]
    moved = edit(te, xp_a=lambda m: rot)
    x = preds["x"]
    a = t.cr_basis(te["knots_a"], x, 0) @ rot
    b = t.cr_basis(te["knots_b"], x, 2)
    np.testing.assert_allclose(t.predictor_design(moved, x)[:, 1:], t.row_kronecker(a, b) @ te["centring"], atol=1e-12)


def test_long_inputs_cross_evaluation_chunks():
    # Several thousand rows: the basis is evaluated and multiplied in row chunks; the chunk
    # boundaries must neither drop nor shift rows.
    rng = np.random.default_rng(4)
    x = rng.uniform(-2.0, 2.0, size=(7001, 2))
    d = t.build_additive_design([("cr", 0, 10), ("te", 0, 1, 3, 4)], x)
    pred = d["predictor"]["term_predictors"]
    cr, te = pred
    np.testing.assert_allclose(d["x"][:, 1:10], t.cr_basis(cr["knots"], x, 0) @ cr["centring"], atol=1e-12)
    prod = t.row_kronecker(t.cr_basis(te["knots_a"], x, 0), t.cr_basis(te["knots_b"], x, 1))
    np.testing.assert_allclose(d["x"][:, 10:], prod @ te["centring"], atol=1e-12)
    np.testing.assert_array_equal(t.predictor_design(d["predictor"], x), d["x"])
    # a row evaluated alone equals the same row inside the long matrix (to rounding)
    np.testing.assert_allclose(t.predictor_design(d["predictor"], x[5000:5001]), d["x"][5000:5001], atol=1e-13)
