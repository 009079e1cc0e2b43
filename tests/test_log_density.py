"""log_density of the three trees: the log of the kernel sum over every
point (no cut-off), its rtol guarantee, normalisation to a probability
density, and bit-identical results whatever the thread count or instruction
set.  The references are computed point by point with math.fsum, distances in
extended precision where accuracy is the point."""
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import lumivander as lv
from spatial_oracle import KERNELS, METRICS, build_tree, kernel_values

sp = lv.spatial
CLASSES = [("KDTree", ()), ("BallTree", ()), ("VPTree", ()), ("VPTree", ("random",))]
CLASS_IDS = ["kd", "ball", "vp-first", "vp-random"]


def ref_log_sums(X, Q, h, kernel, metric):
    """log of sum_p K(d(q, p) / h) for every query row (distances in long
    double, a NaN difference skipped by Chebyshev only): Gaussian sums scaled
    by their largest term, bounded kernels summed as they stand; both with
    math.fsum."""
    X = np.asarray(X, dtype=float).astype(np.longdouble)
    out = []
    for q in np.atleast_2d(np.asarray(Q, dtype=float)).astype(np.longdouble):
        with np.errstate(all="ignore"):
            diff = np.abs(q - X)
            if metric == "euclidean":
                d = np.sqrt((diff * diff).sum(1))
            elif metric == "manhattan":
                d = diff.sum(1)
            else:
                d = np.where(np.isnan(diff), 0, diff).max(1, initial=0)
            u = d / np.longdouble(h)
            if kernel == "gaussian":
                t = -0.5 * u * u
                m = t.max(initial=-np.inf)
                if np.isnan(t).any():
                    out.append(math.nan)
                elif m == -np.inf:
                    out.append(-math.inf)
                else:
                    out.append(float(m + np.longdouble(math.log(math.fsum(float(v) for v in np.exp(t - m))))))
                continue
            k = kernel_values(u.astype(float), kernel)
        s = math.fsum(k.tolist())
        out.append(math.log(s) if s > 0 else (-math.inf if s == 0 else math.nan))
    return np.array(out)


def as_list(v):
    return [v] if isinstance(v, float) else v.tolist()


def close(got, want, tol):
    got, want = np.asarray(got, dtype=float), np.asarray(want, dtype=float)
    assert np.array_equal(np.isnan(got), np.isnan(want)), (got, want)
    assert np.array_equal(np.isneginf(got), np.isneginf(want)), (got, want)
    ok = np.isfinite(want)
    err = np.abs(got[ok] - want[ok]) / np.maximum(1.0, np.abs(want[ok]))
    assert err.max(initial=0.0) <= tol, (err.max(), got, want)


# ---------------------------------------------------------------------------
# Exact sums, near and far


@pytest.mark.parametrize("cls,extra", CLASSES, ids=CLASS_IDS)
@pytest.mark.parametrize("metric", METRICS)
def test_exact_log_sums_match_the_reference(cls, extra, metric):
    rng = np.random.default_rng(11)
    for dim, n, leaf in ((1, 200, 5), (3, 400, 7), (8, 300, 20)):
        X = rng.normal(size=(n, dim)) * rng.uniform(0.2, 3.0, dim)
        Q = np.vstack([X[:3], rng.normal(size=(4, dim)) * 3, X[:2] + 40.0])
        tree = build_tree(cls, X, leaf, metric, extra)
        for kernel in KERNELS:
            for h in (0.3, 1.7):
                got = tree.log_density(lv.Array.from_numpy(Q), h, kernel)
                close(got.tolist(), ref_log_sums(X, Q, h, kernel, metric), 1e-13)


@pytest.mark.parametrize("cls,extra", CLASSES[:3], ids=CLASS_IDS[:3])
@pytest.mark.parametrize("dim", [2, 10, 30])
def test_far_queries_stay_finite_and_accurate(cls, extra, dim):
    rng = np.random.default_rng(dim)
    X = rng.normal(size=(10**4, dim))
    h = 0.5
    direction = rng.normal(size=dim)
    direction /= np.linalg.norm(direction)
    Q = np.array([X[17] + direction * h * k for k in (10.0, 40.0, 100.0, 1e3, 1e6)])
    tree = build_tree(cls, X, 20, "euclidean", extra)
    got = tree.log_density(lv.Array.from_numpy(Q), h).tolist()
    assert all(math.isfinite(v) for v in got)
    close(got, ref_log_sums(X, Q, h, "gaussian", "euclidean"), 1e-12)
    # one point, seven bandwidths out: the specified sum cuts it off
    one = sp.KDTree.from_array(lv.Array([1, 1], [0.0]))
    assert one.kernel_density([7.0], 1.0) == 0.0
    assert one.log_density([7.0], 1.0) == -24.5


@pytest.mark.parametrize("kernel", KERNELS[1:])
def test_bounded_kernels_are_minus_inf_only_outside_their_support(kernel):
    X = np.array([[0.0, 0.0], [1.0, 0.0]])
    for cls, extra in CLASSES:
        tree = build_tree(cls, X, 1, "euclidean", extra)
        vals = tree.log_density(lv.Array([3, 2], [0.5, 0.0, 2.0, 0.0, 0.0, 1e300]), 1.0, kernel).tolist()
        assert math.isfinite(vals[0]) and vals[1] == -math.inf and vals[2] == -math.inf


def test_nan_and_inf_coordinates_follow_the_kernel_profile():
    # No cut-off, so no tree skips the NaN point (kernel_density's KDTree
    # does, far out): Gaussian NaN everywhere, bounded kernels count it as
    # outside.  The trees split on coordinate 0; the NaN is in coordinate 1.
    X = np.column_stack([np.arange(40.0), np.zeros(40)])
    X[5, 1] = np.nan
    for cls, extra in CLASSES:
        tree = build_tree(cls, X, 4, "euclidean", extra)
        assert math.isnan(tree.log_density([6.0, 0.0], 1.0))
        assert math.isnan(tree.log_density([200.0, 0.0], 1.0))
        for kernel in KERNELS[1:]:
            want = ref_log_sums(X, [[6.0, 0.5]], 1.5, kernel, "euclidean")[0]
            assert tree.log_density([6.0, 0.5], 1.5, kernel) == pytest.approx(want, rel=1e-14)
        cheb = build_tree(cls, X, 4, "chebyshev", extra)
        want = ref_log_sums(X, [[6.0, 0.5], [200.0, 0.0]], 1.0, "gaussian", "chebyshev")
        close(cheb.log_density(lv.Array([2, 2], [6.0, 0.5, 200.0, 0.0]), 1.0).tolist(), want, 1e-13)
        clean = build_tree(cls, X[6:], 4, "euclidean", extra)
        assert math.isnan(clean.log_density([math.nan, 0.0], 1.0))
        assert clean.log_density([math.inf, 0.0], 1.0) == -math.inf


def test_result_forms_and_arguments():
    X = np.random.default_rng(3).normal(size=(6, 2))
    tree = build_tree("BallTree", X)
    assert isinstance(tree.log_density([0.0, 0.0], 1.0), float)
    assert isinstance(tree.log_density(lv.Array([1, 2], [0.0, 0.0]), 1.0), float)
    own = tree.log_density(None, 0.8, "triangular")
    assert own.shape == [6]
    close(own.tolist(), ref_log_sums(X, X, 0.8, "triangular", "euclidean"), 1e-14)
    assert tree.log_density([0.0, 0.0], 1.0, kernel="Uniform", rtol=0.0, normalize=True) == pytest.approx(
        tree.log_density([0.0, 0.0], 1.0, "uniform") - math.log(6 * 0.5 * math.pi), rel=1e-14)
    with pytest.raises(TypeError, match="positional"):
        tree.log_density([0.0, 0.0], 1.0, "gaussian", 0.1)
    with pytest.raises(TypeError):
        tree.log_density([0.0, 0.0])
    for bad in (-1e-3, math.nan):
        with pytest.raises(ValueError, match="rtol must be a non-negative number"):
            tree.log_density([0.0, 0.0], 1.0, rtol=bad)
    with pytest.raises(ValueError, match="Unknown kernel type 'box'"):
        tree.log_density([0.0, 0.0], 1.0, "box")
    with pytest.raises(ValueError, match="Query vector length 3"):
        tree.log_density([0.0, 0.0, 0.0], 1.0)
    empty = sp.KDTree.from_array(lv.Array([0, 2], []))
    assert empty.log_density([0.0, 0.0], 1.0) == -math.inf


# ---------------------------------------------------------------------------
# rtol: |S~ - S| <= rtol * S, on varied data


@pytest.mark.parametrize("cls,extra", CLASSES, ids=CLASS_IDS)
def test_rtol_bound_holds(cls, extra):
    rng = np.random.default_rng(5)
    for trial in range(6):
        dim = int(rng.integers(1, 6))
        n = int(rng.integers(50, 1500))
        centres = rng.normal(size=(4, dim)) * 4
        X = centres[rng.integers(0, 4, n)] + rng.normal(size=(n, dim)) * rng.uniform(0.05, 1.0)
        Q = np.vstack([X[rng.integers(0, n, 5)], rng.normal(size=(5, dim)) * 6])
        metric = METRICS[trial % 3]
        tree = build_tree(cls, X, int(rng.integers(1, 30)), metric, extra)
        for kernel in KERNELS:
            h = float(rng.uniform(0.2, 3.0))
            ref = ref_log_sums(X, Q, h, kernel, metric)
            for rtol in (1e-1, 1e-3, 1e-6):
                got = np.array(as_list(tree.log_density(lv.Array.from_numpy(Q), h, kernel, rtol=rtol)))
                assert np.array_equal(np.isneginf(got), np.isneginf(ref))
                ok = np.isfinite(ref)
                rel = np.abs(np.expm1(got[ok] - ref[ok]))
                assert rel.max(initial=0.0) <= rtol * (1 + 1e-9) + 1e-13, (kernel, metric, rtol, rel.max())


def test_rtol_estimates_nodes():
    # A narrow cluster far from the query is estimated as a whole: the answer
    # moves away from the exact one, within the bound.
    rng = np.random.default_rng(8)
    X = np.vstack([rng.normal(size=(2000, 2)) * 1e-3 + 3.0, rng.normal(size=(50, 2))])
    tree = build_tree("KDTree", X, 8)
    exact = tree.log_density([0.0, 0.0], 1.0)
    approx = tree.log_density([0.0, 0.0], 1.0, rtol=1e-3)
    assert approx != exact and abs(math.expm1(approx - exact)) <= 1e-3


# ---------------------------------------------------------------------------
# normalize=True: a probability density


def integral_2d(tree, kernel, h, lim, m=601):
    g = np.linspace(-lim, lim, m)
    grid = np.array(np.meshgrid(g, g)).reshape(2, -1).T.copy()
    vals = np.exp(np.array(tree.log_density(lv.Array.from_numpy(grid), h, kernel, normalize=True).tolist()))
    w = np.full(m, g[1] - g[0])
    w[0] = w[-1] = w[0] / 2  # trapezoid rule
    return float((vals.reshape(m, m) * np.outer(w, w)).sum())


@pytest.mark.parametrize("kernel", KERNELS)
def test_normalised_densities_integrate_to_one(kernel):
    X1 = np.array([[0.0], [0.3], [1.0]])
    t1 = build_tree("KDTree", X1, 1)
    g = np.linspace(-8.0, 9.0, 200001)
    v = np.exp(np.array(t1.log_density(lv.Array.from_numpy(g[:, None]), 0.7, kernel, normalize=True).tolist()))
    assert float(((v[1:] + v[:-1]) / 2 * np.diff(g)).sum()) == pytest.approx(1.0, abs=5e-5)
    X2 = np.array([[0.0, 0.0], [0.4, -0.2]])
    for metric in METRICS:
        t2 = build_tree("BallTree", X2, 1, metric)
        lim = 5.0 if kernel == "gaussian" else 1.5  # the bounded kernels' edges: a fine grid where they are
        # the uniform kernel's jumps lie along grid lines, which costs the grid half a cell of them
        tol = 1e-2 if kernel == "uniform" else 2e-4
        assert integral_2d(t2, kernel, 0.6, lim) == pytest.approx(1.0, abs=tol), metric


def test_normalised_gaussian_matches_scipy_gaussian_kde():
    from scipy.stats import gaussian_kde

    rng = np.random.default_rng(4)
    X = rng.normal(size=(300, 3))
    X -= X.mean(0)
    X = X @ np.linalg.inv(np.linalg.cholesky(np.cov(X.T)).T)  # sample covariance: the identity
    h = 0.45
    Q = rng.normal(size=(20, 3)) * 1.5
    want = gaussian_kde(X.T, bw_method=h).logpdf(Q.T)
    for cls, extra in CLASSES[:3]:
        got = build_tree(cls, X, 10, "euclidean", extra).log_density(lv.Array.from_numpy(Q), h, normalize=True)
        np.testing.assert_allclose(got.tolist(), want, rtol=1e-10)


@pytest.mark.parametrize("kernel", KERNELS)
def test_normalised_log_density_matches_scikit_learn(kernel):
    neighbors = pytest.importorskip("sklearn.neighbors")
    sk_kernel = {"uniform": "tophat", "triangular": "linear"}.get(kernel, kernel)
    rng = np.random.default_rng(6)
    for dim in (1, 2, 5):
        X = rng.normal(size=(400, dim))
        Q = np.vstack([X[:5], rng.normal(size=(5, dim)) * 2])
        h = 0.9
        sk = neighbors.KernelDensity(kernel=sk_kernel, bandwidth=h, atol=0, rtol=0).fit(X).score_samples(Q)
        for cls, extra in CLASSES[:3]:
            got = np.array(build_tree(cls, X, 15, "euclidean", extra).log_density(
                lv.Array.from_numpy(Q), h, kernel, normalize=True).tolist())
            both = np.isfinite(sk) & np.isfinite(got)
            np.testing.assert_allclose(got[both], sk[both], rtol=1e-12)


def test_breast_cancer_held_out_points():
    datasets = pytest.importorskip("sklearn.datasets")
    X = datasets.load_breast_cancer().data
    X = (X - X.mean(0)) / X.std(0)
    train, held = X[:500], X[500:]
    ref = ref_log_sums(train, held, 1.0, "gaussian", "euclidean")
    for cls, extra in CLASSES[:3]:
        got = build_tree(cls, train, 20, "euclidean", extra).log_density(lv.Array.from_numpy(held), 1.0)
        np.testing.assert_allclose(got.tolist(), ref, rtol=1e-10)


# ---------------------------------------------------------------------------
# The same bits on every thread count and instruction set

DIGEST = """
import numpy as np, lumivander as lv
rng = np.random.default_rng(1)
X = rng.normal(size=(20000, 3))
Q = lv.Array.from_numpy(np.vstack([rng.normal(size=(300, 3)) * 2, X[:20] + 25.0]))
out = []
for cls in (lv.spatial.KDTree, lv.spatial.BallTree, lv.spatial.VPTree):
    for metric in ("euclidean", "chebyshev"):
        t = cls.from_array(lv.Array.from_numpy(X), 12, metric)
        for kernel in ("gaussian", "epanechnikov"):
            for rtol in (0.0, 1e-6, 1e-2):
                out += t.log_density(Q, 0.3, kernel, rtol=rtol, normalize=rtol > 0).tolist()
print(np.array(out).tobytes().hex())
"""


def test_same_bits_on_every_thread_count_and_level():
    runs = set()
    for isa, threads in (("baseline", "1"), ("baseline", "2"), ("avx512", "1"), ("avx512", "2")):
        env = dict(os.environ, LUMIVANDER_ISA=isa, LUMIVANDER_NUM_THREADS=threads)
        proc = subprocess.run([sys.executable, "-c", DIGEST], env=env, capture_output=True, text=True, timeout=600)
        assert proc.returncode == 0, proc.stderr
        runs.add(proc.stdout)
    assert len(runs) == 1
