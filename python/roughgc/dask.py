"""Collections of photos across processes and machines, with Dask.

    from roughgc.dask import map_photos
    with map_photos(paths, "maps", report="maps/report.csv") as records:
        for record in records:
            print(record["photo"], record["outcome"])

Each worker process makes one roughgc.Extractor and keeps it for every photo
it gets; it reads the photo, makes the map and writes it, so only paths and
records travel. Maps are named and written as `roughgc --out-dir` names and
writes them: OUT_DIR/NAME.bmp, whole or not at all. A worker that dies has
its photos done again by another; a photo that kills every worker it is
given (one too large for a worker's memory) is a failed record.

From a shell, against a running scheduler (`dask scheduler` on one machine,
`dask worker tcp://HOST:8786` on the others, all seeing the same files under
the same paths):

    python3 -m roughgc.dask --scheduler tcp://HOST:8786 --out-dir DIR --files-from LIST
"""

import argparse
import ast
import collections
import contextlib
import logging
import multiprocessing
import numbers
import os
import re
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

__all__ = ["map_photos", "Records", "local_cluster", "REPORT_FIELDS", "WORKER_DIED", "csv_line"]

# The library's limit, which batch mode's --window names.
_WINDOW_MAX = 15438

# What a photo's record says when every worker that took it died.
WORKER_DIED = "out of memory: its worker died"


def _canonical(path):
    return os.path.realpath(os.path.abspath(path))


def plan(paths, out_dir):
    """Pairs each photo with its map, OUT_DIR/NAME.bmp (NAME: the file name
    without its last extension), names as str (bytes decoded as os.fsdecode
    does, so that os.fsencode gives them back). Raises ValueError, as batch
    mode refuses its command line, if two photos would write the same map or
    a map would overwrite one of the photos."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("paths must be a collection of paths, not one path")
    out_dir = os.fsdecode(out_dir)
    items, by_map, by_photo = [], {}, {}
    for photo in paths:
        photo = os.fsdecode(photo)
        name = os.path.basename(photo)
        stem = name[: name.rfind(".")] if name.rfind(".") > 0 else name
        map_path = os.path.join(out_dir, stem + ".bmp")
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


def _whole(name, value, low, high=None):
    limits = f"from {low} to {high}" if high is not None else f"from {low} up"
    # bool is an int to Python, but window=True is a slip, not a window.
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a whole number {limits}, not {type(value).__name__}")
    if value < low or (high is not None and value > high):
        raise ValueError(f"{name} must be a whole number {limits}, not {value}")
    return int(value)


def _real(name, value, low, high):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number from {low} to {high}, not {type(value).__name__}")
    if not low <= value <= high:  # NaN too
        raise ValueError(f"{name} must be a number from {low} to {high}, not {value}")
    return float(value)


def _field(value):
    text = "" if value is None else str(value)
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def csv_line(record):
    """The report's CSV line of a record, with its newline: the same text as
    batch mode's row for the same photo (os.fsencode gives its bytes, names
    that are not UTF-8 included)."""
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


def _failed(photo, map_path, error):
    record = dict.fromkeys(REPORT_FIELDS)
    record.update(photo=photo, map=map_path, outcome="failed", error=error)
    return record


def _process(photo, map_path, params, skip_existing):
    """One photo, on a worker: read, extract, write. Never raises: a failure
    is the record's outcome."""
    record = dict.fromkeys(REPORT_FIELDS)
    record.update(photo=photo, map=map_path, outcome="written", error="")
    # Relative names are the client's: this worker may have started in
    # another folder, or on another machine.
    photo_at = os.path.join(params["cwd"], photo)
    map_at = os.path.join(params["cwd"], map_path)
    if skip_existing and os.path.isfile(map_at):
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
            photo_at, window=params["window"], dimension=params["dimension"], tolerance=params["tolerance"]
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

    # Batch mode's row keeps the search's figures when only the write fails.
    record.update(
        quantile_index=result.quantile_index,
        threshold=result.threshold,
        coarse_boxes=result.coarse_boxes,
        fine_boxes=result.fine_boxes,
        dimension=result.dimension,
        passes=result.passes,
        milliseconds=milliseconds,
    )
    try:
        roughgc.write_map(map_at, result.map)
    except OSError as e:
        return failed(f"Error writing {map_path}: {e.strerror or e}")
    except MemoryError:
        return failed(f"Error writing {map_path}: out of memory")
    return record


def _process_chunk(chunk, params, skip_existing):
    return [_process(photo, map_path, params, skip_existing) for photo, map_path in chunk]


class _Report:
    """The CSV report, a row appended and flushed to the disk as each photo
    finishes. Written as bytes: a name that is not UTF-8 is the file name's
    own bytes, as in batch mode's report."""

    def __init__(self, path, continuing):
        keep = continuing and os.path.isfile(path) and os.path.getsize(path) > 0
        self._file = open(path, "ab" if keep else "wb")
        if not keep:
            self._write(REPORT_HEADER + "\n")

    def _write(self, text):
        self._file.write(os.fsencode(text))
        self._file.flush()
        os.fsync(self._file.fileno())

    def add(self, record):
        self._write(csv_line(record))

    def close(self):
        self._file.close()


def _in_bootstrap():
    """Whether this process is a worker process re-running the caller's
    script, as multiprocessing's spawn does before the worker starts."""
    return getattr(multiprocessing.current_process(), "_inheriting", False)


_GUARD_TESTS = ('__name__ == "__main__"', '"__main__" == __name__')


def _outside_main_guard():
    """Whether the script being run reaches this call from its top level
    outside `if __name__ == "__main__":`. Its worker processes would re-run
    the call, each starting workers of its own, without end."""
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if not path:
        return False  # an interactive session
    frame = sys._getframe(1)
    while frame is not None and not (frame.f_code.co_name == "<module>" and frame.f_globals is vars(main)):
        frame = frame.f_back
    if frame is None:
        return False  # not called from the script's top level, but from a thread of its own, say
    try:
        with open(path, "rb") as f:
            tree = ast.parse(f.read())
    except (OSError, SyntaxError, ValueError):
        return False
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and ast.unparse(node.test).replace("'", '"') in _GUARD_TESTS:
            if any(statement.lineno <= frame.f_lineno <= statement.end_lineno for statement in node.body):
                return False
    return True


def _start_cluster(workers=None, **options):
    from distributed import LocalCluster

    settings = dict(
        n_workers=workers or len(os.sched_getaffinity(0)),
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        # The scheduler serves HTTP all the same, on port 8787 unless told
        # otherwise, and warns when that port is taken.
        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        silence_logs=logging.ERROR,
        env={"OMP_NUM_THREADS": "1"},
    )
    settings.update(options)
    return LocalCluster(**settings)


def local_cluster(workers=None, **options):
    """A cluster on this machine: one single-threaded worker process per core
    this process may use (each extraction then runs on one core, and the
    processes fill them). options go to distributed.LocalCluster
    (memory_limit="2GiB", say).

    Its scheduler has no dashboard, and its HTTP server takes a free port on
    127.0.0.1. In a script, call it under `if __name__ == "__main__":`: its
    worker processes re-run the script first. Called outside that guard, it
    raises RuntimeError at once, where the workers would start without end.
    """
    import dask
    import distributed  # noqa: F401 (its settings, in dask.config)

    method = dask.config.get("distributed.worker.multiprocessing-method")
    spawned = options.get("processes", True) and method != "fork"
    if spawned and (_in_bootstrap() or _outside_main_guard()):
        raise RuntimeError(
            'roughgc.dask: start the cluster under `if __name__ == "__main__":` '
            "(its worker processes re-run the script)"
        )
    return _start_cluster(workers, **options)


def _worker_check():
    # Made here, not at the module's top level: cloudpickle then sends the
    # function itself, and a worker that lacks roughgc can still run it.
    def check():
        import roughgc.dask  # noqa: F401

    return check


def _check_workers(client):
    """Raises RuntimeError naming a worker that cannot import roughgc: its
    tasks would fail, one photo after another."""
    answers = client.run(_worker_check(), on_error="return")
    for address, answer in sorted(answers.items()):
        if isinstance(answer, BaseException):
            raise RuntimeError(
                f"the worker {address} cannot import roughgc.dask ({type(answer).__name__}: {answer}); "
                "install roughgc where that worker runs"
            )


def _nothing():
    yield from ()


class Records:
    """The records of map_photos, in the order the photos finish: an
    iterator, and a context manager whose block's end is close()'s.

    close() ends the run at once: the photos not yet started are cancelled
    (those a worker has started are finished, and their maps written), the
    report is closed, and a cluster that map_photos started is shut down.
    """

    def __init__(self, generator):
        self._generator = generator

    def __iter__(self):
        return self

    def __next__(self):
        return next(self._generator)

    def close(self):
        self._generator.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


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
    with outcome "failed" and its error, never an exception; one whose
    worker dies on it each time is failed as WORKER_DIED, its worker's
    memory limit being the usual cause. Names in records are str, as given
    or decoded by os.fsdecode (os.fsencode gives a name's bytes back); paths
    may be str, bytes or os.PathLike, and relative ones are taken from this
    process's working folder, so the workers must see the same paths.

    Returns Records: an iterator, and a context manager; leaving its block
    (or calling close()) cancels the photos not yet started:

        with map_photos(paths, "maps") as records:
            for record in records:
                ...

    client: a distributed.Client; without one, a local cluster with one
    worker process per core is started with the first record, and closed at
    the end or by close(). report: a CSV file that gets a row per photo as it
    finishes (with skip_existing, an earlier report is continued). A value
    of window (1 to 15438), dimension or tolerance (0 to 2) or device that
    batch mode would refuse raises TypeError or ValueError here, as do
    colliding names and a report that would replace anything but an earlier
    report; a worker of client that cannot import roughgc raises
    RuntimeError; all before any work.

    In a worker process that is re-running a script (one without
    `if __name__ == "__main__":`), map_photos does nothing and yields
    nothing, so that the script's call starts no cluster there.
    """
    if _in_bootstrap():
        return Records(_nothing())
    out_dir = os.fsdecode(out_dir)
    params = {
        "window": _whole("window", window, 1, _WINDOW_MAX),
        "dimension": _real("dimension", dimension, 0, 2),
        "tolerance": _real("tolerance", tolerance, 0, 2),
        "device": _whole("device", device, 0),
        "cwd": os.getcwd(),
    }
    items = plan(paths, out_dir)
    if report is not None:
        report = os.fsdecode(report)
        _check_report(report, items, out_dir)
        report = os.path.abspath(report)
    if client is not None:
        _check_workers(client)
    os.makedirs(out_dir, exist_ok=True)
    return Records(_records(items, client, params, skip_existing, report))


def _records(items, client, params, skip_existing, report):
    from distributed import Client, KilledWorker, as_completed

    own = client is None
    cluster = None
    writer = None
    in_flight = {}  # future: (its photos, whether it runs alone)
    try:
        if own:
            # Here, not through local_cluster: a script without the main guard
            # works, its worker processes yielding nothing (see map_photos).
            cluster = _start_cluster()
            client = Client(cluster)
        if report is not None:
            writer = _Report(report, skip_existing)
        done = as_completed(loop=client.loop)

        def submit(chunk, alone=False):
            future = client.submit(_process_chunk, chunk, params, skip_existing, pure=False)
            in_flight[future] = (chunk, alone)
            done.add(future)

        # A few photos a task: the scheduler's cost per task is then spread,
        # and each worker still gets several tasks to balance the load.
        workers = max(1, len(client.scheduler_info().get("workers", {})) or 1)
        size = max(1, min(8, len(items) // (4 * workers)))
        for i in range(0, len(items), size):
            submit(items[i : i + size])
        # Photos of tasks that were on a worker when it died. Dask counts a
        # death against every task that worker held, queued ones too, so
        # each is run again alone, nothing else of ours in flight: a photo
        # whose lone task still kills workers is the one that kills them.
        suspects = collections.deque()
        for future in done:
            chunk, alone = in_flight.pop(future)
            if future.status == "finished":
                records = future.result()
            else:
                records = []
                error = future.exception() if future.status == "error" else None
                if isinstance(error, KilledWorker):
                    if alone:
                        records = [_failed(*chunk[0], WORKER_DIED)]
                    else:
                        suspects.extend(chunk)
                elif len(chunk) > 1:
                    # Which photo failed the task is not known: each gets
                    # one of its own.
                    for item in chunk:
                        submit([item])
                else:
                    why = f"{type(error).__name__}: {error}" if error is not None else f"its task was {future.status}"
                    records = [_failed(*chunk[0], why)]
            if not in_flight and suspects:
                submit([suspects.popleft()], alone=True)
            for record in records:
                if writer is not None:
                    writer.add(record)
                yield record
    finally:
        # Left early (closed, or an error): what has not started is not
        # started. A cluster of our own goes down with its workers.
        if in_flight and client.status == "running":
            client.cancel(list(in_flight))
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


_PROG = "python3 -m roughgc.dask"


class _Refusal(Exception):
    """A command line that cannot work: one line, status 255."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise _Refusal(f"{message} (see {_PROG} --help)")


def _option(name, text, low, high, whole):
    """The value of an option, or a refusal worded as batch mode's."""
    kind = "a whole number" if whole else "a number"
    shown = text if text else "an empty value"
    pattern = r"[0-9]+" if whole else r"[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?"
    value = None
    if re.fullmatch(pattern, text):
        value = int(text) if whole else float(text)
    if value is None or not low <= value <= high:
        raise _Refusal(f"{name}: must be {kind} from {low} to {high}, not {shown} (see {_PROG} --help)")
    return value


def _say(text):
    """A line on standard error, as the bytes of its names."""
    sys.stderr.flush()
    stream = getattr(sys.stderr, "buffer", None)
    if stream is None:
        sys.stderr.write(text + "\n")
    else:
        stream.write(os.fsencode(text + "\n"))
        stream.flush()


def _wait_for_workers(client, limit):
    """Waits for the first worker, saying so every few seconds; raises
    TimeoutError after limit seconds."""
    address = client.scheduler.address
    started = time.monotonic()
    while not client.scheduler_info().get("workers"):
        waited = time.monotonic() - started
        if waited >= limit:
            raise TimeoutError(f"no worker joined the scheduler at {address} in {limit:g} s")
        print(f"roughgc: waiting for a worker to join the scheduler at {address} ({waited:.0f} s)", file=sys.stderr,
              flush=True)
        with contextlib.suppress(TimeoutError):
            client.wait_for_workers(1, timeout=min(5, limit - waited))


def main(argv=None):
    parser = _Parser(
        prog=_PROG,
        description="Writes the rough contour map of each photo, as DIR/NAME.bmp, on a Dask cluster. "
        "Relative names are taken from this folder; the workers must see the same paths.",
    )
    parser.add_argument("photos", nargs="*", metavar="PHOTO")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://HOST:8786")
    where.add_argument("--scheduler-file", metavar="FILE", help="the file that `dask scheduler --scheduler-file` wrote")
    where.add_argument("--workers", metavar="N", help="a local cluster of N worker processes (default: cores)")
    parser.add_argument("--wait", default="300", metavar="SECONDS",
                        help="how long to wait for a first worker to join the scheduler (default 300)")
    parser.add_argument("-o", "--out-dir", required=True, metavar="DIR")
    parser.add_argument("-f", "--files-from", metavar="FILE", help="also the photos listed in FILE ('-': standard input)")
    parser.add_argument("-0", "--null", action="store_true", help="names in the list end with NUL bytes")
    parser.add_argument("-s", "--skip-existing", action="store_true")
    parser.add_argument("-r", "--report", metavar="FILE.csv")
    parser.add_argument("--window", default="7", metavar="K", help="metric window, 1 to 15438 (default 7)")
    parser.add_argument("--dim", default="1.7", metavar="D", help="target dimension, 0 to 2 (default 1.7)")
    parser.add_argument("--tolerance", default="0.1", metavar="E", help="tolerance on the dimension, 0 to 2 (default 0.1)")

    started = time.monotonic()
    with contextlib.ExitStack() as stack:
        try:
            args = parser.parse_args(argv)
            window = _option("--window", args.window, 1, _WINDOW_MAX, whole=True)
            dimension = _option("--dim", args.dim, 0, 2, whole=False)
            tolerance = _option("--tolerance", args.tolerance, 0, 2, whole=False)
            wait = _option("--wait", args.wait, 0, 86400, whole=False)
            workers = None if args.workers is None else _option("--workers", args.workers, 1, 1024, whole=True)
            if args.scheduler_file and not os.path.isfile(args.scheduler_file):
                raise _Refusal(f"--scheduler-file: no file {args.scheduler_file} (start the scheduler first)")
            photos = list(args.photos)
            if args.files_from:
                photos += _read_list(args.files_from, args.null)
            if not photos:
                raise ValueError("no photos given")
            client = None
            if args.scheduler or args.scheduler_file:
                from distributed import Client

                client = stack.enter_context(Client(args.scheduler, scheduler_file=args.scheduler_file))
                _wait_for_workers(client, wait)
            elif workers:
                from distributed import Client

                client = stack.enter_context(Client(stack.enter_context(local_cluster(workers))))
            records = stack.enter_context(
                map_photos(
                    photos,
                    args.out_dir,
                    client=client,
                    window=window,
                    dimension=dimension,
                    tolerance=tolerance,
                    skip_existing=args.skip_existing,
                    report=args.report,
                )
            )
        except (_Refusal, ValueError, OSError, RuntimeError) as e:
            _say(f"roughgc: {e}")
            return 255

        counts = {"written": 0, "failed": 0, "skipped": 0}
        for record in records:
            counts[record["outcome"]] += 1
            if record["outcome"] == "failed":
                _say(f"{record['photo']}: {record['error']}")
    summary = f"{counts['written']} maps written, {counts['failed']} failed"
    if counts["skipped"]:
        summary += f", {counts['skipped']} skipped"
    print(f"{summary}, {time.monotonic() - started:.1f} s")
    return 2 if counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
