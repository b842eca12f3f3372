"""The tools release the interpreter lock while they work: other Python
threads run meanwhile, tools run side by side, and an object in use is
protected by its borrow."""

import json
import sys
import threading
import time

import numpy as np
import pytest

from support.ply import SPLAT_PROPERTIES, ply_header
from support.colmap import Camera, Image, Point, at, write_model
from larkspan.splat import (Config, OrthoCells, Patch, cleanup_splats, merge_ply_files_py,
                            patches, split_cameras_json, split_ply)

SPLATS = 300_000
CLOUD_DTYPE = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"),
                        ("red", "u1"), ("green", "u1"), ("blue", "u1")])


def splat_file(path, count, seed):
    rng = np.random.default_rng(seed)
    records = np.zeros((count, len(SPLAT_PROPERTIES)), dtype="<f4")
    records[:, :2] = rng.uniform(0, 100, (count, 2))
    records[:, 2] = rng.uniform(0, 10, count)
    path.write_bytes(ply_header(count) + records.tobytes())
    return path


def cloud_file(path, count, seed):
    rng = np.random.default_rng(seed)
    records = np.zeros(count, dtype=CLOUD_DTYPE)
    for axis in ("x", "y", "z"):
        records[axis] = rng.uniform(0, 100, count)
    records["red"] = rng.integers(0, 256, count)
    properties = [("float", "x"), ("float", "y"), ("float", "z"),
                  ("uchar", "red"), ("uchar", "green"), ("uchar", "blue")]
    path.write_bytes(ply_header(count, properties) + records.tobytes())
    return path


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    root = tmp_path_factory.mktemp("inputs")
    model = write_model(
        root / "model", cameras=[Camera(1)],
        images=[Image(i, tvec=at(i % 100, i // 100)) for i in range(1, 5001)],
        points=[Point(i, xyz=(i % 100, (i // 100) % 100, 1.0)) for i in range(1, 40_001)])
    return {
        "splats": splat_file(root / "splats.ply", SPLATS, seed=1),
        "cloud": cloud_file(root / "cloud.ply", SPLATS, seed=2),
        "model": model,
        "cameras": np.random.default_rng(3).uniform(0, 1000, (200_000, 2)),
    }


# Each tool on the shared inputs, writing under `out`; returns what the call
# returned and the names of the files it wrote.
def run_split_ply(inputs, out):
    config = Config(inputs["cloud"])
    config.patches = [Patch.with_bounds(out / f"p{i}.bin", 25 * i, 0, 25 * i + 25, 100)
                      for i in range(4)]
    return split_ply(config)


def run_patches(inputs, out):
    return [(b.min_x, b.max_x, b.min_y, b.max_y) for b in patches(inputs["cameras"], target_bins=200)]


def run_cleanup(inputs, out):
    return cleanup_splats(json.dumps({
        "input_file": str(inputs["splats"]), "output_file": str(out / "kept.ply"),
        "discarded_file": str(out / "dropped.ply"), "max_x": 50.0, "max_area": 1e9}))


def run_merge(inputs, out):
    return merge_ply_files_py(json.dumps({
        "input_files": [str(inputs["splats"])] * 3, "output_file": str(out / "merged.ply")}))


def run_split_cameras(inputs, out):
    return split_cameras_json(json.dumps({
        "input_path": str(inputs["model"]), "min_z": -1e9, "max_z": 1e9, "save_points3d": True,
        "patches": [{"min_x": 50.0 * i, "min_y": -1e9, "max_x": 50.0 * i + 50, "max_y": 1e9,
                     "output_path": str(out / f"model{i}")} for i in range(2)]}))


def run_ortho_load(inputs, out):
    return OrthoCells(inputs["splats"]).get_bounds()


CELLS = [(10.0 * i, 10.0 * i + 10, 0.0, 100.0) for i in range(10)]


def run_extract(inputs, out, ortho=None):
    ortho = ortho or OrthoCells(inputs["splats"])
    return ortho.extract_all_cells([(*c, out / f"cell{i}.ply") for i, c in enumerate(CELLS)])


TOOLS = {
    "split_ply": run_split_ply, "patches": run_patches, "cleanup_splats": run_cleanup,
    "merge_ply_files_py": run_merge, "split_cameras_json": run_split_cameras,
    "OrthoCells": run_ortho_load, "extract_all_cells": run_extract,
}


def outputs(directory):
    return {p.relative_to(directory).as_posix(): p.read_bytes()
            for p in sorted(directory.rglob("*")) if p.is_file()}


@pytest.fixture
def counter():
    """A thread that counts while it gets the interpreter lock. The switch
    interval is raised so that the lock only changes hands when its holder
    lets go of it: the count then advances during a call only if the call
    releases the lock."""
    count = [0]
    stop = threading.Event()

    def run():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0.0001)

    interval = sys.getswitchinterval()
    thread = threading.Thread(target=run)
    thread.start()
    sys.setswitchinterval(100.0)
    time.sleep(0.01)
    try:
        yield count
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        thread.join()


def counted_during(count, call, attempts=20):
    """How far the counter advanced while `call` ran. A loaded machine may not
    schedule the counting thread within one short call, so the call is
    repeated until it does; a call that never releases the lock never lets
    it advance, however often it runs."""
    before = count[0]
    for _ in range(attempts):
        result = call()
        if count[0] > before:
            break
    return count[0] - before, result


class TestOtherThreadsRun:
    @pytest.mark.parametrize("tool", TOOLS)
    def test_while_each_tool_works(self, tool, inputs, tmp_path, counter, capfd):
        advanced, _ = counted_during(counter, lambda: TOOLS[tool](inputs, tmp_path))
        assert advanced > 0

    @pytest.mark.parametrize("method", ["load", "write_ply_file"])
    def test_while_a_loaded_file_is_read_or_written(self, method, inputs, tmp_path, counter):
        ortho = OrthoCells(inputs["splats"])
        data = np.zeros((2 * SPLATS, len(SPLAT_PROPERTIES)), dtype="<f4")
        # Loading reads every record (get_bounds then answers from memory):
        # counted over several loads.
        call = {"load": lambda: [OrthoCells(inputs["splats"]) for _ in range(5)],
                "write_ply_file": lambda: ortho.write_ply_file(tmp_path / "w.ply", data, len(data))}
        advanced, _ = counted_during(counter, call[method])
        assert advanced > 0


class TestToolsSideBySide:
    def test_every_tool_at_once_gives_what_each_gives_alone(self, inputs, tmp_path, capfd):
        alone = {}
        for name, tool in TOOLS.items():
            (tmp_path / "alone" / name).mkdir(parents=True)
            alone[name] = (tool(inputs, tmp_path / "alone" / name),
                           outputs(tmp_path / "alone" / name))

        start = threading.Barrier(len(TOOLS))
        together, failures = {}, []

        def run(name):
            out = tmp_path / "together" / name
            out.mkdir(parents=True)
            start.wait()
            try:
                together[name] = (TOOLS[name](inputs, out), outputs(out))
            except BaseException as e:  # noqa: B036 - reported below
                failures.append((name, e))

        threads = [threading.Thread(target=run, args=(name,)) for name in TOOLS]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == []
        assert together == alone

    def test_one_loaded_file_cut_from_two_threads(self, inputs, tmp_path):
        ortho = OrthoCells(inputs["splats"])
        for name in ("a", "b", "alone"):
            (tmp_path / name).mkdir()
        run_extract(inputs, tmp_path / "alone", ortho)
        threads = [threading.Thread(target=run_extract, args=(inputs, tmp_path / n, ortho))
                   for n in ("a", "b")]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert outputs(tmp_path / "a") == outputs(tmp_path / "b") == outputs(tmp_path / "alone")


class TestObjectsInUse:
    def test_changing_a_config_during_split_ply_is_refused(self, inputs, tmp_path, capfd):
        config = Config(inputs["cloud"])
        config.patches = [Patch(tmp_path / "all.bin")]
        result, refusals = {}, []
        worker = threading.Thread(target=lambda: result.update(split_ply(config)))
        worker.start()
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
