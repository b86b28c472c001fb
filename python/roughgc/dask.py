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
given (one too large for a worker's memory) is a failed record. A run never
waits without end: on a cluster left with no worker, or whose workers make no
progress for longer than their photos' sizes justify, the photos not done are
failed records that say so.

From a shell, against a running scheduler (`dask scheduler` on one machine,
`dask worker tcp://HOST:8786` on the others, all seeing the same files under
the same paths):

    python3 -m roughgc.dask --scheduler tcp://HOST:8786 --out-dir DIR --files-from LIST
"""

import argparse
import ast
import asyncio
import collections
import contextlib
import json
import logging
import multiprocessing
import numbers
import os
import sys
import time
import warnings

import roughgc
from roughgc import _roughgc

# The report, its records and their wording are batch mode's, from the
# compiled module; this module only schedules the photos on a cluster.
REPORT_FIELDS = _roughgc._REPORT_FIELDS

__all__ = ["map_photos", "Records", "local_cluster", "REPORT_FIELDS", "WORKER_DIED", "NO_WORKER_LEFT", "csv_line"]

# What a photo's record says when every worker that took it died.
WORKER_DIED = _roughgc._WORKER_DIED
_EXIT = _roughgc._EXIT

csv_line = _roughgc._csv_line

# The library's defaults, and the limits of batch mode's values by name.
_DEFAULTS = _roughgc._DEFAULTS
_RANGES = _roughgc._RANGES


def _value(name, value):
    """value, if batch mode would take it for name (window, dimension or
    tolerance); TypeError or ValueError worded as batch mode's otherwise."""
    low, high, whole = _RANGES[name]
    # bool is an int to Python, but window=True is a slip, not a window.
    if isinstance(value, bool) or not isinstance(value, numbers.Integral if whole else numbers.Real):
        raise TypeError(f"{name} {_roughgc._number_refusal(type(value).__name__, low, high, whole)}")
    if not low <= value <= high:  # NaN too
        raise ValueError(f"{name} {_roughgc._number_refusal(f'{value}', low, high, whole)}")
    return int(value) if whole else float(value)


def _device(value):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"device must be a whole number from 0 up, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"device must be a whole number from 0 up, not {value}")
    return int(value)


# One extractor per worker process (and device), made with its first photo.
_extractors = {}


def _extractor(device):
    if device not in _extractors:
        _extractors[device] = roughgc.Extractor(device)
    return _extractors[device]


def _process(photo, map_path, overlay, params, skip_existing):
    """One photo, on a worker: read, extract, write. Never raises: a failure
    is the record's outcome."""
    # Relative names are the client's: this worker may have started in
    # another folder, or on another machine. The extractor is made only for
    # a photo that is not skipped.
    return _roughgc._map_photo(
        lambda: _extractor(params["device"]),
        photo,
        map_path,
        params["cwd"],
        overlay=overlay,
        window=params["window"],
        dimension=params["dimension"],
        tolerance=params["tolerance"],
        skip_existing=skip_existing,
    )


def _process_chunk(chunk, params, skip_existing):
    return [_process(photo, map_path, overlay, params, skip_existing) for photo, map_path, overlay in chunk]


def _failed(item, why):
    """The record of the photo of item (photo, map, overlay) failed as why."""
    return _roughgc._failed_record(item[0], item[1], why)


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


def _spawn_without_missing_script():
    """Spawned processes first run again the script that started this one,
    from its file. A script read from standard input (`python3 - <<EOF`), or
    whose file is gone, has none: every worker would die as it starts, with
    FileNotFoundError. Such processes start without it (nothing of the
    script is needed there: tasks travel with their functions)."""
    import multiprocessing.spawn as spawn

    original = spawn.get_preparation_data
    if getattr(original, "_roughgc", False):
        return

    def get_preparation_data(name):
        data = original(name)
        path = data.get("init_main_from_path")
        if path is not None and not os.path.isfile(path):
            del data["init_main_from_path"]
        return data

    get_preparation_data._roughgc = True
    spawn.get_preparation_data = get_preparation_data


def _cluster_class():
    from distributed import LocalCluster
    from distributed.deploy.cluster import Cluster

    class _LocalCluster(LocalCluster):
        """LocalCluster whose nannies stay. Its base closes for good a nanny
        whose worker has not joined again within
        distributed.deploy.lost-worker-timeout (15 s) of leaving; under load,
        a worker that its nanny restarts (after the memory limit, say) takes
        longer than that, and one after another the nannies were closed,
        leaving a cluster with no worker and its tasks waiting for ever. A
        nanny restarts its worker itself: the cluster only keeps count."""

        def _update_worker_status(self, op, msg):
            Cluster._update_worker_status(self, op, msg)

    return _LocalCluster


# How long a local cluster's worker processes may take to start and join.
_START_WAIT = 120.0


def _spawned_children():
    """The ids of this process's children that multiprocessing spawned (a
    worker process each, not its resource tracker)."""
    import psutil

    pids = set()
    for child in psutil.Process().children(recursive=True):
        try:
            if "--multiprocessing-fork" in child.cmdline():
                pids.add(child.pid)
        except psutil.Error:
            pass  # gone already
    return pids


# Runs the script as a spawned process runs it before its work: its folder,
# path and arguments, standard input closed, and known as a process that is
# starting (map_photos and local_cluster then do nothing there).
_RERUN = """\
import json, multiprocessing.process, multiprocessing.spawn, os, sys
data = json.loads(sys.argv[1])
sys.path[:] = data["sys_path"]
sys.argv[:] = data["sys_argv"]
os.chdir(data["dir"])
multiprocessing.process.current_process()._inheriting = True
multiprocessing.spawn._fixup_main_from_path(data["init_main_from_path"])
"""


def _script_error():
    """The error, as its traceback's last line, with which the calling script
    fails where a worker process runs it again; None where it does not fail
    there, or not within seconds."""
    import multiprocessing.spawn as spawn
    import subprocess

    data = spawn.get_preparation_data("roughgc")
    if "init_main_from_path" not in data:
        return None
    fields = {k: data[k] for k in ("sys_path", "sys_argv", "dir", "init_main_from_path")}
    try:
        run = subprocess.run([sys.executable, "-c", _RERUN, json.dumps(fields)], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=20)
    except (OSError, subprocess.TimeoutExpired):
        return None
    lines = run.stderr.decode(errors="replace").strip().splitlines()
    return lines[-1] if run.returncode != 0 and lines else None


def _wait_for_start(cluster, workers):
    """Waits until the cluster's workers have joined. Raises RuntimeError
    when its worker processes keep dying as they start (their nannies would
    start them again without end), or after _START_WAIT seconds."""
    started = time.monotonic()
    seen = set()
    while len(cluster.scheduler_info.get("workers", {})) < workers:
        seen |= _spawned_children()
        if len(seen) > 2 * workers + 1:
            error = _script_error()
            raise RuntimeError(
                "the worker processes of the local cluster die as they start: each first runs this script "
                f"again, and it fails there ({error or 'its error is above'}); put the script's work under "
                '`if __name__ == "__main__":`'
            )
        if time.monotonic() - started > _START_WAIT:
            raise RuntimeError(f"the workers of the local cluster did not start in {_START_WAIT:g} s")
        time.sleep(0.05)


def _start_cluster(workers=None, **options):
    workers = options.pop("n_workers", None) or workers or len(os.sched_getaffinity(0))
    settings = dict(
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
    if not settings["processes"]:
        # Workers in threads of this process: none dies as it starts.
        del settings["env"]
        return _cluster_class()(n_workers=workers, **settings)
    _spawn_without_missing_script()
    # Started empty and then grown, without waiting: LocalCluster waits for
    # its workers itself, for ever if they die as they start.
    cluster = _cluster_class()(n_workers=0, **settings)
    try:
        cluster.scale(workers)
        _wait_for_start(cluster, workers)
    except BaseException:
        # Its nannies first: one that is still starting holds the cluster's
        # lock, and restarts its worker as fast as it dies.
        async def close_nannies():
            nannies = list(getattr(cluster, "_created", ()))
            await asyncio.gather(*(nanny.close(timeout=2) for nanny in nannies), return_exceptions=True)

        with contextlib.suppress(Exception):
            cluster.sync(close_nannies)
        cluster.close(timeout=10)
        raise
    return cluster


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
    # function itself, and a worker that lacks roughgc can still run it. Its
    # answer tells a worker that cannot import roughgc from one that could
    # not be asked (gone meanwhile).
    def check():
        try:
            import roughgc.dask  # noqa: F401
        except BaseException as e:  # noqa: B036 (an answer, whatever it is)
            return f"{type(e).__name__}: {e}"
        return None

    return check


def _check_workers(client):
    """Raises RuntimeError naming a worker that cannot import roughgc: its
    tasks would fail, one photo after another. A worker lost meanwhile is
    not named: the run goes on with the others (and, with none left, fails
    its photos as "no worker left")."""
    try:
        answers = client.run(_worker_check(), on_error="return")
    except (OSError, TimeoutError):
        return  # the scheduler could not reach them: the run's watch decides
    for address, answer in sorted(answers.items()):
        if isinstance(answer, str):
            raise RuntimeError(
                f"the worker {address} cannot import roughgc.dask ({answer}); install roughgc where that worker runs"
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
    window=_DEFAULTS["window"],
    dimension=_DEFAULTS["dimension"],
    tolerance=_DEFAULTS["tolerance"],
    skip_existing=False,
    report=None,
    device=0,
    format="bmp",
    recursive=False,
    overlay_dir=None,
):
    """Makes the map of every photo on a Dask cluster, as OUT_DIR/NAME.bmp
    (format="png": OUT_DIR/NAME.png, 1-bit grey, as batch mode's --format png).
    A folder in paths stands for its photos, as in batch mode: the files with
    a photo format's extension, by name (hidden ones left out), and with
    recursive those of its subfolders too, their tree kept under OUT_DIR
    (photos/a/x.jpg gives OUT_DIR/a/x.bmp for the folder photos). A folder
    without photos is a warnings.warn of batch mode's line. With overlay_dir,
    each photo's overlay (roughgc.overlay: the map drawn over the photo) is
    written there too, as OVERLAY_DIR/NAME.jpg, as batch mode's --overlay.

    Yields one record per photo, in the order the photos finish: a dict with
    the fields of batch mode's report (REPORT_FIELDS: photo, map, outcome
    ("written", "skipped" or "failed"), width, height, quantile_index,
    threshold, coarse_boxes, fine_boxes, dimension, passes, milliseconds,
    error, converged: whether the search reached the target dimension),
    None where a field has no value. A photo that fails is a record
    with outcome "failed" and its error, never an exception; one whose
    worker dies on it each time is failed as WORKER_DIED, its worker's
    memory limit being the usual cause. When the cluster has had no worker
    for a minute (five for client's), or its workers have finished nothing
    for a minute and as long again as their photos' pixels take at 4 million
    a second, the photos not done are failed as NO_WORKER_LEFT or "no worker
    made progress in N s". Names in records are str, as given
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
    report; a worker of client that answers that it cannot import roughgc
    raises RuntimeError; all before any work. A local cluster whose worker
    processes die as they start (they run the calling script again first,
    and it fails there) raises RuntimeError with the first record, saying
    with what error; a script read from standard input is not run again.

    In a worker process that is re-running a script (one without
    `if __name__ == "__main__":`), map_photos does nothing and yields
    nothing, so that the script's call starts no cluster there.
    """
    if _in_bootstrap():
        return Records(_nothing())
    out_dir = os.fsdecode(out_dir)
    params = {
        "window": _value("window", window),
        "dimension": _value("dimension", dimension),
        "tolerance": _value("tolerance", tolerance),
        "device": _device(device),
        "cwd": os.getcwd(),
    }
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("paths must be a collection of paths, not one path")
    if report is not None:
        report = os.fsdecode(report)
    if not isinstance(format, str):
        raise TypeError(f"format must be bmp or png, not {type(format).__name__}")
    if overlay_dir is not None:
        overlay_dir = os.fsdecode(overlay_dir)
    items, notes = _roughgc._plan(paths, out_dir, report, format, bool(recursive), overlay_dir)
    for note in notes:
        warnings.warn(note, stacklevel=2)
    if report is not None:
        report = os.path.abspath(report)
    if client is not None:
        _check_workers(client)
    os.makedirs(out_dir, exist_ok=True)
    if overlay_dir is not None:
        os.makedirs(overlay_dir, exist_ok=True)
    return Records(_records(items, client, params, skip_existing, report))


# How long map_photos waits on a cluster that has no worker (its own, whose
# nannies restart workers within seconds, or the caller's, which may be
# starting them), and on one whose workers make no progress: a task may take
# _STALL_WAIT seconds and one more for each _PIXELS_A_SECOND pixels of its
# photos (a core decodes and maps some 30 million a second, a fraction of
# that when it is shared).
_NO_WORKER_WAIT = {"own": 60.0, "given": 300.0}
_STALL_WAIT = 60.0
_PIXELS_A_SECOND = 4e6
# What a photo's record says when the run gives up on it.
NO_WORKER_LEFT = "no worker left"


class _Watch:
    """The health of map_photos's cluster, looked at while it waits for its
    tasks: why to give up on the photos not done, if it should."""

    def __init__(self, client, cluster, params):
        self.client = client
        self.cluster = cluster  # a cluster of map_photos's own, or None
        self.params = params
        self.last_progress = time.monotonic()
        self.no_worker_since = None
        self.seconds = {}  # task key: how long it may take

    def progress(self):
        self.last_progress = time.monotonic()

    def _task_seconds(self, chunk):
        total = 0.0
        for photo, *_ in chunk:
            path = os.path.join(self.params["cwd"], photo)
            pixels = _roughgc._photo_pixels(path)
            if pixels is None:
                try:
                    pixels = os.stat(path).st_size  # no header to tell: the bytes are as many
                except OSError:
                    pixels = 0
            total += pixels / _PIXELS_A_SECOND
        return total

    def why_give_up(self, in_flight):
        """None while the run may go on; otherwise what the photos not done
        are failed with."""
        now = time.monotonic()
        if self.client.scheduler_info().get("workers"):
            self.no_worker_since = None
        elif self.no_worker_since is None:
            self.no_worker_since = now
        wait = _NO_WORKER_WAIT["own" if self.cluster is not None else "given"]
        if self.no_worker_since is not None and now - self.no_worker_since > wait:
            return NO_WORKER_LEFT
        stalled = now - self.last_progress
        if stalled <= _STALL_WAIT:
            return None
        # Only the tasks that workers hold now can hold the run up.
        longest = 0.0
        by_key = {future.key: chunk for future, (chunk, _) in in_flight.items()}
        for keys in self.client.processing().values():
            for key in keys:
                if key in by_key:
                    if key not in self.seconds:
                        self.seconds[key] = self._task_seconds(by_key[key])
                    longest = max(longest, self.seconds[key])
        bound = _STALL_WAIT + longest
        if stalled > bound:
            return f"no worker made progress in {bound:.0f} s"
        return None


def _wait_a_moment(done, seconds):
    """Waits until a task of done finishes, for seconds at most."""
    condition = getattr(done, "thread_condition", None)  # what its own iterator waits on
    if condition is None:
        time.sleep(seconds)
        return
    with condition:
        if not done.has_ready():
            condition.wait(seconds)


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
            writer = _roughgc._ReportFile(report, skip_existing)
        done = as_completed(loop=client.loop)
        watch = _Watch(client, cluster, params)

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
        while in_flight:
            ready = done.next_batch(block=False)
            if not ready:
                why = watch.why_give_up(in_flight)
                if why is None:
                    _wait_a_moment(done, 0.1)
                    continue
                # Nothing will come: every photo not done says why.
                records = [
                    _failed(item, why)
                    for chunk, _ in in_flight.values()
                    for item in chunk
                ] + [_failed(item, why) for item in suspects]
                suspects.clear()
                client.cancel(list(in_flight))
                in_flight.clear()
                for record in records:
                    if writer is not None:
                        writer.add(record)
                    yield record
                break
            watch.progress()
            for future in ready:
                chunk, alone = in_flight.pop(future)
                if future.status == "finished":
                    records = future.result()
                else:
                    records = []
                    error = future.exception() if future.status == "error" else None
                    if isinstance(error, KilledWorker):
                        if alone:
                            records = [_failed(chunk[0], WORKER_DIED)]
                        else:
                            suspects.extend(chunk)
                    elif len(chunk) > 1:
                        # Which photo failed the task is not known: each gets
                        # one of its own.
                        for item in chunk:
                            submit([item])
                    else:
                        why = (f"{type(error).__name__}: {error}" if error is not None
                               else f"its task was {future.status}")
                        records = [_failed(chunk[0], why)]
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
        try:
            if writer is not None:
                writer.close()
        finally:
            if own:
                if client is not None:
                    client.close()
                if cluster is not None:
                    cluster.close()


_PROG = "python3 -m roughgc.dask"


class _Refusal(Exception):
    """A command line that cannot work: one line, status 255."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise _Refusal(f"{message} (see {_PROG} --help)")


def _option(name, text, low, high, whole):
    """The value of an option, or a refusal worded as batch mode's."""
    try:
        return _roughgc._number(text, low, high, whole)
    except ValueError as e:
        raise _Refusal(f"{name}: {e} (see {_PROG} --help)") from None


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
    said = None
    # Asked of the scheduler each time, in a call of its own: the client's
    # wait_for_workers leaves a future behind when it times out, whose
    # TimeoutError Python prints at exit.
    while not client.ncores():
        waited = time.monotonic() - started
        if waited >= limit:
            raise TimeoutError(f"no worker joined the scheduler at {address} in {limit:g} s")
        if said is None or waited - said >= 5:
            print(f"roughgc: waiting for a worker to join the scheduler at {address} ({waited:.0f} s)",
                  file=sys.stderr, flush=True)
            said = waited
        time.sleep(min(0.2, limit - waited))


def main(argv=None):
    parser = _Parser(
        prog=_PROG,
        description="Writes the rough contour map of each photo, as DIR/NAME.bmp, on a Dask cluster. "
        "Relative names are taken from this folder; the workers must see the same paths.",
    )
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://HOST:8786")
    where.add_argument("--scheduler-file", metavar="FILE", help="the file that `dask scheduler --scheduler-file` wrote")
    where.add_argument("--workers", metavar="N", help="a local cluster of N worker processes (default: cores)")
    parser.add_argument("--wait", default="300", metavar="SECONDS",
                        help="how long to wait for a first worker to join the scheduler (default 300)")
    # Batch mode's options, bar its threads, memory and display: the same
    # names and help.
    numbers = {}
    for names, value, text, default, required, batch_only, number in _roughgc._OPTIONS:
        text = text.replace("%", "%%")
        if batch_only:
            continue
        if names == ["photos"]:
            parser.add_argument("photos", nargs="*", metavar=value.rstrip("."), help=text)
        elif not value:
            parser.add_argument(*names, action="store_true", help=text)
        else:
            action = parser.add_argument(*names, metavar=value, default=default, required=required, help=text)
            if number is not None:
                numbers[action.dest] = (names[-1], number)

    started = time.monotonic()
    with contextlib.ExitStack() as stack:
        try:
            args = parser.parse_args(argv)
            for dest, (flag, number) in numbers.items():
                setattr(args, dest, _option(flag, getattr(args, dest), *number))
            window, dimension, tolerance = args.window, args.dim, args.tolerance
            wait = _option("--wait", args.wait, 0, 86400, whole=False)
            workers = None if args.workers is None else _option("--workers", args.workers, *_RANGES["jobs"])
            if args.scheduler_file and not os.path.isfile(args.scheduler_file):
                raise _Refusal(f"--scheduler-file: no file {args.scheduler_file} (start the scheduler first)")
            photos = list(args.photos)
            if args.files_from:
                photos += _roughgc._read_list(args.files_from, args.null)
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
            with warnings.catch_warnings(record=True) as notes:
                warnings.simplefilter("always")
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
                        format=args.format,
                        recursive=args.recursive,
                        overlay_dir=args.overlay,
                    )
                )
            for note in notes:
                _say(f"roughgc: {note.message}")
        except (_Refusal, ValueError, OSError, RuntimeError) as e:
            _say(f"roughgc: {e}")
            return _EXIT["bad_command_line"]

        counts = {"written": 0, "failed": 0, "skipped": 0}
        for record in records:
            counts[record["outcome"]] += 1
            if (note := _roughgc._photo_note(record, dimension, tolerance)) is not None:
                _say(f"{record['photo']}: {note}")
    print(_roughgc._summary_line(counts["written"], counts["failed"], counts["skipped"], 0,
                                 time.monotonic() - started))
    return _EXIT["some_photos_failed"] if counts["failed"] else _EXIT["all_written"]


if __name__ == "__main__":
    sys.exit(main())
