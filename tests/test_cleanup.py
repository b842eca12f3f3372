"""cleanup_splats: stage lines, byte-exact outputs, the keep test against a
small reference, and every failure with its class and text."""

import json
import math
import random
import re
import struct

import pytest

from support.ply import ply_header, splat_records, splat_row, write_ply
from larkspan.splat import _core
from support.cleanup_reference import f32, reference_flags
from support.colmap import points3d_bin

DURATION = r"(0|[1-9]\d*)(\.\d*[1-9])?(s|ms|µs)|(0|[1-9]\d*)ns"


def masked_lines(capfd):
    """Captured stdout lines with every duration replaced by <D>; a duration
    that is not in the expected format is left alone and fails the check."""
    lines = capfd.readouterr().out.splitlines()
    return [re.sub(rf" in ({DURATION})(?=\.|$)", " in <D>", line) for line in lines]


@pytest.fixture
def run(tmp_path, capfd):
    """Runs cleanup_splats on a config (paths relative to tmp_path) and
    returns its stdout lines; failures propagate."""
    capfd.readouterr()

    def call(**config):
        config.setdefault("input_file", "in.ply")
        config.setdefault("output_file", "kept.ply")
        config.setdefault("max_area", 1e9)
        for key in ("input_file", "output_file", "discarded_file", "colmap_points_file"):
            if isinstance(config.get(key), str) and not config[key].startswith("/"):
                config[key] = str(tmp_path / config[key])
        try:
            _core.cleanup_splats(json.dumps(config))
        finally:
            call.lines = masked_lines(capfd)
        return call.lines

    return call


def expected_lines(tmp_path, kept, discarded=None, *, grid=False, count=None, with_discarded=True):
    count = kept + (discarded or 0) if count is None else count
    lines = ["Starting PLY cleanup process..."]
    if grid:
        lines += [f"Reading COLMAP points from {tmp_path / 'points3D.bin'} and building grid...",
                  "Finished reading COLMAP points and building grid in <D>"]
    lines += [f"Reading PLY header from {tmp_path / 'in.ply'}...",
              f"Finished reading PLY header in <D>. Found {count} vertices.",
              "Reading PLY vertex data...", "Finished reading PLY vertex data in <D>",
              "Starting splat filtering (parallelized)...", "Finished splat filtering in <D>",
              f"Writing kept splats to {tmp_path / 'kept.ply'}...",
              f"Finished writing kept splats in <D>. Kept {kept} splats."]
    if discarded is not None and with_discarded:
        lines += [f"Writing discarded splats to {tmp_path / 'gone.ply'}...",
                  f"Finished writing discarded splats in <D>. Discarded {discarded} splats."]
    return lines + ["PLY cleanup process completed in <D>"]


def alternating_rows(n):
    """Even rows are small splats (kept under max_area 10), odd rows large."""
    return [splat_row(i, -i, 0.5 * i, scale=(0.0, 0.0, 0.0) if i % 2 == 0 else (2.0, 2.0, 2.0),
                      extra=i) for i in range(n)]


class TestOutput:
    @pytest.mark.parametrize("grid", [False, True])
    @pytest.mark.parametrize("discarded", [False, True])
    def test_lines_and_files(self, tmp_path, run, grid, discarded):
        rows = alternating_rows(10)
        comments = ("made by a test", "element vertex 10 in a comment")
        write_ply(tmp_path / "in.ply", rows, comments=comments, newline="\r\n")
        config = {"max_area": 10}
        if grid:
            (tmp_path / "points3D.bin").write_bytes(points3d_bin([(0.0, 0.0, 0.0)] * 3))
            config.update(colmap_points_file="points3D.bin", min_neighbors=0)
        if discarded:
            config["discarded_file"] = "gone.ply"
        lines = run(**config)
        assert lines == expected_lines(tmp_path, 5, 5, grid=grid, with_discarded=discarded)
        kept_comments = ("made by a test", "element vertex 5 in a comment")
        assert (tmp_path / "kept.ply").read_bytes() == (
            ply_header(5, comments=kept_comments, newline="\r\n") + splat_records(rows[0::2]))
        if discarded:
            assert (tmp_path / "gone.ply").read_bytes() == (
                ply_header(5, comments=kept_comments, newline="\r\n") + splat_records(rows[1::2]))
        assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
            ["in.ply", "kept.ply"] + ["points3D.bin"] * grid + ["gone.ply"] * discarded)

    def test_all_kept_gives_an_empty_discarded_file(self, tmp_path, run):
        rows = [splat_row(i, 0, 0) for i in range(4)]
        write_ply(tmp_path / "in.ply", rows)
        run(discarded_file="gone.ply")
        assert (tmp_path / "kept.ply").read_bytes() == (tmp_path / "in.ply").read_bytes()
        assert (tmp_path / "gone.ply").read_bytes() == ply_header(0)

    @pytest.mark.parametrize("count_text", ["+10", "010"])
    def test_unusual_count_text_is_rewritten_in_both_outputs(self, tmp_path, run, count_text):
        rows = alternating_rows(10)
        write_ply(tmp_path / "in.ply", rows, count_text=count_text)
        run(max_area=10, discarded_file="gone.ply")
        assert (tmp_path / "kept.ply").read_bytes() == ply_header(5) + splat_records(rows[0::2])
        assert (tmp_path / "gone.ply").read_bytes() == ply_header(5) + splat_records(rows[1::2])

    def test_zero_count_and_trailing_bytes(self, tmp_path, run):
        (tmp_path / "in.ply").write_bytes(ply_header(0) + b"trailing bytes are not records")
        assert run()[2] == "Finished reading PLY header in <D>. Found 0 vertices."
        assert (tmp_path / "kept.ply").read_bytes() == ply_header(0)

    def test_json_nulls_mean_defaults(self, tmp_path, run):
        # Splat 0 has 10 points within 0.1 (the default radius), splat 1 only 9.
        write_ply(tmp_path / "in.ply", [splat_row(0, 0, 0), splat_row(50, 0, 0)])
        points = [(0.05, 0, 0)] * 10 + [(50.05, 0, 0)] * 9 + [(50.2, 0, 0)]
        (tmp_path / "points3D.bin").write_bytes(points3d_bin(points))
        nulls = dict.fromkeys(["discarded_file", "min_x", "min_y", "min_z", "max_x", "max_y",
                               "max_z", "min_neighbors", "radius"])
        assert run(colmap_points_file="points3D.bin", **nulls) == expected_lines(tmp_path, 1, count=2, grid=True)


def splat_bytes(rows):
    return [splat_records([r]) for r in rows]


def keep_flags(tmp_path, run, rows, **config):
    """Runs the tool and reads back which rows were kept (rows are distinct)."""
    write_ply(tmp_path / "in.ply", rows)
    run(**config)
    kept_file = (tmp_path / "kept.ply").read_bytes()
    body = kept_file[kept_file.index(b"end_header\n") + len(b"end_header\n"):]
    size = len(splat_records(rows[:1]))
    kept = {body[i:i + size] for i in range(0, len(body), size)}
    return [record in kept for record in splat_bytes(rows)]


class TestKeepTest:
    @pytest.mark.parametrize("bounds, expected", [
        (dict(min_x=1, max_x=3, min_y=-9, max_y=9, min_z=-9, max_z=9), [0, 1, 1, 0, 0]),
        (dict(min_x=1, max_x=3), [0, 1, 1, 0, 0]),  # an x crop alone still crops
        (dict(max_x=3, min_y=-9, max_y=9, min_z=-9, max_z=9), [1, 1, 1, 0, 0]),
        (dict(min_z=0), [1, 1, 1, 1, 0]),  # the NaN z fails its given bound
        ({}, [1, 1, 1, 1, 1]),
    ])
    def test_box_bounds_limit_their_own_axis(self, tmp_path, run, bounds, expected):
        rows = [splat_row(x, 0, 0 if x < 4 else math.nan) for x in range(5)]
        assert keep_flags(tmp_path, run, rows, **bounds) == [bool(e) for e in expected]

    @pytest.mark.parametrize("max_area, kept", [(3, False), (3.5, True)])
    def test_scale_magnitude(self, tmp_path, run, max_area, kept):
        rows = [splat_row(0, 0, 0), splat_row(1, 0, 0, scale=(math.nan, 0, 0))]
        assert keep_flags(tmp_path, run, rows, max_area=max_area) == [kept, True]

    @pytest.mark.parametrize("min_neighbors", [0, 1])
    def test_empty_points_file(self, tmp_path, run, min_neighbors):
        (tmp_path / "points3D.bin").write_bytes(points3d_bin([]))
        rows = [splat_row(0, 0, 0)]
        flags = keep_flags(tmp_path, run, rows, colmap_points_file="points3D.bin",
                           min_neighbors=min_neighbors)
        assert flags == [min_neighbors == 0]

    @pytest.mark.parametrize("radius", [0.5, -0.5])
    def test_point_exactly_radius_away_counts(self, tmp_path, run, radius):
        (tmp_path / "points3D.bin").write_bytes(points3d_bin([(1.5, 2, 3)]))
        rows = [splat_row(1, 2, 3), splat_row(0.99, 2, 3)]
        flags = keep_flags(tmp_path, run, rows, colmap_points_file="points3D.bin",
                           min_neighbors=1, radius=radius)
        assert flags == [True, False]

    # Far outliers make the grid index its columns by hash; without them a
    # dense table serves.
    @pytest.mark.parametrize("seed, radius, min_neighbors, bounds, outliers", [
        (1, 0.5, 3, {}, True),
        (2, -0.5, 2, dict(min_x=0.5, max_x=3.5, min_y=0, max_y=4, min_z=0, max_z=4), True),
        (3, 0.37, 1, dict(max_y=3.0, min_z=0.25), False),
        (4, 0.25, 0, {}, True),
        (5, -0.5, 4, {}, False),
        # Indices that saturated 32 bits: results as before, in linear time.
        (6, 1e-12, 1, {}, True),
        (7, -3e-10, 1, {}, False),
    ])
    def test_against_reference(self, tmp_path, run, seed, radius, min_neighbors, bounds, outliers):
        rows, points = random_scene(random.Random(seed), outliers)
        (tmp_path / "points3D.bin").write_bytes(points3d_bin(points))
        config = dict(bounds, max_area=6.0, radius=radius, min_neighbors=min_neighbors)
        expected = reference_flags(rows, points, config)
        flags = keep_flags(tmp_path, run, rows, colmap_points_file="points3D.bin", **config)
        assert flags == expected
        assert 0 < sum(expected) < len(rows)


# ---- an independent reference of the keep test ----


def random_scene(rng, outliers, n_splats=1500, n_points=1200):
    """Splats and points in a 4 m cube, half on a 0.25 m lattice (so many
    pairs lie exactly a radius apart), with NaN, huge and saturating values."""
    def coordinate():
        return rng.randrange(16) * 0.25 if rng.random() < 0.5 else rng.uniform(0, 4)

    rows = []
    for i in range(n_splats):
        x, y, z = coordinate(), coordinate(), coordinate()
        scale = [rng.uniform(-3, 1) for _ in range(3)]
        if i % 97 == 0:
            scale[i % 3] = math.nan
        if i % 101 == 0:
            x = rng.choice([math.nan, 3e38, -3e38, math.inf])
        if i % 103 == 0:
            z = rng.choice([3e38, -3e38])
        rows.append(splat_row(x, y, z, scale=scale, extra=i))
    points = [(coordinate(), coordinate(), coordinate()) for _ in range(n_points)]
    if outliers:
        points += [(1e300, 0, 0), (-1e300, 1, 1), (math.nan, 2, 2), (f32(3e38), 0, 0),
                   (math.inf, 0, 0), (0, 0, 1e300)]
    return rows, points


class TestErrors:
    @pytest.mark.parametrize("document, message", [
        ("{}", "JSON parse error: missing field `input_file` at line 1 column 2"),
        ('{"input_file": "a", "output_file": "b"}',
         "JSON parse error: missing field `max_area` at line 1 column 39"),
        ('{"input_file": "a", "output_file": "b", "max_area": 1, "min_neighbors": -1}',
         "JSON parse error: invalid value: integer `-1`, expected u64 at line 1 column 74"),
        ('{"input_file": "a", "output_file": "b", "max_area": "big"}',
         'JSON parse error: invalid type: string "big", expected f64 at line 1 column 57'),
    ])
    def test_bad_documents(self, capfd, document, message):
        with pytest.raises(ValueError) as raised:
            _core.cleanup_splats(document)
        assert str(raised.value) == message
        assert capfd.readouterr().out == ""

    def test_argument_must_be_str(self):
        with pytest.raises(TypeError, match="^argument 'config_json': "):
            _core.cleanup_splats(b"{}")
        with pytest.raises(TypeError):
            _core.cleanup_splats()

    @pytest.mark.parametrize("radius", [0, -0.0])
    def test_zero_radius(self, tmp_path, run, radius):
        with pytest.raises(ValueError) as raised:
            run(radius=radius)
        assert str(raised.value) == "Radius cannot be 0.0. Please provide a positive radius value."
        assert run.lines == ["Starting PLY cleanup process..."]

    def test_missing_input_after_grid_stage(self, tmp_path, run):
        (tmp_path / "points3D.bin").write_bytes(points3d_bin([(0, 0, 0)]))
        with pytest.raises(OSError) as raised:
            run(colmap_points_file="points3D.bin")
        assert type(raised.value) is OSError
        assert str(raised.value) == "No such file or directory (os error 2)"
        assert run.lines == expected_lines(tmp_path, 0, grid=True)[:3]

    @pytest.mark.parametrize("content", [
        points3d_bin([(0, 0, 0)])[:-1],  # ends inside the track
        points3d_bin([(0, 0, 0)], track_lengths=[3]),  # declares one element more
        points3d_bin([(0, 0, 0)] * 2)[:60],  # ends inside a record
        struct.pack("<Q", 2**60),  # count far beyond the file
        points3d_bin([(0, 0, 0)], track_lengths=[2**61]),  # track bytes overflow 64 bits
        points3d_bin([(0, 0, 0)], track_lengths=[2**40]),  # track beyond the file
        b"\x01\x00",  # ends inside the count
    ], ids=["track", "track-element", "record", "count", "track-overflow", "track-too-long", "count-short"])
    def test_truncated_points_file(self, tmp_path, run, content):
        (tmp_path / "points3D.bin").write_bytes(content)
        write_ply(tmp_path / "in.ply", [splat_row(0, 0, 0)])
        with pytest.raises(OSError, match="^failed to fill whole buffer$"):
            run(colmap_points_file="points3D.bin")
        assert len(run.lines) == 2 and not (tmp_path / "kept.ply").exists()

    def test_missing_points_file(self, tmp_path, run):
        with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
            run(colmap_points_file="nowhere.bin")

    @pytest.mark.parametrize("content, exception, message", [
        (b"ply\ncomment \xff\nend_header\n", OSError, "stream did not contain valid UTF-8"),
        (ply_header(0, count_text="-5"), OSError, "invalid digit found in string"),
        (ply_header(0, count_text="18446744073709551616"), OSError,
         "number too large to fit in target type"),
        (ply_header(2) + splat_records([splat_row(0, 0, 0)]), OSError, "failed to fill whole buffer"),
        (ply_header(2**62) + splat_records([splat_row(0, 0, 0)]), OSError,
         "failed to fill whole buffer"),
        (b"ply\nformat ascii 1.0\nelement vertex 0\nend_header\n", OSError,
         "unsupported PLY format: the header declares ascii records; only binary_little_endian "
         "PLY files can be read"),
        (ply_header(0, fmt="binary_big_endian 1.0"), OSError,
         "unsupported PLY format: the header declares binary_big_endian records; only "
         "binary_little_endian PLY files can be read"),
    ], ids=["utf8", "negative-count", "huge-count", "short-body", "body-overflow", "ascii",
            "big-endian"])
    def test_bad_input(self, tmp_path, run, content, exception, message):
        (tmp_path / "in.ply").write_bytes(content)
        with pytest.raises(exception) as raised:
            run(discarded_file="gone.ply")
        assert type(raised.value) is exception and str(raised.value) == message
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.ply"]

    @pytest.mark.parametrize("discarded", ["kept.ply", "./kept.ply", "sub/../kept.ply"])
    def test_kept_and_discarded_in_one_file_refused(self, tmp_path, run, discarded):
        (tmp_path / "sub").mkdir()
        write_ply(tmp_path / "in.ply", [splat_row(0, 0, 0)])
        with pytest.raises(ValueError, match="are the same file"):
            run(discarded_file=discarded)
        assert not (tmp_path / "kept.ply").exists()

    def test_output_cannot_be_created(self, tmp_path, run):
        write_ply(tmp_path / "in.ply", [splat_row(0, 0, 0)])
        with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
            run(output_file="missing/kept.ply")
        assert run.lines[-1] == f"Writing kept splats to {tmp_path / 'missing/kept.ply'}..."

    def test_flush_failure_of_kept_file(self, tmp_path, run):
        write_ply(tmp_path / "in.ply", [splat_row(0, 0, 0)])
        with pytest.raises(OSError) as raised:
            run(output_file="/dev/full", discarded_file="gone.ply")
        assert type(raised.value) is OSError
        assert str(raised.value) == "No space left on device (os error 28)"
        assert run.lines[-1] == "Writing kept splats to /dev/full..."

    @pytest.mark.parametrize("discarded", ["missing/gone.ply", "/dev/full"])
    def test_discarded_failure_leaves_kept_file_complete(self, tmp_path, run, discarded):
        rows = alternating_rows(4)
        write_ply(tmp_path / "in.ply", rows)
        with pytest.raises(OSError, match=r"\(os error (2|28)\)$"):
            run(max_area=10, discarded_file=discarded)
        assert (tmp_path / "kept.ply").read_bytes() == ply_header(2) + splat_records(rows[0::2])
        assert run.lines[-2] == "Finished writing kept splats in <D>. Kept 2 splats."
