"""The house's arrows point one way: the tool over the batch room, the
batch room and the Python module over the face, the face and the C
interface over the pipeline; the pipeline over stages, search and io;
everything over the device room and the runtime. A room that includes one
above it (a core that includes the face, the tool or the C interface, a
batch room that reaches into the core, a Python module that includes the
tool) fails here."""

import os
import re
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SRC = os.path.join(ROOT, "src")
PYTHON_SRC = os.path.join(ROOT, "python", "src")

# What each room of the core may include, besides itself.
BELOW = {
    "device": {"runtime", "errors"},
    "pixel": {"runtime"},
    "search": {"pixel", "device", "runtime"},
    "stages": {"search", "pixel", "device", "runtime"},
    "io": {"device", "runtime", "errors", "codecs"},
    "histogram": {"pixel", "device", "runtime"},
    "fine": {"pixel", "device", "runtime"},
    "pipeline": {"stages", "search", "io", "pixel", "device", "runtime", "errors"},
    "cpu_runtime": set(),
    # The codec plugin's interface, beside the runtime: the plugin and the
    # core that opens it share it.
    "codecs": set(),
    "runtime": {"cpu_runtime"},
    # The faces: anything of the core, never each other's insides or the tool.
    "api": {"face", "errors", "pipeline", "stages", "search", "io", "histogram", "fine", "pixel", "device",
            "runtime"},
    "c_api": {"c_api", "face", "errors", "pipeline", "stages", "search", "io", "histogram", "fine", "pixel",
              "device", "runtime"},
    # The floor above: the run of many photos over the face alone; the tool
    # over it, the C interface (its single-photo mode) and the core's
    # readers, which decode photos ahead and clean up after a signal; the
    # Python module over the batch room and the face, never the tool.
    "batch": {"face", "errors"},
    "cli": {"batch", "face", "errors", "c_api", "io", "device", "runtime"},
    "python": {"batch", "face", "errors"},
}

# Headers of a room that a room it does not sit over may include all the
# same: the cpu runtime maps its large blocks as the core maps its buffers.
ALSO = {
    "cpu_runtime": {"huge_pages.h"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def room_of_file(path):
    if os.path.commonpath([path, PYTHON_SRC]) == PYTHON_SRC:
        return "python"
    rel = os.path.relpath(path, SRC).split(os.sep)
    if rel[0] == "detail":
        return rel[1]
    if rel in (["gpu_runtime.h"], ["huge_pages.h"]):
        return "runtime"
    return rel[0]


def room_of_include(name):
    parts = name.split("/")
    if parts[0] == "detail":
        return parts[1]
    if name == "roughgc/errors.hpp":
        return "errors"
    if parts[0] == "roughgc":
        return "face"
    if name in ("gpu_runtime.h", "huge_pages.h"):
        return "runtime"
    if name.startswith("CUDA_"):
        return "c_api"
    return parts[0] if len(parts) > 1 else None


def wrong_arrows():
    wrong = []
    for folder, _, files in [walked for top in (SRC, PYTHON_SRC) for walked in os.walk(top)]:
        for f in files:
            if not f.endswith((".h", ".hpp", ".cpp", ".cu", ".cuh")):
                continue
            path = os.path.join(folder, f)
            room = room_of_file(path)
            if room not in BELOW:
                continue  # a loose header of the source's root
            with open(path, encoding="utf-8") as source:
                for name in INCLUDE.findall(source.read()):
                    target = room_of_include(name)
                    if target is None or target == room:
                        continue  # a header beside it
                    if target not in BELOW[room] and name not in ALSO.get(room, set()):
                        wrong.append(f"{os.path.relpath(path, ROOT)} ({room}) includes {name} ({target})")
    return wrong


def test_every_include_points_down():
    assert wrong_arrows() == []


def test_the_core_has_rooms_and_no_loose_files():
    detail = os.path.join(SRC, "detail")
    loose = [f for f in os.listdir(detail) if os.path.isfile(os.path.join(detail, f))]
    assert loose == []
    assert set(os.listdir(detail)) <= set(BELOW)


if __name__ == "__main__":
    problems = wrong_arrows()
    print("\n".join(problems) or "every include points down")
    sys.exit(1 if problems else 0)
