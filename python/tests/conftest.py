"""What the Python tests share: the photos, and the maps the roughgc tool
writes for them, made once per session in a folder of its own."""

import os
import subprocess

import pytest

EXAMPLES = os.environ["ROUGHGC_EXAMPLES"]
TEST_DATA = os.environ["ROUGHGC_TEST_DATA"]
TOOL = os.environ["ROUGHGC_TOOL"]

# Colour, grey and four-channel files.
PHOTOS = {
    "fruits.jpg": os.path.join(EXAMPLES, "fruits.jpg"),
    "left01.jpg": os.path.join(TEST_DATA, "left01.jpg"),
    "chicky_512.png": os.path.join(TEST_DATA, "chicky_512.png"),
}


@pytest.fixture(scope="session")
def tool_maps(tmp_path_factory):
    """The bytes of RoughGC.bmp that `roughgc PHOTO` writes, by photo name."""
    maps = {}
    for name, path in PHOTOS.items():
        work = tmp_path_factory.mktemp("tool")
        subprocess.run([TOOL, path], cwd=work, check=True, stdout=subprocess.DEVNULL)
        maps[name] = (work / "RoughGC.bmp").read_bytes()
    return maps
