"""Kernel density sums of the spatial trees: exact and approximate densities
against a brute-force oracle, the approximation criteria, the query-array
rules and messages, and independence from the thread count."""
import math
import os
import subprocess
import sys
import threading

import pytest

import lumivander as lv
from conftest import err

np = pytest.importorskip("numpy")

from spatial_oracle import KERNELS, METRICS, assert_density_matches, brute_density, distances

sp = lv.spatial
TREES = ["KDTree", "BallTree", "VPTree"]
K0 = {"gaussian": 1.0, "epanechnikov": 0.75, "uniform": 0.5, "triangular": 1.0}


def build(tree, points, leaf_size=20, metric="euclidean", selection="first"):
    arr = lv.Array.from_numpy(np.ascontiguousarray(points, dtype=np.float64))
    cls = getattr(sp, tree)
    if tree == "VPTree":
        return cls.from_array(arr, leaf_size, metric, selection)
    return cls.from_array(arr, leaf_size, metric)


def brute(points, queries, metric, kernel, h):
    return brute_density(points, queries, metric, kernel, h)


def densities(result):
    return np.array([result]) if isinstance(result, float) else result.to_numpy()


assert_matches_brute = assert_density_matches


def point_sets():
    rng = np.random.default_rng(12)
    uniform = rng.random((300, 3))
    centres = rng.random((5, 2)) * 10
    clustered = np.vstack([c + 0.05 * rng.standard_normal((50, 2)) for c in centres] + [np.repeat(centres[:1], 7, 0)])
    grid = rng.integers(0, 12, (120, 1)).astype(float)  # 1-D, many duplicates
    return [uniform, clustered, grid]


POINT_SETS = point_sets()


def queries_for(points, rng):
    lo, hi = points.min(0), points.max(0)
    span = hi - lo
    random = lo - 0.2 * span + 1.4 * span * rng.random((25, points.shape[1]))
    return np.vstack([random, points[:8], points[-3:] + 1e-9])


@pytest.mark.parametrize("leaf_size", [1, 5, 20])
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("tree", TREES)
def test_exact_density_matches_brute_force(tree, metric, kernel, leaf_size):
    rng = np.random.default_rng(hash((tree, metric, kernel, leaf_size)) & 0xFFFF)
    for points in POINT_SETS:
        t = build(tree, points, leaf_size, metric)
        q = queries_for(points, rng)
        qa = lv.Array.from_numpy(q)
        scale = float(np.ptp(points))
        for h in [1e-4 * scale, 0.03 * scale, 0.3 * scale, 3.0 * scale, 1e8, math.inf, 0.0, -0.2 * scale,
                  math.nan]:
            if h < 0 and kernel == "epanechnikov":
                continue  # negative terms make the result depend on which nodes prune
            got = densities(t.kernel_density(qa, h, kernel))
            assert_matches_brute(got, brute(points, q, metric, kernel, h), len(points))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("tree", TREES)
def test_density_at_each_point_with_tiny_bandwidth(tree, metric):
    # Every point sees only itself: this needs the lower bounds to cover every
    # point of a node (the vantage point of a VP node included) and the
    # results of an omitted query array to come back in input order.
    rng = np.random.default_rng(3)
    points = rng.random((200, 3))
    h = 1e-6
    for selection in (["first", "random"] if tree == "VPTree" else ["first"]):
        t = build(tree, points, 3, metric, selection)
        assert densities(t.kernel_density(None, h, "gaussian")).tolist() == [1.0] * 200
        assert densities(t.kernel_density(bandwidth=h, kernel="uniform")).tolist() == [0.5] * 200
        # Omitted queries give the same values as the points passed explicitly.
        own = densities(t.kernel_density(bandwidth=0.2, kernel="triangular"))
        passed = densities(t.kernel_density(lv.Array.from_numpy(points), 0.2, "triangular"))
        assert own.tobytes() == passed.tobytes()
        np.testing.assert_allclose(own, brute(points, points, metric, "triangular", 0.2), rtol=1e-12)


def test_kd_chebyshev_box_bound_is_sound():
    # The Euclidean distance to the far cluster's box is sqrt(2) > h, its
    # Chebyshev distance 1 < h: the cluster must be counted.
    pts = np.array([[1.0 + 0.01 * i, 1.0 + 0.01 * j] for i in range(5) for j in range(5)] + [[5.0, 5.0]] * 3)
    t = build("KDTree", pts, 2, "chebyshev")
    assert t.kernel_density([0.0, 0.0], 1.2, "uniform") == 0.5 * 25
    assert t.kernel_density_approx([0.0, 0.0], 1.2, "uniform", "none") == 0.5 * 25


@pytest.mark.parametrize("tree", ["KDTree", "BallTree"])
@pytest.mark.parametrize("metric", METRICS)
def test_single_leaf_sums_in_input_order_bit_exact(tree, metric):
    # With the root a leaf the points stay in input order: the density is the
    # plain left-to-right sum of the kernel values, starting at 0.0.
    rng = np.random.default_rng(5)
    points = rng.standard_normal((40, 3))
    t = build(tree, points, 40, metric)
    for q in ([0.1, -0.2, 0.3], [3.0, 1.0, -2.0]):
        want = 0.0
        for p in points.tolist():
            if metric == "euclidean":
                s = 0.0
                for a, b in zip(q, p):
                    s += (a - b) * (a - b)
                d = math.sqrt(s)
            elif metric == "manhattan":
                d = 0.0
                for a, b in zip(q, p):
                    d += abs(a - b)
            else:
                d = max(abs(a - b) for a, b in zip(q, p))
            u = d / 0.7
            want += math.exp(-0.5 * u * u)
        assert t.kernel_density(q, 0.7) == want


@pytest.mark.parametrize("tree", TREES)
def test_uniform_counts_points_strictly_inside(tree):
    rng = np.random.default_rng(8)
    points = rng.integers(0, 6, (400, 2)).astype(float)  # many exact ties at distance h
    t = build(tree, points, 4)
    q = rng.integers(0, 6, (30, 2)).astype(float)
    for h in (1.0, 2.0, math.sqrt(5.0), 3.0):
        got = densities(t.kernel_density(lv.Array.from_numpy(q), h, "uniform"))
        want = 0.5 * (distances(points, q, "euclidean") < h).sum(-1)
        assert got.tolist() == want.tolist()


# --------------------------------------------------------------------------
# Approximation criteria


def exact_equivalents(n):
    """Criteria that can never estimate a node: results equal the exact ones."""
    return [
        dict(criterion="none"),
        dict(criterion="none", min_samples=0, max_span=1e300),
        dict(criterion="min_samples", min_samples=n + 1),
        dict(criterion="max_span", max_span=-1.0),
        dict(criterion="combined", min_samples=n + 1, max_span=1e300),
        dict(criterion="combined", min_samples=0, max_span=-1.0),
    ]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("tree", TREES)
def test_criteria_that_never_estimate_give_exact_values(tree, metric):
    rng = np.random.default_rng(21)
    points = rng.random((500, 3))
    q = lv.Array.from_numpy(rng.random((50, 3)))
    t = build(tree, points, 8, metric)
    for kernel in KERNELS:
        for h in (0.05, 0.15, 0.6, 4.0):
            exact = densities(t.kernel_density(q, h, kernel)).tobytes()
            for kw in exact_equivalents(len(points)):
                assert densities(t.kernel_density_approx(q, h, kernel, **kw)).tobytes() == exact, kw


@pytest.mark.parametrize("tree", TREES)
def test_root_estimate(tree):
    # MinSamples(0) estimates the (internal, unpruned) root: query at input
    # row 0, so the nearest possible distance is 0 for every tree.
    rng = np.random.default_rng(4)
    points = rng.random((64, 3))
    t = build(tree, points, 4)
    q = points[0].tolist()
    # Far end inside the support: (0.5 + 0.5) * 0.5 * n.
    assert t.kernel_density_approx(q, 1e9, "uniform", "min_samples", min_samples=0) == 0.5 * 64
    # Far end outside it: (0.5 + 0) * 0.5 * n.
    assert t.kernel_density_approx(q, 1e-9, "uniform", "min_samples", min_samples=0) == 0.25 * 64
    assert t.kernel_density_approx(q, 1e9, "gaussian", "max_span", max_span=1e300) == 64.0
    assert t.kernel_density_approx(q, 1e9, "uniform", "combined", min_samples=64, max_span=1e300) == 0.5 * 64
    # Combined needs both: one failing test keeps the exact sum.
    exact = t.kernel_density(q, 0.3, "triangular")
    assert t.kernel_density_approx(q, 0.3, "triangular", "combined", min_samples=65, max_span=1e300) == exact
    assert t.kernel_density_approx(q, 0.3, "triangular", "combined", min_samples=0, max_span=-1.0) == exact


def test_kd_root_estimate_from_box_corners():
    # Unit square, query at its centre: farthest corner at sqrt(0.5).
    pts = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0], [0.5, 0.5], [0.25, 0.75]])
    t = build("KDTree", pts, 2)
    assert t.kernel_density_approx([0.5, 0.5], 0.75, "uniform", "min_samples", min_samples=6) == 0.5 * 6
    assert t.kernel_density_approx([0.5, 0.5], 0.7, "uniform", "min_samples", min_samples=6) == 0.25 * 6
    u = math.sqrt(0.5) / 0.7
    want = (1.0 + math.exp(-0.5 * u * u)) * 0.5 * 6
    assert t.kernel_density_approx([0.5, 0.5], 0.7, "gaussian", "max_span", max_span=2.0) == want


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("tree", TREES)
def test_estimates_are_bounded(tree, metric, kernel):
    rng = np.random.default_rng(31)
    points = rng.random((400, 3))
    q = lv.Array.from_numpy(rng.random((60, 3)) * 1.4 - 0.2)
    t = build(tree, points, 6, metric)
    exact = densities(t.kernel_density(q, 0.25, kernel))
    for kw in [dict(criterion="min_samples", min_samples=m) for m in (0, 10, 50, 200)] + \
              [dict(criterion="max_span", max_span=s) for s in (0.05, 0.2, 0.6, 5.0)] + \
              [dict(criterion="combined", min_samples=20, max_span=0.4)]:
        got = densities(t.kernel_density_approx(q, 0.25, kernel, **kw))
        assert np.all(np.isfinite(got)) and np.all(got >= 0) and np.all(got <= 400 * K0[kernel]), kw
    # Small nodes estimated: close to the exact value.
    got = densities(t.kernel_density_approx(q, 0.25, kernel, "max_span", max_span=0.01))
    np.testing.assert_allclose(got, exact, rtol=0.05, atol=0.5)


def test_kd_estimate_of_reversed_box_fails():
    # Coordinate 1 is NaN everywhere, so every box is reversed there; a query
    # NaN in that coordinate is not pruned by it and reaches the estimate.
    pts = np.column_stack([np.arange(10.0), np.full(10, np.nan)])
    t = build("KDTree", pts, 2)
    with err(ValueError, "min > max, or either was NaN. min = inf, max = -inf"):
        t.kernel_density_approx([1.0, math.nan], 1.0, "gaussian", "min_samples", min_samples=0)
    # No estimate, no failure.
    t.kernel_density_approx([1.0, math.nan], 1.0, "gaussian", "min_samples", min_samples=11)


# --------------------------------------------------------------------------
# Query arrays, arguments, messages, result forms


@pytest.fixture(scope="module")
def t2():
    return build("KDTree", np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 2.0], [3.0, 3.0], [1.0, 1.0]]))


def test_defaults_and_result_forms(t2):
    pts = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 2.0], [3.0, 3.0], [1.0, 1.0]])
    want = brute(pts, pts, "euclidean", "gaussian", 1.0)
    for r in (t2.kernel_density(), t2.kernel_density(None, None, None),
              t2.kernel_density_approx(), t2.kernel_density_approx(None, None, None, None, None, None)):
        assert isinstance(r, lv.Array) and r.shape == [5]
        np.testing.assert_allclose(r.to_numpy(), want, rtol=1e-15)
    one_row = lv.Array([1, 2], [1.0, 1.0])
    for q in ([1.0, 1.0], (1.0, 1.0), np.array([1.0, 1.0]), lv.Array([2], [1.0, 1.0]), one_row):
        r = t2.kernel_density(q)
        assert type(r) is float and r == t2.kernel_density(queries=one_row, bandwidth=1.0, kernel="gaussian")
    r = t2.kernel_density(lv.Array([0, 2], []))
    assert isinstance(r, lv.Array) and r.shape == [0]
    r = t2.kernel_density(lv.Array([2, 2], [0.0, 0.0, 1.0, 1.0]), 1.5, kernel="Uniform")
    assert r.tolist() == [1.5, 2.0]


def test_single_point_tree_and_scalar_queries():
    t = build("KDTree", np.array([[2.0]]))
    assert t.kernel_density() == 1.0
    assert t.kernel_density(2.0, 5.0) == 1.0
    assert t.kernel_density(3, 1.0, "triangular") == 0.0
    assert t.kernel_density_approx(2.5, 1.0, "TRIANGULAR") == 0.5
    t1 = build("BallTree", np.array([[0.0], [1.0], [4.0]]))
    with err(ValueError, "Query dimension 3 doesn't match tree dimension 1"):
        t1.kernel_density(lv.Array([3], [0.0, 1.0, 4.0]))
    r = t1.kernel_density(lv.Array([3, 1], [0.0, 1.0, 4.0]), 2.0, "uniform")
    assert r.tolist() == [1.0, 1.0, 0.5]
    assert t1.kernel_density([4.0], 2.0, "uniform") == 0.5


@pytest.mark.parametrize("method", ["kernel_density", "kernel_density_approx"])
def test_query_array_errors(t2, method):
    f = getattr(t2, method)
    with err(ValueError, "Query vector length 3 doesn't match tree dimension 2"):
        f([1.0, 2.0, 3.0])
    with err(ValueError, "Query vector length 0 doesn't match tree dimension 2"):
        f([])
    with err(ValueError, "Query dimension 3 doesn't match tree dimension 2"):
        f(lv.Array([3], [1.0, 2.0, 3.0]))
    with err(ValueError, "Query dimension 5 doesn't match tree dimension 2"):
        f(lv.Array([2, 5], [0.0] * 10))
    with err(ValueError, "Query dimension 1 doesn't match tree dimension 2"):
        f(lv.Array([0, 1], []))
    with err(ValueError, "queries must be 1D or 2D array"):
        f(lv.Array([1, 1, 2], [0.0, 0.0]))
    with err(ValueError, "queries must be 1D or 2D array"):
        f(lv.Array([], [1.0]))
    for bad in ("ab", [1.0, "x"], {"a": 1}, [[1.0, 2.0]], object()):
        with err(ValueError, "queries must be a scalar, list, or Array"):
            f(bad)
    with err(ValueError, "Query dimension must match tree dimension"):
        f(1.5)


def test_argument_errors_and_order(t2):
    with err(ValueError, "Unknown kernel type 'Gauss'. Valid options: 'gaussian', 'epanechnikov', 'uniform', "
                         "'triangular'"):
        t2.kernel_density("bad", 1.0, "Gauss")
    with err(TypeError, "argument 'bandwidth': must be real number, not str"):
        t2.kernel_density(None, "1.0")
    with err(TypeError, "argument 'kernel': 'int' object cannot be cast as 'PyString'"):
        t2.kernel_density(None, 1.0, 3)
    f = t2.kernel_density_approx
    # Kernel before criterion, criterion before the queries.
    with err(ValueError, "Unknown kernel type ' uniform'. Valid options: 'gaussian', 'epanechnikov', 'uniform', "
                         "'triangular'"):
        f("bad", 1.0, " uniform", "bogus")
    with err(ValueError, "Unknown approximation criterion 'Max-Span'. Valid options: 'none', 'min_samples', "
                         "'max_span', 'combined'"):
        f("bad", 1.0, "uniform", "Max-Span")
    with err(ValueError, "min_samples parameter required for 'min_samples' criterion"):
        f("bad", criterion="MIN_SAMPLES", max_span=1.0)
    with err(ValueError, "max_span parameter required for 'max_span' criterion"):
        f("bad", criterion="max_span", min_samples=3, max_span=None)
    with err(ValueError, "min_samples parameter required for 'combined' criterion"):
        f("bad", criterion="COMBINED", max_span=1.0)
    with err(ValueError, "max_span parameter required for 'combined' criterion"):
        f("bad", criterion="Combined", min_samples=2)
    with err(ValueError, "queries must be a scalar, list, or Array"):
        f("bad", criterion="Combined", min_samples=2, max_span=0.0)
    with pytest.raises(OverflowError):
        f(None, criterion="min_samples", min_samples=-1)
    with err(TypeError, "argument 'min_samples': 'float' object cannot be interpreted as an integer"):
        f(None, criterion="min_samples", min_samples=1.0)
    with err(TypeError, "argument 'max_span': must be real number, not str"):
        f(None, criterion="max_span", max_span="1")
    with err(TypeError, "KDTree.kernel_density_approx() got an unexpected keyword argument 'span'"):
        f(None, span=1.0)
    # criterion "none" ignores the parameters.
    assert f(None, 0.5, "epanechnikov", "none", 5, -3.0).tolist() == t2.kernel_density(None, 0.5, "epanechnikov").tolist()


def test_signatures():
    import inspect
    for tree in TREES:
        cls = getattr(sp, tree)
        assert str(inspect.signature(cls.kernel_density)) == (
            "(self, /, queries=None, bandwidth=1.0, kernel='gaussian')")
        assert str(inspect.signature(cls.kernel_density_approx)) == (
            "(self, /, queries=None, bandwidth=1.0, kernel='gaussian', criterion='none', min_samples=None, "
            "max_span=None)")


@pytest.mark.parametrize("tree", ["KDTree", "BallTree"])
def test_empty_tree_gives_zero(tree):
    t = build(tree, np.zeros((0, 2)))
    assert t.kernel_density([0.5, 0.5]) == 0.0
    assert t.kernel_density_approx([0.5, 0.5], 1.0, "uniform", "min_samples", min_samples=0) == 0.0
    r = t.kernel_density()
    assert isinstance(r, lv.Array) and r.shape == [0]


# --------------------------------------------------------------------------
# Threads

THREAD_SCRIPT = r"""
import sys, numpy as np, lumivander as lv
rng = np.random.default_rng(7)
pts = lv.Array.from_numpy(rng.random((20000, 3)))
q = lv.Array.from_numpy(rng.random((3000, 3)))
out = []
for cls in (lv.spatial.KDTree, lv.spatial.BallTree, lv.spatial.VPTree):
    t = cls.from_array(pts, 10, "manhattan")
    out.append(t.kernel_density(q, 0.05).to_numpy().tobytes().hex())
    out.append(t.kernel_density_approx(q, 0.05, "epanechnikov", "max_span", max_span=0.05).to_numpy().tobytes().hex())
    out.append(t.kernel_density(None, 0.05, "triangular").to_numpy().tobytes().hex())
print("\n".join(out))
"""


def test_results_independent_of_thread_count():
    runs = []
    for threads in ("1", "3", None):
        env = dict(os.environ)
        env.pop("LUMIVANDER_NUM_THREADS", None)
        if threads:
            env["LUMIVANDER_NUM_THREADS"] = threads
        res = subprocess.run([sys.executable, "-c", THREAD_SCRIPT], env=env, capture_output=True, text=True,
                             timeout=300)
        assert res.returncode == 0, res.stderr
        runs.append(res.stdout)
    assert runs[0] == runs[1] == runs[2]


def test_concurrent_python_threads_on_one_tree():
    rng = np.random.default_rng(9)
    pts = rng.random((5000, 3))
    for tree in TREES:
        t = build(tree, pts, 16)
        qs = [lv.Array.from_numpy(rng.random((400, 3))) for _ in range(6)]
        want = [t.kernel_density(q, 0.1).tolist() for q in qs]
        got = [None] * len(qs)

        def work(i):
            got[i] = t.kernel_density(qs[i], 0.1).tolist()

        threads = [threading.Thread(target=work, args=(i,)) for i in range(len(qs))]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert got == want


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("tree", TREES)
def test_nan_coordinates_in_points(tree, metric):
    # NaN in a coordinate that never splits (tiny spread): the exact sums stay
    # those of the plain traversal, and NaN-free queries under Chebyshev (which
    # skips NaN differences) match brute force.
    rng = np.random.default_rng(17)
    points = rng.random((300, 3))
    points[:, 2] *= 1e-3
    points[rng.random(300) < 0.1, 2] = np.nan
    t = build(tree, points, 4, metric)
    q = lv.Array.from_numpy(rng.random((40, 3)))
    for kernel in KERNELS:
        for h in (0.1, 0.4):
            exact = densities(t.kernel_density(q, h, kernel))
            never = densities(t.kernel_density_approx(q, h, kernel, "min_samples", min_samples=301))
            assert exact.tobytes() == never.tobytes()
            if metric == "chebyshev":
                assert_matches_brute(exact, brute(points, q.to_numpy(), metric, kernel, h), 300)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("kernel", KERNELS)
def test_ball_density_with_infinite_or_huge_coordinates(metric, kernel):
    # Infinite coordinates and sums past the largest double make centroids
    # and radii infinite or NaN; such a node bounds nothing and is searched.
    rng = np.random.default_rng(23)
    inf = rng.random((200, 2))
    inf[7, 0] = np.inf
    inf[150, 1] = -np.inf
    both = rng.random((60, 2))
    both[3, 0], both[40, 0] = np.inf, -np.inf
    huge = rng.random((120, 2)) * 1e308
    for points, queries, h in [(inf, rng.random((12, 2)), 0.3), (both, rng.random((12, 2)), 0.4),
                               (huge, rng.random((12, 2)) * 1e308, 3e307)]:
        for leaf_size in (1, 4, 20):
            for tree in TREES:
                t = build(tree, points, leaf_size, metric)
                got = densities(t.kernel_density(lv.Array.from_numpy(queries), h, kernel))
                want = brute(points, queries, metric, kernel, h)
                assert_matches_brute(got, want, len(points))
                assert (got > 0).sum() == (want > 0).sum()


# ---------------------------------------------------------------------------
# Bit-exact sums against the plain recursion, replayed in Python on the
# structure the tree saves (its pickled state): every node tests its box's
# lower bound, sqrt(sum of squared gaps) / h, against exp(-0.5 u u) < 1e-10;
# a kept leaf adds its points' kernel values in storage order from 0.0.  Python
# floats round every step as the C code must, and math.exp is the library's
# exp, so the two must agree bit for bit whatever the library does to go
# faster (pending runs of leaves, subtrees taken whole, vector lanes).

def kd_structure(tree):
    import struct
    data = tree.__reduce__()[1][1]
    n, dim, _leaf, metric, _opt, n_nodes = struct.unpack_from("<QQQBB6xQ", data, 16)
    assert metric == 0
    off = 56 + 8 * n
    pts = struct.unpack_from("<%dd" % (n * dim), data, off)
    off += 8 * n * dim
    nodes = []
    for _ in range(n_nodes):
        start, end, right = struct.unpack_from("<QQQ", data, off)
        nodes.append((start, end, None if right == 2**64 - 1 else right))
        off += 41
    boxes = struct.unpack_from("<%dd" % (n_nodes * 2 * dim), data, off)
    rows = [pts[p * dim:(p + 1) * dim] for p in range(n)]
    return dim, rows, nodes, [(boxes[2 * dim * i:2 * dim * i + dim], boxes[2 * dim * i + dim:2 * dim * (i + 1)])
                              for i in range(n_nodes)]


def replay_gaussian(structure, q, h):
    dim, rows, nodes, boxes = structure
    acc = 0.0
    stack = [0]
    while stack:
        i = stack.pop()
        lo, hi = boxes[i]
        s = 0.0
        for k in range(dim):
            g = lo[k] - q[k] if q[k] < lo[k] else (q[k] - hi[k] if q[k] > hi[k] else 0.0)
            s = s + g * g
        u = math.sqrt(s) / h
        if math.exp(-0.5 * u * u) < 1e-10:
            continue
        start, end, right = nodes[i]
        if right is not None:
            stack += [right, i + 1]
            continue
        for p in range(start, end):
            s = 0.0
            for k in range(dim):
                d = q[k] - rows[p][k]
                s = s + d * d
            u = math.sqrt(s) / h
            acc += math.exp(-0.5 * u * u)
    return acc


CUT = math.sqrt(-2.0 * math.log(1e-10))  # exp(-0.5 u u) = 1e-10


def near_cut_queries(points, nodes_boxes, h, rng, count):
    # Queries whose distance to some node box lies just around 6.786 h, the
    # cut of the pruning test: one coordinate set that far from a box face.
    out = []
    for _ in range(count):
        lo, hi = nodes_boxes[int(rng.integers(len(nodes_boxes)))]
        q = [float(rng.uniform(a, b)) for a, b in zip(lo, hi)]
        k = int(rng.integers(len(q)))
        # within the fast tests' margins, or within a hair of the cut itself
        u = float(rng.uniform(6.77, 6.81)) if len(out) % 2 else CUT + float(rng.uniform(-2e-5, 2e-5))
        q[k] = hi[k] + h * u
        out.append(q)
    return np.array(out)


@pytest.mark.parametrize("dim,n,leaf_size", [(3, 4000, 20), (3, 3000, 1), (1, 2000, 7), (2, 2500, 5), (5, 1500, 9)])
def test_kd_gaussian_density_bit_exact_against_the_plain_recursion(dim, n, leaf_size):
    rng = np.random.default_rng(dim * 100 + leaf_size)
    points = rng.random((n, dim))
    points[: n // 10] = points[n // 10: 2 * (n // 10)]  # duplicates: queries exactly on points twice
    t = build("KDTree", points, leaf_size)
    structure = kd_structure(t)
    for h in (0.9 * n ** (-1.0 / (dim + 4)) * 0.3, 0.01, 0.35):
        q = np.vstack([rng.random((12, dim)), points[:4], rng.random((4, dim)) * 3 - 1,
                       near_cut_queries(points, structure[3], h, rng, 40)])
        got = densities(t.kernel_density(lv.Array.from_numpy(q), h))
        want = [replay_gaussian(structure, row.tolist(), h) for row in q]
        assert got.tobytes() == np.array(want).tobytes()
    # At the tree's own points (queries omitted): results by input row.
    h = 0.05
    got = densities(t.kernel_density(None, h))[:30]
    assert got.tobytes() == np.array([replay_gaussian(structure, points[r].tolist(), h) for r in range(30)]).tobytes()


@pytest.mark.parametrize("scale", [1e100, 1e-118, 1e-125, 3e130])
def test_kd_gaussian_density_bit_exact_at_extreme_scales(scale):
    # Bandwidths far from 1, where the cuts and the exp cutoff sit at
    # extreme scales: still the plain recursion's bits.
    rng = np.random.default_rng(77)
    points = rng.random((1500, 3)) * scale
    t = build("KDTree", points, 10)
    structure = kd_structure(t)
    q = np.vstack([rng.random((20, 3)) * scale, points[:3]])
    for h in (0.06 * scale, 0.3 * scale):
        got = densities(t.kernel_density(lv.Array.from_numpy(q), h))
        assert got.tobytes() == np.array([replay_gaussian(structure, row.tolist(), h) for row in q]).tobytes()


@pytest.mark.parametrize("tree", TREES)
@pytest.mark.parametrize("metric", METRICS)
def test_exact_gaussian_equals_the_criterion_that_never_estimates(tree, metric):
    # kernel_density takes the fast road (queries side by side, leaves' boxes
    # in vector lanes); an approximation that never estimates walks the same
    # nodes one query at a time.  Both must give the same bits, also for
    # queries with infinite or NaN coordinates, points with NaN, and a
    # bandwidth whose cut falls among the nodes.
    rng = np.random.default_rng(41)
    for dim in (1, 3, 5):
        points = rng.random((1200, dim))
        if dim > 1:  # NaN in a coordinate too narrow to split on
            points[:, -1] *= 1e-3
            points[::97, -1] = np.nan
        q = np.vstack([rng.random((40, dim)) * 1.2 - 0.1, points[:5]])
        q[3, 0] = np.inf
        q[4, -1] = -np.inf
        q[5, 0] = np.nan
        t = build(tree, points, 6, metric)
        qa = lv.Array.from_numpy(q)
        for h in (0.02, 0.07, 0.5):
            exact = densities(t.kernel_density(qa, h))
            never = densities(t.kernel_density_approx(qa, h, "gaussian", "min_samples", min_samples=10**6))
            assert exact.tobytes() == never.tobytes()
        at_points = densities(t.kernel_density(None, 0.07))
        never = densities(t.kernel_density_approx(None, 0.07, "gaussian", "min_samples", min_samples=10**6))
        assert at_points.tobytes() == never.tobytes()
