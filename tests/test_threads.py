"""Tools release the interpreter lock: other threads run, tools run side by side, objects in use are borrowed."""

import json
import sys
import threading
import time

import numpy as np
import pytest

from support.colmap import Camera, Image, Point, at, write_model
from support.ply import SPLAT_PROPERTIES, make_config, ply_header
from larkspan.splat import (Config, OrthoCells, Patch, cleanup_splats, merge_ply_files_py,
                            patches, split_cameras_json, split_ply)

SPLATS = 300_000

@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    root = tmp_path_factory.mktemp("inputs")
    rng = np.random.default_rng(1)
    splats = np.zeros((SPLATS, len(SPLAT_PROPERTIES)), dtype="<f4")
    splats[:, :3] = rng.uniform(0, 100, (SPLATS, 3))
    (root / "splats.ply").write_bytes(ply_header(SPLATS) + splats.tobytes())
    model = write_model(root / "model", [Camera(1)], [Image(i, tvec=at(i % 100, i // 100)) for i in range(1, 5001)],
                        [Point(i, xyz=(i % 100, (i // 100) % 100, 1.0)) for i in range(1, 40_001)])
    return {"splats": root / "splats.ply", "model": model, "ortho": OrthoCells(root / "splats.ply"),
            "cameras": rng.uniform(0, 1000, (200_000, 2)), "records": splats.tobytes() * 2}

# Each tool on the shared inputs, writing under `out`; returns what the call returned.
TOOLS = {
    "split_ply": lambda inputs, out: split_ply(
        make_config(inputs["splats"], [(25 * i, 0, 25 * i + 25, 100) for i in range(4)], out)),
    "patches": lambda inputs, out: [(b.min_x, b.max_x, b.min_y, b.max_y)
                                    for b in patches(inputs["cameras"], target_bins=200)],
    "cleanup_splats": lambda inputs, out: cleanup_splats(json.dumps({
        "input_file": str(inputs["splats"]), "output_file": str(out / "kept.ply"),
        "discarded_file": str(out / "dropped.ply"), "max_x": 50.0, "max_area": 1e9})),
    "merge_ply_files_py": lambda inputs, out: merge_ply_files_py(json.dumps({
        "input_files": [str(inputs["splats"])] * 3, "output_file": str(out / "merged.ply")})),
    "split_cameras_json": lambda inputs, out: split_cameras_json(json.dumps({
        "input_path": str(inputs["model"]), "min_z": -1e9, "max_z": 1e9, "save_points3d": True,
        "patches": [{"min_x": 50.0 * i, "min_y": -1e9, "max_x": 50.0 * i + 50, "max_y": 1e9,
                     "output_path": str(out / f"model{i}")} for i in range(2)]})),
    "OrthoCells": lambda inputs, out: OrthoCells(inputs["splats"]).get_bounds(),
    "extract_all_cells": lambda inputs, out: inputs["ortho"].extract_all_cells(
        [(10.0 * i, 10.0 * i + 10, 0.0, 100.0, out / f"cell{i}.ply") for i in range(10)]),
    "write_ply_file": lambda inputs, out: inputs["ortho"].write_ply_file(out / "w.ply", inputs["records"], 2 * SPLATS),
}

@pytest.mark.parametrize("tool", TOOLS)
def test_other_threads_run_while_each_tool_works(tool, inputs, tmp_path, capfd):
    # A thread counting under the lock advances while the tool runs (a few tries on a busy machine).
    count, stop, interval = [0], threading.Event(), sys.getswitchinterval()
    def run():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0.0001)
    (thread := threading.Thread(target=run)).start()
    sys.setswitchinterval(100.0)
    time.sleep(0.01)
    try:
        before = count[0]
        assert any((TOOLS[tool](inputs, tmp_path), count[0] > before)[1] for _ in range(20))
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        thread.join()

def test_every_tool_at_once_gives_what_each_gives_alone(inputs, tmp_path, capfd):
    results, failures, start = {}, [], threading.Barrier(len(TOOLS))
    def run(name, kind):
        (out := tmp_path / kind / name).mkdir(parents=True)
        if kind == "together":
            start.wait()
        try:
            returned = TOOLS[name](inputs, out)
            results[kind, name] = returned, {p.relative_to(out).as_posix(): p.read_bytes() for p in out.rglob("*.*")}
        except BaseException as e:  # noqa: B036 - reported below
            failures.append((name, e))
    for name in TOOLS:
        run(name, "alone")
    threads = [threading.Thread(target=run, args=(name, "together")) for name in TOOLS]
    [t.start() for t in threads]
    [t.join() for t in threads]
    assert failures == []
    assert {n: results["together", n] for n in TOOLS} == {n: results["alone", n] for n in TOOLS}

def test_changing_a_config_during_split_ply_is_refused(inputs, tmp_path, capfd):
    (config := Config(inputs["splats"])).add_patch(Patch(tmp_path / "all.bin"))
    result, refusals = {}, []
    (worker := threading.Thread(target=lambda: result.update(split_ply(config)))).start()
    while worker.is_alive():
        try:
            config.sample_percentage = 100.0  # the value it has: harmless if it lands
            config.patches  # reading is allowed meanwhile
        except RuntimeError as e:
            refusals.append(str(e))
    worker.join()
    assert refusals and set(refusals) == {"Already borrowed"}
    assert result["points_loaded"] == result["total_points_written"] == SPLATS
    config.sample_percentage = 50.0  # free again once the call returned
