# Types of the compiled core (src/python/module.cpp); the package
# re-exports every name.
import os
from typing import Callable, ClassVar, Dict, Optional, SupportsIndex, Tuple, TypedDict, Union, overload

import numpy as np
import numpy.typing as npt

_Path = Union[str, "os.PathLike[str]"]
_Progress = Optional[Callable[[int], object]]

class InpaintMethod:
    InpaintCPU: ClassVar[InpaintMethod]
    InpaintGPU: ClassVar[InpaintMethod]
    InpaintGPUfast: ClassVar[InpaintMethod]
    __members__: ClassVar[Dict[str, InpaintMethod]]
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

InpaintCPU: InpaintMethod
InpaintGPU: InpaintMethod
InpaintGPUfast: InpaintMethod

__version__: str

class _RunStats(TypedDict):
    device: str
    targets: int
    no_source: int
    passes: int
    elapsed_ms: int

def version() -> str: ...
def device_info() -> str: ...
def set_max_image_pixels(pixels: Optional[SupportsIndex]) -> None: ...
def max_image_pixels() -> Optional[int]: ...
def _last_run_stats() -> _RunStats: ...
def inpaint(
    image_file: npt.NDArray[np.uint8],
    mask_file: npt.ArrayLike,
    rad: SupportsIndex,
    method: InpaintMethod,
    verbose: bool = False,
    *,
    device: str = "auto",
    progress: _Progress = None,
    search_radius: Optional[SupportsIndex] = None,
    source_mask: Optional[npt.NDArray[Union[np.bool_, np.uint8]]] = None,
) -> bool: ...

# rad and method have no default although out_file has one: they come
# positionally after out_file, or by keyword.
@overload
def inpaint_file(
    image_file: _Path,
    mask_file: Optional[_Path],
    out_file: Optional[_Path],
    rad: SupportsIndex,
    method: InpaintMethod,
    verbose: bool = False,
    *,
    device: str = "auto",
    progress: _Progress = None,
    search_radius: Optional[SupportsIndex] = None,
    source_mask: Optional[_Path] = None,
    quality: SupportsIndex = 80,
) -> bool: ...
@overload
def inpaint_file(
    image_file: _Path,
    mask_file: Optional[_Path],
    *,
    out_file: Optional[_Path] = None,
    rad: SupportsIndex,
    method: InpaintMethod,
    verbose: bool = False,
    device: str = "auto",
    progress: _Progress = None,
    search_radius: Optional[SupportsIndex] = None,
    source_mask: Optional[_Path] = None,
    quality: SupportsIndex = 80,
) -> bool: ...

def set_num_threads(threads: Optional[SupportsIndex]) -> None: ...
def get_num_threads() -> int: ...
def _thread_override() -> Optional[int]: ...

class _FileOutcome(TypedDict):
    status: str
    holes: int
    unfilled: int
    no_source: int
    problem: str
    error: str
    size: Tuple[int, int]
    mask_size: Tuple[int, int]
    declared_size: Tuple[int, int]  # of a file refused as too large

def _repair_file(
    image_file: _Path,
    mask_file: _Path,
    out_file: _Path,
    rad: SupportsIndex,
    method: InpaintMethod,
    *,
    device: str = "auto",
    search_radius: Optional[SupportsIndex] = None,
    source_mask: Optional[_Path] = None,
    overwrite: bool = False,
    quality: SupportsIndex = 80,
) -> _FileOutcome: ...

def _repair_array(
    image: npt.NDArray[np.uint8],
    mask: npt.NDArray[np.bool_],
    rad: SupportsIndex,
    method: InpaintMethod,
    verbose: bool = False,
    *,
    device: str = "auto",
    progress: Optional[Callable[[float], object]] = None,
    search_radius: Optional[SupportsIndex] = None,
    source_mask: Optional[npt.NDArray[np.bool_]] = None,
    sources: Optional[npt.NDArray[np.int32]] = None,
) -> bool: ...

def _copy_from_sources(image: npt.NDArray[Any], sources: npt.NDArray[np.int32]) -> None: ...

def _no_source_reason(radius: int, search_radius: int, source_mask: bool) -> str: ...

class _Forecast(TypedDict):
    targets: int
    pairs: int
    seconds: float

def _forecast(mask: npt.NDArray[np.uint8], radius: int, method: int,
              search_radius: int, cuda: bool) -> _Forecast: ...
