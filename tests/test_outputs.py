"""Every tool: no output may be an input or another output, outputs appear
only when complete, closed standard descriptors receive nothing, and Ctrl-C
stops the call with KeyboardInterrupt."""

import json
import os
import random
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from support.colmap import Camera, Image, Point, at, write_model
from support.ply import splat_row, write_ply
from larkspan.splat import (Config, OrthoCells, Patch, cleanup_splats, merge_ply_files_py,
                            patches, split_cameras_json, split_ply)

WIDE = 1e9
XYZ_RGB = [("float", "x"), ("float", "y"), ("float", "z"),
           ("uchar", "red"), ("uchar", "green"), ("uchar", "blue")]
SPLATS = 2000  # 136 kB of records: more than a pipe holds


# ---- inputs and the calls of every tool ----

def make_inputs(d):
    """Every input file of every tool, in folder d."""
    d.mkdir(parents=True, exist_ok=True)
    rows = [splat_row(i % 50 * 0.1, i // 50 * 0.1, 0.0) for i in range(SPLATS)]
    write_ply(d / "splats.ply", rows)
    write_ply(d / "more.ply", rows[:10])
    write_ply(d / "cloud.ply", [(i * 0.01, i * 0.02, 1.0, i % 256, 7, 9) for i in range(6000)],
              properties=XYZ_RGB)
    keypoints = [(float(k), float(k), k % 40 + 1) for k in range(5000)]
    points = [Point(i + 1, (i * 0.1, 0.5, 0.0), track=[(1, i)]) for i in range(40)]
    write_model(d / "model", cameras=[Camera(1)], images=[Image(1, at(1, 1), points2d=keypoints)],
                points=points)
    (d / "points3D.bin").write_bytes((d / "model" / "points3D.bin").read_bytes())


def run_split_ply(d, out):
    config = Config(str(d / "cloud.ply"))
    config.patches = [Patch(str(p)) for p in out]
    return split_ply(config)


def run_cameras(d, out):
    return split_cameras_json(json.dumps({
        "input_path": str(d / "model"), "min_z": -WIDE, "max_z": WIDE, "save_points3d": True,
        "patches": [{"min_x": -WIDE, "min_y": -WIDE, "max_x": WIDE, "max_y": WIDE,
                     "output_path": str(p)} for p in out]}))


def run_cleanup(d, out, **extra):
    cleanup_splats(json.dumps(dict(input_file=str(d / "splats.ply"), output_file=str(out[0]),
                                   max_area=100.0, **extra)))


def run_cleanup_both(d, out):
    run_cleanup(d, out[:1], discarded_file=str(out[1]), colmap_points_file=str(d / "points3D.bin"),
                radius=0.05, min_neighbors=1)


def run_merge(d, out):
    merge_ply_files_py(json.dumps({"input_files": [str(d / "splats.ply"), str(d / "more.ply")],
                                   "output_file": str(out[0])}))


def run_cells(d, out):
    OrthoCells(str(d / "splats.ply")).extract_all_cells(
        [(-WIDE, WIDE, -WIDE, WIDE, str(p)) for p in out])


def run_write_ply_file(d, out):
    ply = OrthoCells(str(d / "splats.ply"))
    body = (d / "splats.ply").read_bytes().split(b"end_header\n")[1]
    ply.write_ply_file(str(out[0]), body, SPLATS)


# name: (call, the input file (or model folder) an aliased output names)
TOOLS = {
    "split_ply": (run_split_ply, "cloud.ply"),
    "split_cameras_json": (run_cameras, "model"),
    "cleanup_splats kept": (run_cleanup, "splats.ply"),
    "cleanup_splats discarded": (lambda d, out: run_cleanup_both(d, [d / "kept.ply", out[0]]),
                                 "splats.ply"),
    "cleanup_splats over points": (lambda d, out: run_cleanup_both(d, [out[0], d / "gone.ply"]),
                                   "points3D.bin"),
    "merge_ply_files_py": (run_merge, "more.ply"),
    "OrthoCells.extract_all_cells": (run_cells, "splats.ply"),
    "OrthoCells.write_ply_file": (run_write_ply_file, "splats.ply"),
}


def snapshot(d):
    """Every entry below d: file bytes, link targets, folders."""
    state = {}
    for path in sorted(Path(d).rglob("*")):
        key = str(path.relative_to(d))
        if path.is_symlink():
            state[key] = ("link", os.readlink(path))
        elif path.is_fifo():
            state[key] = "fifo"
        elif path.is_dir():
            state[key] = "dir"
        else:
            state[key] = path.read_bytes()
    return state


# ---- an output that is an input ----

def alias(d, target, spelling):
    """Another name of d/target: the path itself, through "..", a symbolic
    link, or a hard link (for the model folder: a folder holding a hard link
    of its images.bin)."""
    (d / "sub").mkdir(exist_ok=True)
    if spelling == "same":
        return d / target
    if spelling == "dotdot":
        return Path(f"{d}/sub/../{target}")
    if spelling == "symlink":
        (d / "alias").symlink_to(d / target)
        return d / "alias"
    if (d / target).is_dir():
        (d / "alias").mkdir()
        os.link(d / target / "images.bin", d / "alias" / "images.bin")
        return d / "alias"
    os.link(d / target, d / "alias")
    return d / "alias"


@pytest.mark.parametrize("spelling", ["same", "dotdot", "symlink", "hardlink"])
@pytest.mark.parametrize("tool", TOOLS)
def test_output_that_is_an_input_is_refused_before_anything_is_written(tmp_path, tool, spelling):
    make_inputs(tmp_path)
    call, target = TOOLS[tool]
    output = alias(tmp_path, target, spelling)
    before = snapshot(tmp_path)
    with pytest.raises(ValueError, match="is also an input file") as raised:
        call(tmp_path, [output])
    assert str(output) in str(raised.value) and str(tmp_path) in str(raised.value)
    assert snapshot(tmp_path) == before


# ---- two outputs of one call that are one file ----

def dangling(d):
    """Two names of one file that does not exist yet."""
    (d / "out").mkdir()
    (d / "out" / "b").symlink_to(d / "out" / "a")
    return [d / "out" / "a", d / "out" / "b"]


def dangling_folders(d):
    (d / "out").mkdir()
    (d / "out" / "b").symlink_to(d / "out" / "a", target_is_directory=True)
    return [d / "out" / "a", d / "out" / "b"]


@pytest.mark.parametrize("call, outputs", [
    (run_split_ply, dangling),
    (run_cameras, dangling_folders),
    (run_cleanup_both, dangling),
    (run_cleanup_both, lambda d: [d / "same.ply", d / "same.ply"]),
    (run_cleanup_both, lambda d: [d / "same.ply", Path(f"{d}/model/../same.ply")]),
    (run_cells, dangling),
], ids=["split_ply", "split_cameras_json", "cleanup dangling", "cleanup same path",
        "cleanup dotdot", "cells"])
def test_two_outputs_that_are_one_file_are_refused(tmp_path, call, outputs):
    make_inputs(tmp_path)
    paths = outputs(tmp_path)
    before = snapshot(tmp_path)
    with pytest.raises(ValueError, match="same|both write"):
        call(tmp_path, paths)
    assert snapshot(tmp_path) == before


# ---- outputs appear only when complete ----

# Each call in a child whose files may not grow beyond 4 kB: the writes fail
# with EFBIG part way through every output.
SMALL_FILES = textwrap.dedent("""
    import resource, signal, sys
    sys.path[:0] = {paths!r}
    from pathlib import Path
    import test_outputs as t
    d = Path({d!r})
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    try:
        t.TOOLS[{tool!r}][0](d, [Path(p) for p in {outputs!r}])
        print("returned")
    except (OSError, RuntimeError) as e:  # split_cameras_json reports files as RuntimeError
        print(type(e).__name__, e)
""")

FAILING_WRITES = {
    "split_ply": ["out/patch.bin"],
    "split_cameras_json": ["out"],
    "cleanup_splats kept": ["out/kept.ply"],
    "merge_ply_files_py": ["out/merged.ply"],
    "OrthoCells.extract_all_cells": ["out/cell.ply"],
    "OrthoCells.write_ply_file": ["out/written.ply"],
}


@pytest.mark.parametrize("tool", FAILING_WRITES)
def test_a_failed_write_leaves_the_old_file_and_no_temporary_file(tmp_path, tool):
    make_inputs(tmp_path)
    outputs = [str(tmp_path / p) for p in FAILING_WRITES[tool]]
    (tmp_path / "out").mkdir()
    for name in ("patch.bin", "kept.ply", "merged.ply", "cell.ply", "written.ply", "images.bin"):
        (tmp_path / "out" / name).write_bytes(b"the previous content")
    before = snapshot(tmp_path)
    script = SMALL_FILES.format(paths=sys.path, d=str(tmp_path), tool=tool, outputs=outputs)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=120)
    assert child.stdout.endswith("File too large (os error 27)\n"), child.stdout + child.stderr
    after = snapshot(tmp_path)
    if tool == "split_cameras_json":
        # Its small cameras.bin was complete before images.bin failed.
        assert after.pop("out/cameras.bin").startswith(b"\x01\0")
    assert after == before


# ---- closed standard descriptors ----

CLOSED_STREAMS = textwrap.dedent("""
    import os, sys
    sys.path[:0] = {paths!r}
    from pathlib import Path
    import test_outputs as t
    os.close({fd})
    try:
        t.TOOLS[{tool!r}][0](Path({d!r}), [Path(p) for p in {outputs!r}])
        outcome = "returned"
    except OSError as e:
        outcome = "OSError"
    Path({d!r}, "outcome").write_text(outcome)
""")


def outputs_for(d, tool):
    if tool == "OrthoCells.extract_all_cells":
        # The last cell fails while others are being written: its failure
        # line goes to the closed stderr, never into their files.
        return [d / "out" / f"cell{i}.ply" for i in range(8)] + [d / "missing" / "cell.ply"]
    if tool.startswith("cleanup"):
        return [d / "out" / "kept.ply"]
    return [d / "out" / "result"]


@pytest.mark.parametrize("fd", [1, 2], ids=["stdout closed", "stderr closed"])
@pytest.mark.parametrize("tool", ["split_ply", "split_cameras_json", "cleanup_splats kept",
                                  "merge_ply_files_py", "OrthoCells.extract_all_cells",
                                  "OrthoCells.write_ply_file"])
def test_closed_standard_streams_receive_nothing_and_outputs_are_exact(tmp_path, tool, fd, capfd):
    expected_dir, child_dir = tmp_path / "expected", tmp_path / "child"
    for d in (expected_dir, child_dir):
        make_inputs(d)
        (d / "out").mkdir()
    try:
        TOOLS[tool][0](expected_dir, outputs_for(expected_dir, tool))
        expected_outcome = "returned"
    except OSError:
        expected_outcome = "OSError"
    capfd.readouterr()
    script = CLOSED_STREAMS.format(paths=sys.path, d=str(child_dir), tool=tool, fd=fd,
                                   outputs=[str(p) for p in outputs_for(child_dir, tool)])
    subprocess.run([sys.executable, "-c", script], check=True, timeout=120)
    assert (child_dir / "outcome").read_text() == expected_outcome
    assert snapshot(child_dir / "out") == snapshot(expected_dir / "out")


# ---- Ctrl-C ----

# The child calls the tool with one output a FIFO, which blocks the tool once
# the pipe is full; the parent then sends SIGINT and drains the FIFO. The
# child reports the monotonic time at which the exception reached it.
INTERRUPTED = textwrap.dedent("""
    import sys, time
    sys.path[:0] = {paths!r}
    from pathlib import Path
    import test_outputs as t
    print("calling", flush=True)
    try:
        t.INTERRUPTED_CALLS[{tool!r}](Path({d!r}))
        print("returned", flush=True)
    except KeyboardInterrupt as e:
        print("interrupted", time.monotonic(), repr(str(e)), flush=True)
""")


def plan_many_patches(d):
    r = random.Random(1)
    cameras = [(r.uniform(0, 1000), r.uniform(0, 1000)) for _ in range(20000)]
    print("planning", flush=True)
    patches(cameras, 50, 1.0, 1000)  # about ten seconds


INTERRUPTED_CALLS = {
    "split_ply": lambda d: run_split_ply(d, [d / "out" / n for n in ("a.bin", "fifo", "b.bin")]),
    "split_cameras_json": lambda d: run_cameras(d, [d / "out" / "first", d / "out" / "blocked"]),
    "cleanup_splats": lambda d: run_cleanup_both(d, [d / "out" / "kept.ply", d / "out" / "fifo"]),
    "merge_ply_files_py": lambda d: run_merge(d, [d / "out" / "fifo"]),
    "OrthoCells.extract_all_cells": lambda d: run_cells(d, [d / "out" / "a.ply", d / "out" / "fifo"]),
    "OrthoCells.write_ply_file": lambda d: run_write_ply_file(d, [d / "out" / "fifo"]),
    "patches": plan_many_patches,
}


def start_child(tool, d):
    script = INTERRUPTED.format(paths=sys.path, tool=tool, d=str(d))
    return subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def child_line(child, timeout=60):
    ready, _, _ = select.select([child.stdout], [], [], timeout)
    assert ready, "no line from the child in time"
    return child.stdout.readline().rstrip("\n")


def interrupt_and_wait(child, drain=None):
    """Sends SIGINT, drains the FIFO if any, and returns the seconds until the
    exception reached the child and its message."""
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    drainer = threading.Thread(target=drain) if drain else None
    if drainer:
        drainer.start()
    try:
        line = child_line(child)
        while line and not line.startswith(("interrupted ", "returned")):  # the tools' stage lines
            line = child_line(child)
        assert line.startswith("interrupted "), line + child.stderr.read()
        _, at, message = line.split(" ", 2)
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
        if drainer:
            drainer.join(timeout=60)
    return float(at) - sent, message


def outside(state, folder):
    return {k: v for k, v in state.items() if k != folder and not k.startswith(folder + "/")}


@pytest.mark.parametrize("tool", [t for t in INTERRUPTED_CALLS if t != "patches"])
def test_ctrl_c_while_an_output_is_written(tmp_path, tool):
    make_inputs(tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    fifo = out / "fifo"
    if tool == "split_cameras_json":
        (out / "blocked").mkdir()
        fifo = out / "blocked" / "images.bin"
    os.mkfifo(fifo)
    inputs = outside(snapshot(tmp_path), "out")
    child = start_child(tool, tmp_path)
    assert child_line(child) == "calling"
    reader = os.open(fifo, os.O_RDONLY)  # returns once the tool has opened it
    try:
        assert os.read(reader, 4096)  # the tool is now writing, blocked on the full pipe

        def drain():
            while os.read(reader, 1 << 16):
                pass

        seconds, message = interrupt_and_wait(child, drain)
    finally:
        os.close(reader)
    assert message == "'Interrupted: KeyboardInterrupt: '"
    assert seconds < 0.5
    # Inputs intact, no temporary file left, and every other output that
    # exists is complete.
    assert outside(snapshot(tmp_path), "out") == inputs
    reference = tmp_path / "reference"
    make_inputs(reference)
    (reference / "out").mkdir()
    INTERRUPTED_CALLS[tool](reference)
    expected = snapshot(reference / "out")
    for name, content in snapshot(out).items():
        if content != "fifo":
            assert content == expected[name], name


def test_ctrl_c_while_planning_patches(tmp_path):
    child = start_child("patches", tmp_path)
    assert child_line(child) == "calling"
    assert child_line(child) == "planning"
    time.sleep(0.5)
    seconds, message = interrupt_and_wait(child)
    assert message == "'Interrupted: KeyboardInterrupt: '"
    assert seconds < 0.5
