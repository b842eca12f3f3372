"""cleanup_splats: stage lines, byte-exact outputs, the keep test against a
small reference, and failures with their class and text."""

import json
import math
import random
import re
import struct

import pytest

from larkspan.splat import _core
from support.cleanup_reference import f32, reference_flags
from support.colmap import points3d_bin
from support.ply import body, ply_header, splat_records, splat_row, write_ply

DURATION = r"(0|[1-9]\d*)(\.\d*[1-9])?(s|ms|µs)|(0|[1-9]\d*)ns"

@pytest.fixture
def run(tmp_path, capfd):  # paths relative to tmp_path; run.lines: stdout, durations as <D>
    capfd.readouterr()

    def call(**config):
        config = {"input_file": "in.ply", "output_file": "kept.ply", "max_area": 1e9, **config}
        config.update({k: str(tmp_path / v) for k, v in config.items() if k.endswith("_file") and v})
        try:
            _core.cleanup_splats(json.dumps(config))
        finally:
            call.lines = [re.sub(rf" in ({DURATION})(?=\.|$)", " in <D>", line)
                          for line in capfd.readouterr().out.splitlines()]
        return call.lines

    return call

def expected_lines(d, kept, discarded=None, *, grid=False, count=0):
    lines = ["Starting PLY cleanup process..."]
    if grid:
        lines += [f"Reading COLMAP points from {d / 'points3D.bin'} and building grid...",
                  "Finished reading COLMAP points and building grid in <D>"]
    lines += [f"Reading PLY header from {d / 'in.ply'}...",
              f"Finished reading PLY header in <D>. Found {count} vertices.",
              "Reading PLY vertex data...", "Finished reading PLY vertex data in <D>",
              "Starting splat filtering (parallelized)...", "Finished splat filtering in <D>",
              f"Writing kept splats to {d / 'kept.ply'}...",
              f"Finished writing kept splats in <D>. Kept {kept} splats."]
    if discarded is not None:
        lines += [f"Writing discarded splats to {d / 'gone.ply'}...",
                  f"Finished writing discarded splats in <D>. Discarded {discarded} splats."]
    return lines + ["PLY cleanup process completed in <D>"]

def alternating_rows(n):  # even rows small (kept under max_area 10), odd rows large
    return [splat_row(i, -i, 0.5 * i, scale=(0.0, 0.0, 0.0) if i % 2 == 0 else (2.0, 2.0, 2.0),
                      extra=i) for i in range(n)]

@pytest.mark.parametrize("grid", [False, True])
@pytest.mark.parametrize("discarded", [False, True])
def test_lines_and_files(tmp_path, run, grid, discarded):
    rows = alternating_rows(10)
    write_ply(tmp_path / "in.ply", rows, comments=("a test", "element vertex 10 in a comment"),
              newline="\r\n")
    config = dict(max_area=10, discarded_file="gone.ply" if discarded else None)
    if grid:
        (tmp_path / "points3D.bin").write_bytes(points3d_bin([(0.0, 0.0, 0.0)] * 3))
        config.update(colmap_points_file="points3D.bin", min_neighbors=0)
    assert run(**config) == expected_lines(tmp_path, 5, 5 if discarded else None, grid=grid, count=10)
    header = ply_header(5, comments=("a test", "element vertex 5 in a comment"), newline="\r\n")
    assert (tmp_path / "kept.ply").read_bytes() == header + splat_records(rows[0::2])
    if discarded:
        assert (tmp_path / "gone.ply").read_bytes() == header + splat_records(rows[1::2])
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["in.ply", "kept.ply"] + ["points3D.bin"] * grid + ["gone.ply"] * discarded)

def test_zero_count_and_trailing_bytes(tmp_path, run):
    (tmp_path / "in.ply").write_bytes(ply_header(0) + b"trailing bytes are not records")
    assert run()[2] == "Finished reading PLY header in <D>. Found 0 vertices."
    assert (tmp_path / "kept.ply").read_bytes() == ply_header(0)

def keep_flags(tmp_path, run, rows, points=None, **config):
    write_ply(tmp_path / "in.ply", rows)
    if points is not None:
        (tmp_path / "points3D.bin").write_bytes(points3d_bin(points))
        config["colmap_points_file"] = "points3D.bin"
    run(**config)
    kept = body((tmp_path / "kept.ply").read_bytes())
    kept = {kept[i:i + 68] for i in range(0, len(kept), 68)}
    return [splat_records([r]) in kept for r in rows]

BOX_ROWS = [splat_row(x, 0, 0 if x < 4 else math.nan) for x in range(5)]
SCALE_ROWS = [splat_row(0, 0, 0), splat_row(1, 0, 0, scale=(math.nan, 0, 0))]
NEAR_ROWS = [splat_row(1, 2, 3), splat_row(0.99, 2, 3)]
# JSON nulls mean the defaults: splat 0 has 10 points within 0.1, splat 1 only 9.
DEFAULT_ROWS = [splat_row(0, 0, 0), splat_row(50, 0, 0)]
DEFAULT_POINTS = [(0.05, 0, 0)] * 10 + [(50.05, 0, 0)] * 9 + [(50.2, 0, 0)]
NULLS = dict.fromkeys(["discarded_file", "min_x", "min_y", "min_z", "max_x", "max_y", "max_z",
                       "min_neighbors", "radius"])

@pytest.mark.parametrize("rows, points, config, expected", [
    (BOX_ROWS, None, dict(min_x=1, max_x=3), [0, 1, 1, 0, 0]),  # an x crop alone still crops
    (BOX_ROWS, None, dict(max_x=3, min_y=-9, max_y=9, min_z=-9, max_z=9), [1, 1, 1, 0, 0]),
    (BOX_ROWS, None, dict(min_z=0), [1, 1, 1, 1, 0]),  # the NaN z fails its given bound
    (BOX_ROWS, None, {}, [1, 1, 1, 1, 1]),
    (SCALE_ROWS, None, dict(max_area=3), [0, 1]),
    (SCALE_ROWS, None, dict(max_area=3.5), [1, 1]),
    (NEAR_ROWS[:1], [], dict(min_neighbors=0), [1]),
    (NEAR_ROWS[:1], [], dict(min_neighbors=1), [0]),
    (NEAR_ROWS, [(1.5, 2, 3)], dict(min_neighbors=1, radius=0.5), [1, 0]),  # exactly radius away
    (NEAR_ROWS, [(1.5, 2, 3)], dict(min_neighbors=1, radius=-0.5), [1, 0]),
    (DEFAULT_ROWS, DEFAULT_POINTS, NULLS, [1, 0]),
])
def test_keep_rules(tmp_path, run, rows, points, config, expected):
    assert keep_flags(tmp_path, run, rows, points, **config) == [bool(e) for e in expected]

def random_scene(rng, outliers):
    # Half on a 0.25 m lattice (many pairs exactly a radius apart); NaN, huge, saturating values.
    coordinate = lambda: rng.randrange(16) * 0.25 if rng.random() < 0.5 else rng.uniform(0, 4)
    rows = []
    for i in range(1500):
        x, y, z = coordinate(), coordinate(), coordinate()
        scale = [rng.uniform(-3, 1) for _ in range(3)]
        scale[i % 3] = math.nan if i % 97 == 0 else scale[i % 3]
        x = rng.choice([math.nan, 3e38, -3e38, math.inf]) if i % 101 == 0 else x
        z = rng.choice([3e38, -3e38]) if i % 103 == 0 else z
        rows.append(splat_row(x, y, z, scale=scale, extra=i))
    points = [(coordinate(), coordinate(), coordinate()) for _ in range(1200)]
    return rows, points + [(1e300, 0, 0), (-1e300, 1, 1), (math.nan, 2, 2), (f32(3e38), 0, 0),
                           (math.inf, 0, 0), (0, 0, 1e300)] * outliers

# Far outliers make the grid index its columns by hash; without them a dense
# table serves. A tiny radius gives cell indices beyond 32 bits.
@pytest.mark.parametrize("seed, radius, min_neighbors, bounds, outliers", [
    (1, 0.5, 3, {}, True),
    (3, 0.37, 1, dict(max_y=3.0, min_z=0.25), False),
    (6, 1e-12, 1, {}, True),
])
def test_against_reference(tmp_path, run, seed, radius, min_neighbors, bounds, outliers):
    rows, points = random_scene(random.Random(seed), outliers)
    config = dict(bounds, max_area=6.0, radius=radius, min_neighbors=min_neighbors)
    expected = reference_flags(rows, points, config)
    assert keep_flags(tmp_path, run, rows, points, **config) == expected
    assert 0 < sum(expected) < len(rows)

@pytest.mark.parametrize("document, message", [
    ("{}", "missing field `input_file` at line 1 column 2"),
    ('{"input_file": "a", "output_file": "b", "max_area": 1, "min_neighbors": -1}',
     "invalid value: integer `-1`, expected u64 at line 1 column 74"),
])
def test_bad_documents(capfd, document, message):
    with pytest.raises(ValueError) as raised:
        _core.cleanup_splats(document)
    assert str(raised.value) == "JSON parse error: " + message
    assert capfd.readouterr().out == ""

ONE_POINT = points3d_bin([(0, 0, 0)])
NO_FILE = "No such file or directory (os error 2)"

# Each failure stops at its stage: (points file, config, error, message, lines printed).
@pytest.mark.parametrize("points, config, error, message, lines", [
    (None, dict(radius=-0.0), ValueError, "Radius cannot be 0.0. Please provide a positive radius value.", 1),
    (ONE_POINT, dict(input_file="missing.ply"), OSError, NO_FILE, 3),
    (None, dict(colmap_points_file="points3D.bin"), OSError, NO_FILE, 2),
    (ONE_POINT[:-1], {}, OSError, "failed to fill whole buffer", 2),  # ends inside the track
    (points3d_bin([(0, 0, 0)] * 2)[:60], {}, OSError, "failed to fill whole buffer", 2),  # inside a record
    (struct.pack("<Q", 2**60), {}, OSError, "failed to fill whole buffer", 2),  # count beyond the file
    (points3d_bin([(0, 0, 0)], track_lengths=[2**61]), {}, OSError, "failed to fill whole buffer", 2),
    (points3d_bin([(0, 0, 0)], track_lengths=[2**40]), {}, OSError, "failed to fill whole buffer", 2),
    (b"\x01\x00", {}, OSError, "failed to fill whole buffer", 2),  # ends inside the count
])
def test_failures_stop_at_their_stage(tmp_path, run, points, config, error, message, lines):
    write_ply(tmp_path / "in.ply", [splat_row(0, 0, 0)])
    if points is not None:
        (tmp_path / "points3D.bin").write_bytes(points)
        config = dict(config, colmap_points_file="points3D.bin")
    with pytest.raises(error) as raised:
        run(**config)
    assert type(raised.value) is error and str(raised.value) == message
    assert run.lines == expected_lines(tmp_path, 0, grid=points is not None or lines == 2)[:lines]
    assert not (tmp_path / "kept.ply").exists()

# A failure to create, write or flush an output raises; a kept file completed
# before the discarded one failed stays.
@pytest.mark.parametrize("output, discarded, message, last_line", [
    ("missing/kept.ply", None, "No such file or directory (os error 2)", -1),
    ("/dev/full", "gone.ply", "No space left on device (os error 28)", -1),
    ("kept.ply", "missing/gone.ply", "No such file or directory (os error 2)", -2),
    ("kept.ply", "/dev/full", "No space left on device (os error 28)", -2),
])
def test_output_failures(tmp_path, run, output, discarded, message, last_line):
    rows = alternating_rows(4)
    write_ply(tmp_path / "in.ply", rows)
    with pytest.raises(OSError) as raised:
        run(max_area=10, output_file=output, discarded_file=discarded)
    assert type(raised.value) is OSError and str(raised.value) == message
    if last_line == -2:
        assert (tmp_path / "kept.ply").read_bytes() == ply_header(2) + splat_records(rows[0::2])
        assert run.lines[-2] == "Finished writing kept splats in <D>. Kept 2 splats."
    else:  # tmp_path / "/dev/full" is "/dev/full"
        assert run.lines[-1] == f"Writing kept splats to {tmp_path / output}..."
