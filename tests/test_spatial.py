"""Spatial indexes: k-nearest and radius queries against brute force, the
classes' argument handling, and the cases where a naive bound would drop
points (Chebyshev boxes, vantage points, NaN coordinates)."""
import array
import gc
import inspect
import math
import sys

import numpy as np
import pytest

import lumivander as lv
from conftest import err

from spatial_oracle import (KERNELS, KINDS, LEAF_SIZES, METRICS, assert_density_matches, brute_density,
                            build_tree, check_knn, check_radius, point_sets, queries_for)
from spatial_oracle import distances as distance_table

sp = lv.spatial
# (class, extra from_array arguments)
TREES = [pytest.param(getattr(sp, name), extra, id=kid) for kid, name, extra in KINDS]


def build(cls, X, leaf_size=20, metric="euclidean", extra=()):
    return build_tree(cls.__name__, X, leaf_size, metric, extra)


def distances(X, q, metric):
    """Distances from one query to every point."""
    return distance_table(X, [q], metric)[0]


SETS = point_sets()
ORDINARY = ["uniform", "clustered", "duplicates", "grid", "line", "high-dim"]


@pytest.mark.parametrize("name", ORDINARY)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls, extra", TREES)
def test_queries_match_brute_force(cls, extra, metric, name):
    X = SETS[name]
    n, dim = X.shape
    rng = np.random.default_rng(n)
    queries = [X[0], X[n // 2], X.mean(axis=0), X[3] + 0.5 * rng.random(dim), rng.random(dim) * 3 - 1]
    for leaf in (0, 1, 2, 20, n):
        tree = build(cls, X, leaf, metric, extra)
        for q in queries:
            ql = q.tolist()
            D = distances(X, q, metric)
            for k in (0, 1, 7, n, n + 3):
                check_knn(tree.query_knn(ql, k), D, k)
            # Radii on exact distances include the boundary points.
            for r in (0.0, float(np.sort(D)[5]), float(np.sort(D)[n // 3]), float(D.max()), -1e-300):
                check_radius(tree.query_radius(ql, r), D, r)


@pytest.mark.parametrize("name", list(SETS))
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls, extra", TREES)
def test_one_grid_through_every_kind(cls, extra, metric, name):
    # Every query type of every kind against the oracle, on ordinary sets and
    # the traps: NaN coordinates in points and queries (a Chebyshev distance
    # skips them), infinities, values near the largest double.
    X = SETS[name]
    n, dim = X.shape
    rng = np.random.default_rng(dim * 1000 + n)
    Q = queries_for(X, rng)
    D = distance_table(X, Q, metric)
    finite = D[np.isfinite(D)]
    radii = [0.0, float(np.quantile(finite, 0.05)), float(np.quantile(finite, 0.4)), math.inf]
    scale = float(np.quantile(finite, 0.3)) or 1.0
    qa = lv.Array.from_numpy(Q)
    for leaf in LEAF_SIZES:
        try:
            tree = build(cls, X, leaf, metric, extra)
        except ValueError as e:  # a NaN met while splitting
            assert name == "nan" and str(e) == "called `Option::unwrap()` on a `None` value"
            continue
        for q, d in zip(Q, D):
            for k in (1, 7, n + 2):
                check_knn(tree.query_knn(q.tolist(), k), d, k)
            for r in radii:
                check_radius(tree.query_radius(q.tolist(), r), d, r)
        for r in radii:
            counts = tree.query_radius_batch(Q, r, count_only=True).tolist()
            assert counts == [int(np.count_nonzero(d <= r)) for d in D]
        for kernel in KERNELS:
            for h in (0.1 * scale, scale):
                got = tree.kernel_density(qa, h, kernel).to_numpy()
                want = brute_density(X, Q, metric, kernel, h)
                # A Gaussian sum over NaN distances is NaN, or a sum of the
                # rest where the bounds (which pass over NaN coordinates)
                # prune the NaN points.
                rows = ~np.isnan(want) if kernel == "gaussian" else slice(None)
                assert_density_matches(got[rows], want[rows], n)


@pytest.mark.parametrize("cls, extra", TREES)
def test_cross_check_with_scipy(cls, extra):
    ckd = pytest.importorskip("scipy.spatial").cKDTree
    rng = np.random.default_rng(3)
    X = rng.random((3000, 3))
    Q = rng.random((40, 3))
    peer = ckd(X)
    for metric, p in [("euclidean", 2), ("manhattan", 1), ("chebyshev", np.inf)]:
        tree = build(cls, X, 10, metric, extra)
        dist, _ = peer.query(Q, k=12, p=p)
        counts = peer.query_ball_point(Q, 0.1, p=p, return_length=True)
        for q, d, c in zip(Q, dist, counts):
            rows = tree.query_knn(q.tolist(), 12)
            np.testing.assert_allclose(distances(X, q, metric)[rows], d, rtol=1e-12)
            assert len(tree.query_radius(q.tolist(), 0.1)) == c


def test_chebyshev_kd_box_bound_keeps_diagonal_neighbour():
    # The Euclidean distance to the box of (3, 3) is 4.24, beyond the first
    # candidate (4, 0); its Chebyshev distance 3 makes it the nearest.
    X = [[4.0, 0.0], [3.0, 3.0]]
    tree = build(sp.KDTree, X, 1, "chebyshev")
    assert tree.query_knn([0.0, 0.0], 1) == [1]
    assert tree.query_radius([0.0, 0.0], 3.0) == [1]


@pytest.mark.parametrize("selection", ["first", "random"])
@pytest.mark.parametrize("leaf", [0, 1, 2, 3])
def test_vp_queries_at_a_vantage_point(selection, leaf):
    # Every other point is farther than the radius: the node bounds alone
    # would skip the vantage point itself.
    X = np.array([[0.0, 0.0]] + [[10.0 + i, 0.0] for i in range(9)])
    tree = build(sp.VPTree, X, leaf, "euclidean", (selection,))
    for row in range(len(X)):
        q = X[row].tolist()
        assert tree.query_radius(q, 0.5) == [row]
        assert tree.query_knn(q, 1) == [row]


@pytest.mark.parametrize("selection", ["first", "random"])
@pytest.mark.parametrize("n", [1, 2, 3])
def test_tiny_vp_trees(selection, n):
    X = np.arange(n * 2, dtype=float).reshape(n, 2)
    for leaf in (0, 1, 2, 20):
        tree = build(sp.VPTree, X, leaf, "euclidean", (selection,))
        assert sorted(tree.query_knn([0.0, 0.0], 5)) == list(range(n))
        assert tree.query_knn([0.0, 0.0], 5)[0] == 0
        assert sorted(tree.query_radius([1.0, 1.0], 100.0)) == list(range(n))


def test_empty_trees():
    empty = lv.Array([0, 3], [])
    for cls in (sp.KDTree, sp.BallTree):
        for leaf in (0, 20):
            tree = cls.from_array(empty, leaf)
            assert tree.query_knn([1.0, 2.0, 3.0], 4) == []
            assert tree.query_radius([1.0, 2.0, 3.0], 1e300) == []
    with err(ValueError, "index out of bounds: the len is 0 but the index is 0"):
        sp.VPTree.from_array(empty)
    with err(ValueError, "low must be less than high"):
        sp.VPTree.from_array(empty, selection="random")


@pytest.mark.parametrize("cls, extra", TREES)
def test_zero_dimensional_points(cls, extra):
    tree = cls.from_array(lv.Array([30, 0], []), 0, "euclidean", *extra)
    assert sorted(tree.query_knn([], 30)) == list(range(30))
    assert len(tree.query_knn([], 4)) == 4
    assert sorted(tree.query_radius([], 0.0)) == list(range(30))


@pytest.mark.parametrize("cls, extra", TREES)
def test_wrong_query_length_is_refused(cls, extra):
    tree = build(cls, SETS["uniform"], 4, "euclidean", extra)
    for call in (lambda q: tree.query_knn(q, 3), lambda q: tree.query_radius(q, 0.5)):
        with err(ValueError, "index out of bounds: the len is 3 but the index is 3"):
            call([0.5, 0.5, 0.5, 0.5])
        with err(ValueError, "index out of bounds: the len is 2 but the index is 2"):
            call([0.5, 0.5])
        with err(ValueError, "index out of bounds: the len is 1 but the index is 1"):
            call(0.5)


@pytest.mark.parametrize("cls", [sp.KDTree, sp.BallTree])
def test_nan_in_a_split_coordinate_fails_the_build(cls):
    X = SETS["uniform"].copy()
    X[5, 0] = np.nan
    X[:, 0] *= 100  # coordinate 0 is split first
    with err(ValueError, "called `Option::unwrap()` on a `None` value"):
        build(cls, X, 4)
    # A leaf root never splits.
    build(cls, X, len(X))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls, extra", TREES)
def test_nan_coordinates_outside_the_split_coordinate(cls, extra, metric):
    rng = np.random.default_rng(11)
    n = 64
    X = np.column_stack([np.arange(n) * 10.0, rng.random(n), rng.random(n)])
    X[rng.choice(n, 12, replace=False), 1] = np.nan
    X[7, 2] = np.nan
    tree = build(cls, X, 2, metric, extra)
    for q in ([35.0, 0.5, 0.5], [0.0, 0.1, 0.9], [640.0, 0.5, 0.2], [305.0, np.nan, 0.5]):
        D = distances(X, q, metric)
        for k in (1, 5, 20, n):
            check_knn(tree.query_knn(q, k), D, k)
        for r in (0.0, 4.0, 12.0, 1e9):
            check_radius(tree.query_radius(q, r), D, r)


@pytest.mark.parametrize("selection", ["first", "random"])
@pytest.mark.parametrize("leaf", [1, 3, 20])
def test_vp_chebyshev_query_with_nan_coordinates(selection, leaf):
    # A Chebyshev distance skips the query's NaN coordinate, so it can be
    # smaller than the distances the node bounds were measured with.
    rng = np.random.default_rng(31)
    X = rng.random((400, 3))
    tree = build(sp.VPTree, X, leaf, "chebyshev", (selection,))
    for j in range(3):
        for q in rng.random((10, 3)):
            q[j] = np.nan
            D = distances(X, q, "chebyshev")
            check_knn(tree.query_knn(q.tolist(), 9), D, 9)
            for r in (0.05, 0.2):
                check_radius(tree.query_radius(q.tolist(), r), D, r)
            got = tree.kernel_density(lv.Array.from_numpy(q[None, :]), 0.1, "uniform")
            assert got == 0.5 * np.count_nonzero(D < 0.1)


def test_infinite_radius_and_coordinates():
    X = np.array([[0.0, 0.0], [1.0, 1.0], [np.inf, 0.0], [1e200, 1e200]])
    for cls, extra in [(sp.KDTree, ()), (sp.BallTree, ()), (sp.VPTree, ("first",))]:
        tree = build(cls, X, 1, "euclidean", extra)
        assert sorted(tree.query_radius([0.0, 0.0], math.inf)) == [0, 1, 2, 3]
        assert tree.query_knn([0.0, 0.0], 2) == [0, 1]
        assert tree.query_radius([0.0, 0.0], math.nan) == []


# ---------------------------------------------------------------------------
# The classes


def test_registration_and_class_traits():
    names = [n for n in lv.__all__ if n in ("Array", "PyArrayIter", "Generator", "BallTree", "KDTree", "zeros")]
    assert names[-3:] == ["BallTree", "KDTree", "zeros"]
    assert sp.__all__ == ["BallTree", "KDTree", "VPTree"]
    assert lv.KDTree is sp.KDTree and lv.BallTree is sp.BallTree and not hasattr(lv, "VPTree")
    for cls in (sp.KDTree, sp.BallTree, sp.VPTree):
        assert cls.__module__ == "builtins" and cls.__qualname__ == cls.__name__
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        tree = cls.from_array(lv.Array([2, 1], [0.0, 1.0]))
        with pytest.raises(AttributeError):
            tree.foo = 1
        assert str(inspect.signature(cls.query_knn)) == "(self, /, query, k)"
        assert str(inspect.signature(cls.query_radius)) == "(self, /, query, radius)"
        for fn in (cls.from_array, cls.query_knn, cls.query_radius):
            assert not fn.__doc__
    assert str(inspect.signature(sp.KDTree.from_array)) == "(array, leaf_size=20, metric='euclidean')"
    assert (str(inspect.signature(sp.VPTree.from_array))
            == "(array, leaf_size=20, metric='euclidean', selection='first')")


@pytest.mark.parametrize("cls", [sp.KDTree, sp.BallTree, sp.VPTree])
def test_from_array_defaults_and_option_names(cls):
    X = SETS["clustered"]
    a = lv.Array.from_numpy(X)
    q = [0.2, 0.7, 0.1]
    expect = check_knn(cls.from_array(a, 20, "euclidean").query_knn(q, 9), distances(X, q, "euclidean"), 9)
    for tree in (cls.from_array(a), cls.from_array(a, None, None), cls.from_array(array=a, metric="EuClIdEaN")):
        np.testing.assert_array_equal(distances(X, q, "euclidean")[tree.query_knn(q, 9)], expect)
    assert len(cls.from_array(a, metric="Manhattan").query_knn(q, 3)) == 3
    for bad in (" euclidean", "euclİdean", "taxicab", "\udcff"):
        with err(ValueError, f"Unknown distance metric '{bad}'. Valid options: 'euclidean', 'manhattan', "
                             "'chebyshev'"):
            cls.from_array(a, 20, bad)


def test_vp_selection_names():
    a = lv.Array.from_numpy(SETS["uniform"])
    sp.VPTree.from_array(a, selection="RANDOM")
    sp.VPTree.from_array(a, 20, "euclidean", None)
    with err(ValueError, "Unknown vantage point selection method 'middle'. Valid options: 'first', 'random'"):
        sp.VPTree.from_array(a, selection="middle")
    # The metric is parsed first.
    with err(ValueError, "Unknown distance metric 'x'. Valid options: 'euclidean', 'manhattan', 'chebyshev'"):
        sp.VPTree.from_array(a, 20, "x", "y")


@pytest.mark.parametrize("call, exc, message", [
    (lambda: sp.KDTree.from_array([[1.0]]), TypeError, "argument 'array': 'list' object cannot be cast as 'Array'"),
    (lambda: sp.KDTree.from_array(lv.Array([3], [1.0, 2, 3])), ValueError, "Expected 2D array (n_points, dim)"),
    (lambda: sp.BallTree.from_array(lv.Array([1, 1, 1], [1.0])), ValueError, "Expected 2D array (n_points, dim)"),
    (lambda: sp.VPTree.from_array(lv.Array([3], [1.0, 2, 3])), ValueError, "Expected 2D array (n_points, dim)"),
    (lambda: sp.KDTree.from_array(lv.zeros([2, 2]), -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: sp.KDTree.from_array(lv.zeros([2, 2]), 2.0), TypeError,
     "argument 'leaf_size': 'float' object cannot be interpreted as an integer"),
    (lambda: sp.KDTree.from_array(lv.zeros([2, 2]), 2, 1), TypeError,
     "argument 'metric': 'int' object cannot be cast as 'PyString'"),
    (lambda: sp.VPTree.from_array(lv.zeros([2, 2]), 2, "x", b"first"), TypeError,
     "argument 'selection': 'bytes' object cannot be cast as 'PyString'"),
    (lambda: sp.KDTree.from_array(), TypeError, "KDTree.from_array() missing 1 required positional argument: 'array'"),
    (lambda: sp.BallTree.from_array(lv.zeros([2, 2]), 1, "euclidean", "first"), TypeError,
     "BallTree.from_array() takes from 1 to 3 positional arguments but 4 were given"),
])
def test_from_array_errors(call, exc, message):
    with err(exc, message):
        call()


@pytest.mark.parametrize("cls", [sp.KDTree, sp.BallTree, sp.VPTree])
def test_query_forms(cls):
    X = SETS["uniform"]
    tree = build(cls, X, 5)
    q = [0.25, 0.5, 0.75]
    want = tree.query_knn(q, 6)
    for form in (tuple(q), np.array(q), lv.asarray(q), lv.asarray(q, shape=[1, 3]), lv.asarray(q, shape=[3, 1])):
        assert tree.query_knn(form, 6) == want
    assert tree.query_radius(np.array(q), 0.2) == tree.query_radius(q, 0.2)
    line = build(cls, SETS["line"], 5)
    D = distances(SETS["line"], [12.0], "euclidean")
    for scalar in (12, 12.0, np.float64(12.0), np.int64(12), [12]):
        check_knn(line.query_knn(scalar, 5), D, 5)
        check_radius(line.query_radius(scalar, 1.0), D, 1.0)
    for bad in ("abc", None, [0.1, "x", 0.3], {1: 2}, object(), [[0.1, 0.2, 0.3]], 10 ** 400):
        with err(ValueError, "query must be a scalar, list, or Array"):
            tree.query_knn(bad, 1)
        with err(ValueError, "query must be a scalar, list, or Array"):
            tree.query_radius(bad, 1.0)


def _outcome(call):
    """What a call gives: its answer (floats by their bits) or its exception
    with message and notes."""
    try:
        got = call()
    except Exception as e:
        return type(e), str(e), getattr(e, "__notes__", None)
    return [x.hex() for x in got] if isinstance(got, lv.Array) else got.hex() if isinstance(got, float) else got


@pytest.mark.parametrize("cls", [sp.KDTree, sp.BallTree, sp.VPTree])
@pytest.mark.filterwarnings("ignore:Warning. converting a masked element")
def test_float64_buffers_read_like_lists(cls):
    # A float64 vector read through its buffer gives what its items give
    # one by one: the same answers, bits, errors and notes, for every
    # length, stride and value; other buffers take the item route.
    tree = build(cls, SETS["uniform"], 5)
    v = [0.25, -0.0, 0.75]
    odd = [float("nan"), float("inf"), -0.0]
    forms = [
        (np.array(v), v), (array.array("d", v), v), (memoryview(array.array("d", v)), v),
        (np.arange(9.0)[::3] / 8, [0.0, 3 / 8, 6 / 8]), (memoryview(np.arange(9.0))[::3], [0.0, 3.0, 6.0]),
        (np.array(odd), odd), (np.array(v + [1.0]), v + [1.0]), (np.array(v[:2]), v[:2]), (np.zeros(0), []),
        (array.array("d", [0.5]), [0.5]), (np.arange(50.0), list(np.arange(50.0))),
        # Not one-dimensional float64: read item by item, as before.
        (np.array(v, dtype=np.float32), [float(x) for x in np.array(v, dtype=np.float32)]),
        (np.array(v, dtype=">f8"), v), (array.array("f", [0.5, 1.5, 2.5]), [0.5, 1.5, 2.5]),
        (memoryview(np.array([v])), [v]), (np.array([v]), [v]), (memoryview(np.array(0.5)), object()),
        (np.ma.array(v, mask=[0, 1, 0]), [0.25, float("nan"), 0.75]),
    ]
    for form, same in forms:
        for call in (lambda t, q: t.query_knn(q, 6), lambda t, q: t.query_radius(q, 0.3),
                     lambda t, q: t.kernel_density(q, 0.5), lambda t, q: t.kernel_density_approx(q, 0.5)):
            assert _outcome(lambda: call(tree, form)) == _outcome(lambda: call(tree, same)), (form, call)
    # A one-element array converts as a number first, then as a sequence.
    line = build(cls, SETS["line"], 5)
    assert line.query_knn(np.array([12.0]), 3) == line.query_knn(12.0, 3)
    assert _outcome(lambda: tree.query_knn(np.array([12.0]), 3)) == _outcome(lambda: tree.query_knn(12.0, 3))
    released = memoryview(array.array("d", v))
    released.release()
    with err(ValueError, "query must be a scalar, list, or Array"):
        tree.query_knn(released, 1)


@pytest.mark.parametrize("call, exc, message", [
    (lambda t: t.query_knn([0.0], -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda t: t.query_knn([0.0], 1.5), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    (lambda t: t.query_radius([0.0], "x"), TypeError, "argument 'radius': must be real number, not str"),
    (lambda t: t.query_knn([0.0]), TypeError, "KDTree.query_knn() missing 1 required positional argument: 'k'"),
    (lambda t: t.query_radius(query=[0.0], r=1), TypeError,
     "KDTree.query_radius() got an unexpected keyword argument 'r'"),
])
def test_query_argument_errors(call, exc, message):
    tree = sp.KDTree.from_array(lv.Array([2, 1], [0.0, 1.0]))
    with err(exc, message):
        call(tree)


def test_huge_k_and_keywords():
    tree = build(sp.BallTree, SETS["grid"], 7)
    assert len(tree.query_knn(k=2 ** 64 - 1, query=[1.0, 2.0, 3.0])) == len(SETS["grid"])
    assert tree.query_radius(radius=0.0, query=[1.0, 2.0, 3.0]) == [int(np.nonzero(
        (SETS["grid"] == [1.0, 2.0, 3.0]).all(axis=1))[0][0])]


def test_reentrant_query_conversion():
    tree = build(sp.KDTree, SETS["uniform"], 3)

    class Sneaky:
        def __float__(self):
            tree.query_radius([0.5, 0.5, 0.5], 0.3)
            return float(len(tree.query_knn([0.1, 0.1, 0.1], 50))) / 100

    q = [Sneaky(), 0.5, 0.5]
    D = distances(SETS["uniform"], [0.5, 0.5, 0.5], "euclidean")
    check_knn(tree.query_knn(q, 10), D, 10)
    check_radius(tree.query_radius(q, 0.25), D, 0.25)


# Past the size at which a thread hands its query scratch back to the allocator.
SCRATCH_ROWS = 70_000


@pytest.mark.parametrize("cls, extra", TREES)
def test_scratch_survives_any_size_sequence_and_reentry(cls, extra):
    X = (np.arange(SCRATCH_ROWS) % 7.0).reshape(-1, 1)
    tree = build(cls, X, 20, extra=extra)
    D = distances(X, [0.4], "euclidean")
    everything = list(range(SCRATCH_ROWS))

    def small():
        check_knn(tree.query_knn([0.4], 3), D, 3)
        check_radius(tree.query_radius([0.4], 0.7), D, 0.7)

    # Large answers, then small ones, in both orders and repeated.
    for _ in range(2):
        small()
        assert sorted(tree.query_knn([0.4], SCRATCH_ROWS)) == everything
        assert sorted(tree.query_radius([0.4], 10.0)) == everything
        small()

    # A coordinate's __float__ asks large then small questions while the
    # outer call holds its query buffer.
    class Reentrant:
        def __float__(self):
            assert len(tree.query_knn([0.4], SCRATCH_ROWS)) == SCRATCH_ROWS
            small()
            return 0.4

    check_knn(tree.query_knn([Reentrant()], 5), D, 5)
    check_radius(tree.query_radius([Reentrant()], 0.7), D, 0.7)

    # A finaliser run by the collector while the outer call builds its answer
    # (after the search, with the candidates still in the outer's scratch).
    ran_inside = []

    class Finalised:
        def __del__(self):
            ran_inside.append(state == "inside")
            small()
            assert len(tree.query_knn([0.4], SCRATCH_ROWS)) == SCRATCH_ROWS

    query_knn, q = tree.query_knn, [0.4]
    for k in (5, 2000):
        old = gc.get_threshold()
        gc.collect()
        try:
            state = "before"
            f = Finalised()
            f.cycle = f
            del f
            # The next tracked allocation (the answer's list) collects.
            gc.set_threshold(gc.get_count()[0])
            state = "inside"
            rows = query_knn(q, k)
            state = "after"
        finally:
            gc.set_threshold(*old)
        gc.collect()
        check_knn(rows, D, k)
    assert len(ran_inside) == 2
    if sys.version_info < (3, 12):  # later versions collect between bytecodes only
        assert all(ran_inside)


@pytest.mark.parametrize("cls, extra", TREES)
def test_dim_is_read_only(cls, extra):
    for shape in ([5, 3], [0, 4])[: 1 if cls is sp.VPTree else 2]:  # a VPTree needs a point
        tree = build(cls, np.arange(shape[0] * shape[1], dtype=float).reshape(shape), extra=extra)
        assert tree.dim == shape[1] and type(tree.dim) is int
        with pytest.raises(AttributeError):
            tree.dim = 7
        assert tree.dim == shape[1]


def test_trees_keep_their_own_copy():
    X = SETS["uniform"].copy()
    a = lv.Array.from_numpy(X)
    tree = sp.KDTree.from_array(a, 4)
    before = tree.query_knn([0.5, 0.5, 0.5], 5)
    a[0, 0] = 100.0
    del a
    assert tree.query_knn([0.5, 0.5, 0.5], 5) == before


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls, extra", TREES)
def test_large_builds_split_across_threads(cls, extra, metric):
    # Large enough for subtrees to be built as separate tasks.
    rng = np.random.default_rng(5)
    X = np.concatenate([rng.random((30000, 3)), np.round(rng.random((20000, 3)) * 4) / 4])
    tree = build(cls, X, 16, metric, extra)
    for q in (X[123], X[45000], rng.random(3)):
        D = distances(X, q, metric)
        check_knn(tree.query_knn(q.tolist(), 25), D, 25)
        check_radius(tree.query_radius(q.tolist(), 0.05), D, 0.05)


@pytest.mark.parametrize("pattern", ["sorted", "reversed", "organ-pipe", "constant", "alternating", "sawtooth"])
def test_input_orders_that_trouble_selection(pattern):
    n = 6000
    i = np.arange(n, dtype=float)
    x = {
        "sorted": i,
        "reversed": i[::-1].copy(),
        "organ-pipe": np.minimum(i, n - i),
        "constant": np.full(n, 3.0),
        "alternating": i % 2,
        "sawtooth": i % 97,
    }[pattern]
    X = np.column_stack([x, np.zeros(n)])
    for cls, extra in [(sp.KDTree, ()), (sp.BallTree, ()), (sp.VPTree, ("first",))]:
        tree = build(cls, X, 1, "manhattan", extra)
        for q in ([0.0, 0.0], [1234.5, 0.0], [3.0, 0.1]):
            D = distances(X, q, "manhattan")
            check_knn(tree.query_knn(q, 40), D, 40)
            check_radius(tree.query_radius(q, 2.0), D, 2.0)


# Digests of kNN and radius answers on duplicate-heavy sets, where the order
# of tied neighbours and of radius rows depends on how the builds arrange
# equal points.  Those orders are part of what callers see; a change to the
# selection, the node layout or the traversal must leave them as they are.
TIE_ORDER_DIGESTS = {
    ("KDTree", "euclidean"): "7c5c7b21bfa2c3b7", ("KDTree", "manhattan"): "3c314951108eaae3",
    ("KDTree", "chebyshev"): "3f2db1c2410e63f1", ("BallTree", "euclidean"): "14388040542ca47f",
    ("BallTree", "manhattan"): "2a8914cdb574c631", ("BallTree", "chebyshev"): "b54be184bddcd0ef",
    ("VPTree", "euclidean"): "fcc801fc3cf31b55", ("VPTree", "manhattan"): "11d87664514abffb",
    ("VPTree", "chebyshev"): "27b676ccda7a7b2a",
}


@pytest.mark.parametrize("name,metric", sorted(TIE_ORDER_DIGESTS))
def test_tie_order_is_stable(name, metric):
    import hashlib
    rng = np.random.default_rng(77)
    sets = [np.sort(rng.integers(0, 40, 3000)).astype(float)[:, None],
            rng.integers(0, 5, (2000, 3)).astype(float),
            np.repeat(rng.random((60, 2)), 25, axis=0),
            rng.integers(0, 3, (800, 6)).astype(float)]
    h = hashlib.sha256()
    for X in sets:
        for leaf in (1, 3, 20):
            t = getattr(sp, name).from_array(lv.Array.from_numpy(np.ascontiguousarray(X)), leaf, metric)
            for q in X[::97]:
                knn = t.query_knn(list(q), 9)
                found = t.query_radius(list(q + 0.25), 1.0)
                d = distances(X, q, metric)
                assert sorted(d[knn]) == sorted(np.sort(d)[:9])  # the right neighbours, whatever the order
                h.update(np.asarray(knn, dtype=np.int64).tobytes())
                h.update(np.asarray(found, dtype=np.int64).tobytes())
    assert h.hexdigest()[:16] == TIE_ORDER_DIGESTS[(name, metric)]


# Small answers (up to 16 neighbours) are collected in sorted order instead
# of a heap, which gives the heap sort's answer only when no two distances
# tie; with a tie the search runs again with the heap.  Digests (made with
# the heap alone) of answers with a few ties among distinct distances and
# with many ties, for k on both sides of 16.
SMALL_HEAP_DIGESTS = {"KDTree": "cccb8c5f9740362a", "BallTree": "b90366d829731885", "VPTree": "e3d2cc2ef58e6e06"}


@pytest.mark.parametrize("name", sorted(SMALL_HEAP_DIGESTS))
def test_small_answers_keep_the_heap_sort_order(name):
    import hashlib
    rng = np.random.default_rng(5)
    X = np.vstack([rng.random((300, 2)), np.repeat(rng.random((20, 2)), 3, axis=0),
                   rng.integers(0, 4, (200, 2)).astype(float)])
    t = getattr(sp, name).from_array(lv.Array.from_numpy(X), 4, "euclidean")
    Q = np.vstack([X[::13], rng.random((40, 2)) * 3])
    h = hashlib.sha256()
    for k in (2, 7, 15, 16, 17, 40):
        d, r = t.query_knn_batch(Q, k)
        assert np.all(np.diff(np.asarray(d.to_numpy()), axis=1) >= 0)
        h.update(np.asarray(r).tobytes())
        for q in Q[::5]:
            h.update(np.asarray(t.query_knn(list(q), k), dtype=np.int64).tobytes())
    assert h.hexdigest()[:16] == SMALL_HEAP_DIGESTS[name]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dim", [1, 2, 3, 4])
def test_kd_heap_filling_inside_a_leaf_with_ties(dim, metric):
    # Few distinct values, so that many points tie and the kNN heap fills (and
    # its worst changes) part way through a leaf; a loaded tree, the batch
    # call and the single call give the same rows in the same order.
    import pickle

    rng = np.random.default_rng(21 + dim)
    X = rng.integers(0, 4, (300, dim)).astype(float)
    Q = np.vstack([X[:5], rng.integers(-1, 5, (5, dim)) + 0.5])
    for leaf in (1, 7, 40):
        tree = build(lv.spatial.KDTree, X, leaf, metric)
        loaded = pickle.loads(pickle.dumps(tree))
        for k in (3, 8, 50):
            d_batch, r_batch = tree.query_knn_batch(Q, k)
            for i, q in enumerate(Q):
                rows = tree.query_knn(list(q), k)
                D = check_knn(rows, distances(X, q, metric), k)
                assert loaded.query_knn(list(q), k) == rows
                assert np.asarray(r_batch)[i].tolist() == rows
                np.testing.assert_array_equal(np.asarray(d_batch)[i], np.where(np.isnan(D), np.inf, D))
        for q in Q:
            for r in (0.0, 1.0, 2.5):
                rows = tree.query_radius(list(q), r)
                check_radius(rows, distances(X, q, metric), r)
                assert loaded.query_radius(list(q), r) == rows


def _leaf_sets(dim, rng):
    """A uniform cloud and a duplicate-heavy one (many tied distances)."""
    return [rng.random((700, dim)), rng.integers(0, 4, (500, dim)).astype(float)]


@pytest.mark.parametrize("dim", [1, 2, 3, 4])
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls, extra", TREES)
def test_radius_rows_come_in_storage_order(cls, extra, metric, dim):
    # An infinite radius lists every point in storage order (left subtree
    # before right, leaf by leaf); a finite radius must list the points within
    # it in that same order, however the search groups or skips leaves.  Leaf
    # sizes cover single points, pairs of small leaves scanned together and
    # leaves longer than one block of the leaf scan.
    rng = np.random.default_rng(40 + dim)
    for X in _leaf_sets(dim, rng):
        n = len(X)
        Q = np.vstack([X[:3], rng.random((4, dim)) * 4 - 1.5])
        for leaf in (1, 3, 20, 32, 40, 100, 300):
            tree = build(cls, X, leaf, metric, extra)
            for q in Q:
                ql = q.tolist()
                D = distances(X, q, metric)
                everything = tree.query_radius(ql, math.inf)
                assert sorted(everything) == list(range(n))
                radii = [0.0, float(np.sort(D)[min(30, n - 1)]), float(np.median(D))]
                counts = [int(c) for c in tree.query_radius_batch(np.array([q]), radii[1], count_only=True).tolist()]
                assert counts == [int(np.count_nonzero(D <= radii[1]))]
                for r in radii:
                    assert tree.query_radius(ql, r) == [i for i in everything if D[i] <= r]


@pytest.mark.parametrize("dim", [1, 2, 3])
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("name", ["KDTree", "BallTree", "VPTree"])
def test_small_dimensions_answer_as_the_general_path(name, metric, dim):
    # Trees of 1 to 3 coordinates search through their own node copies and
    # scan leaves two points at a time.  The same points with one more, zero,
    # coordinate build the same tree (the zero column is never split on and
    # adds exactly 0 to every distance) searched by the general code: every
    # answer, tied neighbours' order included, must be the same list.
    rng = np.random.default_rng(70 + dim)
    for X in _leaf_sets(dim, rng) + [np.where(rng.random((300, dim)) < 0.05, np.nan, rng.random((300, dim)))]:
        wide = np.column_stack([X, np.zeros(len(X))])
        Q = np.vstack([X[:4], rng.random((4, dim)) * 3 - 1, np.full((1, dim), np.nan)])
        Q[-1, 1:] = 0.5
        for leaf in (1, 5, 20, 64):
            try:
                small = build_tree(name, X, leaf, metric)
            except ValueError:  # NaN in a split coordinate
                continue
            general = build_tree(name, wide, leaf, metric)
            for q in Q:
                ql, qw = q.tolist(), q.tolist() + [0.0]
                for k in (1, 9, 60):
                    assert small.query_knn(ql, k) == general.query_knn(qw, k)
                for r in (0.0, 0.3, 1.0, math.inf):
                    assert small.query_radius(ql, r) == general.query_radius(qw, r)


@pytest.mark.parametrize("dim", [1, 2, 3])
@pytest.mark.parametrize("cls, extra", TREES)
def test_node_copies_are_rebuilt_for_loaded_and_copied_trees(cls, extra, dim):
    # The search copies of the nodes are not saved: a loaded or copied tree
    # makes its own, and answers exactly as the original (single queries, the
    # batch calls and counts), for leaf sizes with and without the copies.
    import copy
    import pickle

    rng = np.random.default_rng(90 + dim)
    X = np.vstack([rng.random((400, dim)), rng.integers(0, 3, (200, dim)).astype(float)])
    Q = np.vstack([X[::97], rng.random((5, dim)) * 2 - 0.5])
    for metric in METRICS:
        for leaf in (1, 6, 20):
            tree = build(cls, X, leaf, metric, extra)
            for other in (pickle.loads(pickle.dumps(tree)), copy.deepcopy(tree)):
                for q in Q.tolist():
                    assert other.query_knn(q, 11) == tree.query_knn(q, 11)
                    assert other.query_radius(q, 0.4) == tree.query_radius(q, 0.4)
                _, rows = other.query_knn_batch(Q, 11)
                assert np.asarray(rows).tolist() == [tree.query_knn(q, 11) for q in Q.tolist()]
                counts = other.query_radius_batch(Q, 0.4, count_only=True).tolist()
                assert counts == [len(tree.query_radius(q, 0.4)) for q in Q.tolist()]
