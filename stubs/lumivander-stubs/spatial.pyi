from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, final

import numpy.typing as npt

from . import Array

__all__ = ["BallTree", "KDTree", "VPTree"]

_Float = SupportsFloat | SupportsIndex
# One query point: a number, a flat sequence of numbers (a 1-D NumPy array
# too), or an Array of any shape read in row-major order.
_Query = _Float | Sequence[_Float] | Array | npt.NDArray[Any]

# The classes have no constructor: build them with from_array.
@final
class KDTree:
    @staticmethod
    def from_array(array: Array, leaf_size: SupportsIndex | None = 20, metric: str | None = "euclidean") -> KDTree: ...
    def query_knn(self, query: _Query, k: SupportsIndex) -> list[int]: ...
    def query_radius(self, query: _Query, radius: _Float) -> list[int]: ...

@final
class BallTree:
    @staticmethod
    def from_array(
        array: Array, leaf_size: SupportsIndex | None = 20, metric: str | None = "euclidean"
    ) -> BallTree: ...
    def query_knn(self, query: _Query, k: SupportsIndex) -> list[int]: ...
    def query_radius(self, query: _Query, radius: _Float) -> list[int]: ...

@final
class VPTree:
    @staticmethod
    def from_array(
        array: Array,
        leaf_size: SupportsIndex | None = 20,
        metric: str | None = "euclidean",
        selection: str | None = "first",
    ) -> VPTree: ...
    def query_knn(self, query: _Query, k: SupportsIndex) -> list[int]: ...
    def query_radius(self, query: _Query, radius: _Float) -> list[int]: ...
