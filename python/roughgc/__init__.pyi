from os import PathLike
from typing import Literal, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str
backend: Literal["cpu", "cuda"]

_Path = Union[str, bytes, PathLike]
_Order = Literal["bgr", "rgb", "BGR", "RGB"]

class DeviceError(RuntimeError):
    call: str
    file: str
    line: int
    code: int
    reason: str
    out_of_memory: bool

class Result:
    @property
    def map(self) -> npt.NDArray[np.uint8]: ...
    @property
    def quantile_index(self) -> int: ...
    @property
    def threshold(self) -> float: ...
    @property
    def coarse_boxes(self) -> int: ...
    @property
    def fine_boxes(self) -> int: ...
    @property
    def dimension(self) -> float: ...
    @property
    def passes(self) -> int: ...
    @property
    def converged(self) -> bool: ...

class Extractor:
    def __init__(self, device: int = 0) -> None: ...
    @property
    def device(self) -> int: ...
    def extract(
        self,
        image: npt.ArrayLike,
        *,
        window: int = 7,
        dimension: float = 1.7,
        tolerance: float = 0.1,
        order: _Order = "bgr",
    ) -> Result: ...
    def extract_file(
        self,
        path: _Path,
        *,
        window: int = 7,
        dimension: float = 1.7,
        tolerance: float = 0.1,
    ) -> Result: ...
    @property
    def photo_size(self) -> Optional[Tuple[int, int]]: ...

def rough_contours(
    image: npt.ArrayLike,
    *,
    window: int = 7,
    dimension: float = 1.7,
    tolerance: float = 0.1,
    order: _Order = "bgr",
    device: int = 0,
) -> Result: ...
def read_photo(path: _Path, out: Optional[npt.NDArray[np.uint8]] = None) -> npt.NDArray[np.uint8]: ...
def write_map(path: _Path, map: npt.ArrayLike) -> None: ...
def overlay(
    photo: npt.ArrayLike,
    result: Result,
    color: Optional[Sequence[int]] = None,
    *,
    order: _Order = "bgr",
) -> npt.NDArray[np.uint8]: ...
def histogram(
    values: npt.ArrayLike, bins: int, lower: float, upper: float, *, device: int = 0
) -> Tuple[npt.NDArray[np.int32], int]: ...
def fine_contours(
    photo: npt.ArrayLike,
    rough_cells: npt.ArrayLike,
    filter_p: npt.ArrayLike,
    filter_q: npt.ArrayLike,
    filter_r: npt.ArrayLike,
    marks: Optional[npt.ArrayLike] = None,
    *,
    order: _Order = "bgr",
    device: int = 0,
) -> npt.NDArray[np.float32]: ...
