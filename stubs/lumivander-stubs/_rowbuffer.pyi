# The int64 results of the batch neighbour queries (RowBuffer).  Not a
# module attribute: instances come only from query_knn_batch and
# query_radius_batch.  Read-only, C-contiguous, buffer format "q":
# numpy.asarray(buf) views it as an int64 array of `shape` without a copy.
from typing import Any, final

import numpy as np
import numpy.typing as npt

@final
class RowBuffer:
    @property
    def shape(self) -> list[int]: ...
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def tolist(self) -> list[Any]: ...
    def to_numpy(self) -> npt.NDArray[np.int64]: ...
