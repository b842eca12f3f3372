"""Every tool: no output is an input or another output, outputs appear only complete,
closed standard descriptors receive nothing, Ctrl-C raises KeyboardInterrupt."""

import contextlib
import json
import os
import random
import select
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from larkspan.splat import (Config, OrthoCells, Patch, cleanup_splats, merge_ply_files_py,
                            patches, split_cameras_json, split_ply)
from support.colmap import Camera, Image, Point, at, write_model
from support.ply import XYZ_RGB, body, splat_row, write_ply

WIDE = 1e9
SPLATS = 2000  # 136 kB of records: more than a pipe holds

def make_inputs(d):
    d.mkdir(parents=True, exist_ok=True)
    rows = [splat_row(i % 50 * 0.1, i // 50 * 0.1, 0.0) for i in range(SPLATS)]
    write_ply(d / "splats.ply", rows)
    write_ply(d / "more.ply", rows[:10])
    write_ply(d / "cloud.ply", [(i * 0.01, i * 0.02, 1.0, i % 256, 7, 9) for i in range(6000)],
              properties=XYZ_RGB)
    keypoints = [(float(k), float(k), k % 40 + 1) for k in range(5000)]
    write_model(d / "model", cameras=[Camera(1)], images=[Image(1, at(1, 1), points2d=keypoints)],
                points=[Point(i + 1, (i * 0.1, 0.5, 0.0), track=[(1, i)]) for i in range(40)])
    (d / "points3D.bin").write_bytes((d / "model" / "points3D.bin").read_bytes())

def run_split_ply(d, out):
    config = Config(str(d / "cloud.ply"))
    config.patches = [Patch(str(p)) for p in out]
    split_ply(config)

def run_cameras(d, out):
    split_cameras_json(json.dumps({
        "input_path": str(d / "model"), "min_z": -WIDE, "max_z": WIDE, "save_points3d": True,
        "patches": [{"min_x": -WIDE, "min_y": -WIDE, "max_x": WIDE, "max_y": WIDE,
                     "output_path": str(p)} for p in out]}))

def run_cleanup(d, out):  # a second output: the discarded file, and the points filter
    extra = dict(discarded_file=str(out[1]), colmap_points_file=str(d / "points3D.bin"),
                 radius=0.05, min_neighbors=1) if len(out) > 1 else {}
    cleanup_splats(json.dumps(dict(input_file=str(d / "splats.ply"), output_file=str(out[0]),
                                   max_area=100.0, **extra)))

def run_merge(d, out):
    merge_ply_files_py(json.dumps([[str(d / "splats.ply"), str(d / "more.ply")], str(out[0])]))

def run_cells(d, out):
    OrthoCells(str(d / "splats.ply")).extract_all_cells([(-WIDE, WIDE, -WIDE, WIDE, str(p)) for p in out])

def run_write_ply_file(d, out):
    OrthoCells(str(d / "splats.ply")).write_ply_file(str(out[0]), body((d / "splats.ply").read_bytes()), SPLATS)

# name: (call, the input file (or model folder) an aliased output names)
TOOLS = {
    "split_ply": (run_split_ply, "cloud.ply"),
    "split_cameras_json": (run_cameras, "model"),
    "cleanup_splats": (run_cleanup, "splats.ply"),
    "cleanup_splats discarded": (lambda d, out: run_cleanup(d, [d / "kept.ply", out[0]]), "splats.ply"),
    "cleanup_splats over points": (lambda d, out: run_cleanup(d, [out[0], d / "gone.ply"]), "points3D.bin"),
    "merge_ply_files_py": (run_merge, "more.ply"),
    "OrthoCells.extract_all_cells": (run_cells, "splats.ply"),
    "OrthoCells.write_ply_file": (run_write_ply_file, "splats.ply"),
}
WRITING_TOOLS = [t for t in TOOLS if t not in ("cleanup_splats discarded", "cleanup_splats over points")]

def snapshot(d):
    return {str(p.relative_to(d)): ("link", os.readlink(p)) if p.is_symlink() else "fifo" if p.is_fifo()
            else "dir" if p.is_dir() else p.read_bytes() for p in sorted(Path(d).rglob("*"))}

def run_child(code, **names):  # this module is `t` in the child, `d` a Path
    script = (f"import os, sys, time\nsys.path[:0] = {sys.path!r}\nfrom pathlib import Path\n"
              "import test_outputs as t\n" + "".join(f"{k} = {v!r}\n" for k, v in names.items())
              + "d = Path(d)\n" + code)
    return subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)

def alias(d, target, spelling):  # a hard-linked folder holds a hard link of the model's images.bin
    (d / "sub").mkdir(exist_ok=True)
    if spelling in ("same", "dotdot"):
        return d / target if spelling == "same" else Path(f"{d}/sub/../{target}")
    if spelling == "symlink":
        (d / "alias").symlink_to(d / target)
    elif (d / target).is_dir():
        (d / "alias").mkdir()
        os.link(d / target / "images.bin", d / "alias" / "images.bin")
    else:
        os.link(d / target, d / "alias")
    return d / "alias"

@pytest.mark.parametrize("spelling", ["same", "dotdot", "symlink", "hardlink"])
@pytest.mark.parametrize("tool", TOOLS)
def test_output_that_is_an_input_is_refused_before_anything_is_written(tmp_path, tool, spelling):
    make_inputs(tmp_path)
    output = alias(tmp_path, TOOLS[tool][1], spelling)
    before = snapshot(tmp_path)
    with pytest.raises(ValueError, match="is also an input file") as raised:
        TOOLS[tool][0](tmp_path, [output])
    assert str(output) in str(raised.value) and str(tmp_path) in str(raised.value)
    assert snapshot(tmp_path) == before

def dangling(d):  # two names of one file (or folder) not made yet
    (d / "out").mkdir()
    (d / "out" / "b").symlink_to(d / "out" / "a")
    return [d / "out" / "a", d / "out" / "b"]

@pytest.mark.parametrize("call, outputs, message", [
    (run_split_ply, dangling, "^Patches 0 and 1 both write to "),
    (run_cameras, dangling, r"^patches\[0\] and patches\[1\] both write to "),
    (run_cleanup, dangling, "same file"),
    (run_cleanup, lambda d: [d / "same.ply", Path(f"{d}/model/../same.ply")], "same file"),
    (run_cells, dangling, "^Cells 0 and 1 have the same output path"),
    (run_cells, lambda d: [d / "c", d / "a.ply", Path(f"{d}/model/../a.ply")], "^Cells 1 and 2 have the same "),
    (run_cells, lambda d: [d / "c", d / "cloud.ply", alias(d, "cloud.ply", "symlink")],
     "^Cells 1 and 2 have the same output path"),
], ids=["split_ply", "split_cameras_json", "cleanup dangling", "cleanup dotdot", "cells", "cells dotdot",
        "cells symlink"])
def test_two_outputs_that_are_one_file_are_refused(tmp_path, call, outputs, message):
    make_inputs(tmp_path)
    paths = outputs(tmp_path)
    before = snapshot(tmp_path)
    with pytest.raises(ValueError, match=message):
        call(tmp_path, paths)
    assert snapshot(tmp_path) == before

# Files may not grow beyond 4 kB: the writes fail with EFBIG part way through every output.
SMALL_FILES = """
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
try:
    t.TOOLS[tool][0](d, [d / "out" / out])
except (OSError, RuntimeError) as e:  # split_cameras_json reports files as RuntimeError
    print(type(e).__name__, e)
"""

@pytest.mark.parametrize("tool", WRITING_TOOLS)
def test_a_failed_write_leaves_the_old_file_and_no_temporary_file(tmp_path, tool):
    make_inputs(tmp_path)
    (tmp_path / "out").mkdir()
    for name in ("result", "images.bin"):
        (tmp_path / "out" / name).write_bytes(b"the previous content")
    before = snapshot(tmp_path)
    out = "." if tool == "split_cameras_json" else "result"
    stdout, stderr = run_child(SMALL_FILES, d=str(tmp_path), tool=tool, out=out).communicate(timeout=120)
    assert stdout.endswith("File too large (os error 27)\n"), stdout + stderr
    after = snapshot(tmp_path)
    if tool == "split_cameras_json":  # its small cameras.bin was complete before images.bin failed
        assert after.pop("out/cameras.bin").startswith(b"\x01\0")
    assert after == before

def outputs_for(d, tool):  # the last cell fails: its line goes to the closed stderr, not into files
    cells = [d / "out" / f"cell{i}.ply" for i in range(8)] + [d / "missing" / "cell.ply"]
    return cells if tool == "OrthoCells.extract_all_cells" else [d / "out" / "result"]

CLOSED_STREAM = """
os.close(fd)
try:
    t.TOOLS[tool][0](d, t.outputs_for(d, tool))
    print("returned", file=sys.stderr if fd == 1 else sys.stdout)
except OSError:
    print("OSError", file=sys.stderr if fd == 1 else sys.stdout)
"""

@pytest.mark.parametrize("fd", [1, 2], ids=["stdout closed", "stderr closed"])
@pytest.mark.parametrize("tool", WRITING_TOOLS)
def test_closed_standard_streams_receive_nothing_and_outputs_are_exact(tmp_path, tool, fd, capfd):
    expected_dir, child_dir = tmp_path / "expected", tmp_path / "child"
    for d in (expected_dir, child_dir):
        make_inputs(d)
        (d / "out").mkdir()
    fails = tool == "OrthoCells.extract_all_cells"
    with pytest.raises(OSError) if fails else contextlib.nullcontext():
        TOOLS[tool][0](expected_dir, outputs_for(expected_dir, tool))
    stdout, stderr = run_child(CLOSED_STREAM, d=str(child_dir), tool=tool, fd=fd).communicate(timeout=120)
    assert (stderr if fd == 1 else stdout).splitlines()[-1] == ("OSError" if fails else "returned")
    assert snapshot(child_dir / "out") == snapshot(expected_dir / "out")

def plan_many_patches(d):
    r = random.Random(1)
    cameras = [(r.uniform(0, 1000), r.uniform(0, 1000)) for _ in range(20000)]
    print("planning", flush=True)
    patches(cameras, 50, 1.0, 1000)  # a few seconds

# Each call has one output a FIFO, which blocks the tool once the pipe is full.
INTERRUPTED_CALLS = {
    "split_ply": lambda d: run_split_ply(d, [d / "out" / n for n in ("a.bin", "fifo", "b.bin")]),
    "split_cameras_json": lambda d: run_cameras(d, [d / "out" / "first", d / "out" / "blocked"]),
    "cleanup_splats": lambda d: run_cleanup(d, [d / "out" / "kept.ply", d / "out" / "fifo"]),
    "merge_ply_files_py": lambda d: run_merge(d, [d / "out" / "fifo"]),
    "OrthoCells.extract_all_cells": lambda d: run_cells(d, [d / "out" / "a.ply", d / "out" / "fifo"]),
    "OrthoCells.write_ply_file": lambda d: run_write_ply_file(d, [d / "out" / "fifo"]),
    "patches": plan_many_patches,
}
INTERRUPTED = """
print("calling", flush=True)
try:
    t.INTERRUPTED_CALLS[tool](d)
    print("returned", flush=True)
except KeyboardInterrupt as e:
    print("interrupted", time.monotonic(), repr(str(e)), flush=True)
"""

def child_line(child, timeout=60):
    """The child's next stdout line, "" at its end. Read a byte at a time from the descriptor: a
    buffered readline could take two lines at once and leave the second where select cannot see it."""
    fd, line = child.stdout.fileno(), b""
    while not line.endswith(b"\n"):
        assert select.select([fd], [], [], timeout)[0], "no line from the child in time"
        if not (byte := os.read(fd, 1)):
            break
        line += byte
    return line.decode().rstrip("\n")

def interrupt(child, drain=lambda: None):
    """Sends SIGINT, drains the FIFO beside; returns when it was sent, when it was raised, its text."""
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    drainer = threading.Thread(target=drain)
    drainer.start()
    try:
        while (line := child_line(child)) and not line.startswith(("interrupted ", "returned")):
            pass
        assert line.startswith("interrupted "), line + child.stderr.read()
        _, at, message = line.split(" ", 2)
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        child.kill()
        drainer.join(timeout=60)
    return sent, float(at), message

@pytest.mark.parametrize("tool", INTERRUPTED_CALLS)
def test_ctrl_c(tmp_path, tool):
    if tool == "patches":
        child = run_child(INTERRUPTED, d=str(tmp_path), tool=tool)
        assert child_line(child) == "calling" and child_line(child) == "planning"
        time.sleep(0.5)
        sent, at, message = interrupt(child)
        assert message == "'Interrupted: KeyboardInterrupt: '" and at - sent < 0.5
        return
    make_inputs(tmp_path)
    fifo = tmp_path / "out" / ("blocked/images.bin" if tool == "split_cameras_json" else "fifo")
    fifo.parent.mkdir(parents=True)
    os.mkfifo(fifo)
    before = snapshot(tmp_path)
    child = run_child(INTERRUPTED, d=str(tmp_path), tool=tool)
    assert child_line(child) == "calling"
    reader = os.open(fifo, os.O_RDONLY)  # returns once the tool has opened it
    received, drained_at = [os.read(reader, 4096)], []
    assert received[0]  # the tool is now writing, blocked on the full pipe
    splits = tool == "split_ply"

    def drain():
        time.sleep(0.3 if splits else 0)  # long enough for a call that does not wait for its writers
        drained_at.append(time.monotonic())
        while chunk := os.read(reader, 1 << 16):
            received.append(chunk)

    try:
        sent, at, message = interrupt(child, drain)
    finally:
        os.close(reader)
    assert at - sent < 0.5 + 0.3 * splits and message == "'Interrupted: KeyboardInterrupt: '"
    # Inputs intact, no temporary file left, every other output that exists complete.
    inputs = lambda state: {k: v for k, v in state.items() if not k.startswith("out")}
    assert inputs(snapshot(tmp_path)) == inputs(before)
    make_inputs(tmp_path / "reference")
    (tmp_path / "reference" / "out").mkdir()
    INTERRUPTED_CALLS[tool](tmp_path / "reference")
    expected = snapshot(tmp_path / "reference" / "out")
    for name, content in snapshot(tmp_path / "out").items():
        assert content == "fifo" or content == expected[name], name
    if splits:  # the writers were joined, the one on the FIFO finishing its file, before the return
        assert drained_at[0] <= at and b"".join(received) == expected["fifo"]
