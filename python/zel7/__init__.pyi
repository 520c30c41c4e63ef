import os
from typing import Literal, overload

import numpy
import numpy.typing

Background = Literal["white", "black", "auto"]
Format = Literal["png", "bmp", "jpeg", "webp"]

class Error(Exception):
    reason: str
    path: str | None
    def __init__(self, reason: str, path: str | None = ...) -> None: ...

class PictureError(Error): ...
class WriteError(Error): ...

@overload
def mask(
    pixels: numpy.typing.ArrayLike,
    background: Background = "white",
    *,
    channels: Literal["rgb", "bgr", "rgba", "bgra"] | None = None,
    confidence: Literal[False] = False,
    studio: bool = False,
    shadow: Literal["drop", "keep"] = "drop",
    auto_background: bool = False,
    tolerance: int | None = None,
    connected: bool = False,
    hole_area: int = 0,
    despeckle: int = 0,
    cutout: bool = False,
    hard_edges: bool = False,
    soft: bool = False,
    invert: bool = False,
) -> numpy.typing.NDArray[numpy.uint8]: ...
@overload
def mask(
    pixels: numpy.typing.ArrayLike,
    background: Background = "white",
    *,
    channels: Literal["rgb", "bgr", "rgba", "bgra"] | None = None,
    confidence: Literal[True],
    studio: bool = False,
    shadow: Literal["drop", "keep"] = "drop",
    auto_background: bool = False,
    tolerance: int | None = None,
    connected: bool = False,
    hole_area: int = 0,
    despeckle: int = 0,
    cutout: bool = False,
    hard_edges: bool = False,
    soft: bool = False,
    invert: bool = False,
) -> tuple[numpy.typing.NDArray[numpy.uint8], dict[str, float] | None]: ...
def mask_file(
    source: str | os.PathLike[str],
    destination: str | os.PathLike[str],
    background: Background = "white",
    *,
    format: Format | None = None,
    max_pixels: int = 200_000_000,
    trim: bool = False,
    margin: str | int | None = None,
    aspect: str | None = None,
    square: bool = False,
    size: str | None = None,
    flatten: str | None = None,
    quality: int | None = None,
    lossless: bool = False,
    studio: bool = False,
    shadow: Literal["drop", "keep"] = "drop",
    auto_background: bool = False,
    tolerance: int | None = None,
    connected: bool = False,
    hole_area: int = 0,
    despeckle: int = 0,
    cutout: bool = False,
    hard_edges: bool = False,
    srgb: bool = False,
    soft: bool = False,
    invert: bool = False,
) -> str: ...
def mask_name(
    source: str | os.PathLike[str],
    suffix: str = "",
    format: Format | None = None,
    cutout: bool = False,
    soft: bool = False,
) -> str: ...
