"""Solving functions of lumivander.linalg: solve_triangular, cho_solve, solve,
inv, det, slogdet, lstsq and qr_reduced.  Bit-exact against plain NumPy
loops that follow the documented operation orders (the blocked paths cut in
at 16 rows and hand their large parts to the product kernels), accurate
against NumPy and SciPy, and exact about their errors."""
import inspect
import math

import numpy as np
import pytest

import lumivander as lv
from conftest import err

la = lv.linalg
scipy_linalg = pytest.importorskip("scipy.linalg")

EPS = 2.0 ** -53


def arr(x):
    return lv.Array.from_numpy(np.ascontiguousarray(x, dtype=float))


def np_(x):
    return np.asarray(x.to_numpy())


def same_bits(x, y):
    x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
    return x.shape == y.shape and x.tobytes() == y.tobytes()


# ---------------------------------------------------------------- references


def ref_lower(t, b, unit=False):
    """x_i = (b_i - s_i) / t_ii, s_i summed from -0.0 over k < i in increasing k."""
    n = t.shape[0]
    x = np.empty_like(b)
    for i in range(n):
        s = np.full(b.shape[1:], -0.0)
        for k in range(i):
            s = s + t[i, k] * x[k]
        x[i] = b[i] - s if unit else (b[i] - s) / t[i, i]
    return x


def ref_upper(t, b, unit=False):
    """The same bottom up: s_i over k > i in decreasing k."""
    n = t.shape[0]
    x = np.empty_like(b)
    for i in range(n - 1, -1, -1):
        s = np.full(b.shape[1:], -0.0)
        for k in range(n - 1, i, -1):
            s = s + t[i, k] * x[k]
        x[i] = b[i] - s if unit else (b[i] - s) / t[i, i]
    return x


def ref_lu(a):
    """Plain Gaussian elimination with partial pivoting (first largest |.|,
    first NaN), whole rows swapped, a_ij - l_ik * u_kj in increasing k."""
    w = np.array(a, dtype=float)
    n = w.shape[0]
    perm = list(range(n))
    swaps = 0
    for k in range(n):
        p = k + int(np.argmax(np.abs(w[k:, k])))
        if p != k:
            w[[k, p]] = w[[p, k]]
            perm[k], perm[p] = perm[p], perm[k]
            swaps += 1
        if w[k, k] != 0.0:
            w[k + 1:, k] = w[k + 1:, k] / w[k, k]
        w[k + 1:, k + 1:] = w[k + 1:, k + 1:] - np.outer(w[k + 1:, k], w[k, k + 1:])
    return w, perm, swaps


def ref_solve(a, b):
    w, perm, _ = ref_lu(a)
    y = ref_lower(np.tril(w, -1), b[perm], unit=True)
    return ref_upper(np.triu(w), y)


def well_conditioned(rng, n):
    return rng.standard_normal((n, n)) + n ** 0.5 * np.eye(n)


def with_condition(rng, n, cond):
    u, _ = np.linalg.qr(rng.standard_normal((n, n)))
    v, _ = np.linalg.qr(rng.standard_normal((n, n)))
    return (u * np.geomspace(1.0, 1.0 / cond, n)) @ v.T


def backward_error(a, x, b):
    r = a @ x - b
    return np.linalg.norm(r, np.inf) / (np.linalg.norm(a, np.inf) * np.linalg.norm(x, np.inf))


# ---------------------------------------------------------------- bits


@pytest.mark.parametrize("n,r", [(1, 1), (15, 1), (40, 1), (70, 1), (33, 3), (70, 5), (130, 17)])
def test_triangular_and_cholesky_solves_follow_the_plain_loops(n, r):
    rng = np.random.default_rng(n * 100 + r)
    a = rng.standard_normal((n, n)) + 4.0 * np.eye(n)
    b = rng.standard_normal((n, r)) if r > 1 else rng.standard_normal(n)
    b2 = b if b.ndim == 2 else b[:, None]
    for lower in (True, False):
        for unit in (False, True):
            ref = (ref_lower if lower else ref_upper)(np.tril(a) if lower else np.triu(a), b2, unit)
            got = la.solve_triangular(arr(a), arr(b), lower=lower, unit_diagonal=unit)
            assert same_bits(np_(got), ref.reshape(b.shape)), (lower, unit)
    spd = a @ a.T + n * np.eye(n)
    lf = la.cholesky(arr(spd))
    l_np = np_(lf)
    ref = ref_upper(l_np.T.copy(), ref_lower(l_np, b2))
    assert same_bits(np_(la.cho_solve(lf, arr(b))), ref.reshape(b.shape))


@pytest.mark.parametrize("n,r", [(1, 1), (16, 1), (17, 2), (70, 1), (70, 4), (130, 3)])
def test_lu_solve_det_and_inverse_follow_the_plain_elimination(n, r):
    rng = np.random.default_rng(n + r)
    a = rng.standard_normal((n, n))
    a[rng.random((n, n)) < 0.05] = 0.0
    b = rng.standard_normal((n, r)) if r > 1 else rng.standard_normal(n)
    b2 = b if b.ndim == 2 else b[:, None]
    assert same_bits(np_(la.solve(arr(a), arr(b))), ref_solve(a, b2).reshape(b.shape))
    w, _, swaps = ref_lu(a)
    d = 1.0
    for k in range(n):
        d = d * w[k, k]
    assert same_bits(la.det(arr(a)), -d if swaps % 2 else d)
    sign, logabs = la.slogdet(arr(a))
    diag = np.diag(w)
    want = -0.0 + 0.0
    for u in diag:
        want = want + math.log(abs(u))
    assert sign == (-1) ** swaps * np.prod(np.sign(diag)) and same_bits(logabs, want)
    # inv is solve with the identity, bit for bit.
    assert same_bits(np_(la.inv(arr(a))), np_(la.solve(arr(a), lv.eye(n))))


@pytest.mark.parametrize("bad", [math.inf, math.nan, 1e308])
def test_inverse_is_solve_with_the_identity_for_any_values(bad):
    # The inverse skips the terms known to be finite times zero; with an
    # infinity or NaN in the factors it takes them all, as solve does.
    a = np.random.default_rng(1).standard_normal((70, 70))
    a[35, 3] = bad
    assert same_bits(np_(la.inv(arr(a))), np_(la.solve(arr(a), lv.eye(70))))


@pytest.mark.parametrize("m,n", [(10, 3), (3, 10), (40, 40), (70, 45), (45, 70), (300, 20), (0, 3), (3, 0)])
def test_qr_reduced_is_the_leading_part_of_qr(m, n):
    a = np.random.default_rng(m * n + 1).standard_normal((m, n))
    q, r = la.qr(arr(a))
    qr_q, qr_r = la.qr_reduced(arr(a))
    p = min(m, n)
    assert qr_q.shape == [m, p] and qr_r.shape == [p, n]
    assert same_bits(np_(qr_q), np_(q)[:, :p]) and same_bits(np_(qr_r), np_(r)[:p])


@pytest.mark.parametrize("m,n,r", [(50, 5, 1), (200, 20, 3), (120, 40, 2)])
def test_lstsq_is_back_substitution_on_the_qr_of_a_and_b(m, n, r):
    # Entries below 1 in magnitude, the largest above 0.5: no scaling.  The
    # first two shapes take the narrow reduction, the last qr's panels.
    rng = np.random.default_rng(m + n + r)
    a, b = rng.uniform(-1.0, 1.0, (m, n)), rng.uniform(-1.0, 1.0, (m, r))
    a[0, 0] = b[0, 0] = 0.75
    _, rr = la.qr(arr(np.hstack([a, b])))
    R = np_(rr)[:n]
    assert same_bits(np_(la.lstsq(arr(a), arr(b))), ref_upper(R[:, :n].copy(), R[:, n:].copy()))


# ---------------------------------------------------------------- accuracy


@pytest.mark.parametrize("n", [5, 64, 200])
@pytest.mark.parametrize("cond", [None, 1e10])
def test_solves_have_small_backward_error(n, cond):
    rng = np.random.default_rng(n)
    a = well_conditioned(rng, n) if cond is None else with_condition(rng, n, cond)
    b = rng.standard_normal(n)
    bound = 10 * n * EPS
    x = np_(la.solve(arr(a), arr(b)))
    assert backward_error(a, x, b) <= bound
    assert np.allclose(x, np.linalg.solve(a, b), rtol=1e-12 if cond is None else 1e-3, atol=0)
    t = np.triu(a) + (n if cond is None else 0) * np.eye(n)
    x = np_(la.solve_triangular(arr(t), arr(b)))
    assert backward_error(t, x, b) <= bound
    if cond is None:
        spd = a @ a.T + n * np.eye(n)
    else:
        u, _ = np.linalg.qr(a)
        spd = (u * np.geomspace(1.0, 1.0 / cond, n)) @ u.T
        spd = (spd + spd.T) / 2
    B = rng.standard_normal((n, 3))
    x = np_(la.cho_solve(la.cholesky(arr(spd)), arr(B)))
    assert backward_error(spd, x, B) <= bound
    if cond is None:
        assert np.allclose(x, scipy_linalg.cho_solve((np.linalg.cholesky(spd), True), B), rtol=1e-12, atol=0)
        assert np.allclose(np_(la.inv(arr(a))), np.linalg.inv(a), rtol=1e-11, atol=1e-14)
    assert math.isclose(la.det(arr(a)), np.linalg.det(a), rel_tol=1e-9 if cond is None else 1e-5)
    sign, logabs = la.slogdet(arr(a))
    want_sign, want_log = np.linalg.slogdet(a)
    assert sign == want_sign and math.isclose(logabs, want_log, rel_tol=1e-12 if cond is None else 1e-8)


@pytest.mark.parametrize("m,n,r", [(10, 3, 0), (100, 20, 0), (1000, 7, 2), (30, 30, 1), (5000, 20, 0)])
def test_lstsq_agrees_with_numpy(m, n, r):
    rng = np.random.default_rng(m + n)
    a = rng.standard_normal((m, n)) + (3.0 * np.eye(m, n) if m < 2 * n else 0.0)
    b = rng.standard_normal((m, r)) if r else rng.standard_normal(m)
    got = np_(la.lstsq(arr(a), arr(b)))
    want = np.linalg.lstsq(a, b, rcond=None)[0]
    assert got.shape == want.shape
    assert np.all(np.abs(got - want) <= 1e-12 * np.abs(want).max(axis=0))


def test_lstsq_scale_does_not_matter():
    rng = np.random.default_rng(3)
    a, b = rng.standard_normal((50, 4)), rng.standard_normal(50)
    x = np_(la.lstsq(arr(a), arr(b)))
    # Scaling by powers of two is exact: the same bits at any magnitude.
    assert same_bits(np_(la.lstsq(arr(a * 2.0 ** -60), arr(b * 2.0 ** 900))), x * 2.0 ** 960)


def test_ordinary_and_ridge_regression_on_diabetes():
    datasets = pytest.importorskip("sklearn.datasets")
    data = datasets.load_diabetes()
    x = np.column_stack([np.ones(len(data.target)), data.data])
    y = data.target
    want = np.linalg.lstsq(x, y, rcond=None)[0]
    got = np_(la.lstsq(arr(x), arr(y)))
    assert np.all(np.abs(got - want) <= 1e-12 * np.abs(want).max())
    # Ridge (intercept not penalised) as least squares on stacked rows, and by
    # the normal equations through Cholesky.
    lam = 0.5
    pen = np.sqrt(lam) * np.eye(x.shape[1])[1:]
    xs, ys = np.vstack([x, pen]), np.concatenate([y, np.zeros(len(pen))])
    want = np.linalg.lstsq(xs, ys, rcond=None)[0]
    got = np_(la.lstsq(arr(xs), arr(ys)))
    assert np.all(np.abs(got - want) <= 1e-12 * np.abs(want).max())
    g = x.T @ x + lam * np.diag([0.0] + [1.0] * (x.shape[1] - 1))
    got = np_(la.cho_solve(la.cholesky(arr(g)), arr(x.T @ y)))
    assert np.all(np.abs(got - want) <= 1e-10 * np.abs(want).max())


# ---------------------------------------------------------------- edges


def test_empty_systems():
    assert la.solve(lv.zeros([0, 0]), lv.zeros([0])).shape == [0]
    assert la.solve(lv.zeros([0, 0]), lv.zeros([0, 3])).shape == [0, 3]
    assert la.solve(lv.eye(3), lv.zeros([3, 0])).shape == [3, 0]
    assert la.solve_triangular(lv.zeros([0, 0]), lv.zeros([0])).shape == [0]
    assert la.cho_solve(lv.zeros([0, 0]), lv.zeros([0, 2])).shape == [0, 2]
    assert la.inv(lv.zeros([0, 0])).shape == [0, 0]
    assert la.det(lv.zeros([0, 0])) == 1.0 and la.slogdet(lv.zeros([0, 0])) == (1.0, 0.0)
    assert la.lstsq(lv.zeros([4, 0]), lv.zeros([4])).shape == [0]
    assert la.lstsq(lv.zeros([0, 0]), lv.zeros([0, 2])).shape == [0, 2]


def test_singular_determinants_and_nan():
    assert la.det(arr([[1.0, 2.0], [2.0, 4.0]])) == 0.0
    assert la.slogdet(arr([[1.0, 2.0], [2.0, 4.0]])) == (0.0, -math.inf)
    assert la.slogdet(arr([[0.0, 2.0], [3.0, 0.0]])) == (-1.0, math.log(6.0))
    a = np.eye(3)
    a[1, 2] = math.nan
    assert math.isnan(la.det(arr(a)))
    assert all(math.isnan(v) for v in la.slogdet(arr(a)))
    # 0 * NaN is NaN: the elimination spreads it to a[2, 2], as the plain loop does.
    assert np.isnan(np_(la.solve(arr(a), arr([1.0, 2.0, 3.0])))).all()
    assert np.isnan(np_(la.lstsq(arr(np.vstack([a, a])), arr(np.ones(6))))).all()
    assert np.isinf(np_(la.solve(arr([[1e-300, 0.0], [0.0, 1.0]]), arr([1e10, 1.0]))))[0]


def test_inputs_are_unchanged():
    rng = np.random.default_rng(5)
    a, b = rng.standard_normal((40, 40)), rng.standard_normal((40, 2))
    la_, lb = arr(a), arr(b)
    for f in (lambda: la.solve(la_, lb), lambda: la.inv(la_), lambda: la.det(la_),
              lambda: la.solve_triangular(la_, lb), lambda: la.lstsq(la_, lb), lambda: la.qr_reduced(la_)):
        f()
        assert same_bits(np_(la_), a) and same_bits(np_(lb), b)


# ---------------------------------------------------------------- errors


def test_signatures_and_not_in_all():
    sigs = {"solve_triangular": "(a, b, lower=False, unit_diagonal=False)", "cho_solve": "(l, b)",
            "solve": "(a, b)", "lstsq": "(a, b)", "qr_reduced": "(a)", "inv": "(a)", "det": "(a)",
            "slogdet": "(a)"}
    for name, sig in sigs.items():
        assert str(inspect.signature(getattr(la, name))) == sig
        assert name not in la.__all__ and getattr(la, name).__module__ == "linalg"


@pytest.mark.parametrize("call,message", [
    (lambda: la.solve(lv.zeros([3]), lv.zeros([3])), "solve requires a 2D matrix"),
    (lambda: la.solve(lv.zeros([2, 3]), lv.zeros([2])), "solve requires a square matrix"),
    (lambda: la.solve(lv.eye(2), lv.zeros([3])), "solve: b has 3 rows, expected 2"),
    (lambda: la.solve(lv.eye(2), lv.zeros([2, 1, 1])), "solve: b must be 1D or 2D"),
    (lambda: la.solve(lv.eye(2), lv.Array([], [5.0])), "solve: b must be 1D or 2D"),
    (lambda: la.solve(arr([[1.0, 2.0], [2.0, 4.0]]), lv.zeros([2])),
     "solve: matrix is singular (no nonzero pivot in column 1)"),
    (lambda: la.inv(lv.zeros([2, 2])), "inv: matrix is singular (no nonzero pivot in column 0)"),
    (lambda: la.inv(lv.zeros([2, 3])), "inv requires a square matrix"),
    (lambda: la.det(lv.zeros([2])), "det requires a 2D matrix"),
    (lambda: la.slogdet(lv.zeros([1, 2])), "slogdet requires a square matrix"),
    (lambda: la.solve_triangular(arr([[1.0, 0.0], [1.0, 0.0]]), lv.zeros([2]), lower=True),
     "solve_triangular: matrix is singular (zero on the diagonal at row 1)"),
    (lambda: la.cho_solve(lv.zeros([2, 2]), lv.zeros([2])),
     "cho_solve: matrix is singular (zero on the diagonal at row 0)"),
    (lambda: la.cho_solve(lv.eye(2), lv.zeros([4, 2])), "cho_solve: b has 4 rows, expected 2"),
    (lambda: la.lstsq(lv.zeros([2, 3]), lv.zeros([2])),
     "lstsq requires at least as many rows as columns (got 2 x 3): under-determined systems are not solved"),
    (lambda: la.lstsq(lv.zeros([3, 2]), lv.zeros([2])), "lstsq: b has 2 rows, expected 3"),
    (lambda: la.lstsq(lv.zeros([3]), lv.zeros([3])), "lstsq requires a 2D matrix"),
    (lambda: la.lstsq(arr([[1.0, 2.0], [2.0, 4.0], [3.0, 6.0]]), lv.zeros([3])),
     "lstsq: matrix is rank deficient (a column is negligible next to the span of the columns before it)"),
    (lambda: la.qr_reduced(lv.zeros([3])), "QR decomposition requires a 2D matrix"),
])
def test_value_errors(call, message):
    with err(ValueError, message):
        call()


def test_rank_threshold_is_relative():
    # |R[1, 1]| about 1e-12 against 1000 * 2**-52 * |R[0, 0]| (R[0, 0] = -sqrt(1000) / 2).
    a = np.full((1000, 2), 0.5)
    b = np.arange(1000.0)
    a[0, 1] += 1e-12
    with pytest.raises(ValueError, match=r"^lstsq: matrix is rank deficient \(\|R\[1, 1\]\| = [0-9.]+e-13 is not "
                                         r"above the threshold 3.51\d*e-12 = max\(m, n\) \* 2\*\*-52 \* max "):
        la.lstsq(arr(a), arr(b))
    a[0, 1] = 0.5 + 1e-6
    assert np.allclose(np_(la.lstsq(arr(a), arr(b))), np.linalg.lstsq(a, b, rcond=None)[0], rtol=1e-4)


def test_type_errors_and_flags():
    with err(TypeError, "argument 'a': 'list' object cannot be cast as 'Array'"):
        la.solve([[1.0]], lv.zeros([1]))
    with err(TypeError, "argument 'l': 'int' object cannot be cast as 'Array'"):
        la.cho_solve(1, lv.zeros([1]))
    with err(TypeError, "argument 'b': 'NoneType' object cannot be cast as 'Array'"):
        la.solve_triangular(lv.eye(1), None)
    with err(TypeError, "solve_triangular() got an unexpected keyword argument 'trans'"):
        la.solve_triangular(lv.eye(1), lv.zeros([1]), trans=1)

    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError):
        la.solve_triangular(lv.eye(2), lv.zeros([2]), lower=Bad())
    a = arr([[2.0, 0.0], [1.0, 4.0]])
    lower = la.solve_triangular(a, arr([2.0, 9.0]), lower=1)
    assert lower.tolist() == [1.0, 2.0]
    assert la.solve_triangular(a, arr([2.0, 8.0]), lower=[]).tolist() == [1.0, 2.0]
