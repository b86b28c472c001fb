"""Collections of photos across processes and machines, with Dask.

    from roughgc.dask import map_photos
    for record in map_photos(paths, "maps", report="maps/report.csv"):
        print(record["photo"], record["outcome"])

Each worker process makes one roughgc.Extractor and keeps it for every photo
it gets; it reads the photo, makes the map and writes it, so only paths and
records travel. Maps are named and written as `roughgc --out-dir` names and
writes them: OUT_DIR/NAME.bmp, whole or not at all. A worker that dies has
its photos done again by another (Dask reruns its tasks).

From a shell, against a running scheduler (`dask scheduler` on one machine,
`dask worker tcp://HOST:8786` on the others, all seeing the same files):

    python3 -m roughgc.dask --scheduler tcp://HOST:8786 --out-dir DIR --files-from LIST
"""

import argparse
import logging
import os
import sys
import time

import roughgc

REPORT_FIELDS = (
    "photo",
    "map",
    "outcome",
    "width",
    "height",
    "quantile_index",
    "threshold",
    "coarse_boxes",
    "fine_boxes",
    "dimension",
    "passes",
    "milliseconds",
    "error",
)
REPORT_HEADER = ",".join(REPORT_FIELDS)

__all__ = ["map_photos", "REPORT_FIELDS", "csv_line"]


def _canonical(path):
    return os.path.realpath(os.path.abspath(path))


def plan(paths, out_dir):
    """Pairs each photo with its map, OUT_DIR/NAME.bmp (NAME: the file name
    without its last extension). Raises ValueError, as batch mode refuses
    its command line, if two photos would write the same map or a map would
    overwrite one of the photos."""
    items, by_map, by_photo = [], {}, {}
    for photo in paths:
        photo = os.fspath(photo)
        name = os.path.basename(photo)
        stem = name[: name.rfind(".")] if name.rfind(".") > 0 else name
        map_path = os.path.join(os.fspath(out_dir), stem + ".bmp")
        key = _canonical(map_path)
        if key in by_map:
            raise ValueError(f"{items[by_map[key]][0]} and {photo} would both write {map_path}")
        by_map[key] = len(items)
        by_photo.setdefault(_canonical(photo), len(items))
        items.append((photo, map_path))
    for photo, map_path in items:
        other = by_photo.get(_canonical(map_path))
        if other is not None:
            raise ValueError(f"the map of {photo} would overwrite {items[other][0]}")
    return items


def _check_report(report, items, out_dir):
    """Raises ValueError when the report would replace what is not an
    earlier report of roughgc's, as batch mode refuses it."""
    key = _canonical(report)
    for photo, map_path in items:
        if _canonical(photo) == key:
            raise ValueError(f"the report {report} would overwrite the photo {photo}")
        if _canonical(map_path) == key:
            raise ValueError(f"the report {report} would overwrite the map of {photo}")
    folder = os.path.dirname(report)
    if folder and not os.path.isdir(folder) and _canonical(folder) != _canonical(out_dir):
        raise ValueError(f"cannot write the report {report}: no folder {folder}")
    if os.path.lexists(report):
        if os.path.isdir(report):
            raise ValueError(f"the report {report} is a directory")
        if not os.path.isfile(report):
            raise ValueError(f"the report {report} is not a regular file")
        with open(report, "rb") as f:
            first = f.readline().rstrip(b"\n")
        if first != REPORT_HEADER.encode():
            raise ValueError(f"{report} is not a report of roughgc's, and it is not replaced (name another report)")


def _field(value):
    text = "" if value is None else str(value)
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def csv_line(record):
    """The report's CSV line of a record, with its newline: the same text as
    batch mode's row for the same photo."""
    values = dict(record)
    for name in ("threshold", "dimension"):
        if values.get(name) is not None:
            values[name] = "%.9g" % values[name]
    if values.get("milliseconds") is not None:
        values["milliseconds"] = "%.3f" % values["milliseconds"]
    return ",".join(_field(values.get(name)) for name in REPORT_FIELDS) + "\n"


# One extractor per worker process (and device), made with its first photo.
_extractors = {}


def _extractor(device):
    if device not in _extractors:
        _extractors[device] = roughgc.Extractor(device)
    return _extractors[device]


def _without_marker(text):
    return text[4:] if text.startswith("(!) ") else text


def _process(photo, map_path, params, skip_existing):
    """One photo, on a worker: read, extract, write. Never raises: a failure
    is the record's outcome."""
    record = dict.fromkeys(REPORT_FIELDS)
    record.update(photo=photo, map=map_path, outcome="written", error="")
    if skip_existing and os.path.isfile(map_path):
        record["outcome"] = "skipped"
        return record

    def failed(error):
        record.update(outcome="failed", error=error)
        return record

    # Read by the extractor, which keeps the file's bytes and pixels from
    # one photo to the next (and streams a JPEG into its first stage).
    extractor = _extractor(params["device"])
    started = time.perf_counter()
    error = None
    try:
        result = extractor.extract_file(
            photo, window=params["window"], dimension=params["dimension"], tolerance=params["tolerance"]
        )
    except ValueError as e:
        error = _without_marker(str(e))
    except roughgc.DeviceError as e:
        error = "out of memory" if e.out_of_memory else str(e)
    except MemoryError:
        error = "out of memory"
    milliseconds = (time.perf_counter() - started) * 1000
    size = extractor.photo_size
    if size is not None:
        record["height"], record["width"] = size
    elif error is not None and error.startswith("Error reading image"):
        error = "Error reading image"
    if error is not None:
        return failed(error)

    try:
        roughgc.write_map(map_path, result.map)
    except OSError as e:
        return failed(f"Error writing {map_path}: {e.strerror or e}")
    except MemoryError:
        return failed(f"Error writing {map_path}: out of memory")
    record.update(
        quantile_index=result.quantile_index,
        threshold=result.threshold,
        coarse_boxes=result.coarse_boxes,
        fine_boxes=result.fine_boxes,
        dimension=result.dimension,
        passes=result.passes,
        milliseconds=milliseconds,
    )
    return record


def _process_chunk(chunk, params, skip_existing):
    return [_process(photo, map_path, params, skip_existing) for photo, map_path in chunk]


class _Report:
    """The CSV report, a row appended and flushed to the disk as each photo
    finishes."""

    def __init__(self, path, continuing):
        keep = continuing and os.path.isfile(path) and os.path.getsize(path) > 0
        self._file = open(path, "a" if keep else "w", encoding="utf-8", newline="")
        if not keep:
            self._write(REPORT_HEADER + "\n")

    def _write(self, text):
        self._file.write(text)
        self._file.flush()
        os.fsync(self._file.fileno())

    def add(self, record):
        self._write(csv_line(record))

    def close(self):
        self._file.close()


def local_cluster(workers=None):
    """A cluster on this machine: one single-threaded worker process per core
    (each extraction then runs on one core, and the processes fill them)."""
    from distributed import LocalCluster

    return LocalCluster(
        n_workers=workers or os.cpu_count() or 1,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        silence_logs=logging.ERROR,
        env={"OMP_NUM_THREADS": "1"},
    )


def map_photos(
    paths,
    out_dir,
    *,
    client=None,
    window=7,
    dimension=1.7,
    tolerance=0.1,
    skip_existing=False,
    report=None,
    device=0,
):
    """Makes the map of every photo on a Dask cluster, as OUT_DIR/NAME.bmp.

    Yields one record per photo, in the order the photos finish: a dict with
    the fields of batch mode's report (REPORT_FIELDS: photo, map, outcome
    ("written", "skipped" or "failed"), width, height, quantile_index,
    threshold, coarse_boxes, fine_boxes, dimension, passes, milliseconds,
    error), None where a field has no value. A photo that fails is a record
    with outcome "failed" and its error, never an exception.

    client: a distributed.Client; without one, a local cluster with one
    worker process per core is started, and closed at the end. report: a CSV
    file that gets a row per photo as it finishes (with skip_existing, an
    earlier report is continued). Colliding names, and a report that would
    replace anything but an earlier report, raise ValueError here, before
    any work.
    """
    items = plan(paths, out_dir)
    if report is not None:
        report = os.fspath(report)
        _check_report(report, items, out_dir)
    params = {"window": window, "dimension": dimension, "tolerance": tolerance, "device": device}
    os.makedirs(out_dir, exist_ok=True)
    return _records(items, client, params, skip_existing, report)


def _records(items, client, params, skip_existing, report):
    from distributed import Client, as_completed

    own = client is None
    cluster = None
    writer = None
    try:
        if own:
            cluster = local_cluster()
            client = Client(cluster)
        if report is not None:
            writer = _Report(report, skip_existing)
        # A few photos a task: the scheduler's cost per task is then spread,
        # and each worker still gets several tasks to balance the load.
        workers = max(1, len(client.scheduler_info().get("workers", {})) or 1)
        size = max(1, min(8, len(items) // (4 * workers)))
        chunks = [items[i : i + size] for i in range(0, len(items), size)]
        futures = client.map(_process_chunk, chunks, params=params, skip_existing=skip_existing, pure=False)
        for future in as_completed(futures):
            for record in future.result():
                if writer is not None:
                    writer.add(record)
                yield record
    finally:
        if writer is not None:
            writer.close()
        if own:
            if client is not None:
                client.close()
            if cluster is not None:
                cluster.close()


def _read_list(path, null):
    data = sys.stdin.buffer.read() if path == "-" else open(path, "rb").read()
    if not null and b"\0" in data:
        raise ValueError(f"cannot read {path}: it holds NUL bytes (for a list that ends names with NUL bytes, add --null)")
    names = data.split(b"\0" if null else b"\n")
    if not null:
        names = [n[:-1] if n.endswith(b"\r") else n for n in names]
    return [os.fsdecode(n) for n in names if n]


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m roughgc.dask",
        description="Writes the rough contour map of each photo, as DIR/NAME.bmp, on a Dask cluster.",
    )
    parser.add_argument("photos", nargs="*", metavar="PHOTO")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://HOST:8786")
    where.add_argument("--scheduler-file", metavar="FILE", help="the file that `dask scheduler --scheduler-file` wrote")
    where.add_argument("--workers", type=int, metavar="N", help="a local cluster of N worker processes (default: cores)")
    parser.add_argument("-o", "--out-dir", required=True, metavar="DIR")
    parser.add_argument("-f", "--files-from", metavar="FILE", help="also the photos listed in FILE ('-': standard input)")
    parser.add_argument("-0", "--null", action="store_true", help="names in the list end with NUL bytes")
    parser.add_argument("-s", "--skip-existing", action="store_true")
    parser.add_argument("-r", "--report", metavar="FILE.csv")
    parser.add_argument("--window", type=int, default=7)
    parser.add_argument("--dim", type=float, default=1.7)
    parser.add_argument("--tolerance", type=float, default=0.1)
    args = parser.parse_args(argv)

    started = time.monotonic()
    try:
        photos = list(args.photos)
        if args.files_from:
            photos += _read_list(args.files_from, args.null)
        if not photos:
            raise ValueError("no photos given")
        client = None
        if args.scheduler or args.scheduler_file:
            from distributed import Client

            client = Client(args.scheduler, scheduler_file=args.scheduler_file)
        elif args.workers:
            from distributed import Client

            client = Client(local_cluster(args.workers))
        records = map_photos(
            photos,
            args.out_dir,
            client=client,
            window=args.window,
            dimension=args.dim,
            tolerance=args.tolerance,
            skip_existing=args.skip_existing,
            report=args.report,
        )
    except (ValueError, OSError) as e:
        print(f"roughgc: {e}", file=sys.stderr)
        return 255

    counts = {"written": 0, "failed": 0, "skipped": 0}
    for record in records:
        counts[record["outcome"]] += 1
        if record["outcome"] == "failed":
            print(f"{record['photo']}: {record['error']}", file=sys.stderr)
    summary = f"{counts['written']} maps written, {counts['failed']} failed"
    if counts["skipped"]:
        summary += f", {counts['skipped']} skipped"
    print(f"{summary}, {time.monotonic() - started:.1f} s")
    if client is not None:
        client.close()
    return 2 if counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
