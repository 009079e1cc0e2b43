"""The brute-force oracle of the spatial tests: point sets, metrics, kernels,
leaf sizes, distances and densities computed point by point with NumPy, and
the checks every tree answer is held to.  Shared by test_spatial.py,
test_spatial_batch.py, test_density.py and test_pickle.py."""
import struct

import numpy as np

import lumivander as lv

sp = lv.spatial
METRICS = ["euclidean", "manhattan", "chebyshev"]
KERNELS = ["gaussian", "epanechnikov", "uniform", "triangular"]
LEAF_SIZES = [0, 1, 2, 5, 20]
# (id, class name, extra from_array arguments)
KINDS = [
    ("kd", "KDTree", ()),
    ("ball", "BallTree", ()),
    ("vp-first", "VPTree", ("first",)),
    ("vp-random", "VPTree", ("random",)),
]


def build_tree(cls_name, X, leaf_size=20, metric="euclidean", extra=()):
    cls = getattr(sp, cls_name)
    arr = lv.Array.from_numpy(np.ascontiguousarray(X, dtype=np.float64))
    return cls.from_array(arr, leaf_size, metric, *extra)


def distances(points, queries, metric):
    """Distances from each query row to each point, summed coordinate by
    coordinate from 0 upward as the trees do (Chebyshev passes over NaN
    differences); shape (n_queries, n_points)."""
    points = np.asarray(points, dtype=float)
    queries = np.atleast_2d(np.asarray(queries, dtype=float))
    acc = np.zeros((len(queries), len(points)))
    with np.errstate(all="ignore"):
        for i in range(points.shape[1]):
            d = np.abs(queries[:, i, None] - points[None, :, i])
            if metric == "euclidean":
                acc = acc + d * d
            elif metric == "manhattan":
                acc = acc + d
            else:
                acc = np.where(d > acc, d, acc)
        return np.sqrt(acc) if metric == "euclidean" else acc


def kernel_values(u, kernel):
    with np.errstate(all="ignore"):
        if kernel == "gaussian":
            return np.exp(-0.5 * u * u)
        if kernel == "epanechnikov":
            return np.where(u < 1, 0.75 * (1 - u * u), 0.0)
        if kernel == "uniform":
            return np.where(u < 1, 0.5, 0.0)
        return np.where(u < 1, 1 - u, 0.0)


def brute_density(points, queries, metric, kernel, h):
    with np.errstate(all="ignore"):
        return kernel_values(distances(points, queries, metric) / h, kernel).sum(-1)


def assert_density_matches(got, want, n):
    """Exact up to the pruned tail: every skipped point contributes < 1e-10."""
    got = np.asarray(got, dtype=float)
    assert got.shape == want.shape
    assert np.array_equal(np.isnan(got), np.isnan(want))
    ok = ~np.isnan(want)
    assert np.all(np.abs(got[ok] - want[ok]) <= n * 1e-10 + 1e-12 * np.abs(want[ok]))


def check_knn(rows, D, k):
    """rows: a kNN answer; D: the distances of every point to the query."""
    assert all(type(r) is int for r in rows)
    assert len(rows) == min(k, len(D)) and len(set(rows)) == len(rows)
    key = np.where(np.isnan(D), np.inf, D)
    # Nearest first, and the same distances as the k smallest.
    assert np.all(key[rows][:-1] <= key[rows][1:])
    np.testing.assert_array_equal(np.sort(key)[: len(rows)], key[rows])
    return D[rows]


def check_radius(rows, D, r):
    assert sorted(rows) == np.nonzero(D <= r)[0].tolist()


def point_sets():
    """Named point sets: ordinary clouds, duplicates, a 1-D line, a high
    dimension, and the traps (NaN coordinates, infinities, values near the
    largest double)."""
    rng = np.random.default_rng(7)
    centres = rng.random((4, 3)) * 10
    g = np.arange(6.0)
    nan = rng.random((120, 3))
    nan[rng.choice(120, 15, replace=False), 1] = np.nan
    inf = rng.random((100, 2))
    inf[3, 0] = np.inf
    inf[50, 1] = -np.inf
    return {
        "uniform": rng.random((150, 3)),
        "clustered": centres[rng.integers(0, 4, 160)] + rng.normal(scale=0.05, size=(160, 3)),
        "duplicates": rng.integers(0, 3, (140, 2)).astype(float),
        "grid": np.array(np.meshgrid(g, g, g)).reshape(3, -1).T.copy(),
        "line": np.sort(rng.integers(0, 40, 120)).astype(float)[:, None],
        "high-dim": rng.normal(size=(90, 16)),
        "nan": nan,
        "inf": inf,
        "huge": rng.random((90, 2)) * 1e308,
    }


def queries_for(X, rng, with_nan=True):
    """Points of the set, points near it and outside it, and (with_nan) a
    query with a NaN coordinate."""
    n, dim = X.shape
    finite = np.where(np.isfinite(X), X, 0.0)
    lo, hi = finite.min(0), finite.max(0)
    with np.errstate(over="ignore"):
        span = hi - lo
        Q = [X[0], X[n // 2], (finite / n).sum(axis=0), lo - 0.2 * span + 1.4 * span * rng.random(dim),
             lo + span * rng.random(dim)]
    if with_nan:
        q = lo + span * rng.random(dim)
        q[0] = np.nan
        Q.append(q)
    return np.array(Q)


# ---------------------------------------------------------------------------
# The checksum of saved trees (XXH64, seed 0), to reseal bytes after an edit.

_P1, _P2, _P3, _P4, _P5 = (0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9, 0x85EBCA77C2B2AE63,
                           0x27D4EB2F165667C5)
_M = (1 << 64) - 1


def _rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & _M


def _lane(acc, v):
    return (_rotl((acc + v * _P2) & _M, 31) * _P1) & _M


def xxh64(data):
    data = bytes(data)
    n, p = len(data), 0
    if n >= 32:
        v = [(_P1 + _P2) & _M, _P2, 0, (-_P1) & _M]
        while p + 32 <= n:
            for j in range(4):
                v[j] = _lane(v[j], struct.unpack_from("<Q", data, p + 8 * j)[0])
            p += 32
        h = (_rotl(v[0], 1) + _rotl(v[1], 7) + _rotl(v[2], 12) + _rotl(v[3], 18)) & _M
        for x in v:
            h = ((h ^ _lane(0, x)) * _P1 + _P4) & _M
    else:
        h = _P5
    h = (h + n) & _M
    while p + 8 <= n:
        h = (_rotl(h ^ _lane(0, struct.unpack_from("<Q", data, p)[0]), 27) * _P1 + _P4) & _M
        p += 8
    if p + 4 <= n:
        h = (_rotl(h ^ (struct.unpack_from("<I", data, p)[0] * _P1 & _M), 23) * _P2 + _P3) & _M
        p += 4
    while p < n:
        h = (_rotl(h ^ (data[p] * _P5 & _M), 11) * _P1) & _M
        p += 1
    h ^= h >> 33
    h = h * _P2 & _M
    h ^= h >> 29
    h = h * _P3 & _M
    h ^= h >> 32
    return h


def reseal(data):
    """The saved-tree bytes with their checksum recomputed after an edit."""
    data = bytearray(data)
    data[-8:] = struct.pack("<Q", xxh64(data[:-8]))
    return bytes(data)
