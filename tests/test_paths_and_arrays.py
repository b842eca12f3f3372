"""Paths as open() takes them, camera positions and vertex data as arrays."""

import os
from pathlib import Path

import numpy as np
import pytest

from support.ply import SPLAT_PROPERTIES, splat_row, write_ply
from larkspan.splat import Config, OrthoCells, Patch, patches, split_ply

class PathLike:  # not a pathlib object; raises `path` if it is an exception
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        if isinstance(self.path, Exception):
            raise self.path
        return self.path

@pytest.fixture
def splats(tmp_path):
    return write_ply(tmp_path / "splats.ply", [splat_row(i, i, 0) for i in range(4)])

@pytest.mark.parametrize("spell", [Path, lambda p: PathLike(str(p))], ids=["pathlib", "fspath"])
def test_path_likes_are_taken_and_read_back_as_str(spell, tmp_path, splats, capfd):
    config, patch = Config("a"), Patch("b")
    config.input_file, patch.output_file = spell(splats), spell("d.bin")
    values = [Config(spell("in.ply")).input_file, Patch(spell("p.bin")).output_file,
              Patch.with_bounds(spell("q.bin"), 0, 0, 1, 1).output_file, patch.output_file]
    assert values == ["in.ply", "p.bin", "q.bin", "d.bin"] and type(config.input_file) is str
    config.add_patch(Patch(spell(tmp_path / "all.bin")))
    assert split_ply(config)["total_points_written"] == 4
    (tmp_path / "config.json").write_text(config.to_json())
    assert Config.from_file(spell(tmp_path / "config.json")).input_file == str(splats)
    ortho = OrthoCells(spell(splats))
    ortho.write_ply_file(spell(tmp_path / "none.ply"), b"", 0)
    ortho.extract_all_cells([(0.0, 1.0, 0.0, 1.0, spell(tmp_path / "cell.ply"))])
    assert (tmp_path / "none.ply").exists() and (tmp_path / "cell.ply").exists()

def test_names_that_are_not_utf8_are_used_as_open_uses_them(tmp_path, capfd):
    name, out = os.fsdecode(b"caf\xe9.ply"), os.fsdecode(b"out\xff.bin")
    try:
        write_ply(tmp_path / name, [splat_row(0, 0, 0)])
    except (OSError, UnicodeEncodeError):
        pytest.skip("the file system refuses the name")
    (config := Config(str(tmp_path / name))).add_patch(Patch(str(tmp_path / out)))
    assert split_ply(config)["total_points_written"] == 1 and os.path.exists(tmp_path / out)

@pytest.mark.parametrize("call, value, message", [
    (lambda v, s: Config(v), b"in.ply", "argument 'input_file': 'bytes' object cannot be converted to 'str'"),
    (lambda v, s: Patch(v), PathLike(b"in.ply"), "argument 'output_file': 'PathLike' object cannot be converted to 'str'"),
    (lambda v, s: OrthoCells(s).extract_all_cells([(0.0, 1.0, 0.0, 1.0, v)]), 3,
     "argument 'cells': 'int' object cannot be converted to 'str'"),
    (lambda v, s: Config(v), PathLike(ValueError("no path here")), "no path here"),  # unchanged
])
def test_other_types_are_refused(splats, call, value, message):
    with pytest.raises(ValueError if message == "no path here" else TypeError) as raised:
        call(value, splats)
    assert str(raised.value) == message

@pytest.mark.parametrize("make", [lambda a: a, memoryview, lambda a: a.astype(np.float32)],
                         ids=["float64", "memoryview", "float32"])
def test_position_arrays_plan_as_the_tuples_do(make, capfd):
    cameras = make(np.random.default_rng(7).uniform(0, 300, (3000, 2)))
    as_tuples = [(float(x), float(y)) for x, y in np.asarray(cameras)]
    assert [(b.min_x, b.max_x, b.min_y, b.max_y) for b in patches(cameras, 200, 0.5)] \
        == [(b.min_x, b.max_x, b.min_y, b.max_y) for b in patches(as_tuples, 200, 0.5)]

EXPECTED = "^argument 'camera_positions': expected a C-contiguous \\(N, 2\\) array of float64 or float32"

@pytest.mark.parametrize("value, error, message", [
    (np.zeros((0, 2)), ValueError, "^Camera positions cannot be empty$"),
    (np.zeros((4, 3)), ValueError, f"{EXPECTED}, got shape \\(4, 3\\)$"),
    (np.zeros(4), ValueError, f"{EXPECTED}, got shape \\(4,\\)$"),
    (np.zeros((4, 4))[:, ::2], ValueError, f"{EXPECTED}, got a non-contiguous array$"),
    (np.zeros((4, 2), dtype=np.int64), TypeError, f"{EXPECTED}, got items of format 'l'$"),
    (np.zeros((4, 2), dtype=">f8"), TypeError, f"{EXPECTED}, got items of format '>d'$"),
    (b"\0" * 16, TypeError, f"{EXPECTED}, got items of format 'B'$"),
], ids=["empty", "columns", "one-dimensional", "strided", "int64", "big-endian", "bytes"])
def test_wrong_position_arrays(value, error, message):
    with pytest.raises(error, match=message):
        patches(value)

@pytest.mark.parametrize("make", [
    bytearray, lambda b: np.frombuffer(b, dtype="<f4").reshape(-1, len(SPLAT_PROPERTIES)),
    lambda b: memoryview(b"xx" + b)[2:], lambda b: memoryview(b + b)[::2],
], ids=["bytearray", "ndarray", "sliced", "strided"])
def test_any_contiguous_buffer_is_written_as_its_bytes(make, splats, tmp_path):
    records = np.arange(2 * len(SPLAT_PROPERTIES), dtype="<f4").tobytes()
    (ortho := OrthoCells(splats)).write_ply_file(tmp_path / "bytes.ply", records, 2)
    if memoryview(make(records)).c_contiguous:
        ortho.write_ply_file(tmp_path / "other.ply", make(records), 2)
        assert (tmp_path / "other.ply").read_bytes() == (tmp_path / "bytes.ply").read_bytes()
        return
    with pytest.raises(ValueError, match="^argument 'vertex_data': expected a C-contiguous buffer$"):
        ortho.write_ply_file(tmp_path / "other.ply", make(records), 2)
    assert not (tmp_path / "other.ply").exists()
