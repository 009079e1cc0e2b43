"""Scale-out through Dask (lumivander_dask): results on a two-process local
cluster equal the single-process batch calls bit for bit, and merge_knn over
partitioned points equals one tree over all of them."""
import sys
from pathlib import Path

import pytest

import lumivander as lv
from lumivander import spatial

np = pytest.importorskip("numpy")

try:
    import lumivander_dask as lvd
except ImportError:  # a build directory on PYTHONPATH: the module's source
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    try:
        import lumivander_dask as lvd
    except ImportError:  # dask itself is missing
        lvd = None

TREES = [spatial.KDTree, spatial.BallTree, spatial.VPTree]


def random_set(seed, n, dim=3):
    return np.random.default_rng(seed).random((n, dim))


@pytest.mark.parametrize("k, sizes", [(4, [100, 60, 140]), (7, [3, 2, 200]), (10, [2, 3]), (0, [5, 5])])
def test_merge_knn_equals_one_tree_over_all_points(k, sizes):
    if lvd is None:
        pytest.skip("dask is not installed")
    points = random_set(1, sum(sizes))
    queries = random_set(2, 50)
    whole = spatial.KDTree.from_array(lv.Array.from_numpy(points))
    want_d, want_r = whole.query_knn_batch(queries, k)
    parts, start = [], 0
    for i, m in enumerate(sizes):
        cls = TREES[i % 3]
        tree = cls.from_array(lv.Array.from_numpy(points[start:start + m]), 4)
        d, r = tree.query_knn_batch(queries, k)
        parts.append((d, r, start, m))
        start += m
    d, r = lvd.merge_knn(parts, k)
    assert r.dtype == np.int64 and r.shape == (50, k)
    assert r.tolist() == np.asarray(want_r).tolist()
    np.testing.assert_allclose(d, np.asarray(want_d), rtol=1e-15)


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("distributed")
    if lvd is None:
        pytest.skip("dask is not installed")
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as c:
        yield c


@pytest.mark.parametrize("cls", TREES)
def test_cluster_results_equal_the_single_process_batch_bit_for_bit(client, cls):
    import dask.array as da

    points = random_set(3, 2000)
    queries = random_set(4, 1500)
    tree = cls.from_array(lv.Array.from_numpy(points), 10)
    dq = da.from_array(queries, chunks=(400, 3))

    d, r = lvd.knn(client, tree, dq, 5)
    assert d.shape == r.shape == (1500, 5) and d.dtype == np.float64 and r.dtype == np.int64
    want_d, want_r = tree.query_knn_batch(queries, 5)
    got_d, got_r = client.compute([d, r], sync=True)
    assert got_d.tobytes() == want_d.to_numpy().tobytes()
    assert got_r.tobytes() == np.asarray(want_r).tobytes()

    counts = lvd.radius_counts(client, tree, dq, 0.1).compute()
    assert counts.tobytes() == np.asarray(tree.query_radius_batch(queries, 0.1, count_only=True)).tobytes()

    dens = lvd.kernel_density(client, tree, dq, 0.2, "epanechnikov").compute()
    assert dens.tobytes() == tree.kernel_density(lv.Array.from_numpy(queries), 0.2, "epanechnikov").to_numpy().tobytes()


def test_cluster_inputs_and_errors(client):
    tree = spatial.KDTree.from_array(lv.Array.from_numpy(random_set(5, 300)))
    queries = random_set(6, 30)
    # NumPy and Array queries are wrapped in one chunk; a single-row chunk
    # of the density still gives an array.
    d, r = lvd.knn(client, tree, lv.Array.from_numpy(queries), 3)
    assert r.compute().tolist() == np.asarray(tree.query_knn_batch(queries, 3)[1]).tolist()
    one = lvd.kernel_density(client, tree, queries[:1], 0.5).compute()
    assert one.tolist() == [tree.kernel_density(lv.Array.from_numpy(queries[:1]), 0.5)]
    with pytest.raises(ValueError, match="^Query dimension must match tree dimension$"):
        lvd.knn(client, tree, random_set(7, 5, 2), 3)
    with pytest.raises(ValueError, match=r"^Expected 2D array \(n_queries, dim\)$"):
        lvd.radius_counts(client, tree, np.zeros(3), 0.1)
