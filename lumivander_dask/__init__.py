"""Neighbour queries and kernel density of lumivander trees over Dask arrays.

A tree goes to the cluster once: :func:`scatter_tree` copies it to every
worker (trees pickle with their built structure, so nothing is rebuilt) and
returns a :class:`TreeHandle` that any number of :func:`knn`,
:func:`radius_counts` and :func:`kernel_density` calls reuse, until
:meth:`TreeHandle.release` frees it on the workers.  Passing a tree itself
instead of a handle sends it along with that one call.

Every call runs the tree's batch method on each block of query rows (the
chunks of a Dask array, or blocks of rows held in this process, scattered
with the call rather than put into the task graph) and returns Dask arrays
chunked like those blocks, equal bit for bit to one ``query_knn_batch`` /
``query_radius_batch`` / ``kernel_density`` call on all rows in one process.
A call survives the death of any worker: the client keeps what it sent and
sends it again when the workers holding it die; if it cannot within
``lumivander.restore-timeout`` seconds (a Dask setting, 30 by default), the
call fails with a RuntimeError naming what was lost.  Each task uses as many threads as its worker has Dask
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
import threading
import time
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
    "log_density",
    "log_density_partitioned",
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


# ---- what the client keeps ---------------------------------------------------
#
# Scattered data that only one worker holds is gone when that worker dies, and
# the scheduler then cancels every task that depends on it.  So nothing the
# client sends is a dependency of the query tasks.  The client keeps every
# object it sent (a tree, a block of query rows) in its `_Store`, under a name
# of its own, and publishes under that name the key of the object's copy on
# the cluster.  A task reads the object through that name (`_obtain`): from
# its own worker's memory, else from a worker that holds the copy, else it
# asks the client (an event), which scatters the object to the asking worker
# (keeping the future, so that the scheduler keeps the copy) and publishes
# the new key.  A broadcast tree is scattered to every worker at once; every
# other object goes out only when a task asks for it: the tasks that need
# one copy (a tree that is not broadcast, query rows) depend on a small task
# that runs `_obtain` (`_from_store`), so the object is sent to the worker
# that runs it, and sent again when Dask computes that task again after its
# worker died.  Every wait is bounded by `_restore_timeout()`.


def _restore_timeout():
    """Seconds a task waits for a lost object to come back from the client
    before it fails with the error of `_lost_message`: Dask's setting
    ``lumivander.restore-timeout`` (environment variable
    DASK_LUMIVANDER__RESTORE_TIMEOUT), 30 by default."""
    return float(dask.config.get("lumivander.restore-timeout", 30.0))


# The future of an object's copy is published under its name + _COPY.
_COPY = "/copy"


def _lost_message(what, timeout):
    return (
        f"{what} was lost with the workers that held it and the client did not send it again "
        f"within {timeout:g} s; keep the client that sent it connected while its results "
        "are computed, then repeat the call (or scatter the tree again)"
    )


class _Ref:
    """What a task gets in place of an object the client keeps: its name, the
    event topic on which the client listens for requests to send it again,
    and what it is (for error messages)."""

    __slots__ = ("name", "topic", "what", "released")

    def __init__(self, name, topic, what, released):
        self.name = name
        self.topic = topic
        self.what = what
        self.released = released

    def __reduce__(self):
        return (_Ref, (self.name, self.topic, self.what, self.released))


class _Entry:
    """One object the client sent: the object, the future of its copy on the
    cluster (None before the first request) and the key published for it."""

    __slots__ = ("obj", "future", "key", "generation", "sending", "publishing")

    def __init__(self, obj, future, key):
        self.obj = obj
        self.future = future
        self.key = key
        self.generation = 0
        self.sending = float("-inf")  # when the last sending started
        self.publishing = threading.Lock()


class _Store:
    """The objects one client sent to the cluster, by name.

    `_lock` guards `_entries` only and is never held across a call to the
    client (those wait for the client's event loop, where the request handler
    runs).  It is re-entrant because a finaliser (`_Call`) may drop entries
    on whatever thread the garbage collector runs, this one included."""

    def __init__(self, client):
        self._client = weakref.ref(client)
        self._entries = {}
        self._lock = threading.RLock()
        self.topic = f"lumivander-restore-{client.id}"
        client.subscribe_topic(self.topic, self._on_request)

    def client(self):
        client = self._client()
        if client is None:
            raise ValueError("the client has been closed")
        return client

    def put(self, objects, broadcast=False, now=False):
        """Keeps ``{name: object}`` and publishes the names.  With
        ``broadcast`` the objects are scattered to every worker now, with
        ``now`` each to one worker now; else each goes to the first worker
        that asks for it (one copy, where it is used, but later)."""
        client = self.client()
        if broadcast or now:
            futures = client.scatter(objects, broadcast=broadcast, hash=False)
            published = {**{name: name for name in objects}, **{name + _COPY: futures[name] for name in objects}}
            entries = {name: _Entry(obj, futures[name], name) for name, obj in objects.items()}
        else:
            # A key that never existed: the first task to look asks for it.
            published = {name: f"{name}-0" for name in objects}
            entries = {name: _Entry(obj, None, published[name]) for name, obj in objects.items()}
        with self._lock:
            self._entries.update(entries)
        client.publish_dataset(published)

    def drop(self, names, wait=True):
        """Forgets the objects and unpublishes them.  ``wait=False`` may run
        on any thread, the event loop's included (garbage collection)."""
        with self._lock:
            gone = [n for n in names if self._entries.pop(n, None) is not None]
        client = self._client()
        if not gone or client is None or client.status in ("closing", "closed"):
            return
        published = gone + [name + _COPY for name in gone]
        if wait:
            client.unpublish_dataset(published)
            return

        async def unpublish():
            try:
                await client.unpublish_dataset(published, asynchronous=True)
            except Exception:  # the client is closing: the cluster goes too
                pass

        try:
            client.loop.add_callback(unpublish)
        except Exception:
            pass

    # Seconds after which a request for a copy that is still being sent
    # starts another sending (the first may wait for a connection to a worker
    # that died, up to Dask's connect timeout).
    _RESEND_AFTER = 3.0

    def _on_request(self, event):
        """A task found no copy of an object (runs on the client's event
        loop): send it from a thread, once per missing copy."""
        msg = event[1]
        name = msg.get("name") if isinstance(msg, dict) else None
        now = time.monotonic()
        with self._lock:
            entry = self._entries.get(name)
            if entry is None or entry.key != msg.get("lost") or now - entry.sending < self._RESEND_AFTER:
                return
            entry.sending = now
            entry.generation += 1
            key = f"{name}-{entry.generation}"
        worker = msg.get("worker")
        args = (name, entry, msg["lost"], entry.generation, key, worker)
        threading.Thread(target=self._send, args=args, daemon=True).start()

    def _send(self, name, entry, lost, generation, key, worker):
        """Scatters the object of ``entry`` under ``key`` (to ``worker`` if it
        can) and publishes it, unless another sending came first."""
        try:
            client = self.client()
            future = None
            if worker:
                try:  # to the asking worker, which then reads it locally
                    future = client.scatter({key: entry.obj}, workers=[worker], hash=False, timeout=5)[key]
                except Exception:
                    future = None
            if future is None:
                future = client.scatter({key: entry.obj}, hash=False, timeout=5)[key]
            with entry.publishing:
                with self._lock:
                    current = self._entries.get(name) is entry and entry.key == lost
                if current:
                    client.publish_dataset({name: key, name + _COPY: future}, override=True)
                    entry.future, entry.key = future, key
        except Exception:
            pass  # the tasks ask again, and fail once their wait is over
        finally:
            with self._lock:
                if entry.generation == generation:  # no later sending: the next request may start one
                    entry.sending = float("-inf")


_stores = weakref.WeakKeyDictionary()
_stores_lock = threading.Lock()


def _store(client):
    with _stores_lock:
        store = _stores.get(client)
        if store is None:
            store = _stores[client] = _Store(client)
        return store


# ---- what the tasks run to find the objects ----------------------------------


def _obtain(ref):
    """The object behind ``ref``, from this worker, another worker or the
    client, within `_restore_timeout()` seconds."""
    from distributed import get_client, get_worker

    worker = get_worker()
    client = get_client()
    timeout = _restore_timeout()
    deadline = time.monotonic() + timeout
    asked, asked_at = None, time.monotonic()
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise RuntimeError(_lost_message(ref.what, timeout))
        try:
            key = client.get_dataset(ref.name, default=None, callback_timeout=left)
            holders = None
            if key is not None and key not in worker.data:
                holders = client.sync(client.scheduler.who_has, keys=[key], callback_timeout=left).get(key)
        except Exception:  # the scheduler is busy or reconnecting: ask again
            key = holders = False
        if key is None:
            raise ValueError(ref.released)
        if key is not False:
            if key in worker.data:
                return worker.data[key]
            if holders:
                found = _gather(client, ref.name, key, deadline)
                if found is not _MISSING:
                    return found
            elif key != asked or time.monotonic() - asked_at > 2.0:
                worker.log_event(ref.topic, {"name": ref.name, "lost": key, "worker": worker.address})
                asked, asked_at = key, time.monotonic()
        # Briskly while an answer is due (a sending takes some tens of ms),
        # then less often.
        time.sleep(0.01 if time.monotonic() - asked_at < 1.0 else 0.1)


_MISSING = object()


def _gather(client, name, key, deadline):
    """The object of the copy ``key`` from the worker holding it, or
    _MISSING when that copy is lost meanwhile or ``deadline`` passes."""
    # The copy's future, published beside its key: read only when the copy
    # exists (the future of a lost key waits for ever), and waited for a
    # second at a time, checking that the copy still exists.
    future = None
    try:
        future = client.get_dataset(name + _COPY, callback_timeout=max(deadline - time.monotonic(), 0.01))
        if future.key != key:
            return _MISSING
        while True:
            try:
                return future.result(timeout=max(min(deadline - time.monotonic(), 1.0), 0.01))
            except TimeoutError:
                left = deadline - time.monotonic()
                if left <= 0:
                    return _MISSING
                if not client.sync(client.scheduler.who_has, keys=[key], callback_timeout=left).get(key):
                    return _MISSING
    except Exception:  # the holder died, or the scheduler is busy: look again
        return _MISSING
    finally:
        if future is not None:
            future.release()


def _from_store(ref):
    """The task that holds one copy of an object on a worker."""
    return _obtain(ref)


# Trees of broadcast handles, by name, in each worker process.  The cluster's
# own copies are not enough: the scheduler drops replicas that no waiting task
# needs (the active memory manager), so the next call would send the tree
# between workers again.
_held = {}


class _Held(_Ref):
    """Stands for the tree of a broadcast handle in a task's arguments: the
    task takes it from its process's `_held`, not as a dependency."""

    __slots__ = ()

    def __reduce__(self):
        return (_Held, (self.name, self.topic, self.what, self.released))


def _adopt(key, dask_worker=None):
    """On a worker (client.run): keeps the copy the worker just received."""
    if dask_worker is not None and key in dask_worker.data:
        _held[key] = dask_worker.data[key]


def _forget(key):
    _held.pop(key, None)


def _tree_of(tree):
    if not isinstance(tree, _Held):
        return tree  # the value of a `_from_store` task
    found = _held.get(tree.name)
    if found is None:
        found = _held[tree.name] = _obtain(tree)
    return found


# ---- trees on the cluster --------------------------------------------------


def _check_tree(tree):
    if not isinstance(tree, _TREE_TYPES):
        raise TypeError(f"expected a KDTree, BallTree, VPTree or TreeHandle, got {type(tree).__name__}")


def _tree_dim(tree):
    """The width of the tree's points: its `dim`, or on builds without it,
    read from the check of a query vector of length 0."""
    dim = getattr(tree, "dim", None)
    if isinstance(dim, int):
        return dim
    try:
        tree.kernel_density([])
    except ValueError as e:
        m = re.search(r"doesn't match tree dimension (\d+)$", str(e))
        if m is None:
            raise
        return int(m.group(1))
    return 0


def _hold_on(client, store, name, what, released):
    """Submits the `_from_store` task of one object.  No worker restriction:
    the object goes wherever the scheduler runs it (a restriction to a worker
    that died can leave the task waiting for that worker for ever)."""
    ref = _Ref(name, store.topic, what, released)
    return client.submit(_from_store, ref, key=f"{name}-held-{uuid.uuid4().hex[:8]}", pure=False)


_RELEASED = "the tree handle has been released"


class TreeHandle:
    """A tree held in the memory of a cluster's workers.

    Made by :func:`scatter_tree`.  Pass it instead of the tree to the query
    functions: every call reuses the copies already on the workers.
    :meth:`release` (or leaving a ``with`` block) frees them; results built
    from the handle must be computed before that.  The handle keeps the tree
    in this process too, to send it again when the workers holding it die.
    """

    __slots__ = ("_client", "_name", "_dim", "_broadcast", "_held", "__weakref__")

    def __init__(self, client, name, dim, broadcast):
        self._client = client
        self._name = name
        self._dim = dim
        self._broadcast = broadcast
        self._held = None  # the `_from_store` future of a tree on one worker

    @property
    def client(self):
        """The client the tree was scattered with."""
        return self._client

    @property
    def key(self):
        """The name of the tree on the cluster (unique per handle)."""
        if self._name is None:
            raise ValueError(_RELEASED)
        return self._name

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
        return self._name is None

    def release(self):
        """Frees the tree on the workers.  Calling it again does nothing."""
        name, self._name = self._name, None
        if name is None:
            return
        self._held = None
        _store(self._client).drop([name])
        if self._broadcast:
            self._client.run(_forget, name, on_error="ignore")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()

    def __repr__(self):
        where = "released" if self._name is None else f"key={self._name!r}"
        return f"<TreeHandle dim={self._dim} broadcast={self._broadcast} {where}>"

    def _ref(self, client):
        """What a task gets for the tree: the `_Held` name of a broadcast
        tree, else the future of its `_from_store` task (made again when a
        previous one failed)."""
        if self._name is None:
            raise ValueError(_RELEASED)
        if client is not self._client:
            raise ValueError("the tree handle belongs to another client")
        store = _store(client)
        what = f"the tree of handle {self._name!r}"
        if self._broadcast:
            return _Held(self._name, store.topic, what, _RELEASED)
        if self._held is None or self._held.status in ("error", "cancelled"):
            self._held = _hold_on(client, store, self._name, what, _RELEASED)
        return self._held


def scatter_tree(client, tree, broadcast=True):
    """Sends ``tree`` to the cluster once and returns a :class:`TreeHandle`.

    With ``broadcast=True`` (the default) every worker gets a copy and keeps
    it until the handle is released, so tasks run wherever their query rows
    are; a worker that joins later reads it from the cluster on first use.
    With ``broadcast=False`` one worker holds it and the tasks that use it
    run there (for partitions of a point set too large to copy everywhere).
    The tree is stored under a key of its own, never shared with another
    handle or call, so releasing one cannot take a tree away from another.
    A copy lost with the workers that held it is sent again from this
    process when a task needs it.
    """
    _check_tree(tree)
    dim = _tree_dim(tree)
    broadcast = bool(broadcast)
    _cap_pool(client)
    name = f"lumivander-tree-{uuid.uuid4().hex}"
    _store(client).put({name: tree}, broadcast=broadcast)
    handle = TreeHandle(client, name, dim, broadcast)
    if broadcast:
        client.run(_adopt, name, on_error="ignore")
    else:
        from distributed import wait

        try:  # the tree in place before the first call
            wait(handle._ref(client), timeout=_restore_timeout())
        except Exception:  # a worker died meanwhile: the task is computed again
            pass
    return handle


# ---- one call's own objects --------------------------------------------------


class _Lease:
    """Held by every task of one call in the client's graph: when the graph
    goes, the objects sent for that call alone are dropped, each once its
    `_from_store` task has finished (tasks already on the cluster keep those
    copies)."""

    __slots__ = ("__weakref__",)

    def __reduce__(self):
        return (_Lease, ())


class _Call:
    """The objects one call sends besides its handles: a tree passed
    instead of a handle, and its NumPy query rows."""

    def __init__(self, client):
        self.client = client
        self.store = _store(client)
        self.token = uuid.uuid4().hex
        self.lease = _Lease()
        self.held = []  # (name, future of its `_from_store` task)
        weakref.finalize(self.lease, _Call._release, self.store, self.held)

    @staticmethod
    def _release(store, held):
        """Drops each object once its holding task has finished (so that a
        graph dropped at once, as ``persist`` does, still finds them).  Runs
        on whatever thread collects the lease."""
        for name, future in held:
            future.add_done_callback(lambda _, name=name: store.drop([name], wait=False))

    def send(self, objects, what, released, now=False):
        """Sends ``[object, ...]`` and returns the futures of their
        `_from_store` tasks.  ``now`` as for `_Store.put`."""
        names = [f"lumivander-{self.token}-{len(self.held) + i}" for i in range(len(objects))]
        self.store.put(dict(zip(names, objects)), now=now)
        held = [_hold_on(self.client, self.store, n, what, released) for n in names]
        self.held.extend(zip(names, held))
        return held

    def tree(self, tree):
        """What a task gets for a tree or TreeHandle."""
        if isinstance(tree, TreeHandle):
            return tree._ref(self.client)
        _cap_pool(self.client)
        released = "the tree sent with this call has been released: repeat the call"
        return self.send([tree], "the tree sent with this call", released)[0]


def _dim_of(tree):
    if isinstance(tree, TreeHandle):
        return tree.dim
    _check_tree(tree)
    return _tree_dim(tree)


# ---- query rows ------------------------------------------------------------

# Largest number of rows in one block of NumPy query rows.
_BLOCK_ROWS = 1 << 20


def _query_rows(queries, dim):
    """The query rows: a Dask array of float64 rows in one chunk across the
    columns, or a NumPy array of rows held in this process.  A wrong shape
    fails here, as the batch methods fail."""
    if isinstance(queries, da.Array):
        rows = queries
    else:
        if isinstance(queries, lumivander.Array):
            queries = queries.to_numpy()
        rows = np.asarray(queries, dtype=np.float64)
    if rows.ndim != 2:
        raise ValueError("Expected 2D array (n_queries, dim)")
    width = rows.shape[1]
    if not np.isnan(width) and int(width) != dim:
        raise ValueError("Query dimension must match tree dimension")
    if isinstance(rows, da.Array):
        return rows.astype(np.float64).rechunk({1: -1})
    return rows


def _query_blocks(call, rows):
    """A list of (what a task gets for one block of query rows, its number of
    rows).  A Dask array gives its chunks; rows held in this process are
    split into about one block per worker thread and sent with the call
    (never inside the task graph, whose size Dask warns about)."""
    if isinstance(rows, da.Array):
        return list(zip(rows.to_delayed().ravel(), rows.chunks[0]))
    n = rows.shape[0]
    if n == 0:
        return []
    threads = sum(call.client.nthreads().values()) or 1
    per = min(max(-(-n // threads), 1), _BLOCK_ROWS)
    blocks = [np.ascontiguousarray(rows[i:i + per]) for i in range(0, n, per)]
    released = "the query rows sent with this call have been released: repeat the call"
    # Scattered at once: the first read costs no request to the client, and
    # query rows are small beside a tree (a holding task that runs on
    # another worker makes a second copy for the call's lifetime).
    held = call.send(blocks, "a block of the query rows sent with this call", released, now=True)
    return [(h, len(b)) for h, b in zip(held, blocks)]


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


def _check_log_density(bandwidth, kernel, rtol):
    """Fails as log_density fails on a bad kernel or rtol, before any task runs."""
    if not _kernel_probe:
        _kernel_probe.append(spatial.KDTree.from_array(lumivander.Array([1, 1], [0.0])))
    _kernel_probe[0].log_density(0.0, bandwidth, kernel, rtol=rtol)


def _check_k(k):
    k = operator.index(k)
    if k < 0:
        raise ValueError("k must be non-negative")
    return k


def _task(fn, name, token, i, *args, nout=None):
    return dask.delayed(fn, pure=False, nout=nout)(*args, dask_key_name=f"lumivander-{name}-{token}-{i}")


# ---- what the tasks run ----------------------------------------------------
# Each takes the call's `_Lease` last, only so that the client's graph holds it.


def _knn_block(tree, block, k, workers, lease=None):
    d, r = _tree_of(tree).query_knn_batch(block, k, workers=_task_workers(workers))
    return d.to_numpy(), r.to_numpy()


def _count_block(tree, block, radius, workers, lease=None):
    return _tree_of(tree).query_radius_batch(block, radius, count_only=True, workers=_task_workers(workers)).to_numpy()


def _density_block(tree, block, bandwidth, kernel, lease=None):
    if block.shape[0] == 0:
        return np.empty(0)
    v = _tree_of(tree).kernel_density(lumivander.Array.from_numpy(np.ascontiguousarray(block)), bandwidth, kernel)
    return np.array([v]) if isinstance(v, float) else v.to_numpy()


def _log_density_block(tree, block, bandwidth, kernel, rtol, normalize, lease=None):
    if block.shape[0] == 0:
        return np.empty(0)
    v = _tree_of(tree).log_density(lumivander.Array.from_numpy(np.ascontiguousarray(block)), bandwidth, kernel,
                                   rtol=rtol, normalize=normalize)
    return np.array([v]) if isinstance(v, float) else v.to_numpy()


def _size_of(tree, dim, lease=None):
    # Every point is listed, NaN distances included (they rank last).
    return len(_tree_of(tree).query_knn([0.0] * dim, 2**62))


def _log_add_block(sizes, *logs):
    # Part order, left to right: this order defines the bits.  With sizes
    # (normalised parts), part j weighs n_j / N and empty parts drop out.
    if sizes is not None:
        keep = [j for j, n in enumerate(sizes) if n > 0]
        if not keep:
            return np.full(len(logs[0]), np.nan)
        logs = [logs[j] + np.log(sizes[j]) for j in keep]
    total = np.array(logs[0], dtype=np.float64, copy=True)
    for v in logs[1:]:
        total = np.logaddexp(total, v)
    if sizes is not None:
        total -= np.log(sum(sizes))
    return total


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
    q = _query_rows(queries, _dim_of(tree))
    call = _Call(client)
    shared = call.tree(tree)
    dists, rows = [], []
    for i, (block, m) in enumerate(_query_blocks(call, q)):
        part = _task(_knn_block, "knn", call.token, i, shared, block, k, workers, call.lease, nout=2)
        dists.append(da.from_delayed(part[0], shape=(m, k), dtype=np.float64))
        rows.append(da.from_delayed(part[1], shape=(m, k), dtype=np.int64))
    if not dists:
        return da.zeros((0, k), dtype=np.float64), da.zeros((0, k), dtype=np.int64)
    return da.concatenate(dists), da.concatenate(rows)


def _one_per_row(fn, name, call, shared, blocks, args, dtype):
    """A Dask array (n,) of one value per query row, ``fn(tree, block, *args)``
    run on each block of rows."""
    parts = [
        da.from_delayed(_task(fn, name, call.token, i, shared, block, *args, call.lease), shape=(m,), dtype=dtype)
        for i, (block, m) in enumerate(blocks)
    ]
    return da.concatenate(parts) if parts else da.zeros((0,), dtype=dtype)


def radius_counts(client, tree, queries, radius, workers=None):
    """Number of points within ``radius`` of every query row: a Dask int64
    array (n,).  ``tree`` and ``workers`` as for :func:`knn`."""
    radius = float(radius)
    workers = _check_workers(workers)
    q = _query_rows(queries, _dim_of(tree))
    call = _Call(client)
    shared = call.tree(tree)
    blocks = _query_blocks(call, q)
    return _one_per_row(_count_block, "radius", call, shared, blocks, (radius, workers), np.int64)


def kernel_density(client, tree, queries, bandwidth, kernel="gaussian"):
    """``tree.kernel_density`` at every query row: a Dask float64 array (n,).

    ``tree`` as for :func:`knn`.  The density methods take no per-call thread
    cap; the library's pool in each worker process is capped at the worker's
    thread count instead (``LUMIVANDER_NUM_THREADS``, unless already set).
    """
    bandwidth = float(bandwidth)
    _check_kernel(bandwidth, kernel)
    q = _query_rows(queries, _dim_of(tree))
    call = _Call(client)
    shared = call.tree(tree)
    blocks = _query_blocks(call, q)
    return _one_per_row(_density_block, "density", call, shared, blocks, (bandwidth, kernel), np.float64)


def log_density(client, tree, queries, bandwidth, kernel="gaussian", *, rtol=0.0, normalize=False):
    """``tree.log_density`` at every query row: a Dask float64 array (n,),
    equal bit for bit to one call in one process.  ``tree`` as for
    :func:`knn`."""
    bandwidth, rtol, normalize = float(bandwidth), float(rtol), bool(normalize)
    _check_log_density(bandwidth, kernel, rtol)
    q = _query_rows(queries, _dim_of(tree))
    call = _Call(client)
    shared = call.tree(tree)
    blocks = _query_blocks(call, q)
    return _one_per_row(_log_density_block, "log-density", call, shared, blocks,
                        (bandwidth, kernel, rtol, normalize), np.float64)


# ---- partitioned points ------------------------------------------------------


def _parts_dim(parts):
    if not parts:
        raise ValueError("at least one part is needed")
    dims = {_dim_of(t) for t in parts}
    if len(dims) != 1:
        raise ValueError("all parts must have the same dimension")
    return dims.pop()


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
    q = _query_rows(queries, _parts_dim([p[0] for p in parts]))
    call = _Call(client)
    trees = [call.tree(p[0]) for p in parts]
    dists, rows = [], []
    for i, (block, m) in enumerate(_query_blocks(call, q)):
        answers = []
        for j, t in enumerate(trees):
            answer = _task(_knn_block, "knn-part", call.token, f"{i}-{j}", t, block, k, workers, call.lease, nout=2)
            answers += [answer[0], answer[1]]
        merged = _task(_merge_block, "knn-merge", call.token, i, k, offsets, sizes, *answers, nout=2)
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
    parts = list(parts)
    q = _query_rows(queries, _parts_dim(parts))
    call = _Call(client)
    trees = [call.tree(t) for t in parts]
    out = []
    for i, (block, m) in enumerate(_query_blocks(call, q)):
        sums = [_task(_density_block, "density-part", call.token, f"{i}-{j}", t, block, bandwidth, kernel, call.lease)
                for j, t in enumerate(trees)]
        total = _task(_sum_block, "density-sum", call.token, i, *sums)
        out.append(da.from_delayed(total, shape=(m,), dtype=np.float64))
    return da.concatenate(out) if out else da.zeros((0,), dtype=np.float64)


def log_density_partitioned(client, parts, queries, bandwidth, kernel="gaussian", *, rtol=0.0, normalize=False):
    """``log_density`` over a point set split into several trees.

    ``parts`` as for :func:`kernel_density_partitioned`.  For every query row
    the parts' values are combined by a log-add in the order of ``parts``,
    left to right: log(exp(l_0) + exp(l_1)) first, then the next part.  That
    order, not one tree's traversal, defines the bits (they can differ from
    one tree over all points in the last bits); the same parts in the same
    order always give the same bits.  With ``rtol`` each part's sum is within
    rtol of its exact value, so the total is too.  With ``normalize=True``
    part j's normalised value is weighed by its share of the points, n_j / N
    (the sizes are counted on the workers, once per call).  Returns a Dask
    float64 array (n,).
    """
    bandwidth, rtol, normalize = float(bandwidth), float(rtol), bool(normalize)
    _check_log_density(bandwidth, kernel, rtol)
    parts = list(parts)
    dim = _parts_dim(parts)
    q = _query_rows(queries, dim)
    call = _Call(client)
    trees = [call.tree(t) for t in parts]
    sizes = None
    if normalize:
        sizes = dask.delayed(list)([_task(_size_of, "log-density-size", call.token, j, t, dim, call.lease)
                                    for j, t in enumerate(trees)])
    out = []
    for i, (block, m) in enumerate(_query_blocks(call, q)):
        logs = [_task(_log_density_block, "log-density-part", call.token, f"{i}-{j}", t, block, bandwidth, kernel,
                      rtol, normalize, call.lease) for j, t in enumerate(trees)]
        total = _task(_log_add_block, "log-density-sum", call.token, i, sizes, *logs)
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
