"""Scale-out through Dask (lumivander_dask): results on a two-process local
cluster equal the single-process batch calls bit for bit, a tree handle
serves any number of calls and is freed on release, each task keeps to its
worker's threads, and partitioned points give the answers of one tree."""
import glob
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

import lumivander as lv
from lumivander import spatial

np = pytest.importorskip("numpy")

try:
    import lumivander_dask as lvd
except ImportError:  # a build directory on PYTHONPATH: the package's source
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
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
    if os.environ.get("CI") == "true":
        # The test extra brings dask and distributed: in CI the cluster
        # tests must run, never skip.
        import distributed  # noqa: F401
        assert lvd is not None
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
    # A bad kernel fails as the tree's own method does, before any task runs.
    with pytest.raises(ValueError) as own:
        tree.kernel_density(queries, 0.5, "cosine")
    with pytest.raises(ValueError, match="^" + re.escape(str(own.value)) + "$"):
        lvd.kernel_density(client, tree, queries, 0.5, "cosine")
    assert lvd.kernel_density(client, tree, queries, 0.5, None).compute().tobytes() == \
        tree.kernel_density(lv.Array.from_numpy(queries), 0.5).to_numpy().tobytes()


def held_on_workers(client, key):
    """Per worker: (key in the worker's store, key in the helper's own copies)."""
    def probe(dask_worker):
        import lumivander_dask
        return key in dask_worker.data, key in lumivander_dask._held

    return set(client.run(probe).values())


def test_one_handle_serves_repeated_calls_and_release_frees_it(client):
    import dask.array as da

    points = random_set(8, 3000)
    queries = random_set(9, 700)
    tree = spatial.BallTree.from_array(lv.Array.from_numpy(points), 16)
    want_r = np.asarray(tree.query_knn_batch(queries, 4)[1]).tobytes()
    want_c = np.asarray(tree.query_radius_batch(queries, 0.08, count_only=True)).tobytes()
    want_k = tree.kernel_density(lv.Array.from_numpy(queries), 0.05, "triangular").to_numpy().tobytes()

    handle = lvd.scatter_tree(client, tree)
    assert handle.dim == 3 and handle.broadcast and not handle.released
    key = handle.key
    assert held_on_workers(client, key) == {(True, True)}
    # 20 calls in a row, results dropped in between (every call's graph is
    # released before the next is built), NumPy and Dask query rows.
    for i in range(20):
        q = queries if i % 2 else da.from_array(queries, chunks=(250, 3))
        call = i % 3
        if call == 0:
            got = lvd.knn(client, handle, q, 4)[1].compute().tobytes()
            assert got == want_r, i
        elif call == 1:
            assert lvd.radius_counts(client, handle, q, 0.08).compute().tobytes() == want_c, i
        else:
            assert lvd.kernel_density(client, handle, q, 0.05, "triangular").compute().tobytes() == want_k, i
    # A worker without its copy (one that joined later) reads it once.
    client.run(lambda: __import__("lumivander_dask")._held.clear())
    assert lvd.knn(client, handle, queries, 4)[1].compute().tobytes() == want_r

    pending = lvd.knn(client, handle, queries, 4)[1]
    handle.release()
    handle.release()
    assert handle.released
    deadline = time.monotonic() + 20
    while held_on_workers(client, key) != {(False, False)}:
        assert time.monotonic() < deadline, held_on_workers(client, key)
        time.sleep(0.1)
    with pytest.raises(ValueError, match="^the tree handle has been released$"):
        pending.compute()
    with pytest.raises(ValueError, match="^the tree handle has been released$"):
        lvd.knn(client, handle, queries, 4)


def test_tasks_keep_to_their_workers_threads(client):
    # Queries enough for the density and batch methods to split over a pool.
    tree = spatial.KDTree.from_array(lv.Array.from_numpy(random_set(10, 4000)))
    queries = random_set(11, 6000)
    with lvd.scatter_tree(client, tree) as handle:
        lvd.kernel_density(client, handle, queries, 0.1).compute()
        lvd.knn(client, handle, queries, 3)[0].compute()

        def inside_task():
            import lumivander_dask
            pool = sum(open(f).read().strip() == "lumivander" for f in glob.glob("/proc/self/task/*/comm"))
            return os.environ.get("LUMIVANDER_NUM_THREADS"), lumivander_dask._task_workers(None), pool

        seen = set(client.gather([client.submit(inside_task, pure=False, workers=[w])
                                  for w in client.scheduler_info()["workers"]]))
    inherited = os.environ.get("LUMIVANDER_NUM_THREADS")
    if inherited is not None:  # the workers keep a cap set by whoever started them
        assert {(env, w) for env, w, _ in seen} == {(inherited, 1)}
    else:
        # One Dask thread per worker: every call runs on the task's own
        # thread, so no pool thread was ever started.
        want_pool = 0 if sys.platform.startswith("linux") else next(iter(seen))[2]
        assert seen == {("1", 1, want_pool)}
    with pytest.raises(ValueError, match="^workers must be a positive integer or -1$"):
        lvd.knn(client, tree, queries, 3, workers=0)


def test_partitioned_points_answer_like_one_tree(client):
    points = random_set(12, 2500)
    queries = random_set(13, 900)
    import dask.array as da

    dq = da.from_array(queries, chunks=(300, 3))
    whole = spatial.KDTree.from_array(lv.Array.from_numpy(points))
    bounds = [0, 700, 1900, 2500]
    trees = [TREES[i].from_array(lv.Array.from_numpy(points[a:b]), 8) for i, (a, b) in
             enumerate(zip(bounds, bounds[1:]))]
    # One part as a handle on one worker, the others sent with the call.
    parts = [lvd.scatter_tree(client, trees[0], broadcast=False), trees[1], trees[2]]
    knn_parts = [(p, a, b - a) for p, a, b in zip(parts, bounds, bounds[1:])]

    d, r = lvd.knn_partitioned(client, knn_parts, dq, 6)
    got_d, got_r = lvd.gather(client, d, r)
    want_d, want_r = whole.query_knn_batch(queries, 6)
    assert got_r.tobytes() == np.asarray(want_r).tobytes()
    np.testing.assert_allclose(got_d, want_d.to_numpy(), rtol=1e-15)

    dens = lvd.kernel_density_partitioned(client, parts, dq, 0.1, "epanechnikov").compute()
    # Per-part sums added in partition order define the bits.
    per_part = [t.kernel_density(lv.Array.from_numpy(queries), 0.1, "epanechnikov").to_numpy() for t in trees]
    want = [(float(a) + float(b)) + float(c) for a, b, c in zip(*per_part)]
    assert dens.tolist() == want
    one = whole.kernel_density(lv.Array.from_numpy(queries), 0.1, "epanechnikov").to_numpy()
    np.testing.assert_allclose(dens, one, rtol=1e-12)
    parts[0].release()

    with pytest.raises(ValueError, match="^at least one part is needed$"):
        lvd.kernel_density_partitioned(client, [], dq, 0.1)
    flat = spatial.KDTree.from_array(lv.Array.from_numpy(random_set(14, 50, 2)))
    with pytest.raises(ValueError, match="^all parts must have the same dimension$"):
        lvd.kernel_density_partitioned(client, [trees[0], flat], dq, 0.1)


def test_log_density_on_one_tree_and_on_parts(client):
    import dask.array as da

    points = random_set(17, 2000)
    queries = np.vstack([random_set(18, 500), random_set(19, 4) + 30.0])
    dq = da.from_array(queries, chunks=(200, 3))
    whole = spatial.BallTree.from_array(lv.Array.from_numpy(points))
    qa = lv.Array.from_numpy(queries)
    for rtol, normalize in ((0.0, False), (1e-6, True)):
        got = lvd.log_density(client, whole, dq, 0.05, rtol=rtol, normalize=normalize).compute()
        assert got.tobytes() == whole.log_density(qa, 0.05, rtol=rtol, normalize=normalize).to_numpy().tobytes()
    bounds = [0, 300, 1200, 2000]
    trees = [TREES[i].from_array(lv.Array.from_numpy(points[a:b]), 8) for i, (a, b) in
             enumerate(zip(bounds, bounds[1:]))]
    logs = lvd.log_density_partitioned(client, trees, dq, 0.05).compute()
    per_part = [t.log_density(qa, 0.05).to_numpy() for t in trees]
    assert logs.tobytes() == np.logaddexp(np.logaddexp(per_part[0], per_part[1]), per_part[2]).tobytes()
    assert np.isfinite(logs).all()  # the far rows too
    np.testing.assert_allclose(logs, whole.log_density(qa, 0.05).to_numpy(), rtol=1e-13)
    normed = lvd.log_density_partitioned(client, trees, dq, 0.05, "triangular", normalize=True).compute()
    want = whole.log_density(qa, 0.05, "triangular", normalize=True).to_numpy()
    np.testing.assert_allclose(normed[:500], want[:500], rtol=1e-13)
    assert np.isneginf(normed[500:]).all() and np.isneginf(want[500:]).all()
    with pytest.raises(ValueError, match="^rtol must be a non-negative number$"):
        lvd.log_density(client, whole, dq, 0.05, rtol=-1.0)


def test_progress_bar_follows_a_density_job(client, capsys):
    from distributed import progress

    tree = spatial.VPTree.from_array(lv.Array.from_numpy(random_set(15, 1500)))
    queries = random_set(16, 1200)
    import dask.array as da

    with lvd.scatter_tree(client, tree) as handle:
        dens = lvd.kernel_density(client, handle, da.from_array(queries, chunks=(200, 3)), 0.2).persist()
        progress(dens, notebook=False)
        out = capsys.readouterr().out
        assert "100%" in out and "Completed" in out
        got, = lvd.gather(client, dens)
    assert got.tobytes() == tree.kernel_density(lv.Array.from_numpy(queries), 0.2).to_numpy().tobytes()


def test_gather_joins_chunks_in_order(client):
    import dask.array as da

    x = np.arange(35.0).reshape(7, 5)
    got = lvd.gather(client, da.from_array(x, chunks=(3, 2)), da.zeros((0, 4), chunks=(1, 4)))
    assert got[0].tolist() == x.tolist() and got[1].shape == (0, 4)


def test_stub_declares_what_the_helper_exports():
    import ast

    if lvd is None:
        pytest.skip("dask is not installed")
    stub = Path(lvd.__file__).with_name("__init__.pyi")
    tree = ast.parse(stub.read_text())
    names = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    stub_all = [ast.literal_eval(n.value) for n in tree.body
                if isinstance(n, ast.Assign) and any(getattr(t, "id", "") == "__all__" for t in n.targets)]
    assert stub_all == [lvd.__all__]
    assert names == set(lvd.__all__) == {n for n in dir(lvd) if not n.startswith("_")} - {
        "annotations", "da", "dask", "np", "lumivander", "operator", "os", "re", "spatial", "threading", "time", "uuid",
        "weakref"}
    handle = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "TreeHandle")
    members = {n.name for n in handle.body if isinstance(n, ast.FunctionDef)}
    assert members - {"__enter__", "__exit__"} == {n for n in dir(lvd.TreeHandle) if not n.startswith("_")}
    assert (Path(lvd.__file__).with_name("py.typed")).is_file()


def test_query_rows_stay_out_of_the_task_graph(client):
    import dask
    import warnings

    tree = spatial.KDTree.from_array(lv.Array.from_numpy(random_set(22, 50)))
    queries = random_set(23, 60000)  # 1.4 MB
    with dask.config.set({"distributed.admin.large-graph-warning-threshold": "1MB"}), warnings.catch_warnings():
        warnings.simplefilter("error")
        counts = client.compute(lvd.radius_counts(client, tree, queries, 0.01), sync=True)
    assert counts.tobytes() == np.asarray(tree.query_radius_batch(queries, 0.01, count_only=True)).tobytes()


# ---- workers that die ----------------------------------------------------------
# Worker processes started and killed here (SIGKILL), each replaced at once by a
# new one, as a nanny or a cluster manager would.  They run without nannies: a
# nanny sometimes misses the death of its worker and never restarts it, which
# would leave the next kill without a second worker.


def start_worker(address, **env):
    environ = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **env)
    return subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1",
                             "--no-nanny", "--no-dashboard"], env=environ,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Workers:
    def __init__(self, client, address):
        self.client, self.address = client, address
        self.procs = [start_worker(address) for _ in range(2)]

    def ready(self):
        """{pid: address} of the two workers, once both are up."""
        deadline = time.monotonic() + 60
        while True:
            self.client.wait_for_workers(2, timeout=max(deadline - time.monotonic(), 1))
            # A killed worker may still be listed while it is being removed.
            pids = {pid: addr for addr, pid in self.client.run(os.getpid, on_error="ignore").items()
                    if isinstance(pid, int)}
            if len(pids) == 2 and {p.pid for p in self.procs} == set(pids):
                return pids
            assert time.monotonic() < deadline, "the workers did not come back"
            time.sleep(0.1)

    def kill(self, address, **env):
        """Kills the worker at ``address`` and starts another."""
        pid = {a: p for p, a in self.ready().items()}[address]
        i = next(i for i, p in enumerate(self.procs) if p.pid == pid)
        self.procs[i].kill()
        self.procs[i].wait()
        self.procs[i] = start_worker(self.address, **env)

    def close(self):
        for p in self.procs:
            p.kill()
            p.wait()


@pytest.fixture(scope="module")
def dying():
    if lvd is None:
        pytest.skip("dask is not installed")
    pytest.importorskip("distributed")
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=0, processes=True, dashboard_address=None) as cluster, Client(cluster) as c:
        workers = Workers(c, cluster.scheduler_address)
        try:
            workers.ready()
            yield workers
        finally:
            workers.close()


KILL_POINTS = random_set(20, 20000)
KILL_QUERIES = random_set(21, 12000)
KILL_TREE = spatial.KDTree.from_array(lv.Array.from_numpy(KILL_POINTS))
LOST = ("the tree of handle '{}' was lost with the workers that held it and the client did not send it again "
        "within {:g} s; keep the client that sent it connected while its results are computed, then repeat the "
        "call (or scatter the tree again)")


def kill_call(client, method, handle):
    if method == "knn":
        return lvd.knn(client, handle, KILL_QUERIES, 4)[1], np.asarray(KILL_TREE.query_knn_batch(KILL_QUERIES, 4)[1])
    if method == "counts":
        want = KILL_TREE.query_radius_batch(KILL_QUERIES, 0.05, count_only=True)
        return lvd.radius_counts(client, handle, KILL_QUERIES, 0.05), np.asarray(want)
    want = KILL_TREE.kernel_density(lv.Array.from_numpy(KILL_QUERIES), 0.02)
    return lvd.kernel_density(client, handle, KILL_QUERIES, 0.02), want.to_numpy()


@pytest.mark.parametrize("broadcast", [True, False])
@pytest.mark.parametrize("method", ["knn", "counts", "density"])
def test_a_worker_killed_mid_call_costs_no_result(dying, method, broadcast):
    client = dying.client
    addresses = sorted(dying.ready().values())
    handle = lvd.scatter_tree(client, KILL_TREE, broadcast=broadcast)
    try:
        result, want = kill_call(client, method, handle)
        if broadcast:  # each worker in turn
            victim = addresses[["knn", "counts", "density"].index(method) % 2]
        else:  # the worker holding the tree, and once the other one
            holder = next(iter(client.who_has(handle._held).values()))[0]
            victim = holder if method != "counts" else next(a for a in addresses if a != holder)
        start = time.monotonic()
        future = client.compute(result)
        time.sleep(0.05)
        dying.kill(victim)
        got = future.result(timeout=60)
        assert time.monotonic() - start < 60
        assert got.tobytes() == want.tobytes()
        # The next call runs on the new worker too.
        result, want = kill_call(client, method, handle)
        assert client.compute(result, sync=True).tobytes() == want.tobytes()
    finally:
        handle.release()


def test_a_tree_the_client_cannot_send_again_fails_clearly(dying):
    import dask
    import dask.array as da

    client = dying.client
    handle = lvd.scatter_tree(client, KILL_TREE, broadcast=False)
    result, want = kill_call(client, "counts", handle)
    assert client.compute(result, sync=True).tobytes() == want.tobytes()
    holder = next(iter(client.who_has(handle._held).values()))[0]
    topic = lvd._store(client).topic
    client.unsubscribe_topic(topic)  # the client no longer answers
    try:
        client.run(lambda: dask.config.set({"lumivander.restore-timeout": 2}))
        dying.kill(holder, DASK_LUMIVANDER__RESTORE_TIMEOUT="2")
        dying.ready()
        start = time.monotonic()
        with pytest.raises(RuntimeError) as lost:  # query rows that need no client
            client.compute(lvd.radius_counts(client, handle, da.from_array(KILL_QUERIES, 6000), 0.05), sync=True)
        assert time.monotonic() - start < 30
        assert str(lost.value) == LOST.format(handle.key, 2)
    finally:
        client.subscribe_topic(topic, lvd._store(client)._on_request)
        client.run(lambda: dask.config.set({"lumivander.restore-timeout": 30}))
    # With the client listening again, repeating the call works.
    result, want = kill_call(client, "counts", handle)
    assert client.compute(result, sync=True).tobytes() == want.tobytes()
    handle.release()

