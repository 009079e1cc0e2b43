"""Neighbour queries and kernel density of lumivander trees over Dask arrays.

A tree goes to the cluster once: :func:`scatter_tree` copies it to every
worker (trees pickle with their built structure, so nothing is rebuilt) and
returns a :class:`TreeHandle` that any number of :func:`knn`,
:func:`radius_counts` and :func:`kernel_density` calls reuse, until
:meth:`TreeHandle.release` frees it on the workers.  Passing a tree itself
instead of a handle sends it along with that one call.

Every call runs the tree's batch method on each chunk of query rows and
returns Dask arrays chunked like the queries' rows, equal bit for bit to one
``query_knn_batch`` / ``query_radius_batch`` / ``kernel_density`` call on all
rows in one process.  Each task uses as many threads as its worker has Dask
threads (``nthreads``), so worker processes times threads stay within the
cores the cluster was given.

For point sets too large for one worker's memory, partition the points, build
one tree per part and use :func:`knn_partitioned` and
:func:`kernel_density_partitioned` (or query each part and combine the
answers with :func:`merge_knn`).
"""

from __future__ import annotations

import operator
import os
import re
import uuid
import weakref

import dask
import dask.array as da
import numpy as np

import lumivander
from lumivander import spatial

__all__ = [
    "TreeHandle",
    "scatter_tree",
    "knn",
    "radius_counts",
    "kernel_density",
    "knn_partitioned",
    "kernel_density_partitioned",
    "merge_knn",
    "gather",
]

_TREE_TYPES = (spatial.KDTree, spatial.BallTree, spatial.VPTree)

try:
    from distributed.diagnostics.plugin import WorkerPlugin as _WorkerPlugin
except ImportError:  # dask without distributed: no cluster to run on anyway
    _WorkerPlugin = object

_PROCESS_TOKEN = uuid.uuid4().hex


def _process_id():
    """Tells this process apart from every other, forked children included
    (they inherit the token but not the pid)."""
    return f"{_PROCESS_TOKEN}-{os.getpid()}"


# ---- threads ---------------------------------------------------------------


def _worker_nthreads():
    """The number of Dask threads of the worker running the current task, or
    None outside a worker."""
    try:
        from distributed import get_worker

        worker = get_worker()
    except (ImportError, ValueError):
        return None
    state = getattr(worker, "state", None)
    n = getattr(state, "nthreads", None) or getattr(worker, "nthreads", None)
    return int(n) if n else None


def _task_workers(workers):
    """The `workers` argument of one task's batch call: the caller's choice,
    else the worker's thread count, else the whole pool."""
    return workers if workers is not None else _worker_nthreads()


class _PoolCap(_WorkerPlugin):
    """A worker plugin capping the library's thread pool at the worker's
    thread count through LUMIVANDER_NUM_THREADS, which the pool reads when it
    starts (the density methods have no per-call cap).  A value already set
    in the worker's environment is kept; workers that run inside the client's
    own process are left alone, as they share its pool."""

    name = "lumivander-pool-cap"

    def __init__(self, client_process):
        self.client_process = client_process

    def setup(self, worker):
        if _process_id() == self.client_process:
            return
        state = getattr(worker, "state", None)
        n = getattr(state, "nthreads", None) or getattr(worker, "nthreads", None)
        if n:
            os.environ.setdefault("LUMIVANDER_NUM_THREADS", str(int(n)))


_capped_clients = weakref.WeakSet()


def _cap_pool(client):
    """Registers the pool cap with the cluster once per client (workers that
    join later run it too)."""
    try:
        if client in _capped_clients:
            return
    except TypeError:  # not weakly referenceable: register every time
        pass
    plugin = _PoolCap(_process_id())
    register = getattr(client, "register_plugin", None) or client.register_worker_plugin
    register(plugin, name=_PoolCap.name)
    try:
        _capped_clients.add(client)
    except TypeError:
        pass


# ---- trees on the cluster --------------------------------------------------


def _check_tree(tree):
    if not isinstance(tree, _TREE_TYPES):
        raise TypeError(f"expected a KDTree, BallTree, VPTree or TreeHandle, got {type(tree).__name__}")


def _tree_dim(tree):
    """The width of the tree's points, read from the check of a query vector
    of length 0."""
    try:
        tree.kernel_density([])
    except ValueError as e:
        m = re.search(r"doesn't match tree dimension (\d+)$", str(e))
        if m is None:
            raise
        return int(m.group(1))
    return 0


# Trees of broadcast handles, by key, in each worker process.  The cluster's
# own copies are not enough: the scheduler drops replicas that no waiting task
# needs (the active memory manager), so the next call would send the tree
# between workers again.
_held = {}


class _Held:
    """Stands for the tree of a broadcast handle in a task's arguments: the
    task takes it from its process's `_held`, not as a dependency."""

    __slots__ = ("key",)

    def __init__(self, key):
        self.key = key

    def __reduce__(self):
        return (_Held, (self.key,))


def _adopt(key, dask_worker=None):
    """On a worker (client.run): keeps the copy the worker just received."""
    if dask_worker is not None and key in dask_worker.data:
        _held[key] = dask_worker.data[key]


def _forget(key):
    _held.pop(key, None)


def _fetch(key):
    """The tree of a broadcast handle in a worker that has none (a worker
    that joined later, or restarted): read once from the cluster."""
    from distributed import get_client

    client = get_client()
    try:
        future = client.get_dataset(key)
    except KeyError:
        raise ValueError("the tree handle has been released") from None
    try:
        return future.result()
    finally:
        future.release()


def _tree_of(ref):
    if not isinstance(ref, _Held):
        return ref  # a dependency of the task: the tree itself
    tree = _held.get(ref.key)
    if tree is None:
        tree = _held[ref.key] = _fetch(ref.key)
    return tree


class TreeHandle:
    """A tree held in the memory of a cluster's workers.

    Made by :func:`scatter_tree`.  Pass it instead of the tree to the query
    functions: every call reuses the copies already on the workers.
    :meth:`release` (or leaving a ``with`` block) frees them; results built
    from the handle must be computed before that.
    """

    __slots__ = ("_client", "_future", "_dim", "_broadcast", "__weakref__")

    def __init__(self, client, future, dim, broadcast):
        self._client = client
        self._future = future
        self._dim = dim
        self._broadcast = broadcast

    @property
    def client(self):
        """The client the tree was scattered with."""
        return self._client

    @property
    def key(self):
        """The key of the tree on the cluster (unique per handle)."""
        if self._future is None:
            raise ValueError("the tree handle has been released")
        return self._future.key

    @property
    def dim(self):
        """The number of coordinates of the tree's points."""
        return self._dim

    @property
    def broadcast(self):
        """Whether every worker keeps a copy (else one worker holds it)."""
        return self._broadcast

    @property
    def released(self):
        """Whether :meth:`release` has run."""
        return self._future is None

    def release(self):
        """Frees the tree on the workers.  Calling it again does nothing."""
        future, self._future = self._future, None
        if future is None:
            return
        try:
            if self._broadcast:
                self._client.unpublish_dataset(future.key)
                self._client.run(_forget, future.key)
        finally:
            future.release()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()

    def __repr__(self):
        where = "released" if self._future is None else f"key={self._future.key!r}"
        return f"<TreeHandle dim={self._dim} broadcast={self._broadcast} {where}>"

    def _ref(self, client):
        if self._future is None:
            raise ValueError("the tree handle has been released")
        if client is not self._client:
            raise ValueError("the tree handle belongs to another client")
        return _Held(self._future.key) if self._broadcast else self._future


def scatter_tree(client, tree, broadcast=True):
    """Sends ``tree`` to the cluster once and returns a :class:`TreeHandle`.

    With ``broadcast=True`` (the default) every worker gets a copy and keeps
    it until the handle is released, so tasks run wherever their query rows
    are; a worker that joins later reads it from the cluster on first use.
    With ``broadcast=False`` one worker holds it and the tasks that use it
    run there (for partitions of a point set too large to copy everywhere).
    The tree is stored under a key of its own, never shared with another
    handle or call, so releasing one cannot take a tree away from another.
    """
    _check_tree(tree)
    dim = _tree_dim(tree)
    broadcast = bool(broadcast)
    _cap_pool(client)
    future = client.scatter(tree, broadcast=broadcast, hash=False)
    if broadcast:
        # Published under its key, so that a worker without a copy can find it.
        client.publish_dataset(future, name=future.key)
        client.run(_adopt, future.key)
    return TreeHandle(client, future, dim, broadcast)


def _resolve(client, tree):
    """(what a task gets for the tree, dim) of a tree or TreeHandle.  A plain
    tree is sent for this call only: the task graph holds it as a
    dependency, and the cluster drops it with the graph."""
    if isinstance(tree, TreeHandle):
        return tree._ref(client), tree.dim
    _check_tree(tree)
    dim = _tree_dim(tree)
    _cap_pool(client)
    return client.scatter(tree, hash=False), dim


# ---- query rows ------------------------------------------------------------


def _query_rows(queries, dim):
    """The queries as a Dask array of float64 rows, one chunk across the
    columns; a wrong shape fails here, as the batch methods fail."""
    if not isinstance(queries, da.Array):
        if isinstance(queries, lumivander.Array):
            queries = queries.to_numpy()
        # A name of its own: two calls never share the keys of their rows.
        queries = da.from_array(np.asarray(queries, dtype=np.float64), name=False)
    if queries.ndim != 2:
        raise ValueError("Expected 2D array (n_queries, dim)")
    width = queries.shape[1]
    if not np.isnan(width) and int(width) != dim:
        raise ValueError("Query dimension must match tree dimension")
    return queries.astype(np.float64).rechunk({1: -1})


def _check_workers(workers):
    if workers is None:
        return None
    try:
        w = operator.index(workers)
    except TypeError:
        raise TypeError(f"workers must be an integer or None, not {type(workers).__name__}") from None
    if w < 1 and w != -1:
        raise ValueError("workers must be a positive integer or -1")
    return w


_kernel_probe = []


def _check_kernel(bandwidth, kernel):
    """Fails as the density methods fail on a bad kernel, before any task runs
    (a one-point tree of this process answers the question)."""
    if not _kernel_probe:
        _kernel_probe.append(spatial.KDTree.from_array(lumivander.Array([1, 1], [0.0])))
    _kernel_probe[0].kernel_density(0.0, bandwidth, kernel)


def _check_k(k):
    k = operator.index(k)
    if k < 0:
        raise ValueError("k must be non-negative")
    return k


def _blocks(queries):
    return queries.to_delayed().ravel(), queries.chunks[0]


def _task(fn, name, token, i, *args, nout=None):
    return dask.delayed(fn, pure=False, nout=nout)(*args, dask_key_name=f"lumivander-{name}-{token}-{i}")


# ---- what the tasks run ----------------------------------------------------


def _knn_block(tree, block, k, workers):
    d, r = _tree_of(tree).query_knn_batch(block, k, workers=_task_workers(workers))
    return d.to_numpy(), r.to_numpy()


def _count_block(tree, block, radius, workers):
    return _tree_of(tree).query_radius_batch(block, radius, count_only=True, workers=_task_workers(workers)).to_numpy()


def _density_block(tree, block, bandwidth, kernel):
    if block.shape[0] == 0:
        return np.empty(0)
    v = _tree_of(tree).kernel_density(lumivander.Array.from_numpy(np.ascontiguousarray(block)), bandwidth, kernel)
    return np.array([v]) if isinstance(v, float) else v.to_numpy()


def _merge_block(k, offsets, sizes, *answers):
    parts = [(answers[2 * i], answers[2 * i + 1], offsets[i], sizes[i]) for i in range(len(offsets))]
    return merge_knn(parts, k)


def _sum_block(*densities):
    # Partition order, left to right: this order defines the bits.
    total = np.array(densities[0], dtype=np.float64, copy=True)
    for d in densities[1:]:
        total += d
    return total


# ---- one tree ----------------------------------------------------------------


def knn(client, tree, queries, k, workers=None):
    """k nearest neighbours of every query row on the cluster.

    ``tree`` is a tree or a :class:`TreeHandle`.  Returns (distances, rows):
    Dask arrays of shape (n, k), float64 and int64, as
    ``tree.query_knn_batch`` gives them (rows past the tree's size padded
    with distance inf and row n_points).  ``workers`` caps the threads each
    task uses (see ``query_knn_batch``); by default a task uses its worker's
    Dask thread count.
    """
    k = _check_k(k)
    workers = _check_workers(workers)
    shared, dim = _resolve(client, tree)
    q = _query_rows(queries, dim)
    token = uuid.uuid4().hex
    dists, rows = [], []
    for i, (block, m) in enumerate(zip(*_blocks(q))):
        part = _task(_knn_block, "knn", token, i, shared, block, k, workers, nout=2)
        dists.append(da.from_delayed(part[0], shape=(m, k), dtype=np.float64))
        rows.append(da.from_delayed(part[1], shape=(m, k), dtype=np.int64))
    if not dists:
        return da.zeros((0, k), dtype=np.float64), da.zeros((0, k), dtype=np.int64)
    return da.concatenate(dists), da.concatenate(rows)


def _one_per_row(fn, name, shared, q, args, dtype):
    """A Dask array (n,) of one value per query row, ``fn(tree, block, *args)``
    run on each block of rows."""
    token = uuid.uuid4().hex
    parts = [
        da.from_delayed(_task(fn, name, token, i, shared, block, *args), shape=(m,), dtype=dtype)
        for i, (block, m) in enumerate(zip(*_blocks(q)))
    ]
    return da.concatenate(parts) if parts else da.zeros((0,), dtype=dtype)


def radius_counts(client, tree, queries, radius, workers=None):
    """Number of points within ``radius`` of every query row: a Dask int64
    array (n,).  ``tree`` and ``workers`` as for :func:`knn`."""
    radius = float(radius)
    workers = _check_workers(workers)
    shared, dim = _resolve(client, tree)
    q = _query_rows(queries, dim)
    return _one_per_row(_count_block, "radius", shared, q, (radius, workers), np.int64)


def kernel_density(client, tree, queries, bandwidth, kernel="gaussian"):
    """``tree.kernel_density`` at every query row: a Dask float64 array (n,).

    ``tree`` as for :func:`knn`.  The density methods take no per-call thread
    cap; the library's pool in each worker process is capped at the worker's
    thread count instead (``LUMIVANDER_NUM_THREADS``, unless already set).
    """
    bandwidth = float(bandwidth)
    _check_kernel(bandwidth, kernel)
    shared, dim = _resolve(client, tree)
    q = _query_rows(queries, dim)
    return _one_per_row(_density_block, "density", shared, q, (bandwidth, kernel), np.float64)


# ---- partitioned points ------------------------------------------------------


def _resolve_parts(client, parts):
    if not parts:
        raise ValueError("at least one part is needed")
    resolved = [_resolve(client, t) for t in parts]
    dims = {dim for _, dim in resolved}
    if len(dims) != 1:
        raise ValueError("all parts must have the same dimension")
    return [f for f, _ in resolved], dims.pop()


def knn_partitioned(client, parts, queries, k, workers=None):
    """k nearest neighbours over a point set split into several trees.

    ``parts`` holds one (tree, row_offset, n_points) per part: a tree or
    :class:`TreeHandle` over that part's points, the global row number of its
    row 0 and its number of points.  Plain trees are sent to one worker each
    (``broadcast=False``).  Each chunk of query rows is answered by every
    part, and the answers are merged on the cluster as :func:`merge_knn`
    does; only the (n, k) answers travel.  Returns Dask (distances, rows) of
    shape (n, k) with global row numbers, equal to one tree over all points
    (the rows exactly; distances as the parts compute them).
    """
    k = _check_k(k)
    workers = _check_workers(workers)
    parts = [tuple(p) for p in parts]
    if any(len(p) != 3 for p in parts):
        raise ValueError("each part must be (tree, row_offset, n_points)")
    offsets = tuple(operator.index(p[1]) for p in parts)
    sizes = tuple(operator.index(p[2]) for p in parts)
    futures, dim = _resolve_parts(client, [p[0] for p in parts])
    q = _query_rows(queries, dim)
    token = uuid.uuid4().hex
    dists, rows = [], []
    for i, (block, m) in enumerate(zip(*_blocks(q))):
        answers = []
        for j, f in enumerate(futures):
            answer = _task(_knn_block, "knn-part", token, f"{i}-{j}", f, block, k, workers, nout=2)
            answers += [answer[0], answer[1]]
        merged = _task(_merge_block, "knn-merge", token, i, k, offsets, sizes, *answers, nout=2)
        dists.append(da.from_delayed(merged[0], shape=(m, k), dtype=np.float64))
        rows.append(da.from_delayed(merged[1], shape=(m, k), dtype=np.int64))
    if not dists:
        return da.zeros((0, k), dtype=np.float64), da.zeros((0, k), dtype=np.int64)
    return da.concatenate(dists), da.concatenate(rows)


def kernel_density_partitioned(client, parts, queries, bandwidth, kernel="gaussian"):
    """Kernel density over a point set split into several trees.

    ``parts`` holds one tree or :class:`TreeHandle` per part (plain trees are
    sent to one worker each).  For every query row, each part's
    ``kernel_density`` is computed and the per-part sums are added in the
    order of ``parts``, left to right: d_0 + d_1 + d_2 + ...  That order, not
    one tree's traversal, defines the bits, so the result can differ from a
    single tree over all points in the last bits; the same parts in the same
    order always give the same bits.  Returns a Dask float64 array (n,).
    """
    bandwidth = float(bandwidth)
    _check_kernel(bandwidth, kernel)
    futures, dim = _resolve_parts(client, list(parts))
    q = _query_rows(queries, dim)
    token = uuid.uuid4().hex
    out = []
    for i, (block, m) in enumerate(zip(*_blocks(q))):
        sums = [_task(_density_block, "density-part", token, f"{i}-{j}", f, block, bandwidth, kernel)
                for j, f in enumerate(futures)]
        total = _task(_sum_block, "density-sum", token, i, *sums)
        out.append(da.from_delayed(total, shape=(m,), dtype=np.float64))
    return da.concatenate(out) if out else da.zeros((0,), dtype=np.float64)


def merge_knn(parts, k):
    """Merges the k-nearest answers of several trees over disjoint parts of
    one point set.

    ``parts`` holds one (distances, rows, row_offset, n_points) per part: the
    (n, k_i) results of that part's ``query_knn_batch`` for the same n query
    rows, the global row number of the part's row 0, and the part's number of
    points (its padding entries have rows >= n_points).  Per query, the
    candidates are ordered by (distance, global row) and the first k kept.
    Returns NumPy (distances, rows) of shape (n, k), padded with distance inf
    and row max(row_offset + n_points) when all parts together have fewer
    than k points.
    """
    k = int(k)
    if k < 0:
        raise ValueError("k must be non-negative")
    parts = list(parts)
    if not parts:
        raise ValueError("merge_knn needs at least one part")
    ds, gs, pads = [], [], []
    n = None
    total = 0
    for dist, rows, offset, n_points in parts:
        dist = np.asarray(dist, dtype=np.float64)
        rows = np.asarray(rows, dtype=np.int64)
        if dist.ndim != 2 or dist.shape != rows.shape:
            raise ValueError("each part needs distances and rows of one shape (n, k)")
        if n is None:
            n = dist.shape[0]
        elif dist.shape[0] != n:
            raise ValueError("all parts must answer the same number of queries")
        pad = rows >= int(n_points)
        ds.append(np.where(pad, np.inf, dist))
        gs.append(np.where(pad, 0, rows + int(offset)))
        pads.append(pad)
        total = max(total, int(offset) + int(n_points))
    d = np.concatenate(ds, axis=1)
    g = np.concatenate(gs, axis=1)
    p = np.concatenate(pads, axis=1)
    order = np.lexsort((g, d, p), axis=-1)[:, :k]
    d = np.take_along_axis(d, order, axis=1)
    g = np.take_along_axis(g, order, axis=1)
    p = np.take_along_axis(p, order, axis=1)
    d[p] = np.inf
    g[p] = total
    if d.shape[1] < k:
        extra = k - d.shape[1]
        d = np.concatenate([d, np.full((n, extra), np.inf)], axis=1)
        g = np.concatenate([g, np.full((n, extra), total, dtype=np.int64)], axis=1)
    return d, g


# ---- results -------------------------------------------------------------------


def gather(client, *arrays):
    """Computes Dask arrays on the cluster and returns them as NumPy arrays
    in this process, in a list.

    The arrays are computed together (tasks they share run once), each chunk
    comes straight from the worker that computed it and the chunks are
    joined here; ``client.compute(array)`` instead joins them on one worker
    first, which moves every chunk once more.
    """
    from distributed import futures_of

    arrays = [a if isinstance(a, da.Array) else da.asarray(a) for a in arrays]
    persisted = client.persist(arrays)
    if isinstance(persisted, da.Array):
        persisted = [persisted]
    futures = {f.key: f for f in futures_of(persisted)}
    grids = [(a, [(a.name, *idx) for idx in np.ndindex(a.numblocks)]) for a in persisted]
    values = iter(client.gather([futures[k] for _, keys in grids for k in keys]))
    out = []
    for a, keys in grids:
        got = np.empty(a.numblocks, dtype=object)
        for idx in np.ndindex(a.numblocks):
            got[idx] = next(values)
        out.append(np.block(got.tolist()) if got.size else np.zeros(a.shape, dtype=a.dtype))
    return out
