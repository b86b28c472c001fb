"""Collections on Dask clusters: the maps and report of batch mode, from
worker processes on this machine, a worker killed in the middle, and a
scheduler with workers started from the shell."""

import os
import shutil
import signal
import subprocess
import sys
import time

import pytest
from distributed import Client

import roughgc
import roughgc.dask as rdask
from conftest import PHOTOS, TOOL


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


def expect_tool_maps(out, paths, tool_maps):
    expected = {os.path.splitext(os.path.basename(p))[0] + ".bmp": name for p, name in paths.items()}
    assert sorted(os.listdir(out)) == sorted(expected)  # nothing else: no temporary file
    for map_name, photo_name in expected.items():
        assert (out / map_name).read_bytes() == tool_maps[photo_name], map_name


def rows_without_times(csv_text):
    """The report's rows in photo order, the milliseconds left out."""
    rows = [line.split(",") for line in csv_text.splitlines()]
    for row in rows[1:]:
        if len(row) == 13:
            row[11] = ""
    return [rows[0]] + sorted(rows[1:])


@pytest.fixture(scope="module")
def client():
    with rdask.local_cluster(2) as cluster, Client(cluster) as c:
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
                           capture_output=True, text=True)
    assert batch.returncode == 2, batch.stderr
    assert rows_without_times((tmp_path / "report.csv").read_text()) == rows_without_times(
        (tmp_path / "batch.csv").read_text())


def test_names_that_collide_are_refused_before_any_work(client, tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    shutil.copyfile(PHOTOS["fruits.jpg"], tmp_path / "a" / "x.jpg")
    shutil.copyfile(PHOTOS["chicky_512.png"], tmp_path / "b" / "x.png")
    out = tmp_path / "out"
    with pytest.raises(ValueError, match=r"a/x\.jpg and .*b/x\.png would both write .*out/x\.bmp$"):
        rdask.map_photos([tmp_path / "a" / "x.jpg", tmp_path / "b" / "x.png"], out, client=client)
    with pytest.raises(ValueError, match=r"x\.jpg is not a report of roughgc's"):
        rdask.map_photos([tmp_path / "b" / "x.png"], out, client=client, report=tmp_path / "a" / "x.jpg")
    assert not out.exists()


def test_a_killed_worker_loses_no_photo_and_doubles_none(tmp_path, tool_maps):
    paths = collection(tmp_path / "photos", 12)
    out = tmp_path / "out"
    with rdask.local_cluster(2) as cluster, Client(cluster) as c:
        pids = list(c.run(os.getpid).values())
        records = []
        for record in rdask.map_photos(list(paths), out, client=c):
            records.append(record)
            if len(records) == 3:
                os.kill(pids[0], signal.SIGKILL)  # photos in flight there are done again elsewhere
    assert sorted(r["photo"] for r in records) == sorted(paths)
    assert all(r["outcome"] == "written" for r in records), [r for r in records if r["outcome"] != "written"]
    expect_tool_maps(out, paths, tool_maps)


def test_a_scheduler_and_two_workers_started_from_the_shell(tmp_path, tool_maps):
    paths = collection(tmp_path / "photos", 2)
    listing = tmp_path / "list.txt"
    listing.write_text("\n".join([*paths, str(tmp_path / "missing.jpg")]) + "\n")
    scheduler_file = tmp_path / "scheduler.json"
    dask = [sys.executable, "-m", "dask"]
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    processes = [subprocess.Popen([*dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                   "--scheduler-file", str(scheduler_file)], **quiet)]
    try:
        for _ in range(600):
            if scheduler_file.exists():
                break
            time.sleep(0.05)
        for _ in range(2):
            processes.append(subprocess.Popen([*dask, "worker", "--scheduler-file", str(scheduler_file), "--nthreads",
                                               "1", "--no-dashboard"], **quiet))
        with Client(scheduler_file=str(scheduler_file), timeout=60) as c:
            c.wait_for_workers(2, timeout=60)
            address = c.scheduler.address
        assert address.startswith("tcp://127.0.0.1:")
        run = subprocess.run([sys.executable, "-m", "roughgc.dask", "--scheduler", address, "--out-dir",
                              str(tmp_path / "out"), "--files-from", str(listing)], capture_output=True, text=True,
                             timeout=300)
    finally:
        for p in processes:
            p.terminate()
        for p in processes:
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
    assert run.returncode == 2, run.stderr
    assert run.stderr == f"{tmp_path / 'missing.jpg'}: Error reading image\n"
    assert run.stdout.startswith(f"{len(paths)} maps written, 1 failed, ")
    expect_tool_maps(tmp_path / "out", paths, tool_maps)
