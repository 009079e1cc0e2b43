"""Linear algebra: products (bit-exact against the plain loop on every code
path), outer, transpose, diagonal, Cholesky, QR, the eigen-decomposition, the
linalg submodule and the linear-algebra members of Array."""
import inspect
import math
import os
import random
import struct
import subprocess
import sys

import pytest

import lumivander as lv
from conftest import err

la = lv.linalg


def bits(x):
    return struct.pack("<d", x)


def same_bits(xs, ys):
    return len(xs) == len(ys) and all(bits(x) == bits(y) for x, y in zip(xs, ys))


def mat(rows):
    m, n = len(rows), len(rows[0]) if rows else 0
    return lv.Array([m, n], [x for r in rows for x in r])


def mixed(rnd, count):
    """Values spanning many magnitudes, with signed zeros mixed in."""
    out = []
    for _ in range(count):
        u = rnd.random()
        if u < 0.05:
            out.append(0.0)
        elif u < 0.1:
            out.append(-0.0)
        else:
            out.append(rnd.gauss(0.0, 1.0) * 10.0 ** rnd.randint(-12, 12))
    return out


def naive(a, b, m, n, p):
    """The plain triple loop over row-major lists: each sum from -0.0, k increasing."""
    c = []
    for i in range(m):
        row = a[i * n:(i + 1) * n]
        for j in range(p):
            s = -0.0
            for k in range(n):
                s = s + row[k] * b[k * p + j]
            c.append(s)
    return c


# ---------------------------------------------------------------- products

def test_product_cases_and_shapes():
    v3 = lv.asarray([1, 2, 3])
    r = la.matmul(v3, lv.asarray([4, 5, 6]))
    assert r.shape == [1] and r.tolist() == [32.0]
    m23 = mat([[1, 2, 3], [4, 5, 6]])
    assert la.matmul(m23, v3).tolist() == [14.0, 32.0]
    assert la.matmul(lv.asarray([1, 2]), m23).tolist() == [9.0, 12.0, 15.0]
    assert (m23 @ mat([[1], [0], [1]])).tolist() == [[4.0], [10.0]]


def test_empty_inner_dimension_gives_negative_zeros():
    e = lv.zeros([0])
    r = la.dot(e, e)
    assert r.shape == [1] and bits(r.tolist()[0]) == bits(-0.0)
    c = lv.zeros([2, 0]) @ lv.zeros([0, 3])
    assert c.shape == [2, 3] and same_bits(c.tolist()[0] + c.tolist()[1], [-0.0] * 6)
    assert same_bits(la.matmul(lv.zeros([4, 0]), e).tolist(), [-0.0] * 4)
    assert same_bits(la.matmul(e, lv.zeros([0, 5])).tolist(), [-0.0] * 5)
    # Large empty-inner products go through the blocked kernels' own path.
    big = lv.zeros([40, 0]) @ lv.zeros([0, 50])
    assert same_bits(big.to_pylist_recursive(0, 0)[7], [-0.0] * 50)


def test_zero_sized_outer_dimensions():
    assert (lv.zeros([0, 3]) @ lv.zeros([3, 4])).shape == [0, 4]
    assert (lv.zeros([3, 3]) @ lv.zeros([3, 0])).shape == [3, 0]
    assert la.matmul(lv.zeros([0, 3]), lv.zeros([3])).shape == [0]


@pytest.mark.parametrize("a,b,message", [
    ([3], [4], "Vectors must have same length"),
    ([3], [4, 2], "Inner dimensions must match"),
    ([2, 3], [2], "Inner dimensions must match"),
    ([2, 3], [2, 3], "Inner dimensions must match: 3 vs 2"),
    ([2, 2, 2], [2], "matmul requires 1D or 2D arrays"),
    ([2], [2, 2, 2], "matmul requires 1D or 2D arrays"),
    ([], [1], "matmul requires 1D or 2D arrays"),
    ([2, 2], [], "matmul requires 1D or 2D arrays"),
])
def test_product_shape_errors(a, b, message):
    x, y = lv.zeros(a), lv.zeros(b)
    for call in (la.matmul, la.dot, lambda p, q: p @ q, lambda p, q: p.dot(q), lambda p, q: p.matmul(q)):
        with err(ValueError, message):
            call(x, y)


def test_product_size_overflow_is_refused():
    # Both operands are empty, the result would have 2**80 elements.
    with pytest.raises((ValueError, MemoryError)):
        lv.zeros([2**40, 0]) @ lv.zeros([0, 2**40])


PRODUCT_SHAPES = [
    (1, 1, 1), (2, 3, 4), (7, 5, 3), (17, 33, 25), (9, 300, 49), (25, 257, 23), (8, 24, 24),
    (12, 16, 48), (31, 64, 97), (5, 513, 3), (1, 200, 70), (70, 200, 1), (48, 2, 50), (9, 600, 16),
    (16, 40, 600),
]


@pytest.mark.parametrize("m,n,p", PRODUCT_SHAPES)
def test_product_bit_exact_against_plain_loop(m, n, p):
    rnd = random.Random(m * 10007 + n * 101 + p)
    a, b = mixed(rnd, m * n), mixed(rnd, n * p)
    c = lv.Array([m, n], a) @ lv.Array([n, p], b)
    assert c.shape == [m, p]
    assert same_bits([x for r in c.tolist() for x in r], naive(a, b, m, n, p))


@pytest.mark.parametrize("n,p", [(1, 1), (5, 3), (300, 70), (257, 9), (64, 130)])
def test_vector_products_bit_exact(n, p):
    rnd = random.Random(n * 31 + p)
    x, b = mixed(rnd, n), mixed(rnd, n * p)
    assert same_bits(la.matmul(lv.asarray(x), lv.Array([n, p], b)).tolist(), naive(x, b, 1, n, p))
    # Matrix times vector: rows of a (p, n) matrix against x.
    bt = [b[k * p + j] for j in range(p) for k in range(n)]
    assert same_bits(la.matmul(lv.Array([p, n], bt), lv.asarray(x)).tolist(), naive(bt, x, p, n, 1))
    assert same_bits(la.dot(lv.asarray(x), lv.asarray(x)).tolist(), naive(x, x, 1, n, 1))


def test_nan_and_infinity_propagate():
    a = mat([[math.inf, 1.0], [0.0, math.nan]])
    r = (a @ mat([[0.0, 1.0], [1.0, 1.0]])).tolist()
    assert math.isnan(r[0][0]) and r[0][1] == math.inf and math.isnan(r[1][0]) and math.isnan(r[1][1])


# The blocked kernels, run on every instruction set this CPU has and with one
# and several threads, against the plain loop computed here.
_PATHS_SCRIPT = r"""
import hashlib, random, struct, sys
import lumivander as lv
out = []
for seed, (m, n, p) in enumerate(SHAPES):
    rnd = random.Random(seed)
    vals = lambda c: [rnd.gauss(0, 1) * 10.0 ** rnd.randint(-12, 12) if rnd.random() > 0.1 else -0.0
                      for _ in range(c)]
    a, b, x = vals(m * n), vals(n * p), vals(n)
    c = lv.Array([m, n], a) @ lv.Array([n, p], b)
    flat = [v for row in c.tolist() for v in row]
    flat += lv.linalg.matmul(lv.asarray(x), lv.Array([n, p], b)).tolist()
    flat += lv.linalg.matmul(lv.Array([m, n], a), lv.asarray(x)).tolist()
    out.append(hashlib.sha256(struct.pack("<%dd" % len(flat), *flat)).hexdigest())
print(" ".join(out))
"""
_PATH_SHAPES = [(37, 300, 53), (64, 64, 64), (130, 20, 250), (3, 700, 41)]


def _naive_digests():
    import hashlib

    out = []
    for seed, (m, n, p) in enumerate(_PATH_SHAPES):
        rnd = random.Random(seed)
        vals = lambda c: [rnd.gauss(0, 1) * 10.0 ** rnd.randint(-12, 12) if rnd.random() > 0.1 else -0.0
                          for _ in range(c)]
        a, b, x = vals(m * n), vals(n * p), vals(n)
        flat = naive(a, b, m, n, p) + naive(x, b, 1, n, p) + naive(a, x, m, n, 1)
        out.append(hashlib.sha256(struct.pack("<%dd" % len(flat), *flat)).hexdigest())
    return " ".join(out)


@pytest.mark.parametrize("isa", ["baseline", "avx2", "avx512"])
@pytest.mark.parametrize("threads", ["1", "2"])
def test_every_kernel_path_matches_the_plain_loop(isa, threads):
    env = dict(os.environ, LUMIVANDER_MATMUL_ISA=isa, LUMIVANDER_NUM_THREADS=threads)
    script = "SHAPES = %r\n" % (_PATH_SHAPES,) + _PATHS_SCRIPT
    got = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    assert got.stdout.strip() == _naive_digests()


# Products large enough to be shared by the pool: B packed once for the
# threads in one slab, in several slabs (deep products), or block by block
# (deeper still), and matrix-vector products cut into blocks of rows or
# columns.  The reference runs the plain loop across all outputs at once
# (NumPy adds whole arrays, one rounding per multiply and per add, k
# increasing).
_POOLED_SCRIPT = r"""
import hashlib, sys
import numpy as np
import lumivander as lv
for seed, (m, n, p) in enumerate(SHAPES):
    rng = np.random.default_rng(seed)
    a, b = rng.standard_normal((m, n)), rng.standard_normal((n, p))
    c = (lv.Array.from_numpy(a) @ lv.Array.from_numpy(b)).to_numpy()
    y = (lv.Array.from_numpy(a) @ lv.Array.from_numpy(b[:, 0].copy())).to_numpy()
    z = (lv.Array.from_numpy(a[0].copy()) @ lv.Array.from_numpy(b)).to_numpy()
    print(hashlib.sha256(c.tobytes() + y.tobytes() + z.tobytes()).hexdigest())
"""
_POOLED_SHAPES = [(203, 301, 517), (64, 2500, 1000), (40, 90000, 24)]


def _pooled_reference():
    np = pytest.importorskip("numpy")
    import hashlib

    out = []
    for seed, (m, n, p) in enumerate(_POOLED_SHAPES):
        rng = np.random.default_rng(seed)
        a, b = rng.standard_normal((m, n)), rng.standard_normal((n, p))
        c = np.full((m, p), -0.0)
        y = np.full(m, -0.0)
        z = np.full(p, -0.0)
        for k in range(n):
            c = c + a[:, k:k + 1] * b[k]
            y = y + a[:, k] * b[k, 0]
            z = z + a[0, k] * b[k]
        out.append(hashlib.sha256(c.tobytes() + y.tobytes() + z.tobytes()).hexdigest())
    return "\n".join(out)


@pytest.mark.parametrize("isa", ["baseline", "avx2", "avx512"])
def test_pooled_products_match_the_plain_loop(isa):
    want = _pooled_reference()
    env = dict(os.environ, LUMIVANDER_ISA=isa, LUMIVANDER_NUM_THREADS="3")
    script = "SHAPES = %r\n" % (_POOLED_SHAPES,) + _POOLED_SCRIPT
    got = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=600)
    assert got.returncode == 0, got.stderr[-2000:]
    assert got.stdout.strip() == want


def test_operands_are_unchanged_and_results_fresh():
    a = mat([[1, 2], [3, 4]])
    before = a.tolist()
    r = a @ a
    assert r is not a and a.tolist() == before and r.tolist() == [[7.0, 10.0], [15.0, 22.0]]


# ---------------------------------------------------------------- outer, transpose, diagonal

def test_outer():
    assert la.outer([1, 2], [3, 4, 5]).tolist() == [[3, 4, 5], [6, 8, 10]]
    assert lv.Array.outer(lv.asarray([1, 2]), [3]).shape == [2, 1]
    assert la.outer([], [1, 2]).shape == [0, 2]
    with err(ValueError, "First input must be 1D"):
        la.outer(lv.zeros([2, 2]), lv.zeros([2, 2]))
    with err(ValueError, "Second input must be 1D"):
        lv.Array.outer([1], lv.zeros([1, 1]))
    with pytest.raises(TypeError, match=r"^argument 'b': failed to extract enum VecOrArray \('Array \| Vec'\)"):
        la.outer([1], "x")


@pytest.mark.parametrize("m,n", [(2, 3), (0, 4), (4, 0), (1, 1), (33, 70), (100, 37)])
def test_transpose(m, n):
    data = [float(i) for i in range(m * n)]
    a = lv.Array([m, n], data)
    want = [data[i * n + j] for j in range(n) for i in range(m)]
    for t in (a.t(), a.transpose(), la.transpose(a)):
        assert t.shape == [n, m]
        assert lv.asarray(t).tolist() == want


def test_transpose_keeps_signed_zeros_and_nan():
    t = mat([[-0.0, math.nan]]).t().tolist()
    assert bits(t[0][0]) == bits(-0.0) and math.isnan(t[1][0])


@pytest.mark.parametrize("shape", [[3], [], [2, 2, 2]])
def test_transpose_requires_2d(shape):
    a = lv.zeros(shape)
    for call in (a.t, a.transpose, lambda: la.transpose(a)):
        with err(ValueError, "transpose requires 2D array"):
            call()


@pytest.mark.parametrize("k,want", [
    (None, [0, 5, 10]), (0, [0, 5, 10]), (1, [1, 6, 11]), (3, [3]), (-2, [8]), (-1, [4, 9]),
    (4, []), (-3, []), (2**63 - 1, []), (-2**63, []),
])
def test_diagonal(k, want):
    a = lv.Array([3, 4], list(range(12)))
    for d in (a.diagonal(k), la.diagonal(a, k), la.diagonal(a, k=k)):
        assert d.shape == [len(want)] and d.tolist() == want
    if k is None:
        assert a.diagonal().tolist() == la.diagonal(a).tolist() == want


@pytest.mark.parametrize("shape", [[3], [], [1, 1, 1]])
def test_diagonal_requires_2d(shape):
    a = lv.zeros(shape)
    with err(ValueError, "diagonal requires a 2D array"):
        a.diagonal()
    with err(ValueError, "diagonal requires a 2D array"):
        la.diagonal(a, 0)


def test_diagonal_k_conversion():
    a = lv.zeros([2, 2])
    with pytest.raises(TypeError, match="^argument 'k': "):
        a.diagonal(1.5)
    with pytest.raises(TypeError, match="^argument 'k': "):
        la.diagonal(a, "1")
    with pytest.raises(OverflowError):
        la.diagonal(a, 2**63)


def test_diagonal_holds_the_matrix_while_k_converts():
    a = mat([[1, 2], [3, 4]])

    class Sneaky:
        def __index__(self):
            a[0, 0] = 99.0      # writes to the matrix being read
            return 0

    for call in (lambda: la.diagonal(a, Sneaky()), lambda: la.diagonal(a=a, k=Sneaky()), lambda: a.diagonal(Sneaky())):
        with err(RuntimeError, "Already borrowed"):
            call()
    assert a.tolist() == [[1.0, 2.0], [3.0, 4.0]]


# ---------------------------------------------------------------- Cholesky

def test_cholesky_examples():
    r2 = math.sqrt(2.0)
    assert la.cholesky(mat([[4, 2], [2, 3]])).tolist() == [[2.0, 0.0], [1.0, r2]]
    assert la.cholesky(mat([[4, 99], [2, 3]])).tolist() == [[2.0, 0.0], [1.0, r2]]
    assert la.cholesky(lv.zeros([0, 0])).shape == [0, 0]


@pytest.mark.parametrize("a,message", [
    (mat([[1, 2], [2, 1]]), "Matrix is not positive definite"),
    (mat([[0]]), "Matrix is not positive definite"),
    (mat([[1, 0], [0, -0.0]]), "Matrix is not positive definite"),
    (lv.zeros([2, 3]), "Cholesky decomposition requires a square matrix"),
    (lv.zeros([3]), "Cholesky decomposition requires a 2D matrix"),
    (lv.zeros([2, 2, 2]), "Cholesky decomposition requires a 2D matrix"),
])
def test_cholesky_errors(a, message):
    with err(ValueError, message):
        la.cholesky(a)


def _cholesky_reference(a, n):
    """Cholesky-Banachiewicz over row-major lists, sums from 0.0."""
    L = [0.0] * (n * n)
    for i in range(n):
        for j in range(i + 1):
            s = 0.0
            for k in range(j):
                s = s + L[i * n + k] * L[j * n + k]
            if i == j:
                d = a[i * n + i] - s
                if d <= 0:
                    raise ValueError("Matrix is not positive definite")
                L[i * n + i] = math.sqrt(d)
            else:
                L[i * n + j] = (a[i * n + j] - s) / L[j * n + j]
    return L


@pytest.mark.parametrize("n", [1, 3, 17, 40, 49, 70, 130])
def test_cholesky_bit_exact_and_against_numpy(n):
    rnd = random.Random(n)
    g = [rnd.gauss(0, 1) for _ in range(n * n)]
    a = [sum(g[i * n + k] * g[j * n + k] for k in range(n)) + (n if i == j else 0)
         for i in range(n) for j in range(n)]
    got = la.cholesky(lv.Array([n, n], a))
    flat = [x for row in got.tolist() for x in row]
    assert same_bits(flat, _cholesky_reference(a, n))
    np = pytest.importorskip("numpy")
    want = np.linalg.cholesky(np.array(a).reshape(n, n))
    assert np.allclose(np.array(flat).reshape(n, n), want, rtol=1e-12, atol=1e-12)


def test_cholesky_pivot_failing_in_a_later_panel():
    # Positive definite up to row 99, then a pivot of exactly 0: blocked
    # code must meet it as the row-by-row loop does.
    n = 120
    rnd = random.Random(5)
    g = [rnd.gauss(0, 1) for _ in range(n * n)]
    a = [sum(g[i * n + k] * g[j * n + k] for k in range(n)) + (n if i == j else 0)
         for i in range(n) for j in range(n)]
    for j in range(n):  # row/column 99 repeats row 0: singular leading block
        a[99 * n + j] = a[0 * n + j]
        a[j * n + 99] = a[j * n + 0]
    a[99 * n + 99] = a[0]
    with err(ValueError, "Matrix is not positive definite"):
        la.cholesky(lv.Array([n, n], a))
    with err(ValueError, "Matrix is not positive definite"):
        _cholesky_reference(a, n)


def test_cholesky_first_failing_pivot_and_nan():
    # Third pivot fails; NaN pivots are not "<= 0" and propagate.
    with err(ValueError, "Matrix is not positive definite"):
        la.cholesky(mat([[4, 0, 0], [2, 2, 0], [0, 0, -1]]))
    r = la.cholesky(mat([[math.nan, 0], [1, 1]])).tolist()
    assert math.isnan(r[0][0]) and math.isnan(r[1][0]) and math.isnan(r[1][1]) and r[0][1] == 0.0


# ---------------------------------------------------------------- QR

def _matmul_lists(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(len(b))) for j in range(len(b[0]))] for i in range(len(a))]


def test_qr_examples():
    q, r = la.qr(mat([[3], [4]]))
    assert q.shape == [2, 2] and r.shape == [2, 1]
    assert r.tolist()[0][0] == pytest.approx(-5.0) and bits(r.tolist()[1][0]) == bits(0.0)
    assert [row[0] for row in q.tolist()] == pytest.approx([-0.6, -0.8])
    assert la.qr(mat([[-3], [4]]))[1].tolist()[0][0] == pytest.approx(5.0)
    q, r = la.qr(lv.zeros([2, 2]))
    assert q.tolist() == [[1.0, 0.0], [0.0, 1.0]] and r.tolist() == [[0.0, 0.0], [0.0, 0.0]]
    q, r = la.qr(mat([[1, 2, 3], [4, 5, 6]]))
    assert q.shape == [2, 2] and r.shape == [2, 3]
    with err(ValueError, "QR decomposition requires a 2D matrix"):
        la.qr(lv.zeros([3]))
    assert [x.shape for x in la.qr(lv.zeros([0, 3]))] == [[0, 0], [0, 3]]
    assert [x.shape for x in la.qr(lv.zeros([3, 0]))] == [[3, 3], [3, 0]]
    # Empty matrices with one huge extent: nothing to allocate but the result.
    assert [x.shape for x in la.qr(lv.zeros([0, 2**59]))] == [[0, 0], [0, 2**59]]
    assert lv.zeros([2**59, 0]).t().shape == [0, 2**59]


@pytest.mark.parametrize("m,n", [(3, 2), (2, 3), (5, 5), (12, 7), (7, 12), (40, 25), (1, 4), (4, 1)])
def test_qr_reconstructs_and_is_orthogonal(m, n):
    rnd = random.Random(m * 100 + n)
    a = [[rnd.uniform(-3, 3) for _ in range(n)] for _ in range(m)]
    q, r = la.qr(mat(a))
    assert isinstance(la.qr(mat(a)), tuple)
    ql, rl = q.tolist(), r.tolist()
    assert q.shape == [m, m] and r.shape == [m, n]
    for i in range(m):
        for k in range(min(i, n)):
            assert bits(rl[i][k]) == bits(0.0)
    qr_ = _matmul_lists(ql, rl)
    for i in range(m):
        assert qr_[i] == pytest.approx(a[i], abs=1e-12)
    qtq = _matmul_lists([list(c) for c in zip(*ql)], ql)
    for i in range(m):
        assert qtq[i] == pytest.approx([1.0 if j == i else 0.0 for j in range(m)], abs=1e-12)


def _qr_reference(a, m, n):
    """Householder QR over row-major lists, exactly as documented: norms from
    -0.0, w and u from 0.0, all sums in increasing index order."""
    R, Q = list(a), [1.0 if i == j else 0.0 for i in range(m) for j in range(m)]

    def norm(x):
        s = -0.0
        for t in x:
            s = s + t * t
        return math.sqrt(s)

    for j in range(min(m, n)):
        x = [R[(j + i) * n + j] for i in range(m - j)]
        nx = norm(x)
        if not nx >= 1e-14:
            continue
        v = list(x)
        v[0] = v[0] + (-1.0 if x[0] < 0 else 1.0) * nx
        nv = norm(v)
        if not nv >= 1e-14:
            continue
        v = [t / nv for t in v]
        w = []
        for k in range(j, n):
            s = 0.0
            for i in range(len(v)):
                s = s + v[i] * R[(j + i) * n + k]
            w.append(s)
        for i in range(len(v)):
            for k in range(j, n):
                R[(j + i) * n + k] = R[(j + i) * n + k] - (v[i] + v[i]) * w[k - j]
        for r in range(m):
            s = 0.0
            for i in range(len(v)):
                s = s + v[i] * Q[r * m + j + i]
            for i in range(len(v)):
                Q[r * m + j + i] = Q[r * m + j + i] - (s + s) * v[i]
    for i in range(m):
        for k in range(min(i, n)):
            R[i * n + k] = 0.0
    return Q, R


@pytest.mark.parametrize("m,n", [(3, 2), (2, 3), (6, 6), (9, 4), (4, 9), (17, 13), (1, 1), (40, 37), (23, 50)])
def test_qr_bit_exact_against_reference(m, n):
    rnd = random.Random(m * 31 + n)
    a = mixed(rnd, m * n)
    a[0] = 0.0 if m > 3 else a[0]  # a zero pivot candidate
    q, r = la.qr(lv.Array([m, n], a))
    Q, R = _qr_reference(a, m, n)
    assert same_bits([x for row in q.tolist() for x in row], Q)
    assert same_bits([x for row in r.tolist() for x in row], R)


def _assert_eig_matches_reference(a, n, iters):
    # `iters` unshifted QR steps in plain Python, eigenpairs ordered by
    # decreasing magnitude, compared bit for bit.
    A, V = list(a), [1.0 if i == j else 0.0 for i in range(n) for j in range(n)]
    for _ in range(iters):
        Q, R = _qr_reference(A, n, n)
        A, V = naive(R, Q, n, n, n), naive(V, Q, n, n, n)
    d = [A[i * n + i] for i in range(n)]
    idx = sorted(range(n), key=lambda i: -abs(d[i]))
    vals, vecs = la.eig_with_params(lv.Array([n, n], a), iters, 0.0)
    assert same_bits(vals.tolist(), [d[i] for i in idx])
    assert same_bits([x for row in vecs.tolist() for x in row], [V[r * n + i] for r in range(n) for i in idx])


@pytest.mark.filterwarnings("ignore:eig.*no convergence:RuntimeWarning")
def test_eig_bit_exact_against_reference():
    n, iters = 5, 4
    rnd = random.Random(9)
    g = [rnd.uniform(-1, 1) for _ in range(n * n)]
    a = [g[i * n + j] + g[j * n + i] for i in range(n) for j in range(n)]
    _assert_eig_matches_reference(a, n, iters)


def test_eig_steps_through_blocked_products_bit_exact():
    # n = 65: R Q goes through row blocks that start at the diagonal, the
    # last block one row long.  The zero column makes the last row of R zero:
    # its products are zeros whose signs depend on every term of the full
    # sum, terms left of the diagonal included.
    n, iters = 65, 1
    rnd = random.Random(3)  # Q[64, 64] < 0: the diagonal zero of R Q is +0.0 only through its left terms
    a = [0.0 if j == n - 1 else rnd.uniform(-1, 1) for i in range(n) for j in range(n)]
    _assert_eig_matches_reference(a, n, iters)


def test_qr_rank_deficient_skips_columns():
    q, r = la.qr(mat([[0, 1], [0, 1]]))
    rl = r.tolist()
    # The all-zero first column is skipped; the second step reflects only the
    # length-1 sub-column below the diagonal.
    assert rl == [[0.0, 1.0], [0.0, -1.0]]
    assert q.tolist() == [[1.0, 0.0], [0.0, -1.0]]


# ---------------------------------------------------------------- eigen-decomposition

def test_eig_examples():
    vals, vecs = la.eig(mat([[2, 0], [0, 3]]))
    assert vals.tolist() == [3.0, 2.0]
    v = vecs.tolist()
    assert [abs(v[0][0]), abs(v[1][0])] == [0.0, 1.0] and [abs(v[0][1]), abs(v[1][1])] == [1.0, 0.0]
    vals, vecs = la.eig(mat([[2, 1], [1, 2]]))
    assert vals.tolist() == pytest.approx([3.0, 1.0])
    v = vecs.tolist()
    assert [abs(v[0][0]), abs(v[1][0])] == pytest.approx([0.70710678, 0.70710678])
    assert v[0][1] * v[1][1] < 0
    assert la.eig(mat([[-5, 0], [0, 1]]))[0].tolist() == [-5.0, 1.0]
    vals, vecs = la.eig(mat([[7]]))
    assert vals.tolist() == [7.0] and vecs.tolist() == [[1.0]]
    vals, vecs = la.eig(lv.zeros([0, 0]))
    assert vals.shape == [0] and vecs.shape == [0, 0]


@pytest.mark.parametrize("a,message", [
    (lv.zeros([2, 3]), "Eigendecomposition requires a square matrix"),
    (lv.zeros([3]), "Eigendecomposition requires a 2D matrix"),
    (mat([[math.nan, 0], [0, 1]]), "called `Option::unwrap()` on a `None` value"),
])
def test_eig_errors(a, message):
    for call in (la.eig, la.eigvals, lambda x: la.eig_with_params(x, 3, 0.0)):
        with err(ValueError, message):
            call(a)


def test_eig_nan_with_one_element_is_returned():
    assert math.isnan(la.eig(mat([[math.nan]]))[0].tolist()[0])


@pytest.mark.filterwarnings("ignore:eig.*no convergence:RuntimeWarning")
def test_eig_max_iter_zero_sorts_the_input_diagonal():
    vals, vecs = la.eig_with_params(mat([[1, 5], [5, -3]]), 0)
    assert vals.tolist() == [-3.0, 1.0] and vecs.tolist() == [[0.0, 1.0], [1.0, 0.0]]
    # Equal magnitudes keep index order (stable sort).
    vals, _ = la.eig_with_params(mat([[2, 0, 0], [0, -2, 0], [0, 0, 2]]), max_iter=0)
    assert vals.tolist() == [2.0, -2.0, 2.0]


@pytest.mark.filterwarnings("ignore:eig.*no convergence:RuntimeWarning")
def test_eig_tolerance_controls_iterations():
    a = mat([[2, 0], [0, 3]])
    once = la.eig_with_params(a, 1, 1e-10)
    many = la.eig_with_params(a, 50, 0.0)  # tol 0 never stops early
    assert once[0].tolist() == la.eig(a)[0].tolist()
    assert many[0].tolist() == [3.0, 2.0]
    # Equal magnitude, opposite sign: never converges, all iterations run.
    vals, _ = la.eig_with_params(mat([[0, 1], [1, 0]]), 7, 1e-10)
    assert len(vals.tolist()) == 2


def test_eig_given_many_steps_lets_other_threads_run():
    # A 2x2 matrix that never converges, given about half a second of steps:
    # the main thread must get to run while the iteration goes on.
    import threading
    import time
    import warnings

    swap = mat([[0, 1], [1, 0]])
    started = threading.Event()

    def work():
        started.set()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            la.eig_with_params(swap, 2_000_000, 0.0)

    t = threading.Thread(target=work)
    t.start()
    started.wait()
    time.sleep(0.05)
    turns = 0
    while t.is_alive():
        turns += 1
        time.sleep(0.001)
    t.join()
    assert turns > 10


def test_eig_warns_when_the_iteration_limit_is_reached():
    import re
    import warnings

    def caught(call):
        with warnings.catch_warnings(record=True) as got:
            warnings.simplefilter("always")
            result = call()
        return result, [str(w.message) for w in got if w.category is RuntimeWarning]

    swap = mat([[0, 1], [1, 0]])       # eigenvalues +1 and -1: the iterate never becomes diagonal
    (vals, vecs), msgs = caught(lambda: la.eig(swap))
    assert len(msgs) == 1
    m = re.fullmatch(r"eig: no convergence after 1000 iterations; the largest off-diagonal magnitude is still "
                     r"(\S+) \(tol 1e-10\), so the values are only the diagonal of the last iterate; for a symmetric "
                     r"matrix, linalg\.eigh \(or linalg\.eigvalsh for the values alone\) is exact and fast", msgs[0])
    assert m and abs(float(m.group(1)) - 1.0) < 1e-12
    assert max(abs(v) for v in vals.tolist()) < 1e-10           # far from the true +-1: hence the warning
    # The values are those of a silent run, bit for bit.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert la.eig(swap)[0].tolist() == vals.tolist()
    _, msgs = caught(lambda: la.eig_with_params(mat([[2, 1], [1, 2]]), max_iter=10))
    assert len(msgs) == 1 and msgs[0].startswith("eig_with_params: no convergence after 10 iterations; ")
    _, msgs = caught(lambda: la.eigvals(swap))
    assert len(msgs) == 1 and msgs[0].startswith("eigvals: no convergence after 1000 iterations; ")
    _, msgs = caught(lambda: la.eig_with_params(mat([[1, 5], [5, -3]]), 0))
    assert len(msgs) == 1 and "after 0 iterations" in msgs[0] and "is still 5.0 " in msgs[0]
    # Converged, or exactly diagonal whatever the tolerance: no warning.
    for call in (lambda: la.eig(mat([[2, 1], [1, 2]])), lambda: la.eig_with_params(mat([[2, 0], [0, 3]]), 50, 0.0),
                 lambda: la.eig(mat([[7]])), lambda: la.eigvals(mat([[2, 0], [0, 3]]))):
        assert caught(call)[1] == []
    # A filter can make it an error; nothing is returned then.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="^eig: no convergence"):
            la.eig(swap)


@pytest.mark.parametrize("n", [2, 3, 6, 12])
def test_eig_symmetric_against_numpy(n):
    np = pytest.importorskip("numpy")
    rnd = np.random.default_rng(n)
    q, _ = np.linalg.qr(rnd.standard_normal((n, n)))
    want = rnd.permutation(np.arange(1, n + 1) * 1.5) * rnd.choice([-1, 1], n)
    a = (q * want) @ q.T
    a = (a + a.T) / 2
    vals, vecs = la.eig(lv.Array.from_numpy(a))
    vals, vecs = vals.to_numpy(), vecs.to_numpy()
    ref_vals, ref_vecs = np.linalg.eigh(a)
    order = np.argsort(-np.abs(ref_vals), kind="stable")
    assert np.allclose(vals, ref_vals[order], atol=1e-8)
    for k in range(n):
        u, w = vecs[:, k], ref_vecs[:, order[k]]
        assert np.allclose(u, w, atol=1e-6) or np.allclose(u, -w, atol=1e-6)
    assert np.allclose(vecs.T @ vecs, np.eye(n), atol=1e-12)
    assert la.eigvals(lv.Array.from_numpy(a)).tolist() == list(vals)


def test_eig_entry_points_agree():
    m = mat([[4, 1, 0], [1, 3, 1], [0, 1, 2]])
    e = la.eig(m)
    for other in (la.eig_with_params(m), la.eig_with_params(m, 1000, 1e-10),
                  la.eig_with_params(m, max_iter=1000, tol=1e-10), la.eig_with_params(a=m)):
        assert isinstance(other, tuple) and len(other) == 2
        assert other[0].tolist() == e[0].tolist() and other[1].tolist() == e[1].tolist()
    assert la.eigvals(m).tolist() == e[0].tolist()


@pytest.mark.parametrize("kwargs,exc,message", [
    ({"max_iter": -1}, OverflowError, None),
    ({"max_iter": None}, TypeError, "argument 'max_iter': "),
    ({"max_iter": 1.5}, TypeError, "argument 'max_iter': "),
    ({"tol": "x"}, TypeError, "argument 'tol': "),
    ({"tol": None}, TypeError, "argument 'tol': "),
])
def test_eig_with_params_conversion(kwargs, exc, message):
    with pytest.raises(exc) as info:
        la.eig_with_params(mat([[1]]), **kwargs)
    if message:
        assert str(info.value).startswith(message)


def test_eig_with_params_converts_in_parameter_order():
    with pytest.raises(TypeError, match="^argument 'a': 'list' object cannot be cast as 'Array'$"):
        la.eig_with_params([[1]], "x", "y")
    with pytest.raises(TypeError, match="^argument 'max_iter': "):
        la.eig_with_params(mat([[1]]), "x", "y")
    assert la.eig_with_params(mat([[2]]), 5, 1)[0].tolist() == [2.0]


# ---------------------------------------------------------------- the submodule and Array members

def test_submodule_layout_and_signatures():
    assert la.__all__ == ["matmul", "dot", "transpose", "cholesky", "qr", "eig", "eig_with_params",
                          "eigvals", "diagonal", "outer"]
    sigs = {"matmul": "(a, b)", "dot": "(a, b)", "transpose": "(a)", "cholesky": "(a)", "qr": "(a)",
            "eig": "(a)", "eig_with_params": "(a, max_iter=1000, tol=1e-10)", "eigvals": "(a)",
            "diagonal": "(a, k=None)", "outer": "(a, b)"}
    for name, sig in sigs.items():
        assert str(inspect.signature(getattr(la, name))) == sig
    members = {"t": "(self, /)", "transpose": "(self, /)", "dot": "(self, /, other)",
               "matmul": "(self, /, other)", "diagonal": "(self, /, k=None)", "outer": "(a, b)"}
    for name, sig in members.items():
        assert str(inspect.signature(getattr(lv.Array, name))) == sig


@pytest.mark.parametrize("name", ["matmul", "dot", "transpose", "cholesky", "qr", "eig", "eig_with_params",
                                  "eigvals", "diagonal"])
def test_array_parameters_refuse_other_types(name):
    fn = getattr(la, name)
    with err(TypeError, "argument 'a': 'list' object cannot be cast as 'Array'"):
        fn([[1, 2]], lv.zeros([2])) if name in ("matmul", "dot") else fn([[1, 2]])
    if name in ("matmul", "dot"):
        with err(TypeError, "argument 'b': 'int' object cannot be cast as 'Array'"):
            fn(lv.zeros([2]), 5)


def test_argument_count_messages():
    with err(TypeError, "matmul() missing 1 required positional argument: 'b'"):
        la.matmul(lv.zeros([1]))
    with err(TypeError, "eig_with_params() takes from 1 to 3 positional arguments but 4 were given"):
        la.eig_with_params(lv.zeros([1, 1]), 1, 1, 1)
    with err(TypeError, "Array.t() takes 0 positional arguments but 1 was given"):
        lv.zeros([1, 1]).t(1)
    with err(TypeError, "Array.dot() missing 1 required positional argument: 'other'"):
        lv.zeros([1]).dot()
    with err(TypeError, "Array.outer() got an unexpected keyword argument 'c'"):
        lv.Array.outer([1], [1], c=1)


def test_member_products_and_operator():
    a, b = mat([[1, 2], [3, 4]]), mat([[5], [6]])
    assert a.dot(b).tolist() == a.matmul(b).tolist() == (a @ b).tolist() == [[17.0], [39.0]]
    assert a.dot(other=b).tolist() == [[17.0], [39.0]]
    with pytest.raises(TypeError, match="^argument 'other': 'int' object cannot be cast as 'Array'$"):
        a.matmul(5)
    with pytest.raises(TypeError, match="^argument 'other': 'list' object cannot be cast as 'Array'$"):
        a.dot([[5], [6]])
    for bad in (2, [[1, 0], [0, 1]], None):
        with pytest.raises(TypeError):
            a @ bad
        with pytest.raises(TypeError):
            bad @ a
    assert a.__matmul__(3) is NotImplemented


def test_same_object_twice_and_dot_equals_matmul():
    rnd = random.Random(5)
    for sa, sb in [([3], [3]), ([2, 3], [3]), ([3], [3, 2]), ([4, 3], [3, 5])]:
        x = lv.Array(sa, [rnd.uniform(-1, 1) for _ in range(math.prod(sa))])
        y = lv.Array(sb, [rnd.uniform(-1, 1) for _ in range(math.prod(sb))])
        assert la.dot(x, y).tolist() == la.matmul(x, y).tolist()
    m = mat([[1, 2], [3, 4]])
    assert la.matmul(m, m).tolist() == (m @ m).tolist() == [[7.0, 10.0], [15.0, 22.0]]


def test_products_from_several_threads_agree():
    # Large products release the interpreter lock and use per-thread packing
    # buffers and the shared pool; concurrent callers must not disturb each other.
    import threading

    rnd = random.Random(11)
    mats = [lv.Array([150, 150], [rnd.uniform(-1, 1) for _ in range(150 * 150)]) for _ in range(3)]
    want = [(m @ mats[0]).tolist() for m in mats]
    got, errors = {}, []

    def work(i):
        try:
            for _ in range(3):
                got[i] = (mats[i % 3] @ mats[0]).tolist()
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for i in range(6):
        assert got[i] == want[i % 3]


def test_products_spaced_out_in_time_agree():
    # Pool threads fall asleep between calls spaced further apart than they
    # wait for work; a product wakes them before it packs B and they join
    # late, or find the work already done and go back to sleep.  Neither
    # may change a result.  Vector-matrix products of several column blocks
    # (and a short last one) ride along.
    import time

    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(12)
    a, b = rng.standard_normal((200, 260)), rng.standard_normal((260, 1030))
    la_, lb = lv.Array.from_numpy(a), lv.Array.from_numpy(b)
    x = lv.Array.from_numpy(a[0].copy())
    want_c, want_z = (la_ @ lb).to_numpy(), (x @ lb).to_numpy()
    z_ref = np.full(1030, -0.0)
    for k in range(260):
        z_ref = z_ref + a[0, k] * b[k]
    assert want_z.tobytes() == z_ref.tobytes()
    for pause in [0.0, 0.0002, 0.003, 0.0, 0.02, 0.0001]:
        time.sleep(pause)
        assert (la_ @ lb).to_numpy().tobytes() == want_c.tobytes()
        time.sleep(pause)
        assert (x @ lb).to_numpy().tobytes() == want_z.tobytes()
