"""Typed use of the Dask helper: must pass `mypy --strict` against its stub
(type-checked only; the cluster tests run the same calls)."""
import dask.array as da
import numpy as np
import numpy.typing as npt
from distributed import Client

import lumivander as lv
import lumivander_dask as lvd


def densities(
    client: Client, tree: lv.KDTree, queries: npt.NDArray[np.float64], chunked: da.Array
) -> npt.NDArray[np.float64]:
    with lvd.scatter_tree(client, tree) as handle:
        dim: int = handle.dim
        dist, rows = lvd.knn(client, handle, chunked, 3, workers=1)
        counts: da.Array = lvd.radius_counts(client, handle, queries, 0.1)
        dens = lvd.kernel_density(client, handle, queries, 0.2, kernel="epanechnikov")
        d, r, c, k = lvd.gather(client, dist, rows, counts, dens)
    parts = [(tree, 0, len(queries))]
    pd, pr = lvd.knn_partitioned(client, parts, queries, 2)
    total: da.Array = lvd.kernel_density_partitioned(client, [tree, tree], queries, 0.2)
    md, mr = lvd.merge_knn([(d, r, 0, 100)], 2)
    row: npt.NDArray[np.int64] = mr
    print(dim, pd.shape, pr.shape, total.shape, md.shape, row.shape, c.shape)
    return k
