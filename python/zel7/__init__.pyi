import os
from typing import Literal, TypedDict, Unpack, overload

import numpy
import numpy.typing

Background = Literal["white", "black", "auto"]
Format = Literal["png", "bmp", "jpeg", "webp"]
# Paths as the os module takes them: text or bytes, or an object naming either.
StrOrBytesPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class Error(Exception):
    reason: str
    path: str | None
    def __init__(self, reason: str, path: str | None = ...) -> None: ...

class PictureError(Error): ...
class WriteError(Error): ...

# The options of refined masks and cut-outs, as zel7-mask's long options...
class RefineOptions(TypedDict, total=False):
    studio: bool
    shadow: Literal["drop", "keep"]
    auto_background: bool
    tolerance: int | None
    connected: bool
    hole_area: int
    despeckle: int
    cutout: bool
    hard_edges: bool
    soft: bool
    invert: bool

# ...and those of files written.
class FileOptions(RefineOptions, total=False):
    format: Format | None
    max_pixels: int
    trim: bool
    margin: str | int | None
    aspect: str | None
    square: bool
    size: str | None
    flatten: str | None
    quality: int | None
    lossless: bool
    srgb: bool

Mask = numpy.typing.NDArray[numpy.uint8]
Confidence = dict[str, float] | None
Channels = Literal["rgb", "bgr", "rgba", "bgra"] | None

@overload
def mask(
    pixels: numpy.typing.ArrayLike,
    background: Background = "white",
    *,
    channels: Channels = None,
    confidence: Literal[False] = False,
    **options: Unpack[RefineOptions],
) -> Mask: ...
@overload
def mask(
    pixels: numpy.typing.ArrayLike,
    background: Background = "white",
    *,
    channels: Channels = None,
    confidence: Literal[True],
    **options: Unpack[RefineOptions],
) -> tuple[Mask, Confidence]: ...
@overload
def mask_file(
    source: StrOrBytesPath,
    destination: StrOrBytesPath,
    background: Background = "white",
    *,
    confidence: Literal[False] = False,
    **options: Unpack[FileOptions],
) -> str: ...
@overload
def mask_file(
    source: StrOrBytesPath,
    destination: StrOrBytesPath,
    background: Background = "white",
    *,
    confidence: Literal[True],
    **options: Unpack[FileOptions],
) -> tuple[str, Confidence]: ...
def mask_name(
    source: StrOrBytesPath,
    suffix: str = "",
    format: Format | None = None,
    cutout: bool = False,
    soft: bool = False,
) -> str: ...
