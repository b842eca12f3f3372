"""Paths as open() takes them, camera positions and vertex data as arrays."""

import dataclasses
import os
from pathlib import Path

import numpy as np
import pytest

from support.ply import SPLAT_PROPERTIES, splat_row, write_ply
from larkspan.splat import Config, OrthoCells, Patch, merge_ply_files_py, patches, split_ply

@dataclasses.dataclass
class PathLike:  # not a pathlib object; raises `path` if it is an exception
    path: object
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

@pytest.mark.parametrize("make", [lambda a: a, memoryview, lambda a: a.astype(np.float32)],
                         ids=["float64", "memoryview", "float32"])
def test_position_arrays_plan_as_the_tuples_do(make, capfd):
    cameras = make(np.random.default_rng(7).uniform(0, 300, (3000, 2)))
    as_tuples = [(float(x), float(y)) for x, y in np.asarray(cameras)]
    assert [(b.min_x, b.max_x, b.min_y, b.max_y) for b in patches(cameras, 200, 0.5)] \
        == [(b.min_x, b.max_x, b.min_y, b.max_y) for b in patches(as_tuples, 200, 0.5)]

@pytest.mark.parametrize("make", [
    bytearray, lambda b: np.frombuffer(b, dtype="<f4").reshape(2, -1), lambda b: memoryview(b"xx" + b)[2:],
], ids=["bytearray", "ndarray", "sliced"])
def test_any_contiguous_buffer_is_written_as_its_bytes(make, splats, tmp_path):
    records = np.arange(2 * len(SPLAT_PROPERTIES), dtype="<f4").tobytes()
    (ortho := OrthoCells(splats)).write_ply_file(tmp_path / "bytes.ply", records, 2)
    ortho.write_ply_file(tmp_path / "other.ply", make(records), 2)
    assert (tmp_path / "other.ply").read_bytes() == (tmp_path / "bytes.ply").read_bytes()

CONVERTED = "object cannot be converted to 'str'"
ARRAY = "argument 'camera_positions': expected a C-contiguous (N, 2) array of float64 or float32, got"

@pytest.mark.parametrize("call, error, message", [
    (lambda s: Config(b"in.ply"), TypeError, f"argument 'input_file': 'bytes' {CONVERTED}"),
    (lambda s: Patch(PathLike(b"in.ply")), TypeError, f"argument 'output_file': 'PathLike' {CONVERTED}"),
    (lambda s: OrthoCells(s).extract_all_cells([(0.0, 1.0, 0.0, 1.0, 3)]), TypeError,
     f"argument 'cells': 'int' {CONVERTED}"),
    (lambda s: Config(PathLike(ValueError("no path here"))), ValueError, "no path here"),  # unchanged
    (lambda s: merge_ply_files_py(s), TypeError, f"argument 'config_json': 'PosixPath' {CONVERTED}"),
    (lambda s: split_ply({}), TypeError, "argument 'config': 'dict' object cannot be converted to 'Config'"),
    (lambda s: Config("a").add_patch({}), TypeError, "argument 'patch': 'dict' object cannot be converted to 'Patch'"),
    (lambda s: Patch.with_bounds("a", 0, "1.0", 2, 3), TypeError, "argument 'min_y': must be real number, not str"),
    (lambda s: OrthoCells(s).write_ply_file(s.with_name("o.ply"), memoryview(bytes(136))[::2], 1),
     ValueError, "argument 'vertex_data': expected a C-contiguous buffer"),
    (lambda s: patches(np.zeros((0, 2))), ValueError, "Camera positions cannot be empty"),
    (lambda s: patches(np.zeros((4, 3))), ValueError, f"{ARRAY} shape (4, 3)"),
    (lambda s: patches(np.zeros(4)), ValueError, f"{ARRAY} shape (4,)"),
    (lambda s: patches(np.zeros((4, 4))[:, ::2]), ValueError, f"{ARRAY} a non-contiguous array"),
    (lambda s: patches(np.zeros((4, 2), dtype=np.int64)), TypeError, f"{ARRAY} items of format 'l'"),
    (lambda s: patches(np.zeros((4, 2), dtype=">f8")), TypeError, f"{ARRAY} items of format '>d'"),
    (lambda s: patches(b"\0" * 16), TypeError, f"{ARRAY} items of format 'B'"),
], ids=["bytes-path", "bytes-fspath", "int-path", "fspath-raises", "path-for-json", "dict-config",
        "dict-patch", "str-number", "strided-records", "no-positions",
        "three-columns", "one-dimensional", "strided-positions", "int64", "big-endian", "bytes-positions"])
def test_refusals(splats, call, error, message):
    with pytest.raises(error) as raised:
        call(splats)
    assert str(raised.value) == message and [p.name for p in splats.parent.iterdir()] == ["splats.ply"]
    if "converted" in message or "real number" in message:  # the conversion's own error, as the cause
        assert str(raised.value.__cause__) == message.split("': ", 1)[1]
