"""OrthoCells: loading, bounds, cell files, write_ply_file, a changed input, progress bars."""

import math
import os
import re
import shutil

import pytest

from larkspan.splat._core import OrthoCells
from support.ply import header_out, ply_header, run_on_terminal, splat_records, splat_row, write_ply

XYZ_RED = [("float", "x"), ("float", "y"), ("float", "z"), ("uchar", "red")]
RED_ROWS = [(1.0, 2.0, 3.0, 7), (4.0, 5.0, 6.0, 8), (-1.0, 0.5, 0.0, 9)]
RED_BODY = splat_records(RED_ROWS, XYZ_RED)
NO_FILE = "No such file or directory (os error 2)"

@pytest.fixture
def scene(tmp_path):  # two of five splats on the edge x = 1 shared by two cells
    rows = [splat_row(0.5, 0.5, 1.0), splat_row(1.0, 0.5, 2.0), splat_row(1.5, 0.5, 3.0),
            splat_row(1.0, 1.0, 4.0), splat_row(9.0, 9.0, 5.0)]
    path = write_ply(tmp_path / "scene.ply", rows, comments=["  padded comment  "], newline="\r\n")
    return path, rows

def scene_header(path, count):
    lines = [ln.strip() for ln in path.read_bytes().split(b"end_header")[0].decode().split("\n")]
    return header_out([ln for ln in lines if ln] + ["end_header"], count)

@pytest.mark.parametrize("content, bounds", [
    # 13-byte records: reading stops after 39 bytes.
    (ply_header(3, XYZ_RED) + RED_BODY + b"trailing junk" * 10, (-1.0, 4.0, 0.5, 5.0, 3.0)),
    (ply_header(0, XYZ_RED, count_text="") + RED_BODY, (math.inf, -math.inf, math.inf, -math.inf)),
    (b"ply\nelement vertex 0\nproperty float x\nproperty float y\nproperty float z",
     (math.inf, -math.inf, math.inf, -math.inf)),
    (ply_header(3) + splat_records([splat_row(1, math.nan, 1), splat_row(math.nan, -2, 2),
                                    splat_row(-3, 5, 4)]), (-3.0, 1.0, -2.0, 5.0, 7 / 3)),
], ids=["13-byte", "no-count", "no-end_header", "nan"])
def test_load_and_bounds(tmp_path, content, bounds):
    (tmp_path / "in.ply").write_bytes(content)
    got = (cells := OrthoCells(str(tmp_path / "in.ply"))).get_bounds()
    assert got[:len(bounds)] == bounds and (len(bounds) == 5 or math.isnan(got[4]))
    if bounds[0] == -1.0:  # a cell file states the count on its vertex line
        cells.extract_all_cells([(-10, 10, -10, 10, str(tmp_path / "all.ply"))])
        assert (tmp_path / "all.ply").read_bytes() == ply_header(3, XYZ_RED) + RED_BODY

@pytest.mark.parametrize("path, error, pattern", [
    ("missing.ply", FileNotFoundError, f"^{re.escape(NO_FILE)}$"),
    (".", IsADirectoryError, r"\(os error 21\)$"),
    ("in.ply\0ignored", OSError, "^file name contained an unexpected NUL byte$"),
])
def test_load_errors(tmp_path, path, error, pattern):
    write_ply(tmp_path / "in.ply", [])
    with pytest.raises(error, match=pattern):
        OrthoCells(str(tmp_path / path) if isinstance(path, str) else path)

def test_byte_exact_cells_with_shared_edges(tmp_path, scene, capfd):
    path, rows = scene
    left, right, far = (tmp_path / n for n in ("left.ply", "right.ply", "far.ply"))
    ortho = OrthoCells(str(path))
    cells = [(0, 1, 0, 1, str(left)), (1.0, 2, 0, 2, str(right)), (20, 30, 20, 30, str(far))]
    assert ortho.extract_all_cells(cells) is None
    assert left.read_bytes() == scene_header(path, 3) + splat_records([rows[0], rows[1], rows[3]])
    assert right.read_bytes() == scene_header(path, 3) + splat_records([rows[1], rows[2], rows[3]])
    assert not far.exists() and capfd.readouterr() == ("", "")
    # No cells, no files; tuple items beyond five are ignored and numbers converted.
    before = set(tmp_path.iterdir())
    assert ortho.extract_all_cells([]) is None and set(tmp_path.iterdir()) == before
    ortho.extract_all_cells([(True, 1, 0, 1.0, str(left), "extra", 7)])
    assert left.read_bytes().endswith(splat_records([rows[1], rows[3]]))

def test_failing_cell_reported_others_written(tmp_path, scene, capfd):
    bad = tmp_path / "missing" / "bad.ply"
    cells = [(0, 2, 0, 2, str(tmp_path / "a.ply")), (0, 2, 0, 2, str(bad)),
             (5, 6, 5, 6, str(tmp_path / "empty.ply")), (9, 9, 9, 9, str(tmp_path / "b.ply"))]
    with pytest.raises(FileNotFoundError) as info:
        OrthoCells(str(scene[0])).extract_all_cells(cells)
    assert str(info.value) == f"1 of 3 cell PLY files failed to write; the first: {bad}: {NO_FILE}"
    assert capfd.readouterr().err == f"Failed to write PLY file {bad}: {NO_FILE}\n"
    assert (tmp_path / "a.ply").exists() and (tmp_path / "b.ply").exists()

@pytest.mark.parametrize("cells, error, pattern", [
    ([[0, 1, 0, 1, "x.ply"]], TypeError, "^argument 'cells': 'list' object cannot be converted"),
    ([(0, 1, 0, 1)], IndexError, "^tuple index out of range$"),
    ([(0, "1", 0, 1, "x.ply")], TypeError, "^argument 'cells': must be real number, not str$"),
])
def test_cell_conversion_errors_before_any_work(tmp_path, scene, cells, error, pattern):
    with pytest.raises(error, match=pattern):
        OrthoCells(str(scene[0])).extract_all_cells([(0, 2, 0, 2, str(tmp_path / "first.ply"))] + cells)
    assert not (tmp_path / "first.ply").exists()

def test_write_ply_file(tmp_path, scene):
    block = scene[0].read_bytes().split(b"end_header\r\n")[1][68:204]
    assert OrthoCells(str(scene[0])).write_ply_file(str(tmp_path / "w.ply"), block, 2) is None
    assert (tmp_path / "w.ply").read_bytes() == scene_header(scene[0], 2) + block

# A length other than count x record size gave a header that disagrees with its records.
@pytest.mark.parametrize("data, count, error, pattern", [
    (b"abc", 12, ValueError, "^vertex_data holds 3 bytes, but 12 records of 68 bytes take 816 bytes$"),
    (bytes(69), 1, ValueError, "^vertex_data holds 69 bytes, but 1 records of 68 bytes take 68 bytes$"),
    (b"", 2**63, ValueError, r"^vertex_data holds 0 bytes, but \d+ records of 68 bytes take more than 2\^64"),
    ("abc", 1, TypeError, "^argument 'vertex_data': 'str' object cannot be converted to 'bytes'$"),
    (b"abc", -1, OverflowError, "negative"),
    (b"", 0, FileNotFoundError, f"^{re.escape(NO_FILE)}$"),
])
def test_write_ply_file_refusals(tmp_path, scene, data, count, error, pattern):
    name = "no/w.ply" if error is FileNotFoundError else "w.ply"
    with pytest.raises(error, match=pattern):
        OrthoCells(str(scene[0])).write_ply_file(str(tmp_path / name), data, count)
    assert not (tmp_path / "w.ply").exists()

CHANGES = {
    "truncated": lambda p: os.truncate(p, p.stat().st_size - 68),
    "replaced": lambda p: os.replace(shutil.copy(p, p.with_suffix(".new")), p),
    "touched": lambda p: os.utime(p, ns=(p.stat().st_atime_ns, p.stat().st_mtime_ns + 10**9)),
    "removed": os.remove,
}

# Records are read again for the cells: a file changed since loading is refused, not cut as another version.
@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("call", ["extract_all_cells", "write_ply_file"])
def test_changed_file_is_refused(tmp_path, scene, change, call):
    ortho = OrthoCells(str(scene[0]))
    bounds = ortho.get_bounds()
    CHANGES[change](scene[0])
    out = tmp_path / "out.ply"
    with pytest.raises(OSError, match=re.escape(f"The PLY file {scene[0]} changed after it was loaded")):
        if call == "extract_all_cells":
            ortho.extract_all_cells([(0, 10, 0, 10, str(out))])
        else:
            ortho.write_ply_file(str(out), b"", 0)
    assert not out.exists() and ortho.get_bounds() == bounds

def test_relative_path_outlives_a_change_of_directory(tmp_path, scene, monkeypatch):
    monkeypatch.chdir(tmp_path)
    ortho = OrthoCells(scene[0].name)
    monkeypatch.chdir((tmp_path / "elsewhere").mkdir() or tmp_path / "elsewhere")
    ortho.extract_all_cells([(0, 10, 0, 10, "all.ply")])
    assert (tmp_path / "elsewhere" / "all.ply").read_bytes().endswith(splat_records(scene[1]))

def test_progress_bars_on_a_terminal(tmp_path):
    path = write_ply(tmp_path / "bars.ply", [splat_row(i % 7, i % 5, 0) for i in range(250_000)])
    cells = [(0, 3, 0, 9, str(tmp_path / "c0.ply")), (3, 9, 0, 9, str(tmp_path / "c1.ply"))]
    drawn = run_on_terminal(f"import larkspan.splat as s\ns.OrthoCells('{path}').extract_all_cells({cells})")
    # Each line as left on screen: what follows its last carriage return.
    final = [ln.rstrip("\r").split("\r")[-1].replace("\x1b[2K", "") for ln in drawn.split("\n") if ln.strip()]
    assert [ln.split(" [")[0] for ln in final] == [
        "PLY data loaded", "Assignment complete", "Cell PLY files written"]
    assert f"/{250_000 * 68 / 2**20:.2f} MiB (" in final[0] and "] 250000/250000 (" in final[1]
    assert "Reading bars.ply [" in drawn and "Assigning splats to cells [" in drawn
