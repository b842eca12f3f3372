"""Inputs larger than the windows the tools read their records in (16 MiB),
and more output files than the tools keep open at once: the outputs must be
those of a plain numpy reference, byte for byte."""

import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from larkspan.splat import Config, OrthoCells, Patch, cleanup_splats, split_ply

SPLAT = np.dtype([(name, "<f4") for name in
                  ["x", "y", "z", "opacity", "scale_0", "scale_1", "scale_2"]
                  + [f"f_{i}" for i in range(55)]])  # 248-byte records
CLOUD = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"),
                  ("red", "u1"), ("green", "u1"), ("blue", "u1")])
POINT = np.dtype([("id", "<u8"), ("x", "<f8"), ("y", "<f8"), ("z", "<f8"), ("red", "u1"),
                  ("green", "u1"), ("blue", "u1"), ("error", "<f8"), ("track", "<u8")])


def header(dtype, count):
    types = {"<f4": "float", "|u1": "uchar"}
    return ("ply\nformat binary_little_endian 1.0\ncomment large\n"
            f"element vertex {count}\n"
            + "".join(f"property {types[dtype[n].str]} {n}\n" for n in dtype.names)
            + "end_header\n").encode()


@pytest.fixture(scope="module")
def splats(tmp_path_factory):
    """90,000 splats (22 MB) on a 10 m square."""
    rng = np.random.default_rng(16)
    records = np.zeros(90_000, SPLAT)
    for name in SPLAT.names:
        records[name] = rng.normal(0, 1, len(records))
    records["x"] = rng.uniform(0, 10, len(records))
    records["y"] = rng.uniform(0, 10, len(records))
    records["x"][::97] = 5.0  # on shared cell edges
    path = tmp_path_factory.mktemp("splats") / "splats.ply"
    path.write_bytes(header(SPLAT, len(records)) + records.tobytes())
    return path, records


@pytest.fixture(scope="module")
def cloud(tmp_path_factory):
    """1,500,000 points (22 MB) on a 10 m square."""
    rng = np.random.default_rng(61)
    points = np.zeros(1_500_000, CLOUD)
    points["x"] = rng.uniform(0, 10, len(points))
    points["y"] = rng.uniform(0, 10, len(points))
    points["z"] = rng.normal(0, 1, len(points))
    for channel in ("red", "green", "blue"):
        points[channel] = rng.integers(0, 256, len(points), dtype=np.uint8)
    path = tmp_path_factory.mktemp("cloud") / "cloud.ply"
    path.write_bytes(header(CLOUD, len(points)) + points.tobytes())
    return path, points


def grid(side, overlap=0.0):
    edge = 10 / side
    return [(i * edge - overlap, (i + 1) * edge + overlap, j * edge - overlap, (j + 1) * edge + overlap)
            for j in range(side) for i in range(side)]


def cell_file(records, min_x, max_x, min_y, max_y):
    x, y = records["x"].astype(np.float64), records["y"].astype(np.float64)
    chosen = records[(min_x <= x) & (x <= max_x) & (min_y <= y) & (y <= max_y)]
    if len(chosen) == 0:
        return None
    return header(SPLAT, len(chosen)) + chosen.tobytes()


def points_file(points, min_x, max_x, min_y, max_y, max_z):
    x, y, z = (points[a].astype(np.float64) for a in "xyz")
    chosen = points[(z < max_z) & (min_x <= x) & (x < max_x) & (min_y <= y) & (y < max_y)]
    if len(chosen) == 0:
        return None
    out = np.zeros(len(chosen), POINT)
    out["id"] = np.arange(1, len(chosen) + 1)
    for name in CLOUD.names:
        out[name] = chosen[name]
    out["error"] = -1.0
    return np.array([len(chosen)], "<u8").tobytes() + out.tobytes()


def run_with_few_open_files(code):
    """Runs code in a child allowed 40 open files, so outputs are written in
    several groups."""
    script = "import resource\nresource.setrlimit(resource.RLIMIT_NOFILE, (40, 40))\n" + code
    subprocess.run([sys.executable, "-c", script], check=True, stdout=subprocess.DEVNULL)


class TestOrthoCells:
    def test_cells_across_windows(self, tmp_path, splats):
        path, records = splats
        cells = [(*bounds, str(tmp_path / f"c{k}.ply")) for k, bounds in enumerate(grid(3))]
        OrthoCells(str(path)).extract_all_cells(cells)
        for *bounds, out in cells:
            assert open(out, "rb").read() == cell_file(records, *bounds)

    def test_more_cells_than_open_files(self, tmp_path, splats):
        path, records = splats
        cells = [(*bounds, str(tmp_path / f"c{k}.ply")) for k, bounds in enumerate(grid(8))]
        run_with_few_open_files(textwrap.dedent(f"""
            from larkspan.splat import OrthoCells
            OrthoCells({str(path)!r}).extract_all_cells({cells!r})
        """))
        for *bounds, out in cells:
            assert open(out, "rb").read() == cell_file(records, *bounds)

    def test_cells_that_all_overlap(self, tmp_path, splats):
        path, records = splats
        cells = [(-1.0, 11.0, -1.0, 11.0, str(tmp_path / f"all{k}.ply")) for k in range(9)]
        OrthoCells(str(path)).extract_all_cells(cells)
        for *bounds, out in cells:
            assert open(out, "rb").read() == header(SPLAT, len(records)) + records.tobytes()

    def test_bounds_taken_while_loading(self, splats):
        path, records = splats
        x, y, z = (records[a].astype(np.float64) for a in "xyz")
        expected = (x.min(), x.max(), y.min(), y.max(), float(np.add.reduce(z, dtype=np.float64)) / len(z))
        got = OrthoCells(str(path)).get_bounds()
        assert got[:4] == expected[:4]
        assert got[4] == pytest.approx(expected[4], rel=1e-12)


class TestCleanup:
    def test_outputs_across_windows(self, tmp_path, splats):
        path, records = splats
        config = dict(input_file=str(path), output_file=str(tmp_path / "kept.ply"),
                      discarded_file=str(tmp_path / "gone.ply"), max_area=8.0,
                      min_x=1.0, max_x=9.0, min_y=1.0, max_y=9.5)
        cleanup_splats(json.dumps(config))
        x, y = records["x"].astype(np.float64), records["y"].astype(np.float64)
        scale = np.exp(np.stack([records[f"scale_{i}"].astype(np.float64) for i in range(3)]))
        keep = ((x >= 1) & (x < 9) & (y >= 1) & (y < 9.5)) & ~((scale * scale).sum(axis=0) >= 8.0)
        for out, share in (("kept.ply", keep), ("gone.ply", ~keep)):
            assert (tmp_path / out).read_bytes() == header(SPLAT, int(share.sum())) + records[share].tobytes()


class TestSplitPly:
    PATCHES = grid(2, overlap=0.5)

    def config(self, path, out, max_z):
        config = Config(str(path))
        config.max_z = max_z
        config.patches = [Patch.with_bounds(str(out / f"p{k}.bin"), x0, y0, x1, y1)
                          for k, (x0, x1, y0, y1) in enumerate(self.PATCHES)]
        return config

    def test_patches_across_windows(self, tmp_path, cloud):
        path, points = cloud
        counts = split_ply(self.config(path, tmp_path, 1.5))
        for k, bounds in enumerate(self.PATCHES):
            assert (tmp_path / f"p{k}.bin").read_bytes() == points_file(points, *bounds, 1.5)
        assert counts["points_loaded"] == int((points["z"].astype(np.float64) < 1.5).sum())

    def test_patches_that_all_overlap(self, tmp_path, cloud):
        path, points = cloud
        self.PATCHES = [(-1.0, 11.0, -1.0, 11.0)] * 3
        split_ply(self.config(path, tmp_path, np.inf))
        expected = points_file(points, -1.0, 11.0, -1.0, 11.0, np.inf)
        for k in range(3):
            assert (tmp_path / f"p{k}.bin").read_bytes() == expected

    def test_more_patches_than_open_files(self, tmp_path, cloud):
        path, points = cloud
        patches = [(*bounds, str(tmp_path / f"p{k}.bin")) for k, bounds in enumerate(grid(8))]
        run_with_few_open_files(textwrap.dedent(f"""
            from larkspan.splat import Config, Patch, split_ply
            config = Config({str(path)!r})
            config.patches = [Patch.with_bounds(out, x0, y0, x1, y1) for x0, x1, y0, y1, out in {patches!r}]
            split_ply(config)
        """))
        for *bounds, out in patches:
            assert open(out, "rb").read() == points_file(points, *bounds, np.inf)
