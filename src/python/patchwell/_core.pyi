# Types of the compiled core (src/python/module.cpp); the package
# re-exports its public names.
from typing import Any, Callable, ClassVar, Dict, List, Optional, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

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
    regions: int
    launches: int
    sweeps: int
    elapsed_ms: int

_MAX_RADIUS: int

def version() -> str: ...
def device_info() -> str: ...
def max_image_pixels() -> Optional[int]: ...
def _picture_extensions(*, written: bool = ...) -> List[str]: ...
def get_num_threads() -> int: ...
def _usable_cpus() -> int: ...
def _cuda_usable() -> bool: ...
def _last_run_stats() -> _RunStats: ...

# The entries behind the package's functions, which convert and check their
# arguments: device is "auto", "cpu" or "cuda" (with cuda_device, -1 for the
# first usable one), search_radius None for the whole image, file names are
# bytes in the file system's encoding.
_FileName = Union[str, bytes]

def _inpaint_array(
    image: npt.NDArray[np.uint8],
    mask: npt.NDArray[Union[np.uint8, np.bool_]],
    rad: int,
    method: InpaintMethod,
    verbose: bool,
    *,
    device: str,
    cuda_device: int,
    progress: Optional[Callable[[int], object]],
    search_radius: Optional[int],
    source_mask: Optional[npt.NDArray[Union[np.uint8, np.bool_]]],
    sources: Optional[npt.NDArray[np.int32]] = None,
) -> bool: ...
def _repair_array(
    image: npt.NDArray[np.uint8],
    mask: npt.NDArray[np.bool_],
    rad: int,
    method: InpaintMethod,
    verbose: bool,
    *,
    device: str,
    cuda_device: int,
    progress: Optional[Callable[[float], object]],
    search_radius: Optional[int],
    source_mask: Optional[npt.NDArray[np.bool_]],
    sources: Optional[npt.NDArray[np.int32]] = None,
    targets: Optional[npt.NDArray[np.bool_]] = None,
) -> bool: ...
def _inpaint_file(
    image_file: _FileName,
    mask_file: Optional[_FileName],
    out_file: Optional[_FileName],
    rad: int,
    method: InpaintMethod,
    verbose: bool,
    *,
    device: str,
    cuda_device: int,
    progress: Optional[Callable[[int], object]],
    search_radius: Optional[int],
    source_mask: Optional[_FileName],
    quality: int,
) -> Tuple[bool, int, int, int]: ...

class _FileOutcome(TypedDict):
    status: str
    message: bytes  # the record's words, in the file system's encoding
    holes: int
    unfilled: int
    no_source: int
    problem: str
    reason: str  # why a reader refused an input; '' when not known
    error: str
    size: Tuple[int, int]
    mask_size: Tuple[int, int]
    orientation: int  # the image's EXIF orientation, 1 to 8
    declared_size: Tuple[int, int]  # of a file refused as too large

def _repair_file(
    image_file: _FileName,
    mask_file: _FileName,
    out_file: _FileName,
    rad: int,
    method: int,
    *,
    device: str = "auto",
    cuda_device: int = -1,
    search_radius: Optional[int] = None,
    source_mask: Optional[_FileName] = None,
    overwrite: bool = False,
    quality: int = 80,
    default_search_radius: bool = False,
    find: int = 0,
) -> _FileOutcome: ...

def _copy_from_sources(image: npt.NDArray[Any], sources: npt.NDArray[np.int32]) -> None: ...

def _no_source_reason(radius: int, search_radius: Optional[int], source_mask: bool,
                      causes: int) -> str: ...
def _no_source_causes(unfilled: npt.NDArray[np.bool_], radius: int, method: InpaintMethod,
                      search_radius: Optional[int],
                      source_mask: Optional[npt.NDArray[np.bool_]]) -> int: ...
def _search_radius_problem(radius: int, search_radius: Optional[int]) -> Optional[str]: ...


class _Forecast(TypedDict):
    targets: int
    pairs: int
    seconds: float

def _forecast(mask: npt.NDArray[np.uint8], radius: int, method: int,
              search_radius: Optional[int], cuda: bool,
              targets: Optional[npt.NDArray[np.uint8]] = None) -> _Forecast: ...

_METHOD_AUTO: int
def _auto_radius_problem(radius: int) -> Optional[str]: ...
def _default_search_radius(mask: npt.NDArray[np.uint8],
                           targets: Optional[npt.NDArray[np.uint8]], radius: int) -> int: ...
def _hole_part(mask: npt.NDArray[np.bool_]) -> npt.NDArray[np.bool_]: ...
def _smooth_fill(picture: npt.NDArray[Any], fill: npt.NDArray[np.bool_],
                 blocked: Optional[npt.NDArray[np.bool_]] = None) -> int: ...

_MAX_THREADS: int
def _set_num_threads(threads: int) -> None: ...
def _thread_override() -> Optional[int]: ...
def _thread_variable() -> Optional[int]: ...
def _set_max_image_pixels(pixels: Optional[int]) -> None: ...

_FIND_DUST: int
_FIND_SCRATCHES: int
_FIND_INFRARED: int

def _find_damage(image: npt.NDArray[Any], infrared: Optional[npt.NDArray[Any]], kinds: int, *,
                 sensitivity: float, max_speck: int, max_width: int, min_length: int,
                 dilation: int, infrared_dilation: int) -> npt.NDArray[np.bool_]: ...

# The model trainers' view of the finders (bench/train_*_model.py).
def _speck_features(image: npt.NDArray[Any]) -> npt.NDArray[np.float32]: ...
def _dust_regions(image: npt.NDArray[Any], max_speck: int = 15
                  ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int32]]: ...
def _line_runs(image: npt.NDArray[Any], max_width: int = 4, min_length: int = 15,
               sensitivity: float = 1.0) -> tuple[npt.NDArray[np.float32],
                                                  npt.NDArray[np.int32]]: ...
