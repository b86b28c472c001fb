"""The README's examples, run as a reader pastes them.

Every fenced sh or python block in README.md has an HTML comment on the line
just before its opening fence, which GitHub does not show:

    <!-- runnable -->            this test runs the block
    <!-- not run: REASON -->     it does not, and REASON says why (it needs
                                 root, installs packages, builds the project,
                                 or needs other machines)

A block with neither fails the test, so that no new example goes unchecked
by accident. A runnable block is a whole script, run as from the repository
root after `bash scripts/run-example`: in a fresh temporary folder holding a
copy of examples/, with the build's roughgc on PATH, its Python package on
PYTHONPATH, and python3 the interpreter that runs this test (Debian's
/usr/bin/python3). sh blocks run under `bash -euo pipefail`, python blocks
as a script file (Dask's workers re-run it), each within a time limit. A
block that writes files writes them into a folder it makes (maps/, say).
"""

import os
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
EXAMPLES = Path(os.environ["ROUGHGC_EXAMPLES"]).resolve()
TOOL_DIR = Path(os.environ["ROUGHGC_TOOL"]).resolve().parent

# Info strings of the blocks that must carry a marker, and how to run them.
LANGUAGES = {"sh": "sh", "bash": "sh", "shell": "sh", "python": "python", "py": "python"}
RUNNABLE = "<!-- runnable -->"
NOT_RUN = re.compile(r"<!-- not run: \S.* -->")
FENCE = re.compile(r"(`{3,}|~{3,})\s*([^`\s]*)[^`]*")

# As many runnable blocks as the README has now, so that a marker or fence
# that stops being recognised cannot leave this test running nothing.
MIN_RUNNABLE = 6

# Seconds a block may take: a local Dask cluster starts a process per core.
LIMIT_S = 120
DASK_LIMIT_S = 300


def readme_blocks(text):
    """(line of the opening fence, info string, the line before it, code) of
    every fenced block, lines counted from 1."""
    blocks = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.fullmatch(lines[i].rstrip())
        if not opening:
            i += 1
            continue
        fence, info = opening.groups()
        end = i + 1
        while end < len(lines) and not re.fullmatch(re.escape(fence[0]) + "{%d,}" % len(fence), lines[end].strip()):
            end += 1
        before = lines[i - 1].strip() if i else ""
        blocks.append((i + 1, info, before, "\n".join(lines[i + 1 : end]) + "\n"))
        i = end + 1
    return blocks


BLOCKS = readme_blocks(README.read_text(encoding="utf-8"))
RUNNABLE_BLOCKS = [(line, LANGUAGES[info], code) for line, info, before, code in BLOCKS
                   if before == RUNNABLE and info in LANGUAGES]


def test_every_example_is_marked():
    unmarked = [f"README.md line {line}: ```{info}" for line, info, before, _ in BLOCKS
                if info in LANGUAGES and before != RUNNABLE and not NOT_RUN.fullmatch(before)]
    assert not unmarked, ("blocks with neither `<!-- runnable -->` nor `<!-- not run: REASON -->` on the line "
                          "before their fence:\n" + "\n".join(unmarked))
    strays = [f"README.md line {line}: ```{info}" for line, info, before, _ in BLOCKS
              if before == RUNNABLE and info not in LANGUAGES]
    assert not strays, "`<!-- runnable -->` on blocks this test cannot run:\n" + "\n".join(strays)
    assert len(RUNNABLE_BLOCKS) >= MIN_RUNNABLE, (
        f"only {len(RUNNABLE_BLOCKS)} runnable blocks found in {README}, expected at least {MIN_RUNNABLE}")


def _kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


@pytest.mark.parametrize("line, language, code", RUNNABLE_BLOCKS,
                         ids=[f"line{line}-{language}" for line, language, _ in RUNNABLE_BLOCKS])
def test_example_runs(line, language, code, tmp_path):
    work = tmp_path / "work"
    shutil.copytree(EXAMPLES, work / "examples")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "python3").symlink_to(sys.executable)
    for private in ("home", "tmp"):
        (tmp_path / private).mkdir()
    script = tmp_path / ("example.py" if language == "python" else "example.sh")
    script.write_text(code, encoding="utf-8")
    command = [sys.executable, str(script)] if language == "python" else ["bash", "-euo", "pipefail", str(script)]
    # The block runs elsewhere: the package's folder as an absolute path.
    python_path = os.pathsep.join(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{TOOL_DIR}{os.pathsep}{os.environ.get('PATH', '')}",
               PYTHONPATH=python_path, HOME=str(tmp_path / "home"), TMPDIR=str(tmp_path / "tmp"))
    limit = DASK_LIMIT_S if "dask" in code else LIMIT_S

    # A session of its own, so that whatever the block starts (a cluster's
    # workers) goes with it.
    process = subprocess.Popen(command, cwd=work, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, start_new_session=True)
    try:
        out, err = process.communicate(timeout=limit)
        what = None if process.returncode == 0 else f"ended with status {process.returncode}"
    except subprocess.TimeoutExpired:
        _kill_group(process)
        out, err = process.communicate(timeout=30)
        what = f"did not finish within {limit} s"
    finally:
        _kill_group(process)
    if what:
        pytest.fail(f"README.md line {line}: the {language} block {what}\n"
                    f"--- block\n{code}--- stdout\n{out.decode(errors='replace')}"
                    f"--- stderr\n{err.decode(errors='replace')}", pytrace=False)
