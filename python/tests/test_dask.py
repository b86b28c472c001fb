"""Collections on Dask clusters: the maps and report of batch mode, from
worker processes on this machine; a worker killed in the middle, or by a
photo too large for it; a run closed early; the README's example as a script
without a main guard; and a scheduler with workers started from the shell."""

import functools
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import time
import zlib

import dask
import psutil
import pytest
from distributed import Client, LocalCluster

import roughgc.dask as rdask
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
        if len(row) == 13:
            row[11] = b""
    return [rows[0]] + sorted(rows[1:])


def run_bounded(command, timeout, **options):
    """subprocess.run, its whole process group killed when time is up."""
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                          **options) as process:
        try:
            stdout, stderr = process.communicate(timeout=timeout)
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
                           outcome="failed", error="Error reading image")]
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
    assert report.read_bytes() == whole + b"".join(os.fsencode(rdask.csv_line(r)) for r in records)


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
    assert (batch.returncode, batch.stderr) == (2, run.stderr) == (2, b"gone-\xe9.jpg: Error reading image\n")
    assert rows_without_times((tmp_path / "dask-out" / "report.csv").read_bytes()) == rows_without_times(
        (tmp_path / "out" / "report.csv").read_bytes())
