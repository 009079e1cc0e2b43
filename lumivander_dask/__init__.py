"""Neighbour queries and kernel density of lumivander trees over Dask arrays.

The tree is sent to every worker once (``client.scatter(tree,
broadcast=True)``; trees pickle with their built structure, so nothing is
rebuilt), and the batch method of the tree runs on each chunk of query rows.
The results are Dask arrays chunked like the queries' rows, equal bit for bit
to one ``query_knn_batch`` / ``query_radius_batch`` / ``kernel_density`` call
on all rows in one process.

For point sets too large for one worker's memory, partition the points, build
one tree per part, query each part and combine the answers with
:func:`merge_knn`.
"""

import dask
import dask.array as da
import numpy as np

import lumivander

__all__ = ["knn", "radius_counts", "kernel_density", "merge_knn"]


def _query_rows(tree, queries):
    """The queries as a Dask array of float64 rows, one chunk across the
    columns; a wrong width fails here, as the batch methods fail."""
    if not isinstance(queries, da.Array):
        if isinstance(queries, lumivander.Array):
            queries = queries.to_numpy()
        queries = da.from_array(np.asarray(queries, dtype=np.float64))
    if queries.ndim != 2:
        raise ValueError("Expected 2D array (n_queries, dim)")
    # An empty query set of the same width: the tree's own check of the width.
    tree.query_knn_batch(np.empty((0, queries.shape[1])), 0)
    return queries.astype(np.float64).rechunk({1: -1})


def _blocks(client, tree, queries):
    queries = _query_rows(tree, queries)
    shared = client.scatter(tree, broadcast=True)
    blocks = queries.to_delayed().ravel()
    return shared, blocks, queries.chunks[0]


def _knn_block(tree, block, k, workers):
    d, r = tree.query_knn_batch(np.ascontiguousarray(block), k, workers=workers)
    return d.to_numpy(), r.to_numpy()


def _count_block(tree, block, radius, workers):
    return tree.query_radius_batch(np.ascontiguousarray(block), radius, count_only=True, workers=workers).to_numpy()


def _density_block(tree, block, bandwidth, kernel):
    if block.shape[0] == 0:
        return np.empty(0)
    v = tree.kernel_density(lumivander.Array.from_numpy(np.ascontiguousarray(block)), bandwidth, kernel)
    return np.array([v]) if isinstance(v, float) else v.to_numpy()


def knn(client, tree, queries, k, workers=None):
    """k nearest neighbours of every query row on the cluster.

    Returns (distances, rows): Dask arrays of shape (n, k), float64 and
    int64, as ``tree.query_knn_batch`` gives them (rows past the tree's size
    padded with distance inf and row n_points).  ``workers`` caps the threads
    each task uses (see ``query_knn_batch``).
    """
    k = int(k)
    if k < 0:
        raise ValueError("k must be non-negative")
    shared, blocks, sizes = _blocks(client, tree, queries)
    dists, rows = [], []
    for block, m in zip(blocks, sizes):
        part = dask.delayed(_knn_block, nout=2, pure=True)(shared, block, k, workers)
        dists.append(da.from_delayed(part[0], shape=(m, k), dtype=np.float64))
        rows.append(da.from_delayed(part[1], shape=(m, k), dtype=np.int64))
    if not dists:
        return da.zeros((0, k), dtype=np.float64), da.zeros((0, k), dtype=np.int64)
    return da.concatenate(dists), da.concatenate(rows)


def radius_counts(client, tree, queries, radius, workers=None):
    """Number of points within ``radius`` of every query row: a Dask int64 array (n,)."""
    radius = float(radius)
    shared, blocks, sizes = _blocks(client, tree, queries)
    parts = [
        da.from_delayed(dask.delayed(_count_block, pure=True)(shared, block, radius, workers), shape=(m,),
                        dtype=np.int64)
        for block, m in zip(blocks, sizes)
    ]
    return da.concatenate(parts) if parts else da.zeros((0,), dtype=np.int64)


def kernel_density(client, tree, queries, bandwidth, kernel="gaussian"):
    """``tree.kernel_density`` at every query row: a Dask float64 array (n,)."""
    bandwidth = float(bandwidth)
    shared, blocks, sizes = _blocks(client, tree, queries)
    parts = [
        da.from_delayed(dask.delayed(_density_block, pure=True)(shared, block, bandwidth, kernel), shape=(m,),
                        dtype=np.float64)
        for block, m in zip(blocks, sizes)
    ]
    return da.concatenate(parts) if parts else da.zeros((0,), dtype=np.float64)


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
