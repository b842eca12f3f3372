"""Inputs larger than the 16 MiB read windows, more outputs than a child's 40 open files:
outputs byte for byte those of a plain numpy reference, holding no disk space past their end."""

import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from larkspan.splat import Config, OrthoCells, Patch, cleanup_splats, merge_ply_files_py, split_ply
from support.ply import ply_header

SPLAT = np.dtype([(name, "<f4") for name in ["x", "y", "z", "opacity", "scale_0", "scale_1",
                                             "scale_2"] + [f"f_{i}" for i in range(55)]])
CLOUD = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("red", "u1"), ("green", "u1"),
                  ("blue", "u1")])
POINT = np.dtype([("id", "<u8"), ("x", "<f8"), ("y", "<f8"), ("z", "<f8"), ("red", "u1"),
                  ("green", "u1"), ("blue", "u1"), ("error", "<f8"), ("track", "<u8")])

def header(dtype, count):
    return ply_header(count, [("uchar" if dtype[n] == "u1" else "float", n) for n in dtype.names],
                      comments=["large"])

def random_file(tmp_path_factory, dtype, count, seed):  # on a 10 m square, some on shared cell edges
    rng = np.random.default_rng(seed)
    records = np.zeros(count, dtype)
    for name in dtype.names:
        records[name] = rng.integers(0, 256, count) if dtype[name] == "u1" else rng.normal(0, 1, count)
    records["x"], records["y"] = rng.uniform(0, 10, count), rng.uniform(0, 10, count)
    records["x"][::97] = 5.0
    path = tmp_path_factory.mktemp("large") / "in.ply"
    path.write_bytes(header(dtype, count) + records.tobytes())
    return path, records

@pytest.fixture(scope="module")
def splats(tmp_path_factory):
    return random_file(tmp_path_factory, SPLAT, 90_000, 16)

# 64 cells overlapping their neighbours by 0.2 m.
GRID = [(i * 1.25 - 0.2, (i + 1) * 1.25 + 0.2, j * 1.25 - 0.2, (j + 1) * 1.25 + 0.2)
        for j in range(8) for i in range(8)]

def in_child_with_few_files(code):
    script = "import resource\nresource.setrlimit(resource.RLIMIT_NOFILE, (40, 40))\n" + code
    subprocess.run([sys.executable, "-c", script], check=True, stdout=subprocess.DEVNULL)

def xy(records):
    return records["x"].astype(np.float64), records["y"].astype(np.float64)

def assert_no_space_past_end(path):
    """Space reserved for writes is never more than they filled: a file holds whole 4 KiB
    blocks of its bytes, and a few more of the file system's own."""
    info = os.stat(path)
    assert info.st_blocks * 512 <= -(-info.st_size // 4096) * 4096 + 16 * 1024, path

def assert_ply(path, records):
    assert open(path, "rb").read() == header(SPLAT, len(records)) + records.tobytes()
    assert_no_space_past_end(path)

def test_ortho_cells(tmp_path, splats):
    path, records = splats
    cells = [(*bounds, str(tmp_path / f"c{k}.ply")) for k, bounds in enumerate(GRID)]
    in_child_with_few_files("from larkspan.splat import OrthoCells\n"
                            f"OrthoCells({str(path)!r}).extract_all_cells({cells!r})")
    x, y = xy(records)
    for min_x, max_x, min_y, max_y, out in cells:
        assert_ply(out, records[(min_x <= x) & (x <= max_x) & (min_y <= y) & (y <= max_y)])
    bounds = OrthoCells(str(path)).get_bounds()
    assert bounds[:4] == (x.min(), x.max(), y.min(), y.max())
    assert bounds[4] == pytest.approx(records["z"].astype(np.float64).mean(), rel=1e-12)

def test_cleanup(tmp_path, splats):
    path, records = splats
    cleanup_splats(json.dumps(dict(input_file=str(path), output_file=str(tmp_path / "kept.ply"), max_area=8.0,
        discarded_file=str(tmp_path / "gone.ply"), min_x=1, max_x=9, min_y=1, max_y=9.5)))
    x, y = xy(records)
    scale = np.exp(np.stack([records[f"scale_{i}"].astype(np.float64) for i in range(3)]))
    keep = ((x >= 1) & (x < 9) & (y >= 1) & (y < 9.5)) & ~((scale * scale).sum(axis=0) >= 8.0)
    assert_ply(tmp_path / "kept.ply", records[keep])
    assert_ply(tmp_path / "gone.ply", records[~keep])

def test_cleanup_whose_kept_file_outgrows_its_hold(tmp_path):
    """The first 700,000 of 1.3M small splats are kept: the kept file outgrows its 4 MiB hold
    early, guesses a seven-digit count and ends with six, so its records move; the discarded file
    outgrows its hold at about the 850,000th splat and guesses a count too low with the right
    number of digits, so only its header is rewritten."""
    dtype = np.dtype([(name, "<f4") for name in ("x", "y", "z", "scale_0", "scale_1", "scale_2", "opacity")])
    records = np.zeros(1_300_000, dtype)
    records["x"][700_000:] = 9.0
    records["opacity"] = np.arange(len(records))
    path = tmp_path / "in.ply"
    path.write_bytes(header(dtype, len(records)) + records.tobytes())
    cleanup_splats(json.dumps(dict(input_file=str(path), output_file=str(tmp_path / "kept.ply"), max_area=8.0,
                                   discarded_file=str(tmp_path / "gone.ply"), max_x=5.0)))
    for name, share in (("kept.ply", records[:700_000]), ("gone.ply", records[700_000:])):
        assert (tmp_path / name).read_bytes() == header(dtype, len(share)) + share.tobytes()
        assert_no_space_past_end(tmp_path / name)

def test_merge(tmp_path, splats):
    path, records = splats
    merge_ply_files_py(json.dumps(dict(input_files=[str(path)] * 2, output_file=str(tmp_path / "both.ply"))))
    assert_ply(tmp_path / "both.ply", np.concatenate([records, records]))

def position_keys(x, y, z):
    """One 64-bit key per point from its float32 position's bits."""
    bits = [np.asarray(v, "<f4").view("<u4").astype(np.uint64) for v in (x, y, z)]
    with np.errstate(over="ignore"):
        return bits[0] * np.uint64(0x9E3779B97F4A7C15) ^ bits[1] * np.uint64(0xC2B2AE3D27D4EB4F) ^ bits[2]

def expected_patch(chosen):
    expected = np.full(len(chosen), -1.0, POINT)  # error -1, then every other field set
    expected["id"], expected["track"] = np.arange(1, len(chosen) + 1), 0
    for name in CLOUD.names:
        expected[name] = chosen[name]
    return np.array([len(chosen)], "<u8").tobytes() + expected.tobytes()

def test_split_ply_whose_patches_all_cover_everything(tmp_path, tmp_path_factory):
    """Sixteen patches over the whole cloud put more than a million points of each 1 MiB window
    in patches: the window is placed in shorter stretches, each patch still the whole cloud."""
    path, points = random_file(tmp_path_factory, CLOUD, 150_000, 7)
    config = Config(str(path))
    config.patches = [Patch.with_bounds(str(tmp_path / f"p{k}.bin"), -1, -1, 11, 11) for k in range(16)]
    split_ply(config)
    whole = expected_patch(points)
    for k in range(16):
        assert (tmp_path / f"p{k}.bin").read_bytes() == whole
        assert_no_space_past_end(tmp_path / f"p{k}.bin")

@pytest.mark.parametrize("sample", [100.0, 50.0])
def test_split_ply(tmp_path, tmp_path_factory, sample):
    """Four groups of patches, so four passes: the points the first pass kept are
    the ones every later pass writes, each patch holding exactly the kept
    points inside it."""
    path, points = random_file(tmp_path_factory, CLOUD, 1_500_000, 61)
    patches = [(*bounds, str(tmp_path / f"p{k}.bin")) for k, bounds in enumerate(GRID)]
    in_child_with_few_files(
        f"from larkspan.splat import Config, Patch, split_ply\nconfig = Config({str(path)!r})\n"
        f"config.max_z = 1.5\nconfig.sample_percentage = {sample}\n"
        "config.patches = [Patch.with_bounds(out, x0, y0, x1, y1) "
        f"for x0, x1, y0, y1, out in {patches!r}]\nsplit_ply(config)")
    x, y = xy(points)
    below = points["z"].astype(np.float64) < 1.5
    inside = [(min_x <= x) & (x < max_x) & (min_y <= y) & (y < max_y)
              for min_x, max_x, min_y, max_y, _ in patches]
    written = [np.frombuffer(open(out, "rb").read()[8:], POINT) for *_, out in patches]
    keys = position_keys(points["x"], points["y"], points["z"])
    kept = np.isin(keys, np.concatenate([position_keys(w["x"], w["y"], w["z"]) for w in written]))
    covered = below & np.logical_or.reduce(inside)
    if sample == 100:
        assert np.array_equal(kept, covered)
    else:
        assert not (kept & ~covered).any() and 0.45 < kept.sum() / covered.sum() < 0.55
    for within, (*_, out) in zip(inside, patches):
        assert open(out, "rb").read() == expected_patch(points[kept & within])
        assert_no_space_past_end(out)

@pytest.fixture
def small_disk(tmp_path):
    """A 64 MiB ext4 file system of the test's own, on a loop device: root only."""
    if os.geteuid() != 0 or shutil.which("mkfs.ext4") is None:
        pytest.skip("mounting a small file system needs root and mkfs.ext4")
    image, mounted = tmp_path / "disk.img", tmp_path / "disk"
    with open(image, "wb") as f:
        f.truncate(64 << 20)
    subprocess.run(["mkfs.ext4", "-q", "-F", str(image)], check=True)
    mounted.mkdir()
    if subprocess.run(["mount", "-o", "loop", str(image), str(mounted)], capture_output=True).returncode:
        pytest.skip("no loop device to mount a small file system on")
    yield mounted
    subprocess.run(["umount", str(mounted)], check=True)

def test_split_ply_whose_patches_all_but_fill_the_disk(tmp_path_factory, small_disk):
    """Forty patch files that leave 2 MiB of the disk free are all written: on a disk with
    little room, no file reserves blocks ahead of its writes that another one then lacks."""
    strips = 40
    count = (shutil.disk_usage(small_disk).free - (2 << 20) - strips * 8) // POINT.itemsize
    path, points = random_file(tmp_path_factory, CLOUD, count, 5)
    config = Config(str(path))
    edges = [k * 0.25 for k in range(strips)] + [11]  # the last strip takes x = 10 too
    config.patches = [Patch.with_bounds(str(small_disk / f"p{k}.bin"), edges[k], -1, edges[k + 1], 11)
                      for k in range(strips)]
    assert split_ply(config)["total_points_written"] == count
    x, _ = xy(points)
    for k in range(strips):
        within = (edges[k] <= x) & (x < edges[k + 1])
        assert (small_disk / f"p{k}.bin").read_bytes() == expected_patch(points[within])
