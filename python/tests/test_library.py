"""The roughgc package on numpy arrays: the tool's maps, any strides, the
library's errors as Python's, and the GIL let go while a map is made."""

import copy
import errno
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import time
import zlib

import numpy as np
import pytest

import roughgc
from conftest import PHOTOS


def test_maps_are_the_tools_byte_for_byte(tool_maps, tmp_path):
    extractor = roughgc.Extractor()
    for name, path in PHOTOS.items():
        result = extractor.extract(roughgc.read_photo(path))
        roughgc.write_map(tmp_path / "map.bmp", result.map)
        assert (tmp_path / "map.bmp").read_bytes() == tool_maps[name], name
        assert result.map.dtype == np.uint8 and result.map.flags.c_contiguous
        assert 1 <= result.passes <= 12
        assert abs(result.dimension - 1.7) <= 0.1 or result.passes == 12


def test_views_give_the_map_of_the_pixels_they_show():
    photo = roughgc.read_photo(PHOTOS["fruits.jpg"])
    extractor = roughgc.Extractor()

    def same(a, b):
        return np.array_equal(a.map, b.map) and (a.quantile_index, a.threshold) == (b.quantile_index, b.threshold)

    views = {
        "slice": photo[13:400, 21:480],
        "every other pixel": photo[::2, ::2],
        "upside down and mirrored": photo[::-1, ::-1],
        "column-major": np.asfortranarray(photo),
        "grey slice": photo[5:300, 7:400, 1],
        "with alpha": np.dstack([photo, np.full(photo.shape[:2], 7, np.uint8)])[3:, 4:],
    }
    for name, view in views.items():
        assert same(extractor.extract(view), extractor.extract(np.ascontiguousarray(view))), name

    # Arrays from imageio, PIL or scikit-image hold RGB.
    rgb = photo[:, :, ::-1]
    assert same(extractor.extract(rgb, order="rgb"), extractor.extract(photo))
    assert same(extractor.extract(np.ascontiguousarray(rgb), order="RGB"), extractor.extract(photo))
    assert not same(extractor.extract(rgb), extractor.extract(photo))
    # The result owns its map: a later extraction leaves it alone.
    first = extractor.extract(photo)
    kept = first.map.copy()
    extractor.extract(photo[::-1])
    assert np.array_equal(first.map, kept)


def test_errors_carry_the_librarys_words(tmp_path):
    photo = roughgc.read_photo(PHOTOS["fruits.jpg"])
    demand = "(!) A photo must be an 8-bit array of H x W (grey), H x W x 3 (colour) or H x W x 4 (with alpha) pixels"
    with pytest.raises(TypeError, match=r"not float32$") as e:
        roughgc.rough_contours(photo.astype(np.float32))
    assert str(e.value).startswith(demand)
    with pytest.raises(TypeError, match=r"not int16$"):
        roughgc.rough_contours(photo.astype(np.int16))
    with pytest.raises(ValueError, match=r"not of shape \(480, 512, 2\)$"):
        roughgc.rough_contours(photo[:, :, :2])
    with pytest.raises(ValueError, match=r"not of shape \(100,\)$"):
        roughgc.rough_contours(np.zeros(100, np.uint8))
    cases = [
        ({}, photo[:44], "(!) Image too small: 512 x 44 pixels; at least 45 x 45 needed"),
        ({"window": 0}, photo, "(!) The metric window must be at least 1 averaged pixel, not 0"),
        ({"dimension": float("nan")}, photo, "(!) The target dimension must be a finite number, not nan"),
        ({"order": "hsv"}, photo, 'order must be "bgr" or "rgb", not "hsv"'),
    ]
    for options, image, message in cases:
        with pytest.raises(ValueError) as e:
            roughgc.rough_contours(image, **options)
        assert str(e.value) == message

    with pytest.raises(FileNotFoundError) as e:
        roughgc.read_photo(tmp_path / "missing.jpg")
    assert e.value.errno == errno.ENOENT
    (tmp_path / "notes.txt").write_text("not a photo")
    with pytest.raises(ValueError, match=r"^\(!\) Error reading image: .*notes\.txt$"):
        roughgc.read_photo(tmp_path / "notes.txt")

    result = roughgc.rough_contours(photo)
    # Its size reads height by width, as its map's shape does.
    assert repr(result).startswith("<roughgc.Result map %d x %d, dimension " % result.map.shape)
    assert result.converged and repr(result).endswith(" passes>")
    # A flat photo ends the search short of its target: said, and its map made.
    flat = roughgc.rough_contours(np.full((300, 300, 3), 128, np.uint8))
    assert not flat.converged and flat.map.shape == (100 - 7, 100 - 7)
    assert repr(flat).endswith(" passes, not converged>")
    assert result.map.shape[0] != result.map.shape[1]
    (tmp_path / "taken.bmp").mkdir()
    with pytest.raises(IsADirectoryError) as e:
        roughgc.write_map(tmp_path / "taken.bmp", result.map)
    assert e.value.filename == str(tmp_path / "taken.bmp")
    with pytest.raises(TypeError):
        roughgc.write_map(tmp_path / "colour.bmp", photo)
    assert sorted(os.listdir(tmp_path)) == ["notes.txt", "taken.bmp"]


@pytest.mark.skipif(roughgc.backend != "cpu", reason="the cpu runtime fails an allocation on request")
def test_a_device_failure_is_an_exception_and_the_extractor_goes_on():
    script = textwrap.dedent(
        f"""
        import roughgc
        photo = roughgc.read_photo({PHOTOS["fruits.jpg"]!r})
        extractor = roughgc.Extractor()
        try:
            extractor.extract(photo)
        except roughgc.DeviceError as e:
            print(isinstance(e, RuntimeError), e.reason, e.out_of_memory, e.call.startswith("cudaMalloc("))
        print(extractor.extract(photo).passes)
        try:
            roughgc.Extractor(1)
        except roughgc.DeviceError as e:
            print(e.reason)
        """
    )
    # The extractor's own two buffers, then the photo's first.
    env = dict(os.environ, ROUGHGC_CPURT_FAIL="allocation:2")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True).stdout
    assert out == "True out of memory True True\n2\ninvalid device ordinal\n"


def _turns_while(work):
    """How many turns this thread gets while `work` runs on another.

    Python then takes the GIL from no thread: this one gets it back only
    when the work lets it go, or when the other thread has ended."""
    started, done = threading.Event(), threading.Event()

    def run():
        started.set()
        work()
        done.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        started.wait()
        turns = 0
        while not done.is_set():
            turns += 1
            time.sleep(0)  # lets the GIL go, for the work to come back
        thread.join()
    finally:
        sys.setswitchinterval(interval)
    return turns


def test_the_gil_is_let_go_while_a_map_is_made():
    photo = np.random.default_rng(1).integers(0, 256, (3000, 4000, 3), dtype=np.uint8)
    extractor = roughgc.Extractor()
    extractor.extract(photo)  # warm: buffers grown
    assert _turns_while(lambda: extractor.extract(photo)) > 10


def test_extractors_on_several_threads_make_the_maps_of_one():
    photos = [roughgc.read_photo(p) for p in PHOTOS.values()]
    alone = [roughgc.rough_contours(p).map for p in photos]
    together = [None] * (4 * len(photos))
    shared = roughgc.Extractor()

    # An extractor each, and one that every thread uses in turn.
    def work(k):
        extractor = shared if k % 2 else roughgc.Extractor()
        together[k] = extractor.extract(photos[k % len(photos)]).map

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(together))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k, m in enumerate(together):
        assert np.array_equal(m, alone[k % len(photos)]), k


def test_histogram_and_fine_contours_take_arrays_with_any_strides():
    values = np.random.default_rng(2).uniform(-3, 40, (70, 90)).astype(np.float32)
    values[3, 4] = np.nan
    view = values[5:55:2, 7:67]
    counts, counted = roughgc.histogram(view, 32, 2.0, 34.0)
    # Bins start at 0, whatever the lower end; NaN and (-1, 0) land in bin 0.
    q = view / np.float32((34.0 - 2.0) / 32)
    bins = np.where(np.isnan(q), 0, np.trunc(np.nan_to_num(q, nan=0.0))).astype(np.int64)
    inside = (bins >= 0) & (bins < 32)
    assert counts.dtype == np.int32 and counts.shape == (32,)
    assert np.array_equal(counts, np.bincount(bins[inside], minlength=32))
    assert counted == int(inside.sum())
    with pytest.raises(TypeError):
        roughgc.histogram(values.astype(np.float64), 8, 0.0, 1.0)

    # A flat white photo: at every marked pixel the metric of the position
    # alone, exactly 4 with single-pixel filters (right and lower neighbours).
    photo = np.full((30, 33, 3), 255, np.uint8)
    cells = np.zeros((30 // 3 - 2, 33 // 3 - 2), np.uint8)
    p = np.zeros((3, 3), np.float32)
    q = np.zeros((3, 3), np.float32)
    r = np.zeros((3, 3), np.float32)
    p[2, 1] = q[1, 1] = r[1, 2] = 1
    fine = roughgc.fine_contours(photo[:, ::-1], cells, p, q, r)
    assert fine.dtype == np.float32 and fine.shape == (27, 30)
    # Cells 1.. mark their 3 x 3 blocks of the map; row and column 0 mark none.
    expected = np.zeros((27, 30), np.float32)
    expected[3:24, 3:27] = 4
    assert np.array_equal(fine, expected)


def _overlay_of(photo, result, color):
    """The overlay summed here: each 3 x 3 block's mean, rounded half up,
    with the map's zeros painted color, window // 2 pixels in from the corner."""
    h, w = photo.shape[0] // 3, photo.shape[1] // 3
    sums = photo[: 3 * h, : 3 * w].astype(np.int32).reshape(h, 3, w, 3, 3).sum(axis=(1, 3))
    picture = ((sums + 4) // 9).astype(np.uint8)
    rows, cols = result.map.shape
    half = (h - rows) // 2
    picture[half : half + rows, half : half + cols][result.map == 0] = color
    return picture


def test_an_overlay_paints_the_maps_zeros_at_their_place_in_the_photos_order():
    photo = roughgc.read_photo(PHOTOS["fruits.jpg"])
    # Strides, sides that are no multiples of 3, an even window.
    region = photo[2:470, 1:501]
    result = roughgc.rough_contours(region, window=8)
    picture = roughgc.overlay(region, result)
    assert picture.dtype == np.uint8 and picture.shape == (156, 166, 3)
    assert np.array_equal(picture, _overlay_of(region, result, (0, 0, 255)))

    # An RGB photo gives an RGB picture, its colours (red by default) RGB too.
    rgb = region[:, :, ::-1]
    assert np.array_equal(roughgc.overlay(rgb, result, order="rgb"), picture[:, :, ::-1])
    assert np.array_equal(
        roughgc.overlay(rgb, result, np.array([10, 20, 30], np.uint8), order="RGB"),
        roughgc.overlay(region, result, color=(30, 20, 10))[:, :, ::-1],
    )

    with pytest.raises(ValueError, match=r"^\(!\) A map of 158 x 148 pixels is not one of a 497 x 468 photo"):
        roughgc.overlay(region[:, :497], result)
    for color, error in [((0, 0, 256), ValueError), ((0.5, 0, 0), TypeError), ("red", TypeError)]:
        with pytest.raises(error, match="color must be three whole numbers from 0 to 255"):
            roughgc.overlay(region, result, color)


def _with_orientation(jpeg, orientation):
    """The JPEG's bytes with an EXIF orientation entry, as a camera writes it."""
    body = b"Exif\0\0MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0" + bytes([orientation]) + bytes(6)
    return jpeg[:2] + b"\xff\xe1" + (len(body) + 2).to_bytes(2, "big") + body + jpeg[2:]


@pytest.fixture
def photo_files(tmp_path):
    """The test photos, a turned and a mirrored copy, and cut copies."""
    files = dict(PHOTOS)
    fruits = open(PHOTOS["fruits.jpg"], "rb").read()
    for name, data in [
        ("turned.jpg", _with_orientation(fruits, 6)),
        ("mirrored.jpg", _with_orientation(fruits, 2)),
        ("cut.jpg", fruits[: len(fruits) * 2 // 3]),
        ("cut.png", open(PHOTOS["chicky_512.png"], "rb").read()[:5000]),
        ("header.jpg", fruits[:200]),
    ]:
        (tmp_path / name).write_bytes(data)
        files[name] = str(tmp_path / name)
    return files


def _outcome(f):
    try:
        r = f()
    except ValueError as e:
        return str(e)
    return (r.map.tobytes(), r.map.shape, r.quantile_index, r.threshold, r.passes, r.dimension)


def test_extract_file_gives_the_map_of_read_then_extract(photo_files):
    extractor = roughgc.Extractor()
    for _ in range(2):  # and again, after every other photo
        for name, path in photo_files.items():
            expected = _outcome(lambda: roughgc.Extractor().extract(roughgc.read_photo(path)))
            assert _outcome(lambda: extractor.extract_file(path)) == expected, name
            if isinstance(expected, str):
                assert expected == "(!) Error reading image: " + path
                assert extractor.photo_size is None
            else:
                assert extractor.photo_size == roughgc.read_photo(path).shape[:2]
    small = _outcome(lambda: extractor.extract_file(photo_files["fruits.jpg"], window=200))
    assert small == "(!) Image too small: 512 x 480 pixels; at least 624 x 624 needed"
    assert extractor.photo_size == (480, 512)


def test_read_photo_decodes_into_out_and_leaves_a_wrong_one_alone(photo_files):
    out = np.full((480, 512, 3), 7, np.uint8)
    for name in ["fruits.jpg", "mirrored.jpg", "cut.jpg"]:
        assert roughgc.read_photo(photo_files[name], out=out) is out
        assert np.array_equal(out, roughgc.read_photo(photo_files[name])), name
    for wrong in [np.zeros((512, 480, 3), np.uint8), np.zeros((480, 512, 3), np.uint8)[:, ::-1]]:
        before = wrong.copy()
        with pytest.raises(ValueError):
            roughgc.read_photo(photo_files["fruits.jpg"], out=wrong)
        assert np.array_equal(wrong, before)
    with pytest.raises(ValueError, match="out has shape"):
        roughgc.read_photo(photo_files["turned.jpg"], out=out)
    with pytest.raises(TypeError):
        roughgc.read_photo(photo_files["fruits.jpg"], out=np.zeros((480, 512, 3), np.float32))
    with pytest.raises(TypeError):
        roughgc.read_photo(photo_files["fruits.jpg"], out=[[0]])
    with pytest.raises(ValueError, match="Error reading image"):
        roughgc.read_photo(photo_files["cut.png"], out=out)
    with pytest.raises(FileNotFoundError):
        roughgc.read_photo(os.path.join(os.path.dirname(photo_files["cut.png"]), "missing.jpg"), out=out)
    turned = np.empty((512, 480, 3), np.uint8)
    assert np.array_equal(roughgc.read_photo(photo_files["turned.jpg"], out=turned), roughgc.read_photo(photo_files["turned.jpg"]))


def test_the_gil_is_let_go_while_a_photo_is_decoded(tmp_path):
    path = str(tmp_path / "large.png")  # noise: slow to decode
    roughgc.write_map(path, np.random.default_rng(2).integers(0, 256, (2000, 3000), dtype=np.uint8))
    out = roughgc.read_photo(path)
    assert _turns_while(lambda: roughgc.read_photo(path, out=out)) > 10



def test_what_numpy_asarray_takes_is_an_image_and_overlapping_rows_are_copied(tmp_path):
    photo = roughgc.read_photo(PHOTOS["fruits.jpg"])
    extractor = roughgc.Extractor()
    for extract, image in [(extractor.extract, memoryview(photo)), (roughgc.rough_contours, list(photo))]:
        assert np.array_equal(extract(image).map, extractor.extract(photo).map)
    with pytest.raises(TypeError, match=r"not int64$"):
        roughgc.rough_contours(photo[:60, :60, 0].tolist())
    assert roughgc.histogram(memoryview(np.arange(8, dtype=np.float32)), 4, 0.0, 8.0)[0].tolist() == [2] * 4
    # Rows that overlap give the map of the pixels the view shows.
    overlapping = np.lib.stride_tricks.as_strided(photo, (100, 100), (1, 1))
    assert np.array_equal(roughgc.rough_contours(overlapping).map, roughgc.rough_contours(overlapping.copy()).map)
    roughgc.write_map(tmp_path / "view.bmp", memoryview(overlapping))
    roughgc.write_map(tmp_path / "copy.bmp", overlapping.copy())
    assert (tmp_path / "view.bmp").read_bytes() == (tmp_path / "copy.bmp").read_bytes()


def test_arrays_beyond_int_are_refused_before_any_work(tmp_path):
    row = np.zeros(1536, np.uint8)  # under huge views that have no memory of their own

    def view(shape, strides):
        return np.lib.stride_tricks.as_strided(row, shape, strides)

    for rows in [2**32 + 100, 2**31 + 50]:
        with pytest.raises(ValueError) as e:
            roughgc.rough_contours(view((rows, 100), (0, 1)))
        assert str(e.value) == f"(!) Image too large: 100 x {rows} pixels; at most 2147483647 pixels supported"
    with pytest.raises(ValueError, match=r"^\(!\) Map too large: 100 x 4294967396 pixels; at most 2147483647"):
        roughgc.write_map(tmp_path / "map.bmp", view((2**32 + 100, 100), (0, 1)))
    with pytest.raises(ValueError, match=r"^\(!\) out has shape \(4294967776, 512, 3\)"):
        roughgc.read_photo(PHOTOS["fruits.jpg"], out=view((2**32 + 480, 512, 3), (1536, 3, 1)))
    assert not row.any() and os.listdir(tmp_path) == []


def test_a_copy_without_room_is_a_memory_error_and_a_view_too_large_is_never_copied(tmp_path):
    script = textwrap.dedent(
        """
        import resource
        import numpy as np
        import roughgc
        extractor = roughgc.Extractor()
        mapped = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**30, resource.getrlimit(resource.RLIMIT_AS)[1]))
        for call in [  # copies of 2.7 and 2.1 GB; then 10 GB, refused first
            lambda: extractor.extract(np.broadcast_to(np.zeros((1, 30000, 3), np.uint8), (30000, 30000, 3))[:, ::-1]),
            lambda: roughgc.write_map("map.bmp", np.broadcast_to(np.zeros((1, 46000), np.uint8), (46000, 46000)).T),
            lambda: extractor.extract(np.broadcast_to(np.uint8(0), (100000, 100000))),
        ]:
            try:
                call()
            except (MemoryError, ValueError) as e:
                print("no memory" if isinstance(e, MemoryError) else str(e)[:19])
        """
    )
    run = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, check=True)
    assert run.stdout == "no memory\nno memory\n(!) Image too large\n"
    assert os.listdir(tmp_path) == []


def test_paths_name_the_bytes_they_spell(tmp_path):
    grey = roughgc.read_photo(PHOTOS["fruits.jpg"])[:, :, 0]
    folder = os.fsencode(tmp_path)
    roughgc.write_map(folder + b"/bytes.bmp", grey)
    not_utf8 = os.fsdecode(folder + b"/caf\xe9.bmp")  # its undecodable byte kept by surrogateescape
    roughgc.write_map(not_utf8, grey)
    assert sorted(os.listdir(folder)) == [b"bytes.bmp", b"caf\xe9.bmp"]
    for path in [not_utf8, os.fsencode(not_utf8)]:
        assert np.array_equal(roughgc.read_photo(path)[:, :, 0], grey)
    assert roughgc.Extractor().extract_file(folder + b"/bytes.bmp").passes >= 1
    # Messages give such a path back as the str that names it.
    with open(folder + b"/notes\xff.jpg", "wb") as f:
        f.write(b"not a photo")
    with pytest.raises(ValueError) as e:
        roughgc.Extractor().extract_file(folder + b"/notes\xff.jpg")
    assert str(e.value) == "(!) Error reading image: " + os.fsdecode(folder + b"/notes\xff.jpg")
    # A file that is not there: extract_file raises what read_photo raises.
    for read in (roughgc.read_photo, roughgc.Extractor().extract_file):
        with pytest.raises(FileNotFoundError) as e:
            read(folder + b"/missing\xff.jpg")
        assert (e.value.errno, os.fsencode(e.value.filename)) == (errno.ENOENT, folder + b"/missing\xff.jpg")
    os.mkdir(folder + b"/taken\xff.bmp")
    with pytest.raises(IsADirectoryError) as e:
        roughgc.write_map(folder + b"/taken\xff.bmp", grey)
    assert e.value.filename == os.fsdecode(folder + b"/taken\xff.bmp")
    # A NUL would cut the name short; a loop of links is named as such.
    for call in [lambda: roughgc.write_map(str(tmp_path / "nul.bmp\0.png"), grey), lambda: roughgc.read_photo(b"x\0")]:
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call()
    os.symlink("loop", tmp_path / "loop")
    with pytest.raises(OSError) as e:
        roughgc.read_photo(tmp_path / "loop")
    assert e.value.errno == errno.ELOOP and e.value.filename == str(tmp_path / "loop")
    assert not os.path.lexists(tmp_path / "nul.bmp")


def test_an_extractor_is_neither_copied_nor_pickled():
    extractor = roughgc.Extractor()
    for attempt in [copy.copy, copy.deepcopy, pickle.dumps]:
        with pytest.raises(TypeError, match=r"^\(!\) An Extractor cannot be copied or pickled"):
            attempt(extractor)
    assert extractor.extract(np.zeros((60, 60), np.uint8)).passes >= 1


def test_a_map_written_over_a_file_keeps_its_permissions(tmp_path):
    path = tmp_path / "map.bmp"
    path.write_bytes(b"private")
    os.chmod(path, 0o600)
    roughgc.write_map(path, np.zeros((50, 60), np.uint8))
    assert os.stat(path).st_mode & 0o777 == 0o600
    assert roughgc.read_photo(path).shape == (50, 60, 3)


def _png(width, height, pixels, *, chunks_before=(), chunks_after=(), ihdr=None):
    """An 8-bit RGB PNG of `pixels` (bytes, row by row), with extra chunks around its data."""

    def chunk(kind, data):
        return len(data).to_bytes(4, "big") + kind + data + zlib.crc32(kind + data).to_bytes(4, "big")

    header = ihdr if ihdr is not None else width.to_bytes(4, "big") + height.to_bytes(4, "big") + bytes([8, 2, 0, 0, 0])
    rows = b"".join(b"\0" + pixels[y * width * 3 : (y + 1) * width * 3] for y in range(height))
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + b"".join(chunk(k, d) for k, d in chunks_before)
        + chunk(b"IDAT", zlib.compress(rows))
        + b"".join(chunk(k, d) for k, d in chunks_after)
        + chunk(b"IEND", b"")
    )


def _exif(orientation):
    return b"MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0" + bytes([orientation]) + bytes(6)


def test_photos_that_imread_refuses_give_no_map_and_leave_out_as_it_was(tmp_path, photo_files):
    pixels = np.random.default_rng(5).integers(0, 256, (60, 70, 3), dtype=np.uint8)
    good = _png(70, 60, pixels[:, :, ::-1].tobytes())
    webp = str(tmp_path / "good.webp")
    roughgc.write_map(webp, pixels[:, :, 0].copy())  # lossless: a VP8L chunk
    webp = open(webp, "rb").read()
    assert webp[12:16] == b"VP8L"
    at_data = good.index(b"IDAT")
    broken = {
        "bad-ihdr-crc.png": good[:29] + bytes([good[29] ^ 1]) + good[30:],
        "bad-ihdr.png": _png(70, 60, pixels.tobytes(), ihdr=(70).to_bytes(4, "big") + (60).to_bytes(4, "big") + bytes([3, 2, 0, 0, 0])),
        "cut-after-ihdr.png": good[:33],
        "cut-in-data.png": good[: at_data + 40],
        "bad-signature.webp": webp[:20] + bytes([webp[20] ^ 0x40]) + webp[21:],
        "bad-riff-size.webp": webp[:4] + (len(webp) * 4).to_bytes(4, "little") + webp[8:],
        "bad-chunk-size.webp": webp[:16] + (len(webp) * 4).to_bytes(4, "little") + webp[20:],
    }
    out = roughgc.read_photo(photo_files["fruits.jpg"])
    before = out.copy()
    extractor = roughgc.Extractor()
    extractor.extract_file(photo_files["fruits.jpg"])
    for name, data in broken.items():
        path = str(tmp_path / name)
        open(path, "wb").write(data)
        for read in [lambda: roughgc.read_photo(path), lambda: roughgc.read_photo(path, out=out),
                     lambda: extractor.extract_file(path)]:
            with pytest.raises(ValueError, match="Error reading image"):
                read()
        assert np.array_equal(out, before), name
    # What is whole reads as it is.
    open(tmp_path / "good.png", "wb").write(good)
    assert np.array_equal(roughgc.read_photo(str(tmp_path / "good.png")), pixels)


def test_a_png_turned_by_its_exif_is_read_into_an_out_of_the_turned_shape(tmp_path):
    pixels = np.random.default_rng(6).integers(0, 256, (60, 70, 3), dtype=np.uint8)
    rgb = pixels[:, :, ::-1].tobytes()
    for name, data in [
        ("before.png", _png(70, 60, rgb, chunks_before=[(b"eXIf", _exif(6))])),
        ("after.png", _png(70, 60, rgb, chunks_after=[(b"eXIf", _exif(8))])),
    ]:
        path = str(tmp_path / name)
        open(path, "wb").write(data)
        turned = roughgc.read_photo(path)
        assert turned.shape == (70, 60, 3), name
        out = np.zeros((70, 60, 3), np.uint8)
        assert roughgc.read_photo(path, out=out) is out
        assert np.array_equal(out, turned), name
    assert np.array_equal(turned, np.rot90(pixels)), "orientation 8 turns a quarter anticlockwise"


def test_a_jpeg_followed_by_gigabytes_of_nothing_is_read_as_its_photo(tmp_path, photo_files):
    path = tmp_path / "tailed.jpg"
    path.write_bytes(open(photo_files["fruits.jpg"], "rb").read())
    os.truncate(path, 2_200_000_000)  # sparse: no disk taken
    fruits = roughgc.read_photo(photo_files["fruits.jpg"])
    out = np.zeros_like(fruits)
    assert np.array_equal(roughgc.read_photo(str(path), out=out), fruits)
    expected = roughgc.Extractor().extract(fruits)
    assert np.array_equal(roughgc.Extractor().extract_file(str(path)).map, expected.map)


def _flags_of(address):
    """The VmFlags of the mapping that holds `address`, from /proc/self/smaps."""
    start = None
    for line in open("/proc/self/smaps"):
        head = line.split()[0]
        if "-" in head and not head.endswith(":"):
            low, high = (int(x, 16) for x in head.split("-"))
            start = low if low <= address < high else None
        elif head == "VmFlags:" and start is not None:
            return line.split()[1:]
    return []


def test_large_arrays_given_to_python_live_on_huge_pages(tmp_path):
    modes = open("/sys/kernel/mm/transparent_hugepage/enabled").read()
    if "[never]" in modes:
        pytest.skip("the kernel offers no transparent huge pages")
    path = str(tmp_path / "large.png")
    roughgc.write_map(path, np.zeros((1000, 1500), np.uint8))
    photo = roughgc.read_photo(path)  # 4.5 MB
    assert photo.ctypes.data % (2 << 20) == 0
    assert "hg" in _flags_of(photo.ctypes.data)
    # What numpy allocates itself, such as an out= array, numpy advises so.
    assert np.core.multiarray._get_madvise_hugepage()
