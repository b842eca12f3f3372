"""Paths as open() takes them, camera positions and vertex data as arrays."""

import json
import os
from pathlib import Path

import numpy as np
import pytest

from support.ply import SPLAT_PROPERTIES, splat_row, write_ply
from larkspan.splat import Config, OrthoCells, Patch, patches, split_ply


class PathLike:
    """An os.PathLike that is not a pathlib object."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


class FailingPath:
    def __fspath__(self):
        raise ValueError("no path here")


SPELLINGS = {"pathlib": Path, "fspath": lambda p: PathLike(str(p))}


@pytest.fixture
def splats(tmp_path):
    return write_ply(tmp_path / "splats.ply", [splat_row(i, i, 0) for i in range(4)])


class TestPaths:
    @pytest.mark.parametrize("spell", SPELLINGS.values(), ids=SPELLINGS)
    def test_constructors_and_properties_take_path_likes_and_give_back_str(self, spell):
        values = [Config(spell("in.ply")).input_file, Patch(spell("p.bin")).output_file,
                  Patch.with_bounds(spell("q.bin"), 0, 0, 1, 1).output_file]
        config, patch = Config("a"), Patch("b")
        config.input_file, patch.output_file = spell("c.ply"), spell("d.bin")
        values += [config.input_file, patch.output_file]
        assert values == ["in.ply", "p.bin", "q.bin", "c.ply", "d.bin"]
        assert all(type(v) is str for v in values)

    @pytest.mark.parametrize("spell", SPELLINGS.values(), ids=SPELLINGS)
    def test_tools_open_path_likes(self, spell, tmp_path, splats, capfd):
        config = Config(spell(splats))
        config.add_patch(Patch(spell(tmp_path / "all.bin")))
        assert split_ply(config)["total_points_written"] == 4
        (tmp_path / "config.json").write_text(config.to_json())
        assert Config.from_file(spell(tmp_path / "config.json")).input_file == str(splats)

        ortho = OrthoCells(spell(splats))
        ortho.write_ply_file(spell(tmp_path / "none.ply"), b"", 0)
        ortho.extract_all_cells([(0.0, 1.0, 0.0, 1.0, spell(tmp_path / "cell.ply"))])
        assert (tmp_path / "none.ply").exists() and (tmp_path / "cell.ply").exists()

    def test_names_that_are_not_utf8_are_used_as_open_uses_them(self, tmp_path, capfd):
        name = os.fsdecode(b"caf\xe9.ply")  # a listing's spelling of a Latin-1 name
        try:
            write_ply(tmp_path / name, [splat_row(0, 0, 0)])
        except (OSError, UnicodeEncodeError):
            pytest.skip("the file system refuses the name")
        config = Config(str(tmp_path / name))
        assert config.input_file == str(tmp_path / name)
        config.add_patch(Patch(str(tmp_path / os.fsdecode(b"out\xff.bin"))))
        assert split_ply(config)["total_points_written"] == 1
        assert os.path.exists(tmp_path / os.fsdecode(b"out\xff.bin"))

    @pytest.mark.parametrize("call, name", [
        (lambda v: Config(v), "input_file"),
        (lambda v: Patch(v), "output_file"),
        (lambda v: Patch.with_bounds(v, 0, 0, 1, 1), "output_file"),
        (lambda v: setattr(Config("a"), "input_file", v), "input_file"),
        (lambda v: setattr(Patch("a"), "output_file", v), "output_file"),
        (lambda v: Config.from_file(v), "file_path"),
        (lambda v: OrthoCells(v), "ply_path"),
    ])
    @pytest.mark.parametrize("value, type_name", [
        (b"in.ply", "bytes"), (PathLike(b"in.ply"), "PathLike"), (3, "int"), (None, "NoneType")])
    def test_other_types_are_refused_as_before(self, call, name, value, type_name):
        with pytest.raises(TypeError) as raised:
            call(value)
        assert str(raised.value) == \
            f"argument '{name}': '{type_name}' object cannot be converted to 'str'"

    @pytest.mark.parametrize("use", [
        lambda o, v, d: o.write_ply_file(v, b"", 0),
        lambda o, v, d: o.extract_all_cells([(0.0, 1.0, 0.0, 1.0, v)]),
    ], ids=["write_ply_file", "extract_all_cells"])
    def test_ortho_paths_refused_as_before(self, splats, tmp_path, use):
        with pytest.raises(TypeError, match=r"^argument '(output_path|cells)': 'bytes' object "):
            use(OrthoCells(splats), str(tmp_path / "x.ply").encode(), tmp_path)

    def test_a_failing_fspath_is_raised_unchanged(self):
        with pytest.raises(ValueError, match="^no path here$"):
            Config(FailingPath())


def camera_field(n=3000, seed=7):
    return np.random.default_rng(seed).uniform(0, 300, (n, 2))


def rects(boxes):
    return [(b.min_x, b.max_x, b.min_y, b.max_y) for b in boxes]


EXPECTED = "expected a C-contiguous \\(N, 2\\) array of float64 or float32"


class TestPositionArrays:
    @pytest.mark.parametrize("make", [
        lambda a: a,
        lambda a: memoryview(a),
        lambda a: np.ascontiguousarray(a[::-1])[::-1].copy(),
        lambda a: a.astype("=f8"),
    ], ids=["ndarray", "memoryview", "copy", "native-order"])
    def test_float64_arrays_plan_as_the_tuples_do(self, make, capfd):
        cameras = camera_field()
        as_tuples = [tuple(p) for p in cameras.tolist()]
        assert rects(patches(make(cameras), 200)) == rects(patches(as_tuples, 200))

    def test_float32_arrays_are_widened(self, capfd):
        cameras = camera_field().astype(np.float32)
        as_tuples = [(float(x), float(y)) for x, y in cameras]
        assert rects(patches(cameras, 200, 0.5)) == rects(patches(as_tuples, 200, 0.5))

    def test_an_empty_array_is_no_positions(self):
        with pytest.raises(ValueError, match="^Camera positions cannot be empty$"):
            patches(np.zeros((0, 2)))

    @pytest.mark.parametrize("value, error, found", [
        (np.zeros((4, 3)), ValueError, "got shape \\(4, 3\\)"),
        (np.zeros(4), ValueError, "got shape \\(4,\\)"),
        (np.zeros((2, 2, 2)), ValueError, "got shape \\(2, 2, 2\\)"),
        (np.zeros((4, 4))[:, ::2], ValueError, "got a non-contiguous array"),
        (np.asfortranarray(np.zeros((4, 2))), ValueError, "got a non-contiguous array"),
        (np.zeros((4, 2), dtype=np.int64), TypeError, "got items of format 'l'"),
        (np.zeros((4, 2), dtype=">f8"), TypeError, "got items of format '>d'"),
        (b"\0" * 16, TypeError, "got items of format 'B'"),
    ], ids=["columns", "one-dimensional", "three-dimensional", "strided", "fortran", "int64",
            "big-endian", "bytes"])
    def test_wrong_arrays_name_the_argument_and_what_was_expected(self, value, error, found):
        with pytest.raises(error, match=f"^argument 'camera_positions': {EXPECTED}, {found}$"):
            patches(value)


RECORD = len(SPLAT_PROPERTIES) * 4


class TestVertexDataBuffers:
    @pytest.mark.parametrize("make", [
        bytes, bytearray, memoryview,
        lambda b: np.frombuffer(b, dtype="<f4").reshape(-1, len(SPLAT_PROPERTIES)),
        lambda b: memoryview(b"xx" + b)[2:],
    ], ids=["bytes", "bytearray", "memoryview", "ndarray", "sliced"])
    def test_any_contiguous_buffer_is_written_as_its_bytes(self, make, splats, tmp_path):
        records = np.arange(2 * len(SPLAT_PROPERTIES), dtype="<f4").tobytes()
        ortho = OrthoCells(splats)
        ortho.write_ply_file(tmp_path / "bytes.ply", records, 2)
        ortho.write_ply_file(tmp_path / "other.ply", make(records), 2)
        assert (tmp_path / "other.ply").read_bytes() == (tmp_path / "bytes.ply").read_bytes()

    def test_a_strided_buffer_is_refused(self, splats, tmp_path):
        strided = memoryview(bytes(4 * RECORD))[::2]
        with pytest.raises(ValueError, match="^argument 'vertex_data': expected a C-contiguous buffer$"):
            OrthoCells(splats).write_ply_file(tmp_path / "w.ply", strided, 2)
        assert not (tmp_path / "w.ply").exists()
