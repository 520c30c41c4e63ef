"""Masks and cut-outs of photos shot on a plain white or black backdrop.

The engine of zel7-mask, for Python:

    mask(pixels, "white")            a NumPy array in, its mask (or cut-out) out
    mask_file(source, destination)   a picture file masked into another, as zel7-mask does
    mask_name(source)                the name zel7-mask gives a source's mask in a batch

Masks are white (255) where the backdrop is and black (0) on the object. Arrays are read
where they lie, whatever their strides, and every call lets go of the GIL while it
works, so threads mask pictures in parallel. zel7.dask spreads batches of files over a
Dask cluster.

Refusals raise Error: PictureError for sources that cannot be read, WriteError for
destinations that cannot be written; bad option values raise ValueError, and switches
given anything but True, False, a number or None, unknown options and arrays of other
kinds of samples TypeError.
"""

from __future__ import annotations

import os

__all__ = ["Error", "PictureError", "WriteError", "mask", "mask_file", "mask_name"]


class Error(Exception):
    """A picture zel7 could not mask.

    reason: what went wrong, in zel7-mask's words ("damaged picture: ...").
    path: the file concerned, or None for an array.
    """

    def __init__(self, reason: str, path: str | None = None) -> None:
        # Both in args, so that the error survives pickling (Dask sends it back).
        super().__init__(reason, path)
        self.reason = reason
        self.path = path

    def __str__(self) -> str:
        if self.path is None:
            return self.reason
        # A name that is not UTF-8 holds os.fsdecode's surrogates, which no stream prints
        # (print(error) raised UnicodeEncodeError): shown as "caf\\xe9.bmp" here.
        try:
            shown = os.fsencode(self.path).decode("utf-8", "backslashreplace")
        except (TypeError, UnicodeError):  # (not a name the module gave: as it stands)
            shown = repr(self.path)
        return f"{shown}: {self.reason}"


class PictureError(Error):
    """The source was refused: it cannot be opened or read, is of an unknown format,
    damaged, or too large."""


class WriteError(Error):
    """The destination cannot be created, replaced or written."""


# The classes above come first: the extension looks them up here when it raises.
from ._zel7 import mask, mask_file, mask_name  # noqa: E402
