"""The command line beyond what scripts/example.sh checks; the manifest; the steps over executors."""

import contextlib
import functools
import json
import multiprocessing
import operator
import os
import re
import signal
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

from support.colmap import GRID, SPACING, Camera, Image, camera_centre, grid_model, parse_points, write_model
from support.ply import cloud_bytes, ply_header, splat_records, splat_row, write_ply
from larkspan.splat import _inspect, cli, pipeline
from larkspan.splat._core import patches
from larkspan.splat.manifest import Plan, Rect, _meeting_cores

CENTRES = [(i * SPACING, j * SPACING) for j in range(GRID[1]) for i in range(GRID[0])]

@pytest.fixture
def shell(capfd, monkeypatch, tmp_path):  # (status, stdout, stderr), fd 1 writes included
    monkeypatch.chdir(tmp_path)
    return lambda *argv: (cli.main([os.fspath(a) for a in argv]), *capfd.readouterr())

@pytest.fixture
def scene(tmp_path, shell):
    model = grid_model(tmp_path / "model")
    assert shell("plan", model, "-o", "PLAN.json", "--max-cameras", "8", "--buffer", "2")[::2] == (0, "")
    return tmp_path, model, Plan.read(tmp_path / "PLAN.json")

def test_plan_holds_the_planner_boxes_and_their_cores(scene):
    root, model, plan = scene
    assert plan.model == os.fspath(model.resolve())
    assert [(p.id, p.rect.min_x, p.rect.max_x, p.rect.min_y, p.rect.max_y) for p in plan.patches] \
        == [(i, b.min_x, b.max_x, b.min_y, b.max_y) for i, b in enumerate(patches(CENTRES, 8, 2.0))]
    for r, c in ((p.rect, p.core) for p in plan.patches):
        assert (c.min_x, c.min_y, c.max_x, c.max_y) == (r.min_x + 2, r.min_y + 2, r.max_x - 2, r.max_y - 2)
    # 0.2 + 0.1 - 0.1 is 0.20000000000000004, 0.2 - 0.1 + 0.1 is 0.2: shared edges are made equal.
    left, right = _meeting_cores([Rect(-0.1, 0, 0.2 + 0.1, 1), Rect(0.2 - 0.1, 0, 1, 1)], 0.1)
    assert left.max_x == right.min_x == 0.2

def test_split_model_and_cloud_of_one_patch_in_a_height_range(scene, shell):
    root, _, plan = scene
    status, out, _ = shell("split-model", "PLAN.json", "one", "--patch", "1", "--no-points", "--max-z", "4")
    assert (status, out.splitlines()[-1]) == (0, "one: 1 patch models, 0 images and 0 points in all")
    points = [(x + 0.25, 0.5, z, 0, 0, 0) for x in range(-5, 80, 3) for z in (0.0, 9.0)]
    (root / "cloud.ply").write_bytes(cloud_bytes(points))
    assert shell("split-cloud", "PLAN.json", "cloud.ply", "one", "--patch", "1", "--max-z", "5")[0] == 0
    assert [p.relative_to(root / "one").as_posix() for p in sorted((root / "one").rglob("*"))] \
        == ["1", "1/cameras.bin", "1/images.bin", "1/points3D.bin"]  # the cameras stand at z 5
    r = plan.patches[1].rect
    assert sorted(p.xyz for p in parse_points((root / "one/1/points3D.bin").read_bytes()).values()) \
        == [(x, y, z) for x, y, z, *_ in points if z < 5 and r.min_x <= x < r.max_x]

def test_cleanup(scene, shell):
    root, model, plan = scene
    rows = [splat_row(x + 0.5, y + 0.5, 0.0) for x in range(-4, 80, 2) for y in range(-4, 40, 2)]
    rows.append(splat_row(10.5, 10.5, 0.0, scale=(3.0, 3.0, 3.0)))
    path = write_ply(root / "trained.ply", rows)
    status, out, err = shell("cleanup", path, model / "points3D.bin", "-o", "kept.ply",
                             "--plan", "PLAN.json", "--patch", "1", "--min-neighbors", "0",
                             "--max-scale", "100", "--discarded", "new/dropped.ply")
    assert (status, err) == (0, "") and out.endswith("kept.ply: cleaned\n")
    c = plan.patches[1].core
    kept = [r for r in rows if c.min_x <= r[0] < c.max_x and c.min_y <= r[1] < c.max_y and r[10] < 3]
    dropped = [r for r in rows if r not in kept]
    assert (root / "kept.ply").read_bytes() == ply_header(len(kept)) + splat_records(kept)
    assert (root / "new/dropped.ply").read_bytes() == ply_header(len(dropped)) + splat_records(dropped)
    # Without a plan no crop, and without --max-scale no scale limit.
    assert shell("cleanup", path, model / "points3D.bin", "-o", "kept.ply", "--radius", "1",
                 "--min-neighbors", "1")[0] == 0
    kept = [r for r in rows if (r[0] - 0.5, r[1] - 0.5) in CENTRES]  # the points are at centre + 1
    assert len(kept) == 33 and (root / "kept.ply").read_bytes() == ply_header(len(kept)) + splat_records(kept)

def test_merge_then_cells(tmp_path, shell):
    rows = [splat_row(x * 1.5, y * 2.5, 0.0) for x in range(11) for y in range(5)]
    write_ply(tmp_path / "a.ply", rows[:7]), write_ply(tmp_path / "b.ply", rows[7:])
    status, out, err = shell("merge", "new/m.ply", "a.ply", "b.ply")  # makes its folder
    assert (status, err) == (0, "") and out.endswith("new/m.ply: 2 files merged\n")
    assert (tmp_path / "new/m.ply").read_bytes() == ply_header(len(rows)) + splat_records(rows)
    status, out, err = shell("cells", "new/m.ply", "--size", "6", "-o", "cells")
    assert (status, err) == (0, "") and out.endswith("cells: 6 of 3 x 2 cells of 6 m hold splats\n")
    inside = [r for r in rows if 12 <= r[0] <= 15 and 6 <= r[1] <= 10]  # the last column and row
    assert (tmp_path / "cells/cell_2_1.ply").read_bytes() == ply_header(len(inside)) + splat_records(inside)

def test_info(scene, shell):
    root, model, plan = scene
    write_ply(root / "s.ply", [splat_row(1, -2, 3), splat_row(4, 5, -6)])
    assert shell("info", "s.ply")[1] == (
        "PLY file s.ply\n  format: binary_little_endian 1.0\n  vertices: 2 of 68 bytes (header 411 bytes)\n"
        "  properties: float x, float y, float z, float nx, float ny, float nz, float f_dc_0, "
        "float f_dc_1, float f_dc_2, float opacity, float scale_0, float scale_1, float scale_2, "
        "float rot_0, float rot_1, float rot_2, float rot_3\n"
        "  extent: x 1.000 .. 4.000, y -2.000 .. 5.000, z -6.000 .. 3.000\n")
    assert json.loads(shell("info", "model", "--json")[1]) == {"form": "binary", "rigs": None, "frames": None,
        "cameras": 1, "images": 32, "points3d": 32, "observations": 32, "camera_models": {"PINHOLE": 1},
        "camera_extent": {"min_x": 0, "max_x": 70, "min_y": 0, "max_y": 30, "min_z": 5, "max_z": 5},
        "point_extent": {"min_x": 1, "max_x": 71, "min_y": 1, "max_y": 31, "min_z": 0, "max_z": 0}}
    cameras = sorted(p.cameras for p in plan.patches)
    assert shell("info", "PLAN.json") == (0, f"plan PLAN.json\n  model: {model}\n  parameters: max_cameras 8, "
                                          f"buffer_meters 2, target_bins 100\n  patches: 4 (ids 0 to 3), "
                                          f"{cameras[0]} to {cameras[-1]} cameras each\n", "")
    assert shell("info", "PLAN.json", "--json")[1] == (root / "PLAN.json").read_text()

def test_camera_centres_of_rotated_cameras(tmp_path):  # unnormalised quaternions too
    images = [Image(7, qvec=(0.9, 0.1, -0.3, 0.2), tvec=(1.5, -2.0, 30.0)),
              Image(2, qvec=(0.0, 1.0, 0.0, 0.0), tvec=(4.0, 5.0, 6.0)),
              Image(5, qvec=(2.0, 0.5, 0.5, -1.0), tvec=(-10.0, 0.25, 3.0))]
    write_model(tmp_path, [Camera(1)], images)
    expected = sum(sorted([im.image_id, *camera_centre(im)] for im in images), [])
    assert sum(map(list, _inspect.camera_centres(str(tmp_path))), []) == pytest.approx(expected)

@contextlib.contextmanager
def dask_executor():
    distributed = pytest.importorskip("distributed")
    # The scheduler's web server on any free port: test runs of two interpreters at once would
    # race for the default one.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        yield client.get_executor()

# Fresh worker processes: a fork of a process whose tools ran holds the pool's state without its threads.
@pytest.mark.parametrize("executor", [
    lambda: ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")), dask_executor,
], ids=["process-pool", "dask"])
def test_pipeline_names_failed_patches_and_matches_the_command_line(scene, shell, executor):
    root, model, plan = scene
    rows = [splat_row(x + 0.5, y + 0.5, 0.0) for x in range(-4, 80, 3) for y in range(-4, 40, 3)]
    for i in (2, 3):
        write_ply(root / f"trained_{i}.ply", rows)
    (root / "trained_1.ply").write_bytes(ply_header(2) + splat_records(rows[:1]))  # body short
    with executor() as pool, pytest.raises(pipeline.PatchesFailed) as raised:
        pipeline.run(pool, pipeline.clean_patch, root / "PLAN.json", trained=str(root / "trained_{id}.ply"),
                     points=None, output=str(root / "clean_{id}.ply"), min_neighbors=0)
    assert sorted(raised.value.failures) == [0, 1] and str(raised.value) == (
        "patch 0 failed: OSError: No such file or directory (os error 2) (and 1 other patch)")
    assert sorted(p.name for p in root.glob("clean_*.ply")) == ["clean_2.ply", "clean_3.ply"]
    assert shell("cleanup", "trained_3.ply", "model/points3D.bin", "-o", "cli.ply", "--plan", "PLAN.json",
                 "--patch", "3", "--min-neighbors", "0")[0] == 0
    assert (root / "clean_3.ply").read_bytes() == (root / "cli.ply").read_bytes()

def write(name, data=None):  # a folder without data
    return lambda root: (root / name).parent.mkdir(exist_ok=True) or (
        (root / name).mkdir() if data is None else (root / name).write_bytes(data))

# Status 1 and one line "larkspan-splat: MESSAGE", or 2 and click's usage text; no file is left behind.
@pytest.mark.parametrize("prepare, argv, status, message", [
    (None, "plan model -o out --buffer nan", 2, "Invalid value for '--buffer': 'nan' is not a finite number"),
    (None, "plan model -o out --max-cameras 1 --buffer 20", 1, "planning patches over 32 cameras: "
     "No solution found - try increasing max_cameras or reducing buffer"),
    (None, "split-model PLAN.json out --patch 99", 2, "'--patch': PLAN.json has no patch 99 (its ids are 0 to 3)"),
    (lambda root: (root / "model" / "images.bin").unlink(), "split-model PLAN.json out", 1,
     "splitting the model {root}/model: Camera splitting failed: No such file or directory (os error 2)"),
    (write("P.json", b'{"version": 2}'), "split-model P.json out", 1, "reading the plan: P.json: "
     "manifest version 2 is not supported (this program reads version 1)"),
    (write("c.ply", ply_header(1, fmt="ascii 1.0")), "split-cloud PLAN.json c.ply out", 1,
     "splitting the cloud c.ply: PLY read error: unsupported PLY format: the header declares ascii records; "
     "only binary_little_endian PLY files can be read"),
    (None, "cleanup s.ply s.ply -o out --plan PLAN.json", 2, "Error: --plan and --patch go together"),
    (None, "cleanup s.ply s.ply -o out --radius 0", 2, "'--radius': '0' must be greater than 0"),
    (write("t.ply", ply_header(5)), "cleanup t.ply model/points3D.bin -o out --plan PLAN.json --patch 0", 1,
     "cleaning patch 0 (t.ply): failed to fill whole buffer"),
    (write("c.ply", cloud_bytes([(1, 2, 3, 0, 0, 0)])), "merge out s.ply c.ply", 1,
     "merging 2 files into out: Input file c.ply lays out its vertex records differently from s.ply "
     "(format line or vertex properties differ); refusing to merge"),
    (write("e.ply", ply_header(0)), "cells e.ply --size 5 -o out", 1, "e.ply holds no splat with a finite position"),
    (None, "cells s.ply --size 0.0005 -o out", 2, "Invalid value for '--size': 18000 x 18000 cells over the "
     "extent of s.ply; at most 1000000 are made"),
    (write("out/cell_0_0.ply", b""), "cells s.ply --size 5 -o out", 2, "Invalid value for '-o': out already "
     "holds cell files (cell_0_0.ply, ...): choose an empty folder or remove them"),
    (write("x", b"solid cube\n"), "info x", 1, 'reading the PLY file x: not a PLY file: it does not begin with "ply"'),
    (write("x"), "info x", 1, "reading the COLMAP model x: No such file or directory (os error 2)"),
])
def test_failures(scene, shell, prepare, argv, status, message):
    write_ply((root := scene[0]) / "s.ply", [splat_row(0, 0, 0), splat_row(9, 9, 0)])
    prepare and prepare(root)
    before = sorted(root.rglob("*"))
    code, _, err = shell(*argv.split())
    assert code == status and sorted(root.rglob("*")) == before
    assert err == f"larkspan-splat: {message.format(root=root)}\n" if status == 1 else message in err

MANIFEST = {"version": 1, "model": "/m",
            "parameters": {"max_cameras": 700, "buffer_meters": 1.5, "target_bins": 100},
            "patches": [{"id": 3, "rect": {"min_x": -1.5, "min_y": -1.5, "max_x": 11.5, "max_y": 21.5},
                         "core": {"min_x": 0.0, "min_y": 0.0, "max_x": 10.0, "max_y": 20.0}, "cameras": 7}]}

def edited(*path, value=...):  # MANIFEST with the key at `path` set to value, or removed
    parent = functools.reduce(operator.getitem, path[:-1], document := json.loads(json.dumps(MANIFEST)))
    parent.pop(path[-1]) if value is ... else parent.__setitem__(path[-1], value)
    return json.dumps(document)

def test_manifest_round_trip_is_byte_exact(tmp_path):
    text = json.dumps(MANIFEST, indent=2) + "\n"
    (plan := Plan.from_json(text)).write(tmp_path / "p.json")
    assert (plan.to_json(), Plan.read(tmp_path / "p.json")) == (text, plan)
    assert [(p.name, p.read_text()) for p in tmp_path.iterdir()] == [("p.json", text)]  # no temporary
    with pytest.raises(ValueError, match=r"^the plan has no patch 4 \(its ids are 3\)$"):
        plan.patch(4)

@pytest.mark.parametrize("text, message", [
    (edited("version", value=2), "manifest version 2 is not supported (this program reads version 1)"),
    (edited("version", value=True), "manifest version true is not supported (this program reads version 1)"),
    (edited("version"), 'missing key "version"'),
    (edited("patches", 0, "rect", "max_y"), 'missing key "patches[0].rect.max_y"'),
    (edited("patches", 0, "id", value=1.5), '"patches[0].id" must be an integer, not 1.5'),
    (edited("patches", 0, "core", "min_x", value=None), '"patches[0].core.min_x" must be a finite number, not null'),
    (edited("patches", value={}), '"patches" must be an array, not dict'),
    (edited("patches", value=MANIFEST["patches"] * 2), "patch id 3 appears twice"),
    ('{"version": 1, "version": 1}', 'not a JSON document: duplicate key "version"'),
    ("[1]", "a manifest is a JSON object"),
    ("{", "not a JSON document: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
])
def test_manifest_refusals_name_the_key(text, message):
    with pytest.raises(ValueError, match="^" + re.escape(f"P.json: {message}") + "$"):
        Plan.from_json(text, source="P.json")

@pytest.mark.parametrize("launcher", [[sys.executable, "-m", "larkspan.splat"],
                                      [str(Path(sys.executable).parent / "larkspan-splat")]])
def test_launchers(launcher, tmp_path):
    if not Path(launcher[0]).exists():
        pytest.skip("the console script is installed by pip")
    done = subprocess.run(launcher + ["--version"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.startswith("larkspan-splat, version ")
    done = subprocess.run(launcher + ["info", tmp_path / "none.ply"], capture_output=True, text=True)
    assert done.returncode == 2 and "does not exist" in done.stderr and "Traceback" not in done.stderr

@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
@pytest.mark.parametrize("reported_as", [KeyboardInterrupt, OSError])
def test_interrupt(scene, shell, monkeypatch, signum, status, reported_as):
    # Ctrl-C during a step, whether or not the tool turned it into its own failure.
    handler = signal.getsignal(signal.SIGINT)  # ignored when pytest runs as a background job
    def interrupted(*args, **kwargs):
        try:
            os.kill(os.getpid(), signum)
        except KeyboardInterrupt as e:
            raise e if reported_as is KeyboardInterrupt else reported_as("PLY read error: KeyboardInterrupt: ")
    monkeypatch.setattr(pipeline, "split_model", interrupted)
    code, out, err = shell("split-model", "PLAN.json", "out")  # click ends the "^C" line first
    assert (code, out, err.lstrip("\n")) == (status, "", "larkspan-splat: interrupted\n")
    assert signal.getsignal(signal.SIGINT) is handler
