"""OrthoCells: loading, bounds, cell files, write_ply_file, progress bars."""

import math
import os
import pty
import random
import re
import struct
import subprocess
import sys
import textwrap

import pytest

from support.ply import SPLAT_PROPERTIES, ply_header, splat_records, splat_row, write_ply
from larkspan.splat import _core
from larkspan.splat._core import OrthoCells
from support.ply import header_out

XYZ_RED = [("float", "x"), ("float", "y"), ("float", "z"), ("uchar", "red")]


def xyz_red(rows):
    return b"".join(struct.pack("<fffB", *row) for row in rows)


@pytest.fixture
def scene(tmp_path):
    """Five splats; two lie on the edge x = 1 shared by the cells left and right."""
    rows = [splat_row(0.5, 0.5, 1.0), splat_row(1.0, 0.5, 2.0), splat_row(1.5, 0.5, 3.0),
            splat_row(1.0, 1.0, 4.0), splat_row(9.0, 9.0, 5.0)]
    path = write_ply(tmp_path / "scene.ply", rows, comments=["  padded comment  "], newline="\r\n")
    return path, rows


class TestLoad:
    def test_13_byte_records_stop_after_39_bytes(self, tmp_path):
        rows = [(1.0, 2.0, 3.0, 7), (4.0, 5.0, 6.0, 8), (-1.0, 0.5, 0.0, 9)]
        path = tmp_path / "in.ply"
        path.write_bytes(ply_header(3, XYZ_RED) + xyz_red(rows) + b"trailing junk" * 10)
        cells = OrthoCells(str(path))
        assert cells.get_bounds() == (-1.0, 4.0, 0.5, 5.0, 3.0)
        cells.extract_all_cells([(-10, 10, -10, 10, str(tmp_path / "all.ply"))])
        assert (tmp_path / "all.ply").read_bytes() == ply_header(3, XYZ_RED) + xyz_red(rows)

    @pytest.mark.parametrize("word,size", [
        ("char", 1), ("int8", 1), ("uint8", 1), ("short", 2), ("int16", 2), ("ushort", 2),
        ("uint16", 2), ("int", 4), ("int32", 4), ("uint", 4), ("uint32", 4), ("float32", 4),
        ("double", 8), ("float64", 8), ("f32", 4), ("u8", 1)])
    def test_type_sizes_place_xyz(self, tmp_path, word, size):
        props = [(word, "pad"), ("float", "x"), ("float", "y"), ("float", "z")]
        path = tmp_path / "in.ply"
        path.write_bytes(ply_header(1, props) + b"\xee" * size + struct.pack("<fff", 1.5, 2.5, 3.5))
        assert OrthoCells(str(path)).get_bounds() == (1.5, 1.5, 2.5, 2.5, 3.5)

    @pytest.mark.parametrize("count_text,count", [("+2", 2), ("0002", 2), ("", 0)])
    def test_count_forms(self, tmp_path, count_text, count):
        rows = [(1.0, 1.0, 1.0, 0), (2.0, 2.0, 2.0, 0)]
        path = tmp_path / "in.ply"
        path.write_bytes(ply_header(0, XYZ_RED, count_text=count_text) + xyz_red(rows))
        bounds = OrthoCells(str(path)).get_bounds()
        assert bounds[:2] == ((1.0, 2.0) if count else (math.inf, -math.inf))

    def test_no_end_header_with_no_vertices(self, tmp_path):
        path = tmp_path / "in.ply"
        path.write_bytes(b"ply\nelement vertex 0\nproperty float x\nproperty float y\nproperty float z")
        assert OrthoCells(str(path)).get_bounds()[:4] == (math.inf, -math.inf, math.inf, -math.inf)

    def test_no_format_line_is_read_little_endian(self, tmp_path):
        path = write_ply(tmp_path / "in.ply", [splat_row(3, 4, 5)], fmt=None)
        assert OrthoCells(str(path)).get_bounds() == (3.0, 3.0, 4.0, 4.0, 5.0)


class TestLoadErrors:
    @pytest.mark.parametrize("count_text", ["-1", "3abc", "18446744073709551616", "+"])
    def test_invalid_vertex_count(self, tmp_path, count_text):
        path = tmp_path / "in.ply"
        path.write_bytes(ply_header(0, XYZ_RED, count_text=count_text))
        with pytest.raises(ValueError, match="^Invalid vertex count$"):
            OrthoCells(str(path))

    def test_missing_file(self, tmp_path):
        with pytest.raises(FileNotFoundError) as info:
            OrthoCells(str(tmp_path / "missing.ply"))
        assert str(info.value) == "No such file or directory (os error 2)"

    def test_directory_is_a_directory_error(self, tmp_path):
        with pytest.raises(IsADirectoryError, match=r"\(os error 21\)$"):
            OrthoCells(str(tmp_path))

    @pytest.mark.parametrize("body", [b"", b"\0" * 38])
    def test_short_file(self, tmp_path, body):
        path = tmp_path / "in.ply"
        path.write_bytes(ply_header(3, XYZ_RED) + body)
        with pytest.raises(OSError) as info:
            OrthoCells(str(path))
        assert type(info.value) is OSError and str(info.value) == "failed to fill whole buffer"

    def test_count_whose_bytes_overflow(self, tmp_path):
        path = tmp_path / "in.ply"
        path.write_bytes(ply_header(2**63, XYZ_RED))
        with pytest.raises(OSError, match="^failed to fill whole buffer$"):
            OrthoCells(str(path))

    def test_invalid_utf8_header(self, tmp_path):
        path = tmp_path / "in.ply"
        path.write_bytes(b"ply\ncomment \xff\n" + ply_header(0, XYZ_RED))
        with pytest.raises(OSError, match="^stream did not contain valid UTF-8$"):
            OrthoCells(str(path))

    @pytest.mark.parametrize("fmt", ["ascii 1.0", "binary_big_endian 1.0"])
    def test_unsupported_format(self, tmp_path, fmt):
        path = write_ply(tmp_path / "in.ply", [splat_row(1, 2, 3)], fmt=fmt)
        with pytest.raises(ValueError, match=f"declares {fmt.split()[0]} records"):
            OrthoCells(str(path))

    @pytest.mark.parametrize("args,kwargs,pattern", [
        ((b"in.ply",), {}, "^argument 'ply_path': "),
        ((), {}, "ply_path"),
        (("a", "b"), {}, r"^OrthoCells\(\) takes 1 positional argument but 2 were given$"),
    ])
    def test_argument_errors(self, args, kwargs, pattern):
        with pytest.raises(TypeError, match=pattern):
            OrthoCells(*args, **kwargs)


class TestBounds:
    def test_nan_ignored_and_mean_z(self, ply_factory):
        rows = [splat_row(1, float("nan"), 1), splat_row(float("nan"), -2, 2), splat_row(-3, 5, 4)]
        assert OrthoCells(str(ply_factory(rows))).get_bounds() == (-3.0, 1.0, -2.0, 5.0, 7 / 3)

    def test_zero_vertices(self, ply_factory):
        bounds = OrthoCells(str(ply_factory([]))).get_bounds()
        assert bounds[:4] == (math.inf, -math.inf, math.inf, -math.inf) and math.isnan(bounds[4])


class TestCells:
    def test_byte_exact_files_with_shared_edges(self, tmp_path, scene, capfd):
        path, rows = scene
        lines = [ln.strip() for ln in path.read_bytes().split(b"end_header")[0].decode().split("\n")]
        lines = [ln for ln in lines if ln] + ["end_header"]
        left, right, far = (tmp_path / n for n in ("left.ply", "right.ply", "far.ply"))
        result = OrthoCells(str(path)).extract_all_cells(
            [(0, 1, 0, 1, str(left)), (1.0, 2, 0, 2, str(right)), (20, 30, 20, 30, str(far))])
        assert result is None
        assert left.read_bytes() == header_out(lines, 3) + splat_records([rows[0], rows[1], rows[3]])
        assert right.read_bytes() == header_out(lines, 3) + splat_records([rows[1], rows[2], rows[3]])
        assert not far.exists()
        assert capfd.readouterr() == ("", "")

    def test_empty_cell_list(self, tmp_path, scene):
        before = set(tmp_path.iterdir())
        assert OrthoCells(str(scene[0])).extract_all_cells([]) is None
        assert set(tmp_path.iterdir()) == before

    def test_extra_tuple_items_ignored_and_numbers_converted(self, tmp_path, scene):
        out = tmp_path / "c.ply"
        OrthoCells(str(scene[0])).extract_all_cells([(True, 1, 0, 1.0, str(out), "extra", 7)])
        assert out.read_bytes().endswith(splat_records([scene[1][1], scene[1][3]]))

    def test_matches_brute_force_reference(self, tmp_path):
        rng = random.Random(20240607)
        edges = [i * 2.5 for i in range(9)]
        special = [math.nan, math.inf, -math.inf, -0.0]
        coordinate = lambda: rng.choice(edges + special) if rng.random() < 0.3 else rng.uniform(-2, 22)
        rows = [splat_row(coordinate(), coordinate(), rng.uniform(-1, 1)) for _ in range(6000)]
        path = write_ply(tmp_path / "in.ply", rows)
        cells = [(edges[i], edges[i + 1], edges[j], edges[j + 1]) for i in range(8) for j in range(8)]
        for _ in range(24):  # overlapping, degenerate, unbounded and NaN-bounded cells
            a, b = sorted(rng.uniform(-5, 25) for _ in range(2))
            c, d = sorted(rng.choice([rng.uniform(-5, 25), rng.choice(edges)]) for _ in range(2))
            cells.append(rng.choice([(a, b, c, d), (a, a, c, d), (b, a, c, d), (-math.inf, a, c, math.inf),
                                     (a, b, math.nan, d), (-math.inf, math.inf, -math.inf, math.inf)]))
        cells = [(*bounds, str(tmp_path / f"cell_{k}.ply")) for k, bounds in enumerate(cells)]
        OrthoCells(str(path)).extract_all_cells(cells)

        # Coordinates as the file stores them: float32 widened to float64.
        stored = [struct.unpack("<ff", struct.pack("<ff", r[0], r[1])) for r in rows]
        header_lines = ply_header(0).decode().split("\n")[:-1]
        for min_x, max_x, min_y, max_y, out in cells:
            chosen = [r for r, (x, y) in zip(rows, stored) if min_x <= x <= max_x and min_y <= y <= max_y]
            if not chosen:
                assert not os.path.exists(out)
                continue
            assert open(out, "rb").read() == header_out(header_lines, len(chosen)) + splat_records(chosen)


class TestCellErrors:
    @pytest.mark.parametrize("second", ["{d}/a.ply", "{d}/./sub/../a.ply", "{d}//a.ply", "{d}/link.ply"])
    def test_shared_output_path_refused_before_writing(self, tmp_path, scene, second):
        (tmp_path / "sub").mkdir()
        (tmp_path / "target.ply").write_bytes(b"")
        (tmp_path / "link.ply").symlink_to(tmp_path / "target.ply")
        first = tmp_path / ("target.ply" if second.endswith("link.ply") else "a.ply")
        cells = [(0, 1, 0, 1, str(tmp_path / "other.ply")), (0, 1, 0, 1, str(first)),
                 (0, 1, 0, 1, second.format(d=tmp_path))]
        with pytest.raises(ValueError, match="^Cells 1 and 2 have the same output path"):
            OrthoCells(str(scene[0])).extract_all_cells(cells)
        assert not (tmp_path / "other.ply").exists() and not (tmp_path / "a.ply").exists()

    def test_failing_cell_reported_others_written(self, tmp_path, scene, capfd):
        bad = tmp_path / "missing" / "bad.ply"
        cells = [(0, 2, 0, 2, str(tmp_path / "a.ply")), (0, 2, 0, 2, str(bad)),
                 (5, 6, 5, 6, str(tmp_path / "empty.ply")), (9, 9, 9, 9, str(tmp_path / "b.ply"))]
        with pytest.raises(FileNotFoundError) as info:
            OrthoCells(str(scene[0])).extract_all_cells(cells)
        error_text = "No such file or directory (os error 2)"
        assert str(info.value) == f"1 of 3 cell PLY files failed to write; the first: {bad}: {error_text}"
        assert capfd.readouterr().err == f"Failed to write PLY file {bad}: {error_text}\n"
        assert (tmp_path / "a.ply").exists() and (tmp_path / "b.ply").exists()

    @pytest.mark.parametrize("cells,error,pattern", [
        ("abc", TypeError, "^argument 'cells': Can't extract `str` to `Vec`$"),
        (5, TypeError, "^argument 'cells': "),
        ([[0, 1, 0, 1, "x.ply"]], TypeError, "^argument 'cells': 'list' object cannot be converted"),
        ([(0, 1, 0, 1)], IndexError, "^tuple index out of range$"),
        ([(0, "1", 0, 1, "x.ply")], TypeError, "^argument 'cells': must be real number, not str$"),
        ([(0, 1, 0, 1, b"x.ply")], TypeError, "^argument 'cells': 'bytes' object cannot be converted"),
    ])
    def test_conversion_errors_before_any_work(self, tmp_path, scene, cells, error, pattern):
        if isinstance(cells, list):
            cells = [(0, 2, 0, 2, str(tmp_path / "first.ply"))] + cells
        with pytest.raises(error, match=pattern):
            OrthoCells(str(scene[0])).extract_all_cells(cells)
        assert not (tmp_path / "first.ply").exists()


class TestWritePlyFile:
    def test_records_written_under_their_count(self, tmp_path, scene):
        source = scene[0].read_bytes()
        header, body = source.split(b"end_header\r\n")
        lines = [ln.strip() for ln in header.decode().split("\n")]
        out = tmp_path / "w.ply"
        assert OrthoCells(str(scene[0])).write_ply_file(str(out), body[68:204], 2) is None
        assert out.read_bytes() == header_out([ln for ln in lines if ln] + ["end_header"], 2) + body[68:204]

    # Deliberate departure: a length that is not count x record size gave a
    # header that disagrees with its records.
    @pytest.mark.parametrize("data,count,needed", [
        (b"abc", 12, "816"), (b"", 1, "68"), (bytes(68), 0, "0"), (bytes(69), 1, "68"),
        (b"", 2**63, "more than 2^64"),
    ], ids=["short", "empty", "surplus", "one-byte-over", "overflow"])
    def test_length_other_than_count_records_is_refused(self, tmp_path, scene, data, count, needed):
        out = tmp_path / "w.ply"
        with pytest.raises(ValueError, match=rf"^vertex_data holds {len(data)} bytes, but {count} "
                                             rf"records of 68 bytes take {re.escape(needed)} bytes$"):
            OrthoCells(str(scene[0])).write_ply_file(str(out), data, count)
        assert not out.exists()

    @pytest.mark.parametrize("data,count,error,pattern", [
        ("abc", 1, TypeError, "^argument 'vertex_data': 'str' object cannot be converted to 'bytes'$"),
        ([1, 2], 1, TypeError, "^argument 'vertex_data': 'list'"),
        (b"abc", -1, OverflowError, "negative"),
        (b"abc", 1.0, TypeError, "^argument 'vertex_count': "),
    ])
    def test_argument_errors(self, tmp_path, scene, data, count, error, pattern):
        with pytest.raises(error, match=pattern):
            OrthoCells(str(scene[0])).write_ply_file(str(tmp_path / "w.ply"), data, count)
        assert not (tmp_path / "w.ply").exists()

    def test_uncreatable_file(self, tmp_path, scene):
        with pytest.raises(FileNotFoundError, match=r"^No such file or directory \(os error 2\)$"):
            OrthoCells(str(scene[0])).write_ply_file(str(tmp_path / "no" / "w.ply"), b"", 0)

    def test_nul_in_path_names_no_other_file(self, tmp_path, scene):
        with pytest.raises(OSError, match="^file name contained an unexpected NUL byte$"):
            OrthoCells(str(scene[0])).write_ply_file(str(tmp_path / "w.ply\0.bak"), b"", 0)
        assert not (tmp_path / "w.ply").exists()
        with pytest.raises(OSError, match="unexpected NUL byte"):
            OrthoCells(str(scene[0]) + "\0ignored")


def truncate(path):
    os.truncate(path, os.path.getsize(path) - 68)


def rewrite_in_place(path):
    """Same size, other records, a later modification time."""
    data = bytearray(path.read_bytes())
    data[-68:-64] = struct.pack("<f", 7.0)
    stat = path.stat()
    path.write_bytes(bytes(data))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**9))


def replace(path):
    other = path.with_suffix(".new")
    other.write_bytes(path.read_bytes())
    os.replace(other, path)


def touch(path):
    stat = path.stat()
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**9))


class TestChangedFile:
    """The records are read from the file again when cells are extracted, so
    a file that changed since loading is refused rather than cut into cells
    of another version."""

    @pytest.mark.parametrize("change", [truncate, rewrite_in_place, replace, touch, os.remove])
    @pytest.mark.parametrize("call", ["extract_all_cells", "write_ply_file"])
    def test_refused_naming_the_file(self, tmp_path, scene, change, call):
        ortho = OrthoCells(str(scene[0]))
        bounds = ortho.get_bounds()
        change(scene[0])
        out = tmp_path / "out.ply"
        with pytest.raises(OSError, match=f"^The PLY file {re.escape(str(scene[0]))} changed after it "
                                          "was loaded"):
            if call == "extract_all_cells":
                ortho.extract_all_cells([(0, 10, 0, 10, str(out))])
            else:
                ortho.write_ply_file(str(out), b"", 0)
        assert not out.exists()
        assert ortho.get_bounds() == bounds

    def test_relative_path_outlives_a_change_of_directory(self, tmp_path, scene, monkeypatch):
        monkeypatch.chdir(tmp_path)
        ortho = OrthoCells(scene[0].name)
        (tmp_path / "elsewhere").mkdir()
        monkeypatch.chdir(tmp_path / "elsewhere")
        ortho.extract_all_cells([(0, 10, 0, 10, "all.ply")])
        assert (tmp_path / "elsewhere" / "all.ply").read_bytes().endswith(splat_records(scene[1]))


class TestSurface:
    def test_registered_last_with_signatures(self):
        assert _core.__all__[-1] == "OrthoCells"
        assert OrthoCells.__module__ == "builtins"
        assert OrthoCells.__text_signature__ == "(ply_path)"
        assert OrthoCells.get_bounds.__text_signature__ == "($self)"
        assert OrthoCells.extract_all_cells.__text_signature__ == "($self, cells)"
        assert (OrthoCells.write_ply_file.__text_signature__
                == "($self, output_path, vertex_data, vertex_count)")


def run_on_terminal(script):
    """Runs a Python script with stderr on a pseudo-terminal; returns what it drew."""
    master, slave = pty.openpty()
    env = dict(os.environ, TERM="dumb")
    proc = subprocess.Popen([sys.executable, "-c", script], stderr=slave, env=env)
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    assert proc.wait(timeout=60) == 0
    return b"".join(chunks).decode()


class TestProgress:
    def test_bars_on_a_terminal(self, tmp_path):
        path = write_ply(tmp_path / "bars.ply", [splat_row(i % 7, i % 5, 0) for i in range(250_000)])
        out = tmp_path / "c{}.ply"
        drawn = run_on_terminal(textwrap.dedent(f"""
            from larkspan.splat import OrthoCells
            cells = OrthoCells({str(path)!r})
            cells.extract_all_cells([(0, 3, 0, 9, {str(out).format(0)!r}), (3, 9, 0, 9, {str(out).format(1)!r})])
        """))
        # Each line as left on screen: what follows its last carriage return.
        final = [line.rstrip("\r").split("\r")[-1].replace("\x1b[2K", "")
                 for line in drawn.split("\n") if line.strip()]
        total = 250_000 * 17 * 4
        assert final[0].startswith("PLY data loaded [" + "█" * 40 + "]")
        assert f"/{total / 2**20:.2f} MiB (" in final[0]
        assert final[1].startswith("Assignment complete [" + "█" * 40 + "] 250000/250000 (")
        assert final[2].startswith("Cell PLY files written [" + "█" * 40 + "] 2/2 (")
        assert "Reading bars.ply [" in drawn and "Assigning splats to cells [" in drawn
        assert len(final) == 3
