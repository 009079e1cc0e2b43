from collections.abc import Sequence
from types import TracebackType
from typing import Any, SupportsFloat, SupportsIndex

import dask.array as da
import numpy as np
import numpy.typing as npt
from distributed import Client

from lumivander import Array
from lumivander.spatial import BallTree, KDTree, VPTree

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

_Tree = KDTree | BallTree | VPTree
# Query rows: a Dask array chunked by rows, or rows held in this process.
_Queries = da.Array | Array | npt.ArrayLike
# One (distances, rows) answer of query_knn_batch, as NumPy or library buffers.
_Answer = Any

class TreeHandle:
    @property
    def client(self) -> Client: ...
    @property
    def key(self) -> str: ...
    @property
    def dim(self) -> int: ...
    @property
    def broadcast(self) -> bool: ...
    @property
    def released(self) -> bool: ...
    def release(self) -> None: ...
    def __enter__(self) -> TreeHandle: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None: ...

def scatter_tree(client: Client, tree: _Tree, broadcast: bool = True) -> TreeHandle: ...
def knn(
    client: Client, tree: _Tree | TreeHandle, queries: _Queries, k: SupportsIndex, workers: SupportsIndex | None = None
) -> tuple[da.Array, da.Array]: ...
def radius_counts(
    client: Client,
    tree: _Tree | TreeHandle,
    queries: _Queries,
    radius: SupportsFloat,
    workers: SupportsIndex | None = None,
) -> da.Array: ...
def kernel_density(
    client: Client,
    tree: _Tree | TreeHandle,
    queries: _Queries,
    bandwidth: SupportsFloat,
    kernel: str | None = "gaussian",
) -> da.Array: ...
def knn_partitioned(
    client: Client,
    parts: Sequence[tuple[_Tree | TreeHandle, SupportsIndex, SupportsIndex]],
    queries: _Queries,
    k: SupportsIndex,
    workers: SupportsIndex | None = None,
) -> tuple[da.Array, da.Array]: ...
def kernel_density_partitioned(
    client: Client,
    parts: Sequence[_Tree | TreeHandle],
    queries: _Queries,
    bandwidth: SupportsFloat,
    kernel: str | None = "gaussian",
) -> da.Array: ...
def log_density(
    client: Client,
    tree: _Tree | TreeHandle,
    queries: _Queries,
    bandwidth: SupportsFloat,
    kernel: str | None = "gaussian",
    *,
    rtol: SupportsFloat = 0.0,
    normalize: bool = False,
) -> da.Array: ...
def log_density_partitioned(
    client: Client,
    parts: Sequence[_Tree | TreeHandle],
    queries: _Queries,
    bandwidth: SupportsFloat,
    kernel: str | None = "gaussian",
    *,
    rtol: SupportsFloat = 0.0,
    normalize: bool = False,
) -> da.Array: ...
def merge_knn(
    parts: Sequence[tuple[_Answer, _Answer, SupportsIndex, SupportsIndex]], k: SupportsIndex
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
def gather(client: Client, *arrays: da.Array) -> list[npt.NDArray[Any]]: ...
