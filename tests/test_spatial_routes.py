"""Every fast route of the spatial engine against its reference route.

LUMIVANDER_SPATIAL=reference sends every query and density through the plain
visit over the full nodes, point by point into the plain result sets.  The
answers of the default build (k-d split nodes, compact ball and VP nodes,
sorted small-k candidates, the batch's switch between them, paired leaf
scans, fixed-dimension policies, the density's joined runs, interleaved
Gaussian rows, leaf tables and pruning cuts) must match them bit for bit on
data that stresses each: every kind and metric, dimensions 1 to 5 and 30,
ties, NaN and infinities, leaf sizes from 1 to past the point count, k past
the small-k limit and past the point count.  A new fast path joins this
test by being taken on this data.

Run as a script, the module prints the digests of its answers."""
import hashlib
import os
import pickle
import subprocess
import sys

import numpy as np

import lumivander as lv
from spatial_oracle import KINDS, METRICS, build_tree

# A random vantage point selection builds another tree in another process.
KINDS = [kind for kind in KINDS if kind[0] != "vp-random"]

DIMS = [1, 2, 3, 4, 5, 30]
LEAVES = [1, 24, 200]  # 24: the compact copies fit even in one dimension
KS = [1, 5, 16, 17, 150]  # 16 is the sorted candidates' limit; 150 > n_points
RADII = [0.0, 0.2, 0.6, float("inf"), -1.0]


def point_set(kind, dim, rng):
    n = 120
    if kind == "ties":  # many equal distances
        return rng.integers(0, 3, (n, dim)).astype(float)
    X = rng.random((n, dim))
    if kind == "naninf":
        m = rng.random((n, dim))
        X[m < 0.06] = np.nan
        X[(m > 0.06) & (m < 0.09)] = np.inf
        X[(m > 0.09) & (m < 0.11)] = -np.inf
    return X


def as_bytes(value):
    """An answer's bits, every NaN as one: which NaN a sum of NaNs gives may
    differ between instruction-set levels, and so between routes."""
    if isinstance(value, tuple):
        return b"".join(map(as_bytes, value))
    if isinstance(value, float):
        value = lv.Array([1], [value])
    if hasattr(value, "to_numpy"):
        a = np.asarray(value.to_numpy())
        return np.where(np.isnan(a), np.nan, a).tobytes() if a.dtype.kind == "f" else a.tobytes()
    return repr(value).encode()


def digest(value):
    return hashlib.sha1(as_bytes(value)).hexdigest()[:16]


def answers():
    out = {}
    rng = np.random.default_rng(5)
    for data in ["uniform", "ties", "naninf"]:
        for dim in DIMS:
            X = point_set(data, dim, rng)
            Q = np.concatenate([rng.random((30, dim)) * 1.2 - 0.1, X[:8], point_set(data, dim, rng)[:26]])
            Qa = lv.Array.from_numpy(Q)
            rows = [list(map(float, q)) for q in Q[:12]]
            for kid, cls, extra in KINDS:
                for metric in METRICS:
                    for leaf in LEAVES:
                        key = (data, dim, kid, metric, leaf)
                        try:
                            t = build_tree(cls, X, leaf, metric, extra)
                        except ValueError as e:  # a split on NaN
                            out[key] = str(e)
                            continue
                        for k in KS:
                            out[key + ("knn", k)] = digest([t.query_knn(q, k) for q in rows])
                            out[key + ("knn batch", k)] = digest(t.query_knn_batch(Qa, k))
                        for r in RADII:
                            out[key + ("radius", r)] = digest([t.query_radius(q, r) for q in rows])
                            out[key + ("radius batch", r)] = digest(t.query_radius_batch(Qa, r))
                            out[key + ("count", r)] = digest(t.query_radius_batch(Qa, r, count_only=True))
                        if dim > 5 or leaf == 200:
                            continue
                        for kernel, h in [("gaussian", 0.3), ("gaussian", 0.05), ("epanechnikov", 0.4),
                                          ("uniform", 0.4), ("triangular", 0.4)]:
                            out[key + ("kde", kernel, h)] = digest(t.kernel_density(Qa, h, kernel))
                            out[key + ("kde one", kernel, h)] = digest(t.kernel_density(rows[0], h, kernel))
                            out[key + ("kde self", kernel, h)] = digest(t.kernel_density(None, h, kernel))
                            out[key + ("kde approx", kernel, h)] = digest(
                                t.kernel_density_approx(Qa, h, kernel, "combined", 3, 0.5))
    # One larger set, so that batches run on the pool in curve order.
    X = rng.random((6000, 3))
    Xa, Qa = lv.Array.from_numpy(X), lv.Array.from_numpy(rng.random((3000, 3)))
    for kid, cls, extra in KINDS:
        t = build_tree(cls, X, 8, "euclidean", extra)
        out[("large", kid, "knn")] = digest(t.query_knn_batch(Qa, 7))
        out[("large", kid, "radius")] = digest(t.query_radius_batch(Qa, 0.03))
        out[("large", kid, "kde")] = digest(t.kernel_density(Xa, 0.02))
    return out


def test_fast_routes_match_the_reference_route():
    # The child imports what this process imported, from the same places.
    env = dict(os.environ, LUMIVANDER_SPATIAL="reference", PYTHONPATH=os.pathsep.join(p or "." for p in sys.path))
    res = subprocess.run([sys.executable, os.path.abspath(__file__)], env=env, capture_output=True, timeout=600)
    assert res.returncode == 0, res.stderr.decode()
    reference = pickle.loads(res.stdout)
    fast = answers()
    assert fast.keys() == reference.keys()
    differ = [k for k in fast if fast[k] != reference[k]]
    assert not differ, f"{len(differ)} answers differ from the reference route, e.g. {differ[:5]}"


if __name__ == "__main__":
    sys.stdout.buffer.write(pickle.dumps(answers()))
