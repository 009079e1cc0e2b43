from collections.abc import Sequence
from typing import Any, Literal, Self, SupportsFloat, SupportsIndex, final, overload

import numpy.typing as npt

from . import Array
from ._rowbuffer import RowBuffer as _RowBuffer

__all__ = ["BallTree", "KDTree", "VPTree"]

_Float = SupportsFloat | SupportsIndex
# One query point: a number, a flat sequence of numbers (a 1-D NumPy array
# too), or an Array of any shape read in row-major order.
_Query = _Float | Sequence[_Float] | Array | npt.NDArray[Any]
# Query points of the density methods.  A number or a flat sequence (a 1-D
# NumPy array too) is one point and gives a float.  An Array gives one density
# per row (a 1-D Array is one row) and None the density at each of the tree's
# own points: an Array of them, but a float when there is exactly one, so
# those forms type as the union.
_OnePoint = _Float | Sequence[_Float] | npt.NDArray[Any]
_Points = Array | None
# Query rows of the batch methods: a 2-D Array, or a 2-D float64 buffer (a
# NumPy array of any strides).
_QueryRows = Array | npt.NDArray[Any] | memoryview

# The classes have no constructor: build them with from_array.  Pickles and
# copies keep the built structure; loading does not rebuild.

# The methods the three classes share (a name of the stubs only).
class _SpatialTree:
    @property
    def dim(self) -> int: ...
    def query_knn(self, query: _Query, k: SupportsIndex) -> list[int]: ...
    def query_radius(self, query: _Query, radius: _Float) -> list[int]: ...
    def query_knn_batch(
        self, queries: _QueryRows, k: SupportsIndex, workers: SupportsIndex | None = None
    ) -> tuple[Array, _RowBuffer]: ...
    @overload
    def query_radius_batch(
        self, queries: _QueryRows, radius: _Float, count_only: Literal[False] = False,
        workers: SupportsIndex | None = None,
    ) -> tuple[_RowBuffer, _RowBuffer]: ...
    @overload
    def query_radius_batch(
        self, queries: _QueryRows, radius: _Float, count_only: Literal[True], workers: SupportsIndex | None = None
    ) -> _RowBuffer: ...
    @overload
    def query_radius_batch(
        self, queries: _QueryRows, radius: _Float, count_only: bool, workers: SupportsIndex | None = None
    ) -> tuple[_RowBuffer, _RowBuffer] | _RowBuffer: ...
    @overload
    def kernel_density(
        self, queries: _OnePoint, bandwidth: _Float | None = 1.0, kernel: str | None = "gaussian"
    ) -> float: ...
    @overload
    def kernel_density(
        self, queries: _Points = None, bandwidth: _Float | None = 1.0, kernel: str | None = "gaussian"
    ) -> float | Array: ...
    @overload
    def kernel_density_approx(
        self,
        queries: _OnePoint,
        bandwidth: _Float | None = 1.0,
        kernel: str | None = "gaussian",
        criterion: str | None = "none",
        min_samples: SupportsIndex | None = None,
        max_span: _Float | None = None,
    ) -> float: ...
    @overload
    def kernel_density_approx(
        self,
        queries: _Points = None,
        bandwidth: _Float | None = 1.0,
        kernel: str | None = "gaussian",
        criterion: str | None = "none",
        min_samples: SupportsIndex | None = None,
        max_span: _Float | None = None,
    ) -> float | Array: ...
    # Outside the specified surface: log of the kernel sum over every point
    # (no cut-off), rtol a guaranteed relative error, normalize divides by
    # n * bandwidth**dim * (the kernel's integral).
    @overload
    def log_density(
        self,
        queries: _OnePoint,
        bandwidth: _Float,
        kernel: str | None = "gaussian",
        *,
        rtol: _Float = 0.0,
        normalize: bool = False,
    ) -> float: ...
    @overload
    def log_density(
        self,
        queries: _Points,
        bandwidth: _Float,
        kernel: str | None = "gaussian",
        *,
        rtol: _Float = 0.0,
        normalize: bool = False,
    ) -> float | Array: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: Any) -> Self: ...

@final
class KDTree(_SpatialTree):
    @staticmethod
    def from_array(
        array: Array,
        leaf_size: SupportsIndex | None = 20,
        metric: str | None = "euclidean",
    ) -> KDTree: ...

@final
class BallTree(_SpatialTree):
    @staticmethod
    def from_array(
        array: Array,
        leaf_size: SupportsIndex | None = 20,
        metric: str | None = "euclidean",
    ) -> BallTree: ...

@final
class VPTree(_SpatialTree):
    @staticmethod
    def from_array(
        array: Array,
        leaf_size: SupportsIndex | None = 20,
        metric: str | None = "euclidean",
        selection: str | None = "first",
    ) -> VPTree: ...
