"""Photos per second: roughgc.dask.map_photos on a local cluster of worker
processes against batch mode (`roughgc --out-dir`), on the same machine and
the same 120 photos (the bench/data photos copied ten times, as
scripts/throughput's collection (a)).

    python3 bench/dask_throughput.py --build BUILD [--workers N] [--repetitions R]

Both sides at their best: batch mode with its default jobs, in fresh output
folders; the cluster started once (its start-up timed apart) and warmed by
one untimed run, so that every worker has imported the package and made its
extractor. Then the two alternate, R times each, into fresh folders: median
and worst. Batch mode is timed from process start to exit; map_photos from
the call to its last record. Both write every map whole and flushed to the
disk.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the build folder: roughgc and python/ in it")
    parser.add_argument("--workers", type=int, default=os.cpu_count())
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--data", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "data"))
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    os.environ["PYTHONPATH"] = os.path.join(build, "python") + os.pathsep + os.environ.get("PYTHONPATH", "")
    from distributed import Client

    import roughgc.dask as rdask

    tool = os.path.join(build, "roughgc")
    work = tempfile.mkdtemp(prefix="roughgc-dask-bench.")
    try:
        sources = sorted(f for f in os.listdir(args.data) if f.endswith((".jpg", ".png")))
        photos = []
        os.mkdir(os.path.join(work, "photos"))
        for r in range(10):
            for i, name in enumerate(sources):
                path = os.path.join(work, "photos", f"{r * len(sources) + i:03d}_{name}")
                shutil.copyfile(os.path.join(args.data, name), path)
                photos.append(path)
        runs = iter(range(10**6))

        def fresh():
            return os.path.join(work, f"out{next(runs)}")

        def batch():
            started = time.perf_counter()
            subprocess.run([tool, "-o", fresh(), "-q", *photos], check=True, stdout=subprocess.DEVNULL)
            return time.perf_counter() - started

        def cluster_run(client):
            started = time.perf_counter()
            records = list(rdask.map_photos(photos, fresh(), client=client))
            assert all(r["outcome"] == "written" for r in records)
            return time.perf_counter() - started

        started = time.perf_counter()
        cluster = rdask.local_cluster(args.workers)
        client = Client(cluster)
        client.wait_for_workers(args.workers)
        startup = time.perf_counter() - started

        batch()
        cluster_run(client)
        times = {"batch": [], "dask": []}
        for _ in range(args.repetitions):
            times["batch"].append(batch())
            times["dask"].append(cluster_run(client))
        client.close()
        cluster.close()

        print(f"machine: {os.cpu_count()} cores; {len(photos)} photos from {args.data}; roughgc {roughgc_backend()}")
        print(f"cluster: {args.workers} worker processes of one thread, started in {startup:.2f} s")
        rates = {}
        for side, label in (("batch", "B  roughgc --out-dir (batch mode)"), ("dask", "D  map_photos, local cluster")):
            median, worst = statistics.median(times[side]), max(times[side])
            rates[side] = (len(photos) / median, len(photos) / worst)
            print(f"{label:36s} {median:6.2f} s (worst {worst:.2f})  {rates[side][0]:7.1f} photos/s "
                  f"(worst {rates[side][1]:.1f})")
        ratios = [b / d for b, d in zip(times["batch"], times["dask"])]
        print(f"D / B photos per second: {statistics.median(ratios):.2f} (worst {min(ratios):.2f}, "
              f"pairs run back to back)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def roughgc_backend():
    import roughgc

    return f"{roughgc.__version__}, {roughgc.backend} backend"


if __name__ == "__main__":
    main()
