"""Raster images of eleven file formats to and from numpy arrays."""

import os
from typing import Any, Iterator, Literal, Optional, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

__version__: str

Source = Union[str, os.PathLike[str], bytes, bytearray, memoryview]
Path = Union[str, os.PathLike[str]]
Mode = Optional[Literal["rgb", "RGB", "L", "uint8", "int8", "int16", "float64"]]

class Error(Exception):
    code: int
    message: str
    def __init__(self, code: int, message: str) -> None: ...

class Info(TypedDict):
    format: str
    width: int
    height: int
    images: int
    coding: int
    palette_size: int
    dtype: np.dtype[Any]
    shape: Tuple[int, ...]

class Format(TypedDict):
    name: str
    id: int
    extensions: list[str]
    read: bool
    write: bool
    multi_image: bool
    codings: list[int]

def imread(source: Source, index: int = 0, mode: Mode = None) -> npt.NDArray[Any]: ...
def imwrite(
    target: Path,
    array: npt.ArrayLike,
    format: Optional[str] = None,
    coding: Optional[int] = None,
    palette: Optional[npt.ArrayLike] = None,
    *,
    quality: int = ...,
    rle: bool = ...,
    interlace: bool = ...,
    name: str = ...,
    mask: str = ...,
) -> None: ...
def imencode(
    array: npt.ArrayLike,
    format: str,
    coding: Optional[int] = None,
    palette: Optional[npt.ArrayLike] = None,
    *,
    quality: int = ...,
    rle: bool = ...,
    interlace: bool = ...,
    name: str = ...,
) -> bytes: ...
def info(source: Source) -> Info: ...
def formats() -> list[Format]: ...

class Ensemble:
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> npt.NDArray[Any]: ...
    def __setitem__(self, index: int, array: npt.ArrayLike) -> None: ...
    def __iter__(self) -> Iterator[npt.NDArray[Any]]: ...
    def read(self, index: int = 0, mode: Mode = None) -> npt.NDArray[Any]: ...
    def write(self, index: int, array: npt.ArrayLike, palette: Optional[npt.ArrayLike] = None) -> None: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def format(self) -> str: ...
    @property
    def size(self) -> Tuple[int, int]: ...
    @property
    def coding(self) -> int: ...
    @property
    def palette(self) -> Optional[npt.NDArray[np.uint8]]: ...
    def __enter__(self) -> "Ensemble": ...
    def __exit__(self, *args: object) -> None: ...

def open(
    source: Source,
    mode: Literal["r", "w"] = "r",
    format: Optional[str] = None,
    coding: Optional[int] = None,
    size: Optional[Tuple[int, int]] = None,
    count: int = 1,
    *,
    quality: int = ...,
    rle: bool = ...,
    interlace: bool = ...,
    name: str = ...,
    mask: str = ...,
) -> Ensemble: ...
