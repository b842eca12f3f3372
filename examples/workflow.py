"""Helpers of scripts/example.sh, which runs the whole workflow through the
larkspan-splat command line: a generated scene, a stand-in for training, and
a check of every step's outputs. Usage:

    python examples/workflow.py scene OUT          # OUT/model and OUT/cloud.ply
    python examples/workflow.py ids PLAN.json      # the plan's patch ids, one a line
    python examples/workflow.py train PATCH_MODEL_DIR OUT.ply
    python examples/workflow.py check STEP OUT     # plan, split-model, split-cloud,
                                                   # cleanup, merge, cells
"""

from __future__ import annotations

import math
import random
import sys
from pathlib import Path

import numpy as np

from larkspan.splat import _inspect
from larkspan.splat.manifest import Plan
from pipeline import read_splats, vertex_count, write_cloud, write_colmap_model, write_splats

GRID, SPACING = (20, 15), 10.0  # the scene's images: one every 10 m on a 20 x 15 grid
MAX_Z = 12.0  # the height from which split-cloud drops points
CELL_SIZE = 50.0
POINT_DTYPE = np.dtype([("id", "<u8"), ("xyz", "<f8", 3), ("rgb", "u1", 3), ("error", "<f8"),
                        ("track_length", "<u8")])


def scene(out: Path) -> None:
    write_colmap_model(out / "model", random.Random(7), grid=GRID, spacing=SPACING)
    write_cloud(out / "cloud.ply", 1_000_000, seed=7)


def train(model: Path, output: Path) -> None:
    """Stands in for training: splats spread over the patch model's camera
    centres and 10 m beyond, as a trained patch has them."""
    centres = [(x, y) for _, x, y, _ in _inspect.camera_centres(str(model))]
    min_x, min_y = min(x for x, _ in centres) - 10.0, min(y for _, y in centres) - 10.0
    extent = max(max(x for x, _ in centres) - min_x, max(y for _, y in centres) - min_y) + 10.0
    output.parent.mkdir(parents=True, exist_ok=True)
    write_splats(output, 40_000, random.Random(str(model)), origin=(min_x, min_y), extent=extent)


def check_plan(out: Path, plan: Plan) -> str:
    centres = [(i * SPACING, j * SPACING) for j in range(GRID[1]) for i in range(GRID[0])]
    limit = plan.parameters.max_cameras
    assert len(plan.patches) > 1
    for patch in plan.patches:
        r = patch.rect
        inside = sum(r.min_x <= x <= r.max_x and r.min_y <= y <= r.max_y for x, y in centres)
        assert patch.cameras == inside <= limit, (patch.id, patch.cameras, inside)
    # Cores never overlap, and together they hold every camera.
    for a in plan.patches:
        for b in plan.patches:
            if a.id < b.id:
                overlap_x = min(a.core.max_x, b.core.max_x) - max(a.core.min_x, b.core.min_x)
                overlap_y = min(a.core.max_y, b.core.max_y) - max(a.core.min_y, b.core.min_y)
                assert overlap_x <= 0 or overlap_y <= 0, (a.id, b.id)
    for x, y in centres:
        assert any(p.core.min_x <= x <= p.core.max_x and p.core.min_y <= y <= p.core.max_y
                   for p in plan.patches), (x, y)
    return (f"{len(centres)} cameras in {len(plan.patches)} patches of at most {limit}; "
            "cores disjoint and covering every camera")


def check_split_model(out: Path, plan: Plan) -> str:
    for patch in plan.patches:
        folder = out / "patches" / str(patch.id)
        images = [image_id for image_id, *_ in _inspect.camera_centres(str(folder))]
        assert len(images) == patch.cameras, (patch.id, len(images))
        assert not (folder / "points3D.bin").exists()  # split with --no-points
    return f"{sum(p.cameras for p in plan.patches)} images in {len(plan.patches)} patch models"


def check_split_cloud(out: Path, plan: Plan) -> str:
    cloud = read_cloud(out / "cloud.ply")
    total = 0
    for patch in plan.patches:
        r = patch.rect
        expected = cloud[(cloud[:, 0] >= r.min_x) & (cloud[:, 0] < r.max_x) & (cloud[:, 1] >= r.min_y)
                         & (cloud[:, 1] < r.max_y) & (cloud[:, 2] < MAX_Z)]
        data = (out / "patches" / str(patch.id) / "points3D.bin").read_bytes()
        points = np.frombuffer(data, POINT_DTYPE, offset=8)
        assert int.from_bytes(data[:8], "little") == len(points) == len(expected)
        assert np.array_equal(np.sort(points["xyz"], axis=0), np.sort(expected, axis=0))
        total += len(points)
    return f"{total:,} of {len(cloud):,} cloud points written to the patches' buffered rectangles"


def check_cleanup(out: Path, plan: Plan) -> str:
    kept_total = trained_total = 0
    for patch in plan.patches:
        trained = out / "trained" / str(patch.id) / "point_cloud.ply"
        kept = read_splats(out / "clean" / f"{patch.id}.ply")
        assert 0 < len(kept) < vertex_count(trained)
        # Each kept splat is a record of the trained file, byte for byte.
        records = {row.tobytes() for row in read_splats(trained)}
        assert all(row.tobytes() in records for row in kept)
        c = patch.core
        x, y = kept[:, 0].astype(np.float64), kept[:, 1].astype(np.float64)
        assert ((x >= c.min_x) & (x < c.max_x) & (y >= c.min_y) & (y < c.max_y)).all()
        kept_total += len(kept)
        trained_total += vertex_count(trained)
    return f"kept {kept_total:,} of {trained_total:,} trained splats, each inside its patch's core"


def check_merge(out: Path, plan: Plan) -> str:
    parts = [out / "clean" / f"{patch_id}.ply" for patch_id in sorted(p.id for p in plan.patches)]
    merged = out / "scene.ply"
    assert vertex_count(merged) == sum(vertex_count(p) for p in parts)
    bodies = b"".join(p.read_bytes().split(b"end_header\n", 1)[1] for p in parts)
    assert merged.read_bytes().split(b"end_header\n", 1)[1] == bodies
    return f"{len(parts)} cleaned patches merged into {vertex_count(merged):,} splats"


def check_cells(out: Path, plan: Plan) -> str:
    records = read_splats(out / "scene.ply")
    x, y = records[:, 0].astype(np.float64), records[:, 1].astype(np.float64)
    min_x, max_x, min_y, max_y = x.min(), x.max(), y.min(), y.max()
    columns = max(1, math.ceil((max_x - min_x) / CELL_SIZE))
    rows = max(1, math.ceil((max_y - min_y) / CELL_SIZE))
    xs = [min_x + i * CELL_SIZE for i in range(columns)] + [max_x]
    ys = [min_y + j * CELL_SIZE for j in range(rows)] + [max_y]
    covered = np.zeros(len(records), dtype=bool)
    files = 0
    for i in range(columns):
        for j in range(rows):
            inside = (x >= xs[i]) & (x <= xs[i + 1]) & (y >= ys[j]) & (y <= ys[j + 1])
            covered |= inside
            path = out / "cells" / f"cell_{i}_{j}.ply"
            count = vertex_count(path) if path.exists() else 0
            assert count == int(inside.sum()), path
            files += path.exists()
    assert covered.all() and files == len(list((out / "cells").iterdir()))
    return f"{files} cell files of {CELL_SIZE:g} m, each holding exactly the splats inside it"


def read_cloud(path: Path) -> np.ndarray:
    data = path.read_bytes()
    body = data[data.index(b"end_header\n") + len(b"end_header\n"):]
    vertex = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("rgb", "u1", 3)])
    points = np.frombuffer(body, vertex)
    return np.stack([points["x"], points["y"], points["z"]], axis=1).astype(np.float64)


CHECKS = {"plan": check_plan, "split-model": check_split_model, "split-cloud": check_split_cloud,
          "cleanup": check_cleanup, "merge": check_merge, "cells": check_cells}


def main(argv: list[str]) -> int:
    command, *args = argv[1:]
    if command == "scene":
        scene(Path(args[0]))
    elif command == "ids":
        print("\n".join(str(p.id) for p in Plan.read(args[0]).patches))
    elif command == "train":
        train(Path(args[0]), Path(args[1]))
    elif command == "check":
        out = Path(args[1])
        print(f"  checked: {CHECKS[args[0]](out, Plan.read(out / 'PLAN.json'))}")
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
