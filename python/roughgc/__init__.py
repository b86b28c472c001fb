"""Rough contour maps of photographs, on an NVIDIA GPU or on the CPU's cores.

    import roughgc
    photo = roughgc.read_photo("photo.jpg")          # numpy.uint8, H x W x 3, BGR
    result = roughgc.Extractor().extract(photo)       # or rough_contours(photo)
    roughgc.write_map("photo.bmp", result.map)        # the bytes the roughgc tool writes

Arrays from imageio, PIL or scikit-image are RGB: extract(image, order="rgb").
roughgc.dask.map_photos spreads a collection of photo files over a Dask
cluster.
"""

import errno as _errno
import os as _os

from ._roughgc import (
    DeviceError,
    Extractor,
    Result,
    __version__,
    backend,
    fine_contours,
    histogram,
    rough_contours,
    write_map,
)
from ._roughgc import read_photo as _read_photo

__all__ = [
    "DeviceError",
    "Extractor",
    "Result",
    "backend",
    "fine_contours",
    "histogram",
    "read_photo",
    "rough_contours",
    "write_map",
]


def read_photo(path, out=None):
    """The photo at path as the roughgc tool reads it.

    Returns a numpy.uint8 array of H x W x 3 in BGR order: grey and
    four-channel files are taken as colour, EXIF orientation is applied,
    and named pipes are read once. With out, a C-contiguous numpy.uint8
    array of the photo's shape, the photo is decoded into it and out is
    returned: a loop over photos of one size allocates nothing. Raises
    FileNotFoundError for a missing file, ValueError for one that is not a
    readable image or an out of another shape (left as it was), TypeError
    for an out of another dtype.
    """
    try:
        return _read_photo(path, out)
    except ValueError:
        if not _os.path.exists(path):
            raise FileNotFoundError(_errno.ENOENT, _os.strerror(_errno.ENOENT), _os.fspath(path)) from None
        raise
