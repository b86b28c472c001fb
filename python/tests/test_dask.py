"""Collections on Dask clusters: the maps and report of batch mode, from
worker processes on this machine; a worker killed in the middle, or by a
photo too large for it; a run closed early; the README's example as a script
without a main guard; and a scheduler with workers started from the shell."""

import contextlib
import functools
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time
import zlib
from pathlib import Path

import dask
import psutil
import pytest
from distributed import Client, LocalCluster

import roughgc.dask as rdask
from roughgc import _roughgc
from conftest import PHOTOS, TOOL

CLI = [sys.executable, "-m", "roughgc.dask"]


def collection(folder, copies):
    """`copies` copies of each test photo in `folder`, with the name of the
    photo that each copies."""
    folder.mkdir()
    paths = {}
    for k in range(copies):
        for name, source in PHOTOS.items():
            stem, extension = os.path.splitext(name)
            path = folder / f"{stem}_{k}{extension}"
            shutil.copyfile(source, path)
            paths[str(path)] = name
    return paths


def huge_png(path, side=16000):
    """A one-bit grey PNG: 40 KB on disk, 3 bytes a pixel (730 MiB) once
    decoded as colour. Interlaced, so that it is decoded whole, never
    streamed row by row into the first pass."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    packer = zlib.compressobj(9)
    pixels = b""
    # The seven passes of Adam7: first column and row, and steps.
    for x0, y0, dx, dy in [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
                           (0, 1, 1, 2)]:
        row = bytes(1 + ((side - x0 + dx - 1) // dx + 7) // 8)
        pixels += b"".join(packer.compress(row) for _ in range((side - y0 + dy - 1) // dy))
    pixels += packer.flush()
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 1, 0, 0, 0, 1))
                     + chunk(b"IDAT", pixels) + chunk(b"IEND", b""))


def expect_tool_maps(out, paths, tool_maps, others=()):
    expected = {os.path.splitext(os.path.basename(p))[0] + ".bmp": name for p, name in paths.items()}
    assert sorted(os.listdir(out)) == sorted([*expected, *others])  # nothing else: no temporary file
    for map_name, photo_name in expected.items():
        assert (out / map_name).read_bytes() == tool_maps[photo_name], map_name


def rows_without_times(csv_bytes):
    """The report's rows in photo order, the milliseconds left out."""
    rows = [line.split(b",") for line in csv_bytes.splitlines()]
    for row in rows[1:]:
        if len(row) == 14:
            row[11] = b""
    return [rows[0]] + sorted(rows[1:])


def run_bounded(command, timeout, input=None, **options):
    """subprocess.run, its whole process group killed when time is up."""
    with subprocess.Popen(command, stdin=subprocess.DEVNULL if input is None else subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                          **options) as process:
        try:
            stdout, stderr = process.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            raise
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr)


def stop(processes):
    for p in processes:
        p.terminate()
    for p in processes:
        try:
            p.wait(timeout=30)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


@pytest.fixture(scope="module")
def client():
    # A death fails every task its worker held, with no rerun by Dask: the
    # runs below then go through map_photos's own recovery, and a photo that
    # kills workers costs two deaths, not eight.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        cluster = rdask.local_cluster(2, memory_limit="400MiB")
    with cluster, Client(cluster) as c:
        yield c


def test_maps_and_report_are_batch_modes(client, tmp_path, tool_maps):
    paths = collection(tmp_path / "photos", 2)
    missing = str(tmp_path / "photos" / "missing.jpg")
    records = list(rdask.map_photos([*paths, missing], tmp_path / "out", client=client, report=tmp_path / "report.csv"))

    assert len(records) == len(paths) + 1
    assert {r["photo"] for r in records} == {*paths, missing}
    failed = [r for r in records if r["outcome"] == "failed"]
    assert failed == [dict(dict.fromkeys(rdask.REPORT_FIELDS), photo=missing, map=str(tmp_path / "out" / "missing.bmp"),
                           outcome="failed", error="Error reading image (No such file or directory)")]
    expect_tool_maps(tmp_path / "out", paths, tool_maps)

    batch = subprocess.run([TOOL, "-o", str(tmp_path / "out"), "-r", str(tmp_path / "batch.csv"), "-q", *paths, missing],
                           capture_output=True, text=True, timeout=60)
    assert batch.returncode == 2, batch.stderr
    assert rows_without_times((tmp_path / "report.csv").read_bytes()) == rows_without_times(
        (tmp_path / "batch.csv").read_bytes())


def test_odd_names_files_and_folders_give_batch_modes_rows(client, tmp_path, monkeypatch):
    """A name with a leading dot and no extension, one that is not UTF-8, a
    file that is no image, a folder where a map goes, and a report in an
    out-dir not made yet, continued by a second run; relative names, from a
    folder the workers did not start in."""
    photos = [".profile", b"caf\xe9.png", "notes.jpg", "blocked.jpg"]
    for side in ("dask", "batch"):
        folder = tmp_path / side
        folder.mkdir()
        shutil.copyfile(PHOTOS["fruits.jpg"], folder / ".profile")
        shutil.copyfile(PHOTOS["chicky_512.png"], os.path.join(os.fsencode(folder), b"caf\xe9.png"))
        shutil.copyfile(PHOTOS["left01.jpg"], folder / "blocked.jpg")
        (folder / "notes.jpg").write_text("not a photo\n")

    def batch(*options):
        subprocess.run([TOOL, "-q", "-o", "out", "-r", "out/report.csv", *options, *photos], cwd=tmp_path / "batch",
                       capture_output=True, timeout=60)

    monkeypatch.chdir(tmp_path / "dask")
    list(rdask.map_photos(photos, "out", client=client, report="out/report.csv"))
    batch()
    for side in ("dask", "batch"):
        (tmp_path / side / "out" / "blocked.bmp").unlink()
        (tmp_path / side / "out" / "blocked.bmp").mkdir()
    list(rdask.map_photos(photos, "out", client=client, report="out/report.csv", skip_existing=True))
    batch("-s")

    ours, theirs = ((tmp_path / side / "out" / "report.csv").read_bytes() for side in ("dask", "batch"))
    assert rows_without_times(ours) == rows_without_times(theirs)
    ours, theirs = (sorted(os.listdir(os.fsencode(tmp_path / side / "out"))) for side in ("dask", "batch"))
    assert ours == theirs == [b".profile.bmp", b"blocked.bmp", b"caf\xe9.bmp", b"report.csv"]


def test_a_continued_report_loses_a_row_cut_short_as_batch_modes_does(client, tmp_path):
    paths = collection(tmp_path / "photos", 1)
    report = tmp_path / "report.csv"
    list(rdask.map_photos(list(paths)[:1], tmp_path / "out", client=client, report=report))
    whole = report.read_bytes()
    report.write_bytes(whole + b"cut.jpg,out/cut.bmp,writ")  # a run that died inside a write
    records = list(rdask.map_photos(list(paths), tmp_path / "out", client=client, report=report, skip_existing=True))

    assert [r["outcome"] for r in records].count("skipped") == 1
    # The skipped photo keeps its earlier row, that of the run that wrote its map.
    assert report.read_bytes() == whole + b"".join(
        os.fsencode(rdask.csv_line(r)) for r in records if r["outcome"] != "skipped")


def test_a_flat_photo_is_told_not_converged_as_batch_mode_tells_it(client, tmp_path, capsys):
    """Its map is written and the run succeeds; the record, the row and the
    line on standard error say that the search fell short."""
    import numpy as np

    import roughgc

    flat = tmp_path / "flat.png"
    roughgc.write_map(flat, np.full((120, 150), 128, np.uint8))  # a grey PNG
    fruits = PHOTOS["fruits.jpg"]
    assert rdask.main(["--scheduler", client.scheduler.address, "-o", str(tmp_path / "out"), "-r",
                       str(tmp_path / "dask.csv"), str(flat), fruits]) == 0
    err = capsys.readouterr().err
    batch = subprocess.run([TOOL, "-o", str(tmp_path / "out"), "-r", str(tmp_path / "batch.csv"), str(flat), fruits],
                           capture_output=True, text=True, timeout=60)
    assert batch.returncode == 0, batch.stderr
    assert err == batch.stderr == (f"{flat}: did not converge: dimension -nan after 1 pass, target 1.7 within 0.1"
                                   " (its map is written)\n")
    assert rows_without_times((tmp_path / "dask.csv").read_bytes()) == rows_without_times(
        (tmp_path / "batch.csv").read_bytes())
    records = {r["photo"]: r for r in rdask.map_photos([flat, fruits], tmp_path / "again", client=client)}
    assert (records[str(flat)]["outcome"], records[str(flat)]["converged"]) == ("written", False)
    assert records[fruits]["converged"] is True
    assert rdask.csv_line(records[str(flat)]).endswith(",,false\n")


@pytest.mark.parametrize("options, message", [
    ({"window": "7"}, "window must be a whole number from 1 to 15438, not str"),
    ({"window": 0}, "window must be a whole number from 1 to 15438, not 0"),
    ({"dimension": float("nan")}, "dimension must be a number from 0 to 2, not nan"),
    ({"tolerance": 2.5}, "tolerance must be a number from 0 to 2, not 2.5"),
    ({"device": -1}, "device must be a whole number from 0 up, not -1"),
])
def test_values_batch_mode_refuses_are_refused_before_any_work(client, tmp_path, options, message):
    error = TypeError if "not str" in message else ValueError
    with pytest.raises(error) as refusal:
        rdask.map_photos([PHOTOS["fruits.jpg"]], tmp_path / "out", client=client, **options)
    assert str(refusal.value) == message
    assert not (tmp_path / "out").exists()


def test_names_that_cannot_work_are_refused_before_any_work(client, tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    shutil.copyfile(PHOTOS["fruits.jpg"], tmp_path / "a" / "x.jpg")
    shutil.copyfile(PHOTOS["chicky_512.png"], tmp_path / "b" / "x.png")
    out = tmp_path / "out"
    with pytest.raises(ValueError, match=r"a/x\.jpg and .*b/x\.png would both write .*out/x\.bmp$"):
        rdask.map_photos([tmp_path / "a" / "x.jpg", tmp_path / "b" / "x.png"], out, client=client)
    with pytest.raises(TypeError, match=r"^paths must be a collection of paths, not one path$"):
        rdask.map_photos(str(tmp_path / "a" / "x.jpg"), out, client=client)
    with pytest.raises(ValueError, match=r"x\.jpg is not a report of roughgc's"):
        rdask.map_photos([tmp_path / "b" / "x.png"], out, client=client, report=tmp_path / "a" / "x.jpg")
    assert not out.exists()


def test_the_command_line_refuses_what_cannot_work_as_batch_mode_does(tmp_path, capsys):
    out = tmp_path / "out"
    photo = PHOTOS["fruits.jpg"]
    for options, batch_options in [(["--window", "7.5"], ["--window", "7.5"]), (["--dim", "nan"], ["--dim", "nan"]),
                                   (["--workers", "0"], ["--jobs", "0"]), (["--workers=-1"], ["--jobs=-1"])]:
        assert rdask.main(["-o", str(out), *options, photo]) == 255
        batch = subprocess.run([TOOL, "-o", str(out), *batch_options, photo], capture_output=True, text=True,
                               timeout=60)
        assert batch.returncode == 255
        assert capsys.readouterr().err == batch.stderr.replace("--jobs", "--workers").replace(
            "roughgc --help", "python3 -m roughgc.dask --help")
    assert not out.exists()


def test_the_command_line_offers_batch_modes_options_with_their_names_and_help(capsys):
    with pytest.raises(SystemExit):
        rdask.main(["--help"])
    dask_help = "".join(capsys.readouterr().out.split())  # wrapped as each parser wraps
    batch_help = "".join(subprocess.run([TOOL, "--help"], capture_output=True, text=True, timeout=60).stdout.split())
    offered = 0
    for names, value, text, default, required, batch_only, number in _roughgc._OPTIONS:
        text = "".join(text.split())
        assert text in batch_help, names
        assert (text in dask_help) != batch_only, names
        if not batch_only and names != ["photos"]:
            offered += 1
            assert all(name in dask_help for name in names), names
    assert offered >= 11


def test_a_killed_worker_loses_no_photo_and_doubles_none(client, tmp_path, tool_maps):
    paths = collection(tmp_path / "photos", 8)
    out = tmp_path / "out"
    client.wait_for_workers(2, timeout=30)
    pids = list(client.run(os.getpid).values())
    records = []
    for record in rdask.map_photos(list(paths), out, client=client):
        records.append(record)
        if len(records) == 1:
            os.kill(pids[0], signal.SIGKILL)  # photos in flight there are done again elsewhere
    assert sorted(r["photo"] for r in records) == sorted(paths)
    assert all(r["outcome"] == "written" for r in records), [r for r in records if r["outcome"] != "written"]
    expect_tool_maps(out, paths, tool_maps)


def test_a_photo_too_large_for_its_worker_is_a_failed_record(client, tmp_path, tool_maps):
    paths = collection(tmp_path / "photos", 5)
    huge = str(tmp_path / "photos" / "huge.png")
    huge_png(tmp_path / "photos" / "huge.png")
    out = tmp_path / "out"
    client.wait_for_workers(2, timeout=30)
    # Last, it shares its task with a photo that must not fail with it.
    records = list(rdask.map_photos([*paths, huge], out, client=client, report=tmp_path / "report.csv"))

    assert [r for r in records if r["outcome"] != "written"] == [
        dict(dict.fromkeys(rdask.REPORT_FIELDS), photo=huge, map=str(out / "huge.bmp"), outcome="failed",
             error="out of memory: its worker died")]
    assert sorted(r["photo"] for r in records) == sorted([*paths, huge])
    expect_tool_maps(out, paths, tool_maps)  # every map written has its record
    assert len((tmp_path / "report.csv").read_bytes().splitlines()) == 1 + len(records)


def test_leaving_the_records_block_cancels_the_rest(client, tmp_path, monkeypatch):
    paths = collection(tmp_path / "photos", 10)
    out = tmp_path / "out"
    client.wait_for_workers(2, timeout=30)  # none of its processes starts meanwhile
    with rdask.map_photos(list(paths), out, client=client) as records:
        next(records)
    deadline = time.monotonic() + 20
    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
        assert time.monotonic() < deadline, "the cluster still holds the run's tasks"
        time.sleep(0.05)
    assert len(os.listdir(out)) < len(paths)

    # A cluster of its own is shut down with its workers.
    monkeypatch.setattr(rdask, "_start_cluster", functools.partial(rdask._start_cluster, 1))
    here = psutil.Process()
    before = set(here.children(recursive=True))
    with rdask.map_photos(list(paths), tmp_path / "own") as records:
        next(records)
        workers = set(here.children(recursive=True)) - before
        assert workers
    gone, alive = psutil.wait_procs(workers, timeout=20)
    assert not alive


def test_scripts_without_a_main_guard(tmp_path, tool_maps):
    paths = collection(tmp_path / "photos", 1)
    script = tmp_path / "example.py"
    script.write_text(textwrap.dedent("""\
        import glob
        from roughgc.dask import map_photos

        paths = glob.glob("photos/*")
        for record in map_photos(paths, "maps", report="maps/report.csv"):    # a local cluster, a process per core
            if record["outcome"] == "failed":
                print(record["photo"], record["error"])
        """))
    # One core: one worker. The port of Dask's dashboard is held meanwhile.
    core = str(min(os.sched_getaffinity(0)))
    with socket.socket() as held:
        try:
            held.bind(("127.0.0.1", 8787))
            held.listen()
        except OSError:
            pass  # busy already
        run = run_bounded(["taskset", "-c", core, sys.executable, str(script)], 45, cwd=tmp_path)
    assert run.returncode == 0, run.stderr.decode()[-3000:]
    assert run.stdout == b""
    assert b"already in use" not in run.stderr and b"Traceback" not in run.stderr, run.stderr.decode()[-3000:]
    expect_tool_maps(tmp_path / "maps", paths, tool_maps, others=["report.csv"])
    assert len((tmp_path / "maps" / "report.csv").read_bytes().splitlines()) == 1 + len(paths)

    # A cluster started by the script itself would start workers without
    # end: it is refused at once, saying what to add.
    script.write_text("from roughgc.dask import local_cluster\n\ncluster = local_cluster(1)\n")
    run = run_bounded([sys.executable, str(script)], 45, cwd=tmp_path)
    assert run.returncode == 1
    assert run.stderr.splitlines()[-1] == (b'RuntimeError: roughgc.dask: start the cluster under '
                                           b'`if __name__ == "__main__":` (its worker processes re-run the script)')


def test_a_scheduler_and_a_worker_started_from_the_shell(tmp_path, tool_maps):
    paths = collection(tmp_path / "photos", 1)
    shutil.copyfile(PHOTOS["fruits.jpg"], os.path.join(os.fsencode(tmp_path / "photos"), b"caf\xe9.jpg"))
    names = [os.fsencode(os.path.relpath(p, tmp_path)) for p in paths] + [b"photos/caf\xe9.jpg", b"gone-\xe9.jpg"]
    (tmp_path / "list.txt").write_bytes(b"\n".join(names) + b"\n")
    elsewhere = tmp_path / "elsewhere"  # where the scheduler and the workers start
    elsewhere.mkdir()
    scheduler_file = str(tmp_path / "scheduler.json")
    dask_cli = [sys.executable, "-m", "dask"]
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "cwd": elsewhere}

    def cli(*options):
        return subprocess.run([*CLI, "--out-dir", "out", "--files-from", "list.txt", *options], cwd=tmp_path,
                              capture_output=True, timeout=30)

    # Dask's client would wait for the file to appear.
    run = cli("--scheduler-file", str(tmp_path / "none.json"))
    assert (run.returncode, run.stderr) == (
        255, f"roughgc: --scheduler-file: no file {tmp_path / 'none.json'} (start the scheduler first)\n".encode())

    # A scheduler that no worker joins, in this process, while the other
    # starts with its workers.
    empty = LocalCluster(n_workers=0, processes=True, dashboard_address=None,
                         scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})
    waiting = subprocess.Popen([*CLI, "--out-dir", "out", "--files-from", "list.txt", "--scheduler",
                                empty.scheduler_address, "--wait", "1"], cwd=tmp_path, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    scheduler = subprocess.Popen([*dask_cli, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                  "--scheduler-file", scheduler_file], **quiet)
    workers = {}
    try:
        for _ in range(600):
            if os.path.exists(scheduler_file):
                break
            time.sleep(0.05)
        without_roughgc = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        for name in ("lacking", "good"):
            workers[name] = subprocess.Popen([*dask_cli, "worker", "--scheduler-file", scheduler_file, "--nthreads",
                                              "1", "--no-dashboard", "--name", name], **quiet,
                                             env=without_roughgc if name == "lacking" else None)
        with Client(scheduler_file=scheduler_file, timeout=30) as c:
            c.wait_for_workers(2, timeout=60)
            address = c.scheduler.address
            lacking = [a for a, w in c.scheduler_info()["workers"].items() if w["name"] == "lacking"]
            run = cli("--scheduler", address)
            assert (run.returncode, run.stderr) == (
                255, f"roughgc: the worker {lacking[0]} cannot import roughgc.dask (ModuleNotFoundError: No module "
                     "named 'roughgc'); install roughgc where that worker runs\n".encode())
            _, waited = waiting.communicate(timeout=30)
            lines = waited.decode().splitlines()
            assert waiting.returncode == 255 and len(lines) == 2, lines
            assert lines == [f"roughgc: waiting for a worker to join the scheduler at {empty.scheduler_address} (0 s)",
                             f"roughgc: no worker joined the scheduler at {empty.scheduler_address} in 1 s"]
            workers.pop("lacking").terminate()
            deadline = time.monotonic() + 30
            while len(c.scheduler_info()["workers"]) != 1:
                assert time.monotonic() < deadline
                time.sleep(0.05)
        assert address.startswith("tcp://127.0.0.1:")
        # The README's command, relative names in the list and all.
        run = cli("--scheduler", address, "--report", "out/report.csv")
    finally:
        # The workers first: they then need not wait for the scheduler to
        # come back.
        stop(workers.values())
        stop([scheduler, waiting])
        empty.close()
    assert run.returncode == 2, run.stderr
    assert run.stdout.startswith(f"{len(names) - 1} maps written, 1 failed, ".encode())
    expect_tool_maps(tmp_path / "out", {**paths, os.fsdecode(b"caf\xe9.jpg"): "fruits.jpg"}, tool_maps,
                     others=["report.csv"])

    os.rename(tmp_path / "out", tmp_path / "dask-out")
    batch = subprocess.run([TOOL, "-q", "-o", "out", "-f", "list.txt", "-r", "out/report.csv"], cwd=tmp_path,
                           capture_output=True, timeout=60)
    assert (batch.returncode, batch.stderr) == (2, run.stderr) == (2, b"gone-\xe9.jpg: Error reading image (No such file or directory)\n")
    assert rows_without_times((tmp_path / "dask-out" / "report.csv").read_bytes()) == rows_without_times(
        (tmp_path / "out" / "report.csv").read_bytes())


def test_batch_modes_range_ends_are_taken_and_a_bool_is_no_number(client, tmp_path):
    photo = PHOTOS["fruits.jpg"]
    records = list(rdask.map_photos([photo], tmp_path / "out", client=client, window=1, dimension=0, tolerance=0))
    assert [r["outcome"] for r in records] == ["written"], records
    batch = subprocess.run([TOOL, "-q", "-o", "batch", "--window", "1", "--dim", "0", "--tolerance", "0", photo],
                           cwd=tmp_path, capture_output=True, timeout=60)
    assert batch.returncode == 0, batch.stderr
    assert (tmp_path / "out" / "fruits.bmp").read_bytes() == (tmp_path / "batch" / "fruits.bmp").read_bytes()
    for name, kind in [("window", "a whole number from 1 to 15438"), ("dimension", "a number from 0 to 2"),
                       ("tolerance", "a number from 0 to 2")]:
        with pytest.raises(TypeError) as refusal:
            rdask.map_photos([photo], tmp_path / "none", client=client, **{name: True})
        assert str(refusal.value) == f"{name} must be {kind}, not bool"
    assert not (tmp_path / "none").exists()


@pytest.mark.parametrize("out, report", [("out", "./out/r.csv"), ("./out", "out/r.csv")])
def test_a_report_in_the_map_folder_not_yet_made(client, tmp_path, monkeypatch, tool_maps, out, report):
    monkeypatch.chdir(tmp_path)
    records = list(rdask.map_photos([PHOTOS["fruits.jpg"]], out, client=client, report=report))
    assert [r["outcome"] for r in records] == ["written"], records
    expect_tool_maps(tmp_path / "out", {PHOTOS["fruits.jpg"]: "fruits.jpg"}, tool_maps, others=["r.csv"])
    assert len((tmp_path / "out" / "r.csv").read_bytes().splitlines()) == 2


def test_two_photos_that_kill_workers_fail_alone(client, tmp_path, tool_maps):
    paths = collection(tmp_path / "photos", 3)
    huge = [str(tmp_path / "photos" / f"huge{k}.png") for k in (1, 2)]
    for path in huge:
        huge_png(Path(path))
    out = tmp_path / "out"
    client.wait_for_workers(2, timeout=30)
    # The two among the others, each in a task beside healthy photos.
    photos = list(paths)
    photos[2:2] = huge[:1]
    photos[-1:-1] = huge[1:]
    records = list(rdask.map_photos(photos, out, client=client))
    assert sorted(r["photo"] for r in records if r["outcome"] != "written") == huge, records
    assert all(r["error"] == rdask.WORKER_DIED for r in records if r["outcome"] != "written")
    assert sorted(r["photo"] for r in records) == sorted(photos)
    expect_tool_maps(out, paths, tool_maps)


def test_a_worker_lost_during_the_check_is_not_blamed(tmp_path):
    class Cluster:
        def __init__(self, answers):
            self.answers = answers

        def run(self, function, on_error):
            assert on_error == "return" and function() is None  # roughgc.dask imports here
            return self.answers

    from distributed.comm import CommClosedError

    rdask._check_workers(Cluster({"tcp://127.0.0.1:1": CommClosedError("Stream is closed"), "tcp://127.0.0.1:2": None}))
    rdask._check_workers(Cluster({"tcp://127.0.0.1:1": TimeoutError()}))
    with pytest.raises(RuntimeError, match=r"^the worker tcp://127\.0\.0\.1:2 cannot import roughgc\.dask \(Module"):
        rdask._check_workers(Cluster({"tcp://127.0.0.1:1": OSError(), "tcp://127.0.0.1:2": "ModuleNotFoundError: x"}))


@pytest.fixture
def threads_cluster():
    """A cluster of one worker of two threads in this process: quick to make
    and to empty."""
    with rdask.local_cluster(1, processes=False, threads_per_worker=2) as cluster, Client(cluster) as c:
        yield cluster, c


def test_a_cluster_with_no_worker_left_fails_every_photo_not_done(threads_cluster, tmp_path, monkeypatch):
    cluster, c = threads_cluster
    monkeypatch.setattr(rdask, "_NO_WORKER_WAIT", {"own": 1.0, "given": 1.0})
    cluster.scale(0)
    deadline = time.monotonic() + 20
    while c.scheduler_info()["workers"]:
        assert time.monotonic() < deadline, "the worker stays"
        time.sleep(0.05)
    paths = collection(tmp_path / "photos", 2)
    started = time.monotonic()
    # Were the run to wait for ever, a worker comes back after a while: the
    # photos are then mapped, and the test fails instead of hanging.
    back = threading.Timer(30, cluster.scale, [1])
    back.start()
    try:
        records = list(rdask.map_photos(list(paths), tmp_path / "out", client=c, report=tmp_path / "r.csv"))
    finally:
        back.cancel()
    assert time.monotonic() - started < 20
    assert sorted(r["photo"] for r in records) == sorted(paths)
    assert {(r["outcome"], r["error"]) for r in records} == {("failed", "no worker left")}
    assert len((tmp_path / "r.csv").read_bytes().splitlines()) == 1 + len(paths)
    assert os.listdir(tmp_path / "out") == []


def test_workers_that_stop_making_progress_fail_the_photos_not_done(threads_cluster, tmp_path, monkeypatch, capsys,
                                                                     tool_maps):
    cluster, c = threads_cluster
    monkeypatch.setattr(rdask, "_STALL_WAIT", 2.0)
    monkeypatch.chdir(tmp_path)
    os.mkfifo("stuck.jpg")  # its reader waits for a writer that never comes
    shutil.copyfile(PHOTOS["fruits.jpg"], "fruits.jpg")
    def let_go():
        # The worker's thread is let go: the pipe's end of file.
        for _ in range(200):
            with contextlib.suppress(OSError):
                os.close(os.open(tmp_path / "stuck.jpg", os.O_WRONLY | os.O_NONBLOCK))
                return
            time.sleep(0.05)

    # Were the run to wait for ever, the pipe ends after a while: the test
    # fails instead of hanging.
    late = threading.Timer(30, let_go)
    late.start()
    try:
        started = time.monotonic()
        status = rdask.main(["--scheduler", cluster.scheduler_address, "-o", "out", "-r", "out/r.csv", "fruits.jpg",
                             "stuck.jpg"])
        assert time.monotonic() - started < 20
    finally:
        late.cancel()
        let_go()
    assert status == 2
    out, err = capsys.readouterr()
    assert err == "stuck.jpg: no worker made progress in 2 s\n"
    assert out.startswith("1 maps written, 1 failed, ")
    expect_tool_maps(tmp_path / "out", {"fruits.jpg": "fruits.jpg"}, tool_maps, others=["r.csv"])
    rows = (tmp_path / "out" / "r.csv").read_bytes().splitlines()
    assert len(rows) == 3 and rows[2].startswith(b"stuck.jpg,out/stuck.bmp,failed,")
    assert rows[2].endswith(b",no worker made progress in 2 s,")


def test_under_load_workers_restarted_slowly_are_waited_for(tmp_path, tool_maps, monkeypatch):
    # Every core busy; the cluster's base would close for good a
    # nanny whose worker has not come back at once.
    monkeypatch.setattr(rdask, "_NO_WORKER_WAIT", {"own": 20.0, "given": 20.0})
    loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(os.cpu_count())]
    try:
        with dask.config.set({"distributed.scheduler.allowed-failures": 0,
                              "distributed.deploy.lost-worker-timeout": "0s"}):
            with rdask.local_cluster(2, memory_limit="400MiB") as cluster, Client(cluster) as c:
                paths = collection(tmp_path / "photos", 2)
                huge = str(tmp_path / "photos" / "huge.png")
                huge_png(Path(huge))
                records = list(rdask.map_photos([huge, *paths], tmp_path / "out", client=c))
                # Its workers are all back: a run after it maps every photo.
                after = list(rdask.map_photos(paths, tmp_path / "after", client=c))
    finally:
        stop(loops)
    assert [(r["photo"], r["error"]) for r in records if r["outcome"] != "written"] == [(huge, rdask.WORKER_DIED)]
    expect_tool_maps(tmp_path / "out", paths, tool_maps)
    assert [r for r in after if r["outcome"] != "written"] == []
    expect_tool_maps(tmp_path / "after", paths, tool_maps)


STDIN_SCRIPT = b"""\
from roughgc.dask import map_photos
for record in map_photos(["photos/fruits_0.jpg"], "maps"):
    print(record["outcome"], record["error"])
"""


def test_a_script_on_standard_input(tmp_path, tool_maps):
    paths = collection(tmp_path / "photos", 1)
    core = str(min(os.sched_getaffinity(0)))
    run = run_bounded(["taskset", "-c", core, sys.executable, "-"], 60, input=STDIN_SCRIPT, cwd=tmp_path)
    assert (run.returncode, run.stdout) == (0, b"written \n"), run.stderr.decode()[-3000:]
    assert (tmp_path / "maps" / "fruits_0.bmp").read_bytes() == tool_maps["fruits.jpg"]
    assert len(paths) == 3

    # A script that fails where its workers run it again: they die as they
    # start, and map_photos says so within seconds, with their error.
    script = tmp_path / "from_stdin.py"
    script.write_bytes(b"import json, sys\nphotos = json.loads(sys.stdin.read())\n" + STDIN_SCRIPT.replace(
        b'["photos/fruits_0.jpg"]', b"photos"))
    started = time.monotonic()
    run = run_bounded(["taskset", "-c", core, sys.executable, str(script)], 60, input=b'["photos/fruits_0.jpg"]',
                      cwd=tmp_path)
    assert time.monotonic() - started < 30
    assert run.returncode == 1 and run.stdout == b""
    err = run.stderr.decode()
    assert "json.decoder.JSONDecodeError" in err.split("RuntimeError")[0]
    assert err.splitlines()[-1] == (
        "RuntimeError: the worker processes of the local cluster die as they start: each first runs this script "
        "again, and it fails there (json.decoder.JSONDecodeError: Expecting value: line 1 column 1 (char 0)); "
        'put the script\'s work under `if __name__ == "__main__":`')


def test_png_maps_are_batch_modes(client, tmp_path):
    photo = PHOTOS["fruits.jpg"]
    records = list(rdask.map_photos([photo], tmp_path / "out", client=client, format="png"))
    assert [(r["outcome"], r["map"]) for r in records] == [("written", str(tmp_path / "out" / "fruits.png"))]
    batch = subprocess.run([TOOL, "-q", "-o", "batch", "--format", "png", photo], cwd=tmp_path, capture_output=True,
                           timeout=60)
    assert batch.returncode == 0, batch.stderr
    assert (tmp_path / "out" / "fruits.png").read_bytes() == (tmp_path / "batch" / "fruits.png").read_bytes()
    with pytest.raises(ValueError, match=r"^format must be bmp or png, not gif$"):
        rdask.map_photos([photo], tmp_path / "none", client=client, format="gif")
    with pytest.raises(TypeError, match=r"^format must be bmp or png, not int$"):
        rdask.map_photos([photo], tmp_path / "none", client=client, format=1)
    assert not (tmp_path / "none").exists()


def test_photo_trees_are_batch_modes(client, tmp_path, capsys):
    """A folder's photos, its subfolders' with recursive, the tree kept under
    the output folder: the same maps and rows as batch mode's -R, and the
    same line for a folder without photos."""
    photos = tmp_path / "photos"
    (photos / "a" / "b").mkdir(parents=True)
    (tmp_path / "empty").mkdir()
    shutil.copyfile(PHOTOS["fruits.jpg"], photos / "x.jpg")
    shutil.copyfile(PHOTOS["left01.jpg"], photos / "a" / "x.jpg")
    shutil.copyfile(PHOTOS["chicky_512.png"], photos / "a" / "b" / "x.png")
    (photos / "a" / "notes.txt").write_text("not a photo\n")
    os.symlink("..", photos / "a" / "b" / "up")

    with pytest.warns(UserWarning, match=f"^no photos in {tmp_path / 'empty'}$"):
        records = list(rdask.map_photos([photos, tmp_path / "empty"], tmp_path / "dask", client=client,
                                        recursive=True, report=tmp_path / "dask.csv"))
    assert sorted(r["map"] for r in records) == [str(tmp_path / "dask" / m) for m in ("a/b/x.bmp", "a/x.bmp", "x.bmp")]
    batch = subprocess.run([TOOL, "-q", "-R", "-o", str(tmp_path / "batch"), "-r", str(tmp_path / "batch.csv"),
                            str(photos), str(tmp_path / "empty")], capture_output=True, text=True, timeout=60)
    assert batch.returncode == 0, batch.stderr
    assert batch.stderr == f"roughgc: no photos in {tmp_path / 'empty'}\n"
    assert rows_without_times((tmp_path / "dask.csv").read_bytes().replace(b"/dask/", b"/batch/")) == \
        rows_without_times((tmp_path / "batch.csv").read_bytes())
    for m in ("a/b/x.bmp", "a/x.bmp", "x.bmp"):
        assert (tmp_path / "dask" / m).read_bytes() == (tmp_path / "batch" / m).read_bytes()

    # The command line: without -R, the folder's own photo alone.
    assert rdask.main(["--scheduler", client.scheduler.address, "-o", str(tmp_path / "flat"), str(photos)]) == 0
    assert sorted(os.listdir(tmp_path / "flat")) == ["x.bmp"]
    assert rdask.main(["--scheduler", client.scheduler.address, "-R", "-o", str(tmp_path / "tree"), str(photos)]) == 0
    assert sorted(os.listdir(tmp_path / "tree" / "a")) == ["b", "x.bmp"]


def test_overlays_are_batch_modes(client, tmp_path):
    photos = [PHOTOS["fruits.jpg"], PHOTOS["chicky_512.png"]]
    records = list(rdask.map_photos(photos, tmp_path / "maps", client=client, overlay_dir=tmp_path / "dask"))
    assert [r["outcome"] for r in records] == ["written", "written"]
    batch = subprocess.run([TOOL, "-q", "-o", str(tmp_path / "maps"), "--overlay", str(tmp_path / "batch"), *photos],
                           capture_output=True, text=True, timeout=60)
    assert batch.returncode == 0, batch.stderr
    for name in ("fruits.jpg", "chicky_512.jpg"):
        assert (tmp_path / "dask" / name).read_bytes() == (tmp_path / "batch" / name).read_bytes()


def test_a_photos_pixels_come_from_its_header_alone(tmp_path):
    """What the progress watch reckons a task's time from."""
    from roughgc import _roughgc

    assert _roughgc._photo_pixels(PHOTOS["fruits.jpg"]) == 512 * 480
    assert _roughgc._photo_pixels(PHOTOS["chicky_512.png"]) == 512 * 512
    (tmp_path / "notes.txt").write_text("not a photo\n")
    os.mkfifo(tmp_path / "pipe.jpg")  # never opened: no writer needed
    assert [_roughgc._photo_pixels(tmp_path / n) for n in ("notes.txt", "pipe.jpg", "gone.jpg")] == [None] * 3
