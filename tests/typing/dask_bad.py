"""Wrong calls of the Dask helper that `mypy --strict` must reject (one per marked line)."""
from distributed import Client

import lumivander as lv
import lumivander_dask as lvd


def wrong(client: Client, tree: lv.KDTree) -> None:
    lvd.knn(client, tree, [[0.0, 0.0]], "3")  # E: arg-type
    lvd.scatter_tree(client, [1.0, 2.0])  # E: arg-type
    handle = lvd.scatter_tree(client, tree)
    handle.dim = 3  # E: misc
    lvd.kernel_density_partitioned(client, tree, [[0.0, 0.0]], 0.1)  # E: arg-type
    n: int = lvd.radius_counts(client, tree, [[0.0, 0.0]], 0.1)  # E: assignment
