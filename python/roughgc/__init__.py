"""Rough contour maps of photographs, on an NVIDIA GPU or on the CPU's cores.

    import roughgc
    photo = roughgc.read_photo("photo.jpg")          # numpy.uint8, H x W x 3, BGR
    result = roughgc.Extractor().extract(photo)       # or rough_contours(photo)
    roughgc.write_map("photo.bmp", result.map)        # the bytes the roughgc tool writes

Arrays from imageio, PIL or scikit-image are RGB: extract(image, order="rgb").
overlay(photo, result) pictures the map over the photo, at the map's scale.
roughgc.dask.map_photos spreads a collection of photo files over a Dask
cluster.
"""

import functools as _functools
import os as _os

from ._roughgc import (
    DeviceError,
    Extractor,
    Result,
    __version__,
    backend,
    fine_contours,
    histogram,
    overlay,
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
    "overlay",
    "read_photo",
    "rough_contours",
    "write_map",
]


def read_photo(path, out=None):
    """The photo at path as the roughgc tool reads it.

    Returns a numpy.uint8 array of H x W x 3 in BGR order: grey and
    four-channel files are taken as colour, EXIF orientation is applied,
    and named pipes are read once. JPEG and PNG photos are decoded by
    roughgc itself, other formats by OpenCV's image codecs where they are
    installed. With out, a C-contiguous numpy.uint8 array of the photo's
    shape, the photo is copied into it once it is all decoded and out is
    returned: a loop over photos of one size allocates nothing. path is a
    str, bytes or os.PathLike, as open() takes it. Raises OSError with the
    reason the file cannot be reached (FileNotFoundError for a missing file,
    errno ELOOP for a loop of symbolic links...), ValueError for a file that
    is not a readable image (or whose format needs OpenCV's image codecs,
    not installed), a path holding a NUL or an out of another shape (out
    is left as it was whenever it raises), TypeError for an out of another
    dtype.
    """
    try:
        return _read_photo(path, out)
    except ValueError:
        _raise_why_unreachable(path)
        raise


def _raise_why_unreachable(path):
    """The library says only that it could not read the file; os.stat
    tells why, when the reason is the path itself: raises that OSError."""
    try:
        _os.stat(path)
    except OSError as e:
        raise OSError(e.errno, e.strerror, _os.fspath(path)) from None
    except ValueError:
        pass


def _extract_file(extract_file):
    @_functools.wraps(extract_file)
    def wrapper(self, path, **options):
        try:
            return extract_file(self, path, **options)
        except ValueError:
            _raise_why_unreachable(path)
            raise

    return wrapper


# A file that cannot be reached raises what read_photo raises for it.
Extractor.extract_file = _extract_file(Extractor.extract_file)
