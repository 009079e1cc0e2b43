"""The symmetric eigensolver: linalg.eigh and linalg.eigvalsh against NumPy
over random, graded, clustered and exactly repeated spectra (residual,
orthogonality and eigenvalue bounds of a backward-stable solver), the lower
triangle as the only input, scaling at the ends of the floating-point range,
errors, bits independent of the thread count, and PCA on scikit-learn's
bundled data sets."""
import inspect
import math
import os
import subprocess
import sys

import pytest

import lumivander as lv
from conftest import err

np = pytest.importorskip("numpy")
la = lv.linalg
U = 2.0 ** -53


def spectrum(kind, n, rng):
    """A symmetric matrix with a known kind of spectrum."""
    if kind == "random":
        a = rng.standard_normal((n, n))
        return a + a.T
    if kind == "wilkinson":   # tridiagonal, eigenvalues in nearly equal pairs
        m = (n - 1) / 2
        return np.diag(np.abs(np.arange(n) - m)) + np.diag(np.ones(n - 1), 1) + np.diag(np.ones(n - 1), -1)
    if kind == "toeplitz":    # 2, -1 tridiagonal: 2 - 2 cos(k pi / (n + 1))
        return 2 * np.eye(n) - np.diag(np.ones(n - 1), 1) - np.diag(np.ones(n - 1), -1)
    if kind == "blocks":      # block diagonal: the tridiagonal form splits
        a = np.zeros((n, n))
        for s in range(0, n, 7):
            b = rng.standard_normal((min(7, n - s),) * 2)
            a[s:s + 7, s:s + 7] = b + b.T
        return a
    if kind == "rank1":       # identity plus rank one: all but one eigenvalue equal
        x = rng.standard_normal(n)
        return np.eye(n) + np.outer(x, x)
    q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    if kind == "graded":
        w = np.logspace(0, -12, n)
    elif kind == "clustered":
        w = 1.0 + 1e-10 * rng.standard_normal(n)
    elif kind == "repeated":
        w = np.repeat([-2.0, 1.0, 3.0], (n + 2) // 3)[:n]
    else:
        raise ValueError(kind)
    a = (q * w) @ q.T
    return (a + a.T) / 2


def solve(a):
    w, v = la.eigh(lv.Array.from_numpy(np.ascontiguousarray(a)))
    return w.to_numpy(), v.to_numpy()


@pytest.mark.parametrize("kind", ["random", "graded", "clustered", "repeated", "wilkinson", "toeplitz", "blocks",
                                  "rank1"])
@pytest.mark.parametrize("n", [1, 2, 3, 5, 25, 26, 31, 32, 33, 34, 65, 97, 130, 211])
def test_against_numpy_with_backward_error_bounds(kind, n):
    a = spectrum(kind, n, np.random.default_rng(1000 * n + len(kind)))
    w, v = solve(a)
    norm = np.linalg.norm(a, 2)
    bound = 10 * n * U
    assert w.shape == (n,) and v.shape == (n, n)
    assert np.all(np.diff(w) >= 0)
    assert np.linalg.norm(a @ v - v * w, 2) <= bound * norm
    assert np.linalg.norm(v.T @ v - np.eye(n), 2) <= bound
    assert np.max(np.abs(w - np.linalg.eigvalsh(a))) <= bound * norm
    # The values alone (by another route) agree to rounding.
    values = la.eigvalsh(lv.Array.from_numpy(a)).to_numpy()
    assert np.all(np.diff(values) >= 0) and np.max(np.abs(values - w)) <= bound * norm


def test_swap_matrix_and_small_exact_cases():
    w, v = la.eigh(lv.Array([2, 2], [0.0, 1.0, 1.0, 0.0]))
    assert w.tolist() == [-1.0, 1.0]
    r = math.sqrt(0.5)
    got = v.to_numpy()
    for k, want in enumerate(([r, -r], [r, r])):
        assert np.allclose(got[:, k], want, atol=1e-16) or np.allclose(got[:, k], [-x for x in want], atol=1e-16)
    # Diagonal input: the values sorted, the vectors a permutation.
    w, v = la.eigh(lv.Array([3, 3], [3.0, 0, 0, 0, -1.0, 0, 0, 0, 2.0]))
    assert w.tolist() == [-1.0, 2.0, 3.0]
    assert np.array_equal(np.abs(v.to_numpy()), [[0, 0, 1], [1, 0, 0], [0, 1, 0]])
    w, v = la.eigh(lv.Array([1, 1], [-7.5]))
    assert w.tolist() == [-7.5] and v.tolist() == [[1.0]]
    w, v = la.eigh(lv.zeros([0, 0]))
    assert w.shape == [0] and v.shape == [0, 0]
    assert la.eigvalsh(lv.zeros([0, 0])).shape == [0]
    w, v = la.eigh(lv.zeros([4, 4]))
    assert w.tolist() == [0.0] * 4 and v.tolist() == lv.eye(4).tolist()
    assert la.eigvalsh(lv.eye(5) * 2.0).tolist() == [2.0] * 5


def test_only_the_lower_triangle_is_read():
    rng = np.random.default_rng(5)
    a = spectrum("random", 40, rng)
    junk = np.triu(rng.standard_normal((40, 40)) * 1e6, 1)
    junk[0, 5] = np.nan
    junk[3, 9] = np.inf
    b = np.tril(a) + junk
    w1, v1 = solve(a)
    w2, v2 = solve(b)
    assert np.array_equal(w1, w2) and np.array_equal(v1, v2)


@pytest.mark.parametrize("scale", [1e300, 1e-300, 2.0 ** -1060, 1.7e308 / 64])
def test_extreme_magnitudes_are_scaled(scale):
    # Near overflow or underflow (subnormal entries included) the matrix is
    # scaled by a power of two: the same values, scaled, to the precision
    # the results can hold.
    a = spectrum("random", 12, np.random.default_rng(6))
    a = a / np.max(np.abs(a))
    b = a * scale
    ws, vs = solve(b)
    ref = np.linalg.eigvalsh(b / scale) * scale
    assert np.all(np.isfinite(ws)) and np.all(np.isfinite(vs))
    top = np.max(np.abs(ref))
    tol = 120 * U * top if scale > 1e-300 else 2e-3 * top   # subnormal results keep a few digits
    assert np.max(np.abs(ws - ref)) <= tol
    assert np.linalg.norm(vs.T @ vs - np.eye(12), 2) <= 120 * U


@pytest.mark.parametrize("a,message", [
    (lv.zeros([3]), "Eigendecomposition requires a 2D matrix"),
    (lv.zeros([2, 2, 2]), "Eigendecomposition requires a 2D matrix"),
    (lv.zeros([2, 3]), "Eigendecomposition requires a square matrix"),
    (lv.zeros([0, 3]), "Eigendecomposition requires a square matrix"),
    (lv.Array([2, 2], [1.0, 0.0, math.nan, 1.0]), "Eigendecomposition requires finite values"),
    (lv.Array([2, 2], [1.0, 0.0, 0.0, -math.inf]), "Eigendecomposition requires finite values"),
    (lv.Array([1, 1], [math.inf]), "Eigendecomposition requires finite values"),
])
def test_errors(a, message):
    for fn in (la.eigh, la.eigvalsh):
        with err(ValueError, message):
            fn(a)


def test_surface_outside_all_and_argument_errors():
    assert "eigh" not in la.__all__ and "eigvalsh" not in la.__all__
    assert str(inspect.signature(la.eigh)) == "(a)" and str(inspect.signature(la.eigvalsh)) == "(a)"
    assert la.eigh(a=lv.eye(2))[0].tolist() == [1.0, 1.0]
    with err(TypeError, "argument 'a': 'list' object cannot be cast as 'Array'"):
        la.eigh([[1.0]])
    with err(TypeError, "eigvalsh() missing 1 required positional argument: 'a'"):
        la.eigvalsh()
    with err(TypeError, "eigh() takes 1 positional arguments but 2 were given"):
        la.eigh(lv.eye(2), "U")


def test_eig_warning_points_to_eigh():
    import warnings

    with warnings.catch_warnings(record=True) as got:
        warnings.simplefilter("always")
        la.eig(lv.Array([2, 2], [0.0, 1.0, 1.0, 0.0]))
    msg = str(got[0].message)
    assert msg.startswith("eig: no convergence after 1000 iterations; ")
    assert msg.endswith("; for a symmetric matrix, linalg.eigh (or linalg.eigvalsh for the values alone) "
                        "is exact and fast")


THREADS = r"""
import hashlib, sys
import numpy as np
import lumivander as lv
h = hashlib.sha256()
for n, seed in ((1, 1), (7, 2), (64, 3), (150, 4), (333, 5)):
    a = np.random.default_rng(seed).standard_normal((n, n))
    w, v = lv.linalg.eigh(lv.Array.from_numpy(a + a.T))
    h.update(w.to_numpy().tobytes()); h.update(v.to_numpy().tobytes())
    h.update(lv.linalg.eigvalsh(lv.Array.from_numpy(a)).to_numpy().tobytes())
print(h.hexdigest())
"""


def test_bits_do_not_depend_on_the_thread_count():
    digests = set()
    for threads in ("1", "2", "3"):
        env = dict(os.environ, LUMIVANDER_NUM_THREADS=threads)
        proc = subprocess.run([sys.executable, "-c", THREADS], env=env, capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        digests.add(proc.stdout.strip())
    assert len(digests) == 1


def test_interpreter_lock_is_released():
    import threading
    import time

    a = lv.Array.from_numpy(spectrum("random", 700, np.random.default_rng(9)))
    started = threading.Event()

    def work():
        started.set()
        la.eigh(a)

    t = threading.Thread(target=work)
    t.start()
    started.wait()
    turns = 0
    while t.is_alive():
        turns += 1
        time.sleep(0.001)
    t.join()
    assert turns > 10


# ---------------------------------------------------------------- PCA on real data

DATASETS = ["load_iris", "load_wine", "load_breast_cancer", "load_digits"]


@pytest.mark.parametrize("loader", DATASETS)
def test_covariance_spectra_and_pca_scores_match(loader):
    datasets = pytest.importorskip("sklearn.datasets")
    decomposition = pytest.importorskip("sklearn.decomposition")
    x = getattr(datasets, loader)().data.astype(float)
    xc = x - x.mean(axis=0)
    cov = xc.T @ xc / (len(x) - 1)
    w, v = solve(cov)
    ref = np.linalg.eigvalsh(cov)
    top = np.max(np.abs(ref))
    assert np.all(np.abs(w - ref) <= 1e-12 * top)
    # Principal components: the largest eigenvalues first.
    k = min(5, x.shape[1])
    comps = v[:, ::-1][:, :k]
    scores = xc @ comps
    pca = decomposition.PCA(n_components=k, svd_solver="full").fit(x)
    want = pca.transform(x)
    assert np.allclose(w[::-1][:k], pca.explained_variance_, rtol=1e-9, atol=1e-12 * top)
    for j in range(k):
        sign = 1.0 if scores[:, j] @ want[:, j] >= 0 else -1.0
        assert np.allclose(sign * scores[:, j], want[:, j], rtol=0, atol=1e-8 * np.max(np.abs(want[:, j])))


@pytest.mark.parametrize("n", [4, 26, 100, 257])
def test_known_spectrum_and_untouched_input(n):
    # The (2, -1) tridiagonal matrix: eigenvalues 2 - 2 cos(k pi / (n + 1)),
    # eigenvectors sin(j k pi / (n + 1)) up to sign and scale.
    a = lv.Array.from_numpy(spectrum("toeplitz", n, None))
    before = a.tolist()
    w, v = la.eigh(a)
    k = np.arange(1, n + 1)
    exact = 2 - 2 * np.cos(k * np.pi / (n + 1))
    assert np.max(np.abs(w.to_numpy() - exact)) <= 10 * n * U * 4
    assert np.max(np.abs(la.eigvalsh(a).to_numpy() - exact)) <= 10 * n * U * 4
    s = np.sin(np.outer(k, k) * np.pi / (n + 1))
    s /= np.linalg.norm(s, axis=0)
    assert np.allclose(np.abs(np.sum(v.to_numpy() * s, axis=0)), 1.0, atol=1e-9)
    assert a.tolist() == before
    again = la.eigh(a)
    assert again[0].tolist() == w.tolist() and again[1].tolist() == v.tolist()
