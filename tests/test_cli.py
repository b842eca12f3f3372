"""The larkspan-splat command line: each subcommand's outputs, its exit status
and its one-line failure message, and what the manifest lets through."""

import json
import os
import signal
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from support.colmap import (CAMERA, Camera, Frame, Image, Point, Rig, at, camera_centre, parse_images,
                          parse_points, write_model, write_rigs, write_text_model)
from support.ply import ply_header, splat_records, splat_row, write_ply
from larkspan.splat import _inspect, cli, pipeline
from larkspan.splat._core import patches
from larkspan.splat.manifest import Plan
from support.colmap import GRID, SPACING, grid_model


@pytest.fixture
def shell(capfd, monkeypatch, tmp_path):
    """The command line in this process, run in tmp_path: (status, stdout,
    stderr), the tools' direct writes to fd 1 included."""
    monkeypatch.chdir(tmp_path)

    def call(*argv):
        status = cli.main([os.fspath(a) for a in argv])
        out, err = capfd.readouterr()
        return status, out, err

    return call


@pytest.fixture
def scene(tmp_path, shell):
    model = grid_model(tmp_path / "model")
    status, out, err = shell("plan", model, "-o", "PLAN.json", "--max-cameras", "12",
                             "--buffer", "2")
    assert (status, err) == (0, "")
    return tmp_path, model, Plan.read(tmp_path / "PLAN.json")


def vertex_rows(path):
    data = Path(path).read_bytes()
    body = data.split(b"end_header\n", 1)[1]
    return [struct.unpack_from("<17f", body, at) for at in range(0, len(body), 68)]


class TestPlan:
    def test_manifest_holds_the_planner_boxes_their_cores_and_camera_counts(self, scene):
        root, model, plan = scene
        centres = [(i * SPACING, j * SPACING) for j in range(GRID[1]) for i in range(GRID[0])]
        boxes = patches(centres, 12, 2.0, 100)
        assert plan.model == os.fspath(model.resolve())
        assert [(p.rect.min_x, p.rect.max_x, p.rect.min_y, p.rect.max_y) for p in plan.patches] \
            == [(b.min_x, b.max_x, b.min_y, b.max_y) for b in boxes]
        for patch in plan.patches:
            r, c = patch.rect, patch.core
            assert (c.min_x, c.min_y, c.max_x, c.max_y) == pytest.approx(
                (r.min_x + 2, r.min_y + 2, r.max_x - 2, r.max_y - 2))
            assert patch.cameras == sum(r.min_x <= x <= r.max_x and r.min_y <= y <= r.max_y
                                        for x, y in centres) <= 12
        assert [p.id for p in plan.patches] == list(range(len(boxes)))

    def test_cores_cover_every_camera_once(self, scene):
        _, _, plan = scene
        far_x, far_y = (GRID[0] - 1) * SPACING, (GRID[1] - 1) * SPACING
        for i in range(GRID[0]):
            for j in range(GRID[1]):
                x, y = i * SPACING, j * SPACING
                # Lower core bounds included, upper excluded except at the scene's far edges.
                holders = [p.id for p in plan.patches
                           if p.core.min_x <= x <= p.core.max_x and p.core.min_y <= y <= p.core.max_y
                           and (x < p.core.max_x or x == far_x) and (y < p.core.max_y or y == far_y)]
                assert len(holders) == 1, (x, y, holders)

    def test_summary_line_and_picture(self, tmp_path, shell):
        pytest.importorskip("matplotlib")
        model = grid_model(tmp_path / "m")
        status, out, err = shell("plan", model, "-o", "p.json", "--png", "p.png",
                                 "--max-cameras", "40")
        assert (status, err) == (0, "")
        assert out.splitlines()[-1] == "p.json: 1 patches over 32 cameras, at most 32 in one patch"
        assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    @pytest.mark.parametrize("argv, status, message", [
        (["--max-cameras", "0"], 2, "Invalid value for '--max-cameras': 0 is not in the range x>=1."),
        (["--buffer", "nan"], 2, "Invalid value for '--buffer': 'nan' is not a finite number"),
        (["--max-cameras", "1", "--buffer", "20"], 1,
         "larkspan-splat: planning patches over 32 cameras: No solution found - try increasing "
         "max_cameras or reducing buffer"),
    ])
    def test_refusals(self, tmp_path, shell, argv, status, message):
        model = grid_model(tmp_path / "m")
        code, out, err = shell("plan", model, "-o", "p.json", *argv)
        assert code == status and err.endswith(message + "\n")
        assert status == 2 or len(err.splitlines()) == 1
        assert not (tmp_path / "p.json").exists()

    def test_unreadable_model(self, tmp_path, shell):
        (tmp_path / "empty").mkdir()
        assert shell("plan", tmp_path / "empty", "-o", "p.json") == (
            1, "", f"larkspan-splat: reading the camera centres of {tmp_path / 'empty'}: "
                   "No such file or directory (os error 2)\n")


class TestSplitModel:
    def test_one_model_per_patch_with_the_planned_cameras(self, scene, shell):
        root, _, plan = scene
        status, out, _ = shell("split-model", "PLAN.json", "patches")
        assert status == 0
        for patch in plan.patches:
            images = parse_images((root / "patches" / str(patch.id) / "images.bin").read_bytes())
            assert len(images) == patch.cameras
        total = sum(p.cameras for p in plan.patches)
        assert out.endswith(f"patches: {len(plan.patches)} patch models, {total} images and "
                            f"{total} points in all\n")

    def test_selected_patches_without_points(self, scene, shell):
        root, _, _ = scene
        assert shell("split-model", "PLAN.json", "out", "--patch", "1", "--no-points")[0] == 0
        assert sorted(p.name for p in (root / "out").iterdir()) == ["1"]
        assert sorted(p.name for p in (root / "out" / "1").iterdir()) == ["cameras.bin", "images.bin"]

    def test_height_range(self, scene, shell):
        root, _, _ = scene
        assert shell("split-model", "PLAN.json", "out", "--max-z", "4")[0] == 0
        assert all(not parse_images(f.read_bytes()) for f in (root / "out").glob("*/images.bin"))

    def test_unknown_patch_is_a_usage_error(self, scene, shell):
        _, _, plan = scene
        status, _, err = shell("split-model", "PLAN.json", "out", "--patch", "99")
        assert status == 2
        assert (f"Invalid value for '--patch': PLAN.json has no patch 99 (its ids are 0 to "
                f"{len(plan.patches) - 1})") in err

    def test_model_gone_since_planning(self, scene, shell):
        root, model, _ = scene
        (model / "images.bin").unlink()
        assert shell("split-model", "PLAN.json", "out") == (
            1, "", f"larkspan-splat: splitting the model {model}: Camera splitting failed: "
                   "No such file or directory (os error 2)\n")


def cloud_file(path, points):
    props = [("float", "x"), ("float", "y"), ("float", "z")]
    data = ply_header(len(points), props) + b"".join(struct.pack("<3f", *p) for p in points)
    path.write_bytes(data)
    return path


class TestSplitCloud:
    def test_points_of_each_buffered_rect(self, scene, shell):
        root, _, plan = scene
        points = [(x + 0.25, y + 0.5, z) for x in range(-5, 80, 3) for y in range(-5, 40, 4)
                  for z in (0.0, 9.0)]
        cloud_file(root / "cloud.ply", points)
        status, out, _ = shell("split-cloud", "PLAN.json", "cloud.ply", "patches", "--max-z", "5")
        assert status == 0
        for patch in plan.patches:
            r = patch.rect
            expected = sorted((x, y, z) for x, y, z in points if z < 5 and r.min_x <= x < r.max_x
                              and r.min_y <= y < r.max_y)
            written = parse_points((root / "patches" / str(patch.id) / "points3D.bin").read_bytes())
            assert sorted(p.xyz for p in written.values()) == expected

    def test_not_a_cloud(self, scene, shell):
        root, _, _ = scene
        (root / "cloud.ply").write_bytes(b"ply\nformat ascii 1.0\nelement vertex 1\n"
                                         b"property float x\nend_header\n1\n")
        status, out, err = shell("split-cloud", "PLAN.json", "cloud.ply", "patches")
        assert status == 1 and len(err.splitlines()) == 1
        assert err.startswith("larkspan-splat: splitting the cloud cloud.ply: ")


class TestCleanup:
    @pytest.fixture
    def trained(self, scene):
        root, _, plan = scene
        rows = [splat_row(x + 0.5, y + 0.5, 0.0) for x in range(-4, 80, 2) for y in range(-4, 40, 2)]
        rows.append(splat_row(10.5, 10.5, 0.0, scale=(3.0, 3.0, 3.0)))
        return write_ply(root / "trained.ply", rows), rows

    def test_crop_to_the_core(self, scene, shell, trained):
        root, model, plan = scene
        path, rows = trained
        core = plan.patches[1].core
        status, out, err = shell("cleanup", path, model / "points3D.bin", "-o", "kept.ply",
                                 "--plan", "PLAN.json", "--patch", "1", "--min-neighbors", "0",
                                 "--max-scale", "100", "--discarded", "new/dropped.ply")
        assert (status, err) == (0, "") and out.endswith("kept.ply: cleaned\n")
        kept = [r for r in rows if core.min_x <= r[0] < core.max_x and core.min_y <= r[1] < core.max_y
                and r[10] < 3]
        dropped = [r for r in rows if r not in kept]
        assert (root / "kept.ply").read_bytes() == ply_header(len(kept)) + splat_records(kept)
        assert (root / "new" / "dropped.ply").read_bytes() == \
            ply_header(len(dropped)) + splat_records(dropped)

    def test_neighbours_without_a_plan(self, scene, shell, trained):
        root, model, _ = scene
        path, rows = trained
        assert shell("cleanup", path, model / "points3D.bin", "-o", "kept.ply", "--radius", "1",
                     "--min-neighbors", "1")[0] == 0
        # Each image's one point lies at (x + 1, y + 1) of a grid node.
        kept = vertex_rows(root / "kept.ply")
        assert kept and all((r[0] - 0.5) % 10 == 0 and (r[1] - 0.5) % 10 == 0 for r in kept)

    @pytest.mark.parametrize("argv, message", [
        (["--plan", "PLAN.json"], "Error: --plan and --patch go together"),
        (["--patch", "1"], "Error: --plan and --patch go together"),
        (["--radius", "0"], "Invalid value for '--radius': '0' must be greater than 0"),
        (["--plan", "PLAN.json", "--patch", "-1"], "PLAN.json has no patch -1"),
    ])
    def test_usage_errors(self, scene, shell, trained, argv, message):
        _, model, _ = scene
        status, _, err = shell("cleanup", trained[0], model / "points3D.bin", "-o", "k.ply", *argv)
        assert status == 2 and message in err

    def test_unreadable_input(self, scene, shell):
        root, model, _ = scene
        (root / "t.ply").write_bytes(ply_header(5))
        status, _, err = shell("cleanup", "t.ply", model / "points3D.bin", "-o", "k.ply",
                               "--plan", "PLAN.json", "--patch", "0")
        assert (status, err) == (1, "larkspan-splat: cleaning patch 0 (t.ply): "
                                    "failed to fill whole buffer\n")


class TestMergeCellsInfo:
    def test_merge(self, tmp_path, shell):
        a = write_ply(tmp_path / "a.ply", [splat_row(1, 2, 3)])
        b = write_ply(tmp_path / "b.ply", [splat_row(4, 5, 6), splat_row(7, 8, 9)])
        status, out, err = shell("merge", "new/m.ply", a, b)
        assert (status, err) == (0, "") and out.endswith("new/m.ply: 2 files merged\n")
        rows = [splat_row(1, 2, 3), splat_row(4, 5, 6), splat_row(7, 8, 9)]
        assert (tmp_path / "new" / "m.ply").read_bytes() == ply_header(3) + splat_records(rows)

    def test_merge_refuses_other_layouts(self, tmp_path, shell):
        a = write_ply(tmp_path / "a.ply", [splat_row(1, 2, 3)])
        b = cloud_file(tmp_path / "b.ply", [(1, 2, 3)])
        status, _, err = shell("merge", "m.ply", a, b)
        assert status == 1 and err.startswith("larkspan-splat: merging 2 files into m.ply: ")
        assert len(err.splitlines()) == 1

    def test_cells_hold_the_splats_inside_their_bounds(self, tmp_path, shell):
        rows = [splat_row(x * 1.5, y * 2.5, 0.0) for x in range(11) for y in range(5)]
        write_ply(tmp_path / "s.ply", rows)
        status, out, err = shell("cells", "s.ply", "--size", "6", "-o", "cells")
        assert (status, err) == (0, "")
        assert out.endswith("cells: 6 of 3 x 2 cells of 6 m hold splats\n")
        edges_x, edges_y = [0, 6, 12, 15], [0, 6, 10]
        for i in range(3):
            for j in range(2):
                inside = [r for r in rows if edges_x[i] <= r[0] <= edges_x[i + 1]
                          and edges_y[j] <= r[1] <= edges_y[j + 1]]
                data = (tmp_path / "cells" / f"cell_{i}_{j}.ply").read_bytes()
                assert data == ply_header(len(inside)) + splat_records(inside)

    @pytest.mark.parametrize("rows, argv, status, message", [
        ([], ["--size", "5"], 1, "larkspan-splat: s.ply holds no splat with a finite position"),
        ([splat_row(0, 0, 0)], ["--size", "0"], 2, "'--size': '0' must be greater than 0"),
        ([splat_row(0, 0, 0), splat_row(1e6, 1e6, 0)], ["--size", "0.5"], 2,
         "Invalid value for '--size': 2000000 x 2000000 cells over the extent of s.ply; "
         "at most 1000000 are made"),
    ])
    def test_cells_refusals(self, tmp_path, shell, rows, argv, status, message):
        write_ply(tmp_path / "s.ply", rows)
        code, _, err = shell("cells", "s.ply", "-o", "cells", *argv)
        assert code == status and message in err
        assert not (tmp_path / "cells").exists()

    def test_cells_refuse_a_folder_with_cells_of_another_run(self, tmp_path, shell):
        write_ply(tmp_path / "s.ply", [splat_row(0, 0, 0), splat_row(9, 9, 0)])
        assert shell("cells", "s.ply", "-o", "cells", "--size", "5")[0] == 0
        status, _, err = shell("cells", "s.ply", "-o", "cells", "--size", "20")
        assert status == 2 and err.endswith(
            "Invalid value for '-o': cells already holds cell files (cell_0_0.ply, ...): "
            "choose an empty folder or remove them\n")

    def test_info_of_a_ply(self, tmp_path, shell):
        write_ply(tmp_path / "s.ply", [splat_row(1, -2, 3), splat_row(4, 5, -6)])
        status, out, _ = shell("info", "s.ply")
        assert status == 0
        assert out == ("PLY file s.ply\n  format: binary_little_endian 1.0\n"
                       "  vertices: 2 of 68 bytes (header 411 bytes)\n"
                       "  properties: float x, float y, float z, float nx, float ny, float nz, "
                       "float f_dc_0, float f_dc_1, float f_dc_2, float opacity, float scale_0, "
                       "float scale_1, float scale_2, float rot_0, float rot_1, float rot_2, "
                       "float rot_3\n"
                       "  extent: x 1.000 .. 4.000, y -2.000 .. 5.000, z -6.000 .. 3.000\n")

    def test_info_of_a_model_as_json(self, tmp_path, shell):
        grid_model(tmp_path / "m")
        status, out, _ = shell("info", "m", "--json")
        assert status == 0
        assert json.loads(out) == {
            "form": "binary", "rigs": None, "frames": None,
            "cameras": 1, "images": 32, "points3d": 32, "observations": 32,
            "camera_models": {"PINHOLE": 1},
            "camera_extent": {"min_x": 0, "max_x": 70, "min_y": 0, "max_y": 30, "min_z": 5, "max_z": 5},
            "point_extent": {"min_x": 1, "max_x": 71, "min_y": 1, "max_y": 31, "min_z": 0, "max_z": 0},
        }

    def test_info_of_a_plan(self, scene, shell):
        root, model, plan = scene
        status, out, _ = shell("info", "PLAN.json")
        cameras = [p.cameras for p in plan.patches]
        assert (status, out) == (0, f"plan PLAN.json\n  model: {model}\n"
                                    "  parameters: max_cameras 12, buffer_meters 2, target_bins 100\n"
                                    f"  patches: {len(cameras)} (ids 0 to {len(cameras) - 1}), "
                                    f"{min(cameras)} to {max(cameras)} cameras each\n")
        status, out, _ = shell("info", "PLAN.json", "--json")
        assert out == (root / "PLAN.json").read_text()

    def test_plan_and_info_of_a_text_model(self, tmp_path, shell):
        nx, ny = GRID
        images = [Image(j * nx + i + 1, tvec=at(i * SPACING, j * SPACING)) for j in range(ny)
                  for i in range(nx)]
        write_text_model(tmp_path / "t", [Camera(1, model_id=6, params=tuple(range(12)))], images)
        grid_model(tmp_path / "b")
        for model in ("t", "b"):
            assert shell("plan", model, "-o", f"{model}.json", "--max-cameras", "12")[0] == 0
        assert Plan.read(tmp_path / "t.json").patches == Plan.read(tmp_path / "b.json").patches
        status, out, _ = shell("info", "t")
        assert out.splitlines()[:3] == ["COLMAP model t (text)", "  cameras: 1 (FULL_OPENCV 1)",
                                        "  images: 32"]
        # A model with a rig: one frame per image.
        write_rigs(tmp_path / "b", [Rig(1)], [Frame(i, data_ids=[(CAMERA, 1, i)])
                                              for i in range(1, 33)])
        status, out, _ = shell("info", "b")
        assert out.splitlines()[3] == "  rigs: 1, frames: 32"

    @pytest.mark.parametrize("content, message", [
        (b"solid cube\n", 'not a PLY file: it does not begin with "ply"'),
        (ply_header(3), "failed to fill whole buffer"),
        (None, "No such file or directory (os error 2)"),  # a folder without a model
    ])
    def test_info_failures(self, tmp_path, shell, content, message):
        target = tmp_path / "x"
        if content is None:
            target.mkdir()
        else:
            target.write_bytes(content)
        status, out, err = shell("info", "x")
        kind = "COLMAP model" if content is None else "PLY file"
        assert (status, out, err) == (1, "", f"larkspan-splat: reading the {kind} x: {message}\n")


def test_camera_centres_of_rotated_cameras(tmp_path):
    """-R^T t for unnormalised quaternions too, as the model split places them."""
    images = [Image(7, qvec=(0.9, 0.1, -0.3, 0.2), tvec=(1.5, -2.0, 30.0)),
              Image(2, qvec=(0.0, 1.0, 0.0, 0.0), tvec=(4.0, 5.0, 6.0)),
              Image(5, qvec=(2.0, 0.5, 0.5, -1.0), tvec=(-10.0, 0.25, 3.0))]
    write_model(tmp_path, [Camera(1)], images)
    got = _inspect.camera_centres(str(tmp_path))
    assert [g[0] for g in got] == [2, 5, 7]
    for (_, *xyz), image in zip(got, sorted(images, key=lambda im: im.image_id)):
        assert xyz == pytest.approx(camera_centre(image), rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("fmt, properties, vertices, extent", [
    ("ascii 1.0", [("float", "x"), ("float", "y"), ("float", "z")],
     "1; the tools refuse them: unsupported PLY format: the header declares ascii records; "
     "only binary_little_endian PLY files can be read", "none"),
    ("binary_little_endian 1.0", [("float", "x"), ("float", "y")], "1 of 8 bytes", "none"),
    ("binary_little_endian 1.0", [("uchar", "red"), ("float", "z"), ("double", "y"), ("short", "x")],
     "1 of 15 bytes", "x 3.000 .. 3.000, y 2.000 .. 2.000, z 1.000 .. 1.000"),
])
def test_info_extent_of_positions_the_tools_read(tmp_path, shell, fmt, properties, vertices, extent):
    codes = {"uchar": "B", "float": "f", "double": "d", "short": "h"}
    record = b"".join(struct.pack("<" + codes[t], 9 if n == "red" else "zyx".index(n) + 1)
                      for t, n in properties)
    (tmp_path / "c.ply").write_bytes(ply_header(1, properties, fmt=fmt) + record)
    status, out, _ = shell("info", "c.ply")
    lines = out.splitlines()
    assert status == 0 and lines[2].startswith(f"  vertices: {vertices}")
    assert lines[-1] == f"  extent: {extent}"


MANIFEST = {
    "version": 1, "model": "/m",
    "parameters": {"max_cameras": 700, "buffer_meters": 1.5, "target_bins": 100},
    "patches": [{"id": 3, "rect": {"min_x": -1.5, "min_y": -1.5, "max_x": 11.5, "max_y": 21.5},
                 "core": {"min_x": 0, "min_y": 0, "max_x": 10, "max_y": 20}, "cameras": 7}],
}


def edited(path, value):
    """MANIFEST with the key at `path` (a tuple of keys and indexes) set, or
    removed when value is ...; the result as JSON text."""
    document = json.loads(json.dumps(MANIFEST))
    *parents, last = path
    target = document
    for key in parents:
        target = target[key]
    if value is ...:
        del target[last]
    else:
        target[last] = value
    return json.dumps(document)


class TestManifest:
    def test_round_trip_is_byte_exact(self, tmp_path):
        text = json.dumps(MANIFEST, indent=2) + "\n"
        plan = Plan.from_json(text)
        assert plan.to_json() == text.replace('"max_x": 10,', '"max_x": 10.0,') \
            .replace('"min_x": 0,', '"min_x": 0.0,').replace('"min_y": 0,', '"min_y": 0.0,') \
            .replace('"max_y": 20\n', '"max_y": 20.0\n')
        plan.write(tmp_path / "p.json")
        assert Plan.read(tmp_path / "p.json") == plan
        assert (tmp_path / "p.json").read_text() == plan.to_json()
        assert [p.name for p in tmp_path.iterdir()] == ["p.json"]  # no temporary left

    @pytest.mark.parametrize("text, message", [
        (edited(("version",), 2), "manifest version 2 is not supported (this program reads version 1)"),
        (edited(("version",), "1"), 'manifest version "1" is not supported (this program reads version 1)'),
        (edited(("version",), True), "manifest version true is not supported (this program reads version 1)"),
        (edited(("version",), ...), 'missing key "version"'),
        (edited(("parameters", "buffer_meters"), ...), 'missing key "parameters.buffer_meters"'),
        (edited(("patches", 0, "core"), ...), 'missing key "patches[0].core"'),
        (edited(("patches", 0, "rect", "max_y"), ...), 'missing key "patches[0].rect.max_y"'),
        (edited(("patches", 0, "id"), 1.5), '"patches[0].id" must be an integer, not 1.5'),
        (edited(("patches", 0, "core", "min_x"), None), '"patches[0].core.min_x" must be a finite number, not null'),
        (edited(("model",), 5), '"model" must be a string, not 5'),
        (edited(("patches",), {}), '"patches" must be an array, not dict'),
        (edited(("patches",), [MANIFEST["patches"][0]] * 2), "patch id 3 appears twice"),
        ('{"version": 1, "version": 1}', 'not a JSON document: duplicate key "version"'),
        ("[1]", "a manifest is a JSON object"),
        ("{", "not a JSON document: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
    ])
    def test_refusals_name_the_key(self, tmp_path, shell, text, message):
        with pytest.raises(ValueError) as raised:
            Plan.from_json(text, source="P.json")
        assert str(raised.value) == f"P.json: {message}"
        # Every subcommand that reads a plan reports it in one line, status 1.
        (tmp_path / "P.json").write_text(text)
        write_ply(tmp_path / "t.ply", [])
        for argv in (["split-model", "P.json", "o"], ["split-cloud", "P.json", "t.ply", "o"],
                     ["cleanup", "t.ply", "t.ply", "-o", "k.ply", "--plan", "P.json", "--patch", "3"]):
            assert shell(*argv) == (1, "", f"larkspan-splat: reading the plan: P.json: {message}\n")

    def test_unknown_patch(self):
        with pytest.raises(ValueError, match=r"^the plan has no patch 4 \(its ids are 3\)$"):
            Plan.from_json(json.dumps(MANIFEST)).patch(4)

    def test_shared_edges_meet_exactly(self):
        from larkspan.splat.manifest import Rect, _meeting_cores

        # 0.2 + 0.1 - 0.1 is 0.20000000000000004, 0.2 - 0.1 + 0.1 is 0.2.
        left, right = _meeting_cores([Rect(-0.1, 0, 0.2 + 0.1, 1), Rect(0.2 - 0.1, 0, 1, 1)], 0.1)
        assert left.max_x == right.min_x == 0.2


class TestProcess:
    @pytest.mark.parametrize("command", [None, "plan", "split-model", "split-cloud", "cleanup",
                                         "merge", "cells", "info"])
    def test_help(self, shell, command):
        status, out, _ = shell(*([command] if command else []), "--help")
        assert status == 0 and out.startswith(f"Usage: larkspan-splat {command or ''}".rstrip())

    @pytest.mark.parametrize("launcher", [[sys.executable, "-m", "larkspan.splat"],
                                          [str(Path(sys.executable).parent / "larkspan-splat")]])
    def test_launchers(self, launcher, tmp_path):
        if not Path(launcher[0]).exists():
            pytest.skip("the console script is installed by pip")
        done = subprocess.run(launcher + ["--version"], capture_output=True, text=True)
        assert done.returncode == 0 and done.stdout.startswith("larkspan-splat, version ")
        done = subprocess.run(launcher + ["info", tmp_path / "none.ply"], capture_output=True,
                              text=True)
        assert done.returncode == 2 and "does not exist" in done.stderr
        assert "Traceback" not in done.stderr

    @pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
    @pytest.mark.parametrize("reported_as", [None, OSError])
    def test_interrupt(self, scene, shell, monkeypatch, signum, status, reported_as):
        """Ctrl-C during a step: its status, no completion line, whether or not
        the tool turned the interrupt into its own failure."""
        def interrupted(*args, **kwargs):
            try:
                os.kill(os.getpid(), signum)
            except KeyboardInterrupt:
                if reported_as is None:
                    raise
                raise reported_as("PLY read error: KeyboardInterrupt: ")

        monkeypatch.setattr(pipeline, "split_model", interrupted)
        code, out, err = shell("split-model", "PLAN.json", "out")
        # (click ends the terminal's "^C" line first)
        assert (code, out, err.lstrip("\n")) == (status, "", "larkspan-splat: interrupted\n")
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
