"""Batch neighbour queries: query_knn_batch and query_radius_batch on the
three trees, cross-checked row by row against the single-point methods and
SciPy, across worker counts, and their RowBuffer results."""
import math
import os
import subprocess
import sys
import threading

import pytest

import lumivander as lv
from lumivander import spatial
from conftest import err

np = pytest.importorskip("numpy")

from spatial_oracle import METRICS, distances

TREES = [spatial.KDTree, spatial.BallTree, spatial.VPTree]


def build(cls, points, metric="euclidean", leaf_size=5):
    return cls.from_array(lv.Array.from_numpy(np.asarray(points, dtype=float)), leaf_size, metric)


@pytest.fixture(scope="module")
def cloud():
    rng = np.random.default_rng(14)
    return rng.random((300, 3)), rng.random((97, 3))


@pytest.mark.parametrize("cls", TREES)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("k", [0, 1, 7, 300, 305])
def test_knn_batch_rows_match_single_point_queries(cloud, cls, metric, k):
    points, queries = cloud
    tree = build(cls, points, metric)
    dist, rows = tree.query_knn_batch(queries, k)
    d, r = np.asarray(dist), np.asarray(rows)
    assert d.shape == r.shape == (len(queries), k) and r.dtype == np.int64
    for i, q in enumerate(queries):
        single = tree.query_knn(list(q), k)
        assert r[i, :len(single)].tolist() == single
        # Padding past the tree's size, as SciPy pads.
        assert (r[i, len(single):] == len(points)).all() and np.isinf(d[i, len(single):]).all()
        norm = {"euclidean": 2, "manhattan": 1, "chebyshev": np.inf}[metric]
        want = [np.linalg.norm(points[j] - q, ord=norm) for j in single]
        np.testing.assert_allclose(d[i, :len(single)], want, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("cls", TREES)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("radius", [0.0, 0.15, 0.4, -1.0, math.nan, math.inf])
def test_radius_batch_is_the_single_point_answers_concatenated(cloud, cls, metric, radius):
    points, queries = cloud
    queries = np.vstack([queries, points[:3]])  # radius 0 finds the point itself
    tree = build(cls, points, metric)
    rows, offsets = tree.query_radius_batch(queries, radius)
    rows, offsets = np.asarray(rows), np.asarray(offsets)
    assert offsets.shape == (len(queries) + 1,) and offsets[0] == 0 and offsets[-1] == len(rows)
    counts = np.asarray(tree.query_radius_batch(queries, radius, count_only=True))
    assert counts.tolist() == np.diff(offsets).tolist()
    for i, q in enumerate(queries):
        assert rows[offsets[i]:offsets[i + 1]].tolist() == tree.query_radius(list(q), radius)


@pytest.mark.parametrize("cls", TREES)
@pytest.mark.parametrize("metric", METRICS)
def test_radius_batch_counts_and_rows_match_the_oracle(cloud, cls, metric):
    # count_only counts without collecting rows; both forms agree with the
    # brute-force distances.
    X, Q = cloud
    Q = np.vstack([Q, [[np.nan, 0.5, 0.5]]])
    D = distances(X, Q, metric)
    tree = build(cls, X, metric)
    for r in (0.0, 0.08, 0.3, math.inf):
        want = [np.nonzero(d <= r)[0].tolist() for d in D]
        counts = tree.query_radius_batch(Q, r, count_only=True, workers=2).tolist()
        assert counts == [len(w) for w in want]
        rows, offsets = tree.query_radius_batch(Q, r)
        rows, offsets = rows.tolist(), offsets.tolist()
        assert [sorted(rows[a:b]) for a, b in zip(offsets, offsets[1:])] == want


def test_knn_batch_matches_scipy(cloud):
    spatial_scipy = pytest.importorskip("scipy.spatial")
    points, queries = cloud
    want_d, want_r = spatial_scipy.cKDTree(points).query(queries, k=5)
    d, r = spatial.KDTree.from_array(lv.Array.from_numpy(points)).query_knn_batch(queries, 5)
    np.testing.assert_array_equal(np.asarray(r), want_r)
    np.testing.assert_allclose(np.asarray(d), want_d, rtol=1e-12)
    counts = spatial.KDTree.from_array(lv.Array.from_numpy(points)).query_radius_batch(queries, 0.2, True)
    want = spatial_scipy.cKDTree(points).query_ball_point(queries, 0.2, return_length=True)
    assert np.asarray(counts).tolist() == want.tolist()


@pytest.mark.parametrize("cls", TREES)
def test_results_do_not_depend_on_worker_count(cls):
    rng = np.random.default_rng(3)
    points, queries = rng.random((2000, 2)), rng.random((3000, 2))
    tree = build(cls, points)
    runs = [(tree.query_knn_batch(queries, 9, workers=w), tree.query_radius_batch(queries, 0.05, workers=w))
            for w in (1, 2, 3, -1, None)]
    (d0, r0), (rows0, off0) = runs[0]
    for (d, r), (rows, off) in runs[1:]:
        assert np.asarray(d).tobytes() == np.asarray(d0).tobytes()
        assert np.asarray(r).tobytes() == np.asarray(r0).tobytes()
        assert np.asarray(rows).tobytes() == np.asarray(rows0).tobytes()
        assert np.asarray(off).tobytes() == np.asarray(off0).tobytes()


DIGEST = """
import hashlib, numpy as np, lumivander as lv
from lumivander import spatial
rng = np.random.default_rng(5)
points, queries = rng.random((3000, 3)), rng.random((4000, 3))
h = hashlib.sha256()
for cls in (spatial.KDTree, spatial.BallTree, spatial.VPTree):
    t = cls.from_array(lv.Array.from_numpy(points), 8)
    d, r = t.query_knn_batch(queries, 6)
    rows, off = t.query_radius_batch(queries, 0.08)
    for x in (d.to_numpy(), np.asarray(r), np.asarray(rows), np.asarray(off)):
        h.update(x.tobytes())
print(h.hexdigest())
"""


def test_single_thread_pool_gives_the_same_bytes():
    digests = set()
    for threads in ("1", None):
        env = dict(os.environ)
        env.pop("LUMIVANDER_NUM_THREADS", None)
        if threads:
            env["LUMIVANDER_NUM_THREADS"] = threads
        proc = subprocess.run([sys.executable, "-c", DIGEST], env=env, capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        digests.add(proc.stdout.strip())
    assert len(digests) == 1


def test_concurrent_calls_on_one_tree_from_python_threads():
    rng = np.random.default_rng(8)
    points, queries = rng.random((5000, 3)), rng.random((2000, 3))
    tree = spatial.BallTree.from_array(lv.Array.from_numpy(points))
    want = np.asarray(tree.query_knn_batch(queries, 4)[1])
    want_counts = np.asarray(tree.query_radius_batch(queries, 0.1, count_only=True))
    failures = []

    def worker():
        for _ in range(3):
            if not (np.asarray(tree.query_knn_batch(queries, 4)[1]) == want).all():
                failures.append("knn")
            if not (np.asarray(tree.query_radius_batch(queries, 0.1, count_only=True)) == want_counts).all():
                failures.append("radius")

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.parametrize("cls", TREES)
def test_query_forms(cloud, cls):
    points, queries = cloud
    tree = build(cls, points)
    want = np.asarray(tree.query_knn_batch(queries, 3)[1])
    forms = [lv.Array.from_numpy(queries), np.asfortranarray(queries), np.repeat(queries, 2, axis=0)[::2],
             queries.T.copy().T, memoryview(queries.copy())]
    for q in forms:
        assert (np.asarray(tree.query_knn_batch(q, 3)[1]) == want).all()
    strided = np.hstack([queries, queries])[:, ::2]  # columns 0, 2, 4 of the doubled set
    assert np.asarray(tree.query_knn_batch(strided, 3)[1]).tolist() == \
        np.asarray(tree.query_knn_batch(np.ascontiguousarray(strided), 3)[1]).tolist()


def test_empty_query_sets_and_empty_results():
    tree = spatial.KDTree.from_array(lv.Array.from_numpy(np.random.default_rng(1).random((10, 2))))
    d, r = tree.query_knn_batch(np.empty((0, 2)), 4)
    assert d.shape == r.shape == [0, 4] and len(r) == 0 and r.tolist() == []
    assert np.asarray(r).shape == (0, 4) and r.to_numpy().dtype == np.int64
    rows, off = tree.query_radius_batch(np.empty((0, 2)), 1.0)
    assert rows.shape == [0] and off.tolist() == [0]
    assert tree.query_radius_batch(np.empty((0, 2)), 1.0, count_only=True).shape == [0]
    d, r = tree.query_knn_batch(np.zeros((3, 2)), 0)
    assert d.shape == [3, 0] and np.asarray(r).shape == (3, 0)


@pytest.mark.parametrize("cls", TREES)
def test_answers_written_in_full_over_reused_memory(cls):
    # The answer buffers start unwritten: freshly freed blocks full of a
    # byte pattern must not show through in any cell, whatever the rows find.
    # (A VP tree needs a point: its rows are all found ones.)
    empty = None if cls is spatial.VPTree else cls.from_array(lv.Array.from_numpy(np.empty((0, 2))))
    tree = build(cls, np.random.default_rng(5).random((40, 2)))
    queries = np.random.default_rng(6).random((3000, 2))
    queries[::7] = np.nan
    for _ in range(3):
        junk = [np.full(3000 * 16, 0x7f7f7f7f7f7f7f7f, dtype=np.int64) for _ in range(4)]
        del junk
        if empty is not None:
            d, r = empty.query_knn_batch(queries, 5)
            assert np.isinf(d.to_numpy()).all() and (np.asarray(r) == 0).all()
            assert (np.asarray(empty.query_radius_batch(queries, 2.0, count_only=True)) == 0).all()
        assert (np.asarray(tree.query_radius_batch(queries, -1.0, count_only=True)) == 0).all()
        rows, off = tree.query_radius_batch(queries, math.nan)
        assert rows.shape == [0] and (np.asarray(off) == 0).all()
        d, r = tree.query_knn_batch(queries, 50)  # 40 found, 10 padded per row
        assert (np.asarray(r)[:, 40:] == 40).all() and np.isinf(d.to_numpy()[:, 40:]).all()
        assert sorted(np.asarray(r)[1].tolist()[:40]) == list(range(40))


def test_row_buffer_protocol():
    tree = spatial.VPTree.from_array(lv.Array.from_numpy(np.random.default_rng(2).random((50, 2))))
    dist, r = tree.query_knn_batch(np.random.default_rng(3).random((4, 2)), 3)
    assert type(r).__name__ == "RowBuffer" and type(r).__module__ == "builtins"
    assert repr(r) == "RowBuffer(shape=[4, 3])"
    # A list, as Array.shape is: the distances and rows compare equal.
    assert r.shape == [4, 3] and type(r.shape) is list and r.shape == dist.shape
    r.shape.append(9)
    assert r.shape == [4, 3]
    a = np.asarray(r)
    assert a.dtype == np.int64 and a.shape == (4, 3) and not a.flags.writeable
    assert a.base is not None and np.shares_memory(a, np.asarray(r))  # a view, not a copy
    m = memoryview(r)
    assert m.format == "q" and m.shape == (4, 3) and m.strides == (24, 8) and m.readonly
    assert r.tolist() == a.tolist() and r.to_numpy().tolist() == a.tolist()
    copied = r.to_numpy()
    copied[0, 0] = -5
    assert a[0, 0] != -5
    import ctypes
    with pytest.raises((BufferError, TypeError)):  # no writable views
        (ctypes.c_int64 * 12).from_buffer(r)
    with pytest.raises(TypeError):
        type(r)()
    with pytest.raises(TypeError):
        class Sub(type(r)):
            pass
    with pytest.raises(AttributeError):
        r.extra = 1
    assert "RowBuffer" not in dir(lv) and "RowBuffer" not in dir(spatial)


@pytest.mark.parametrize("call, exc, message", [
    (lambda t: t.query_knn_batch(np.zeros((2, 3)), 1), ValueError, "Query dimension must match tree dimension"),
    (lambda t: t.query_knn_batch(lv.zeros([2, 1]), 1), ValueError, "Query dimension must match tree dimension"),
    (lambda t: t.query_radius_batch(np.zeros(2), 1.0), ValueError, "Expected 2D array (n_queries, dim)"),
    (lambda t: t.query_knn_batch(lv.zeros([2]), 1), ValueError, "Expected 2D array (n_queries, dim)"),
    (lambda t: t.query_knn_batch(np.zeros((1, 1, 2)), 1), ValueError, "Expected 2D array (n_queries, dim)"),
    (lambda t: t.query_knn_batch([[1.0, 2.0]], 1), TypeError,
     "argument 'queries': expected a 2-D Array or a float64 buffer, got 'list'"),
    (lambda t: t.query_knn_batch(np.zeros((2, 2), dtype=np.float32), 1), TypeError,
     "argument 'queries': expected a 2-D Array or a float64 buffer, got a buffer of format 'f'"),
    (lambda t: t.query_knn_batch(b"abcdefgh", 1), TypeError,
     "argument 'queries': expected a 2-D Array or a float64 buffer, got a buffer of format 'B'"),
    (lambda t: t.query_knn_batch(np.zeros((2, 2)), 1, workers=0), ValueError,
     "workers must be a positive integer or -1"),
    (lambda t: t.query_radius_batch(np.zeros((2, 2)), 1.0, workers=-2), ValueError,
     "workers must be a positive integer or -1"),
])
def test_bad_arguments(call, exc, message):
    tree = spatial.KDTree.from_array(lv.Array.from_numpy(np.random.default_rng(1).random((10, 2))))
    with err(exc, message):
        call(tree)


def test_bad_numbers_and_sizes():
    tree = spatial.BallTree.from_array(lv.Array.from_numpy(np.random.default_rng(1).random((10, 2))))
    q = np.zeros((2, 2))
    with pytest.raises((OverflowError, ValueError, TypeError)):
        tree.query_knn_batch(q, -1)
    with pytest.raises(TypeError, match="^argument 'workers': "):
        tree.query_knn_batch(q, 1, workers="all")
    with pytest.raises(TypeError, match="^argument 'radius': "):
        tree.query_radius_batch(q, "far")
    with pytest.raises(MemoryError):
        tree.query_knn_batch(q, 2**62)
    with pytest.raises(MemoryError):  # a broadcast view of 2**58 rows
        tree.query_knn_batch(np.broadcast_to(np.zeros(2), (2**58, 2)), 1)
    with pytest.raises(ValueError, match="^array is too big"):  # no Array of that shape, even empty
        tree.query_knn_batch(np.empty((0, 2)), 2**62)


def _physical_memory():
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


@pytest.mark.parametrize("cls", TREES)
def test_huge_k_is_refused_before_allocating(cls):
    # Rows keep k columns (padded with inf / n_points), so a k far beyond the
    # points asks for rows * k * 16 bytes: refused up front, never filled.
    tree = build(cls, np.random.default_rng(2).random((10, 2)))
    q = np.random.default_rng(3).random((1000, 2))
    with pytest.raises(MemoryError):
        tree.query_knn_batch(q, 2**31 - 1)  # 34 TB
    mem = _physical_memory()
    if mem is not None and 16 * (2**31 - 1) > mem:
        with pytest.raises(MemoryError):
            tree.query_knn_batch(q[:1], 2**31 - 1)
    # A width that fits is still padded to k columns, and no rows means no cells.
    d, r = tree.query_knn_batch(q[:2], 13)
    assert np.asarray(r).shape == (2, 13) and np.asarray(r)[:, 10:].tolist() == [[10] * 3] * 2
    assert np.isinf(d.to_numpy()[:, 10:]).all()
    d, r = tree.query_knn_batch(np.empty((0, 2)), 2**31 - 1)
    assert np.asarray(r).shape == (0, 2**31 - 1) and d.shape == [0, 2**31 - 1]
    # A single query returns at most every point, whatever k.
    for k in (2**31 - 1, 2**63 - 1, 2**64 - 1):
        assert sorted(tree.query_knn(list(q[0]), k)) == list(range(10))


def test_nan_queries_behave_like_single_point_queries():
    points = np.random.default_rng(4).random((40, 2))
    queries = np.array([[np.nan, 0.5], [np.inf, 0.1], [0.3, 0.3]])
    for cls in TREES:
        tree = build(cls, points)
        d, r = tree.query_knn_batch(queries, 3)
        rows, off = tree.query_radius_batch(queries, 0.3)
        for i, q in enumerate(queries):
            assert np.asarray(r)[i].tolist()[:len(tree.query_knn(list(q), 3))] == tree.query_knn(list(q), 3)
            assert np.asarray(rows)[off.tolist()[i]:off.tolist()[i + 1]].tolist() == tree.query_radius(list(q), 0.3)


@pytest.mark.parametrize("cls", TREES)
@pytest.mark.parametrize("dim", [1, 2, 5])
def test_large_query_sets_row_by_row(cls, dim):
    # Enough rows that they are searched in locality order, not row order;
    # NaN, infinite and repeated rows included.
    rng = np.random.default_rng(dim)
    points = rng.random((700, dim))
    queries = rng.random((1500, dim)) * 1.2 - 0.1
    queries[::97] = np.nan
    queries[5::101, 0] = np.inf
    queries[7::50] = queries[8::50]
    tree = build(cls, points, "manhattan" if dim == 2 else "euclidean")
    _, r = tree.query_knn_batch(queries, 4)
    rows, off = tree.query_radius_batch(queries, 0.15)
    r, rows, off = np.asarray(r), np.asarray(rows), np.asarray(off)
    for i, q in enumerate(queries):
        assert r[i].tolist() == tree.query_knn(list(q), 4)
        assert rows[off[i]:off[i + 1]].tolist() == tree.query_radius(list(q), 0.15)


@pytest.mark.parametrize("cls", TREES)
def test_tie_heavy_runs_of_rows_answer_as_single_queries(cls):
    # Small answers are kept sorted and searched again with the heap when
    # they hold equal distances; a run of such rows switches a block of the
    # batch to the heap for its remaining rows.  Runs of tied rows (grid
    # queries on a grid), then rows without ties, in one block: every row
    # must still be the single query's answer, tied neighbours' order
    # included.
    rng = np.random.default_rng(21)
    points = np.vstack([np.indices((12, 12)).reshape(2, -1).T.astype(float), rng.random((200, 2)) * 11])
    grid_q = rng.integers(0, 12, (1500, 2)).astype(float)
    queries = np.vstack([grid_q[:700], rng.random((800, 2)) * 11, grid_q[700:]])
    tree = build(cls, points, "euclidean", 4)
    for k in (5, 16):
        _, r = tree.query_knn_batch(queries, k)
        r = np.asarray(r)
        for i in range(0, len(queries), 7):
            assert r[i].tolist() == tree.query_knn(list(queries[i]), k)
