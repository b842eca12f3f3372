"""The PLY layout every tool shares: type sizes, elements, field types, missing
fields, the count rewrite and header bounds, with the tools as parameters."""

import json
import math

import numpy as np
import pytest

from larkspan.splat import Config, OrthoCells, Patch, _core, split_ply

BIG = 1e300
NUMPY_TYPES = {
    "char": "i1", "int8": "i1", "uchar": "u1", "uint8": "u1", "u8": "u1",
    "short": "<i2", "int16": "<i2", "ushort": "<u2", "uint16": "<u2",
    "int": "<i4", "int32": "<i4", "uint": "<u4", "uint32": "<u4",
    "float": "<f4", "float32": "<f4", "f32": "<f4", "double": "<f8", "float64": "<f8", "f64": "<f8",
}
SCALES = [("float", "scale_0"), ("float", "scale_1"), ("float", "scale_2")]
POINT = np.dtype([("id", "<u8"), ("x", "<f8"), ("y", "<f8"), ("z", "<f8"), ("rgb", "u1", 3),
                  ("error", "<f8"), ("track", "<u8")])


def dtype_of(properties):
    return np.dtype([(name, NUMPY_TYPES[t]) for t, name in properties])


def header(count, properties, *, after=(), count_text=None):
    lines = ["ply", "format binary_little_endian 1.0",
             f"element vertex {count if count_text is None else count_text}"]
    lines += [f"property {t} {n}" for t, n in properties] + list(after) + ["end_header"]
    return ("\n".join(lines) + "\n").encode()


def records(properties, **columns):
    """Records of the layout; columns not given hold the filler value -1."""
    count = len(next(iter(columns.values())))
    array = np.zeros(count, dtype_of(properties))
    for name in array.dtype.names:
        array[name] = columns.get(name, np.full(count, -1))
    return array


def write(path, properties, array, **kw):
    path.write_bytes(header(len(array), properties, **kw) + array.tobytes())
    return path


def body(data):
    return data[data.index(b"end_header\n") + len(b"end_header\n"):]


# ---- the tools, run over one input ----

def select_split(path, tmp_path, box):
    """The (x, y, z) of the points split_ply writes for the patch `box`."""
    c = Config(str(path))
    c.patches = [Patch.with_bounds(str(tmp_path / "out.bin"), *box)]
    split_ply(c)
    out = tmp_path / "out.bin"
    points = np.frombuffer(out.read_bytes()[8:], POINT) if out.exists() else np.zeros(0, POINT)
    return [tuple(map(float, p)) for p in zip(points["x"], points["y"], points["z"])]


def select_cleanup(path, tmp_path, box, dtype):
    min_x, min_y, max_x, max_y = box
    _core.cleanup_splats(json.dumps({
        "input_file": str(path), "output_file": str(tmp_path / "out.ply"), "max_area": BIG,
        "min_x": min_x, "min_y": min_y, "min_z": -BIG, "max_x": max_x, "max_y": max_y,
        "max_z": BIG}))
    kept = np.frombuffer(body((tmp_path / "out.ply").read_bytes()), dtype)
    return [tuple(map(float, p)) for p in zip(kept["x"], kept["y"], kept["z"])]


def select_ortho(path, tmp_path, box, dtype):
    min_x, min_y, max_x, max_y = box
    out = tmp_path / "out.ply"
    OrthoCells(str(path)).extract_all_cells([(min_x, max_x, min_y, max_y, str(out))])
    cell = np.frombuffer(body(out.read_bytes()), dtype) if out.exists() else np.zeros(0, dtype)
    return [tuple(map(float, p)) for p in zip(cell["x"], cell["y"], cell["z"])]


SELECTORS = {
    "split_ply": lambda path, tmp, box, dtype: select_split(path, tmp, box),
    "cleanup": select_cleanup,
    "ortho_cells": select_ortho,
}


def run_tool(tool, path, tmp_path):
    """Runs a tool over the whole input, writing its outputs under tmp_path/out*."""
    if tool == "merge":
        _core.merge_ply_files_py(json.dumps({"input_files": [str(path)],
                                             "output_file": str(tmp_path / "out.ply")}))
    elif tool == "split_ply":
        select_split(path, tmp_path, (-math.inf, -math.inf, math.inf, math.inf))
    elif tool == "cleanup":
        _core.cleanup_splats(json.dumps({"input_file": str(path),
                                         "output_file": str(tmp_path / "out.ply"), "max_area": BIG}))
    else:
        OrthoCells(str(path)).extract_all_cells([(-BIG, BIG, -BIG, BIG, str(tmp_path / "out.ply"))])


def outputs(tmp_path):
    return sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("out"))


ALL_TOOLS = ["split_ply", "cleanup", "merge", "ortho_cells"]
DECODING_TOOLS = list(SELECTORS)


# ---- type sizes ----

class TestTypeSizes:
    # Every PLY type at its own size, with fillers of -1 around the fields a
    # misplaced offset would read.
    PROPERTIES = [("short", "s"), ("float64", "x"), ("uint8", "red"), ("float", "y"),
                  ("ushort", "pad"), ("int", "z"), ("char", "c"), ("uint16", "w"),
                  ("float32", "scale_0"), ("f32", "scale_1"), ("f64", "scale_2")]
    ROWS = dict(x=[1.5, 2.25, 7.125], y=[-3.5, 4.0, 8.75], z=[10, -20, 30], red=[1, 2, 3],
                scale_0=[0, 0, 0], scale_1=[0, 0, 0], scale_2=[0, 0, 0])

    @pytest.mark.parametrize("tool", DECODING_TOOLS)
    def test_fields_are_found_at_their_offsets(self, tmp_path, tool):
        array = records(self.PROPERTIES, **self.ROWS)
        path = write(tmp_path / "in.ply", self.PROPERTIES, array)
        assert array.dtype.itemsize == 40
        selected = SELECTORS[tool](path, tmp_path, (2, 0, 3, 5), array.dtype)
        assert selected == [(2.25, 4.0, -20.0)]

    def test_ortho_bounds(self, tmp_path):
        path = write(tmp_path / "in.ply", self.PROPERTIES, records(self.PROPERTIES, **self.ROWS))
        assert OrthoCells(str(path)).get_bounds() == (1.5, 7.125, -3.5, 8.75, 20 / 3)


# ---- elements ----

FACES = ["element face 0", "property list uchar int vertex_indices", "element edge 0",
         "property int vertex1"]
XYZ = [("float", "x"), ("float", "y"), ("float", "z")] + SCALES


class TestElements:
    @pytest.mark.parametrize("tool", ["cleanup", "merge", "ortho_cells"])
    def test_empty_elements_are_kept_and_sized_apart(self, tmp_path, tool):
        # The list property of the empty face element once added 4 bytes to
        # the vertex record; now the output is the input, byte for byte.
        array = records(XYZ, x=[1.0, 2.0], y=[3.0, 4.0], z=[5.0, 6.0])
        path = write(tmp_path / "in.ply", XYZ, array, after=FACES)
        run_tool(tool, path, tmp_path)
        assert (tmp_path / "out.ply").read_bytes() == path.read_bytes()

    def test_split_reads_records_before_empty_elements(self, tmp_path):
        array = records(XYZ, x=[1.0, 2.0], y=[3.0, 4.0], z=[5.0, 6.0])
        path = write(tmp_path / "in.ply", XYZ, array, after=FACES)
        assert select_split(path, tmp_path, (-BIG, -BIG, BIG, BIG)) == [(1, 3, 5), (2, 4, 6)]


# ---- field types ----

class TestFieldTypes:
    # Georeferenced doubles: narrowed to float, x = 0.1 would fall outside a
    # box ending just above 0.1, and y would lose its decimals.
    GEO = [("double", "x"), ("double", "y"), ("double", "z")] + SCALES
    Y = 4500000.987654321

    @pytest.mark.parametrize("tool", DECODING_TOOLS)
    def test_double_coordinates_keep_their_precision(self, tmp_path, tool):
        array = records(self.GEO, x=[0.1, 0.1 + 2e-12], y=[self.Y, self.Y], z=[1.0, 2.0],
                        scale_0=[0, 0], scale_1=[0, 0], scale_2=[0, 0])
        path = write(tmp_path / "in.ply", self.GEO, array)
        box = (0.05, 4500000.5, 0.1 + 1e-12, 4500001.0)
        assert SELECTORS[tool](path, tmp_path, box, array.dtype) == [(0.1, self.Y, 1.0)]

    @pytest.mark.parametrize("tool", DECODING_TOOLS)
    def test_integer_coordinates_convert_exactly(self, tmp_path, tool):
        props = [("int", "x"), ("short", "y"), ("uint", "z")] + SCALES
        array = records(props, x=[-2_000_000_000, 5], y=[-300, 7], z=[4_000_000_000, 9],
                        scale_0=[0, 0], scale_1=[0, 0], scale_2=[0, 0])
        path = write(tmp_path / "in.ply", props, array)
        assert SELECTORS[tool](path, tmp_path, (-3e9, -1000, 0, 0), array.dtype) == \
            [(-2_000_000_000, -300, 4_000_000_000)]

    def test_split_colours_by_type(self, tmp_path):
        props = [("float", "x"), ("float", "y"), ("float", "z"), ("ushort", "red"),
                 ("uint8", "green")]
        array = records(props, x=[0.0], y=[0.0], z=[0.0], red=[0xAB12], green=[77])
        path = write(tmp_path / "in.ply", props, array)
        c = Config(str(path))
        c.patches = [Patch(str(tmp_path / "out.bin"))]
        split_ply(c)
        point = np.frombuffer((tmp_path / "out.bin").read_bytes()[8:], POINT)[0]
        assert list(point["rgb"]) == [0xAB, 77, 255]

    def test_split_refuses_other_colour_types(self, tmp_path):
        props = [("float", "x"), ("float", "y"), ("float", "z"), ("float", "green")]
        path = write(tmp_path / "in.ply", props, records(props, x=[0.0], y=[0.0], z=[0.0]))
        c = Config(str(path))
        c.patches = [Patch(str(tmp_path / "out.bin"))]
        with pytest.raises(ValueError, match='colour property "green" has a type other than'):
            split_ply(c)
        assert outputs(tmp_path) == []


# ---- refusals, before any output exists ----

REFUSALS = {
    "unknown-type": (XYZ + [("int64", "extra")], (), 'vertex property "extra" has the type "int64"'),
    "vertex-list": (XYZ + [("list", "uchar int extra")], (), 'vertex property "extra" is a list'),
    "face-records": (XYZ, ["element face 2", "property list uchar int vertex_indices"],
                     '2 records of the element "face"'),
}


@pytest.mark.parametrize("tool", ALL_TOOLS)
@pytest.mark.parametrize("case", list(REFUSALS))
def test_unreadable_layouts_are_refused(tmp_path, tool, case):
    properties, after, phrase = REFUSALS[case]
    path = tmp_path / "in.ply"
    path.write_bytes(header(1, properties, after=after) + b"\0" * 64)
    with pytest.raises(ValueError, match=phrase):
        run_tool(tool, path, tmp_path)
    assert outputs(tmp_path) == []


@pytest.mark.parametrize("tool, missing", [
    ("split_ply", "x"), ("split_ply", "z"), ("cleanup", "y"), ("cleanup", "scale_2"),
    ("ortho_cells", "x"), ("ortho_cells", "z"),
])
def test_missing_fields_are_named(tmp_path, tool, missing):
    properties = [p for p in XYZ if p[1] != missing]
    path = tmp_path / "in.ply"
    path.write_bytes(header(1, properties) + b"\0" * 64)
    with pytest.raises(ValueError) as raised:
        run_tool(tool, path, tmp_path)
    assert str(raised.value).endswith(f'PLY file {path} declares no vertex property "{missing}"')
    assert outputs(tmp_path) == []


# ---- the count rewrite ----

class TestCountRewrite:
    @pytest.mark.parametrize("tool", ["cleanup", "merge"])
    @pytest.mark.parametrize("count_text", ["2", "+2", "002"])
    def test_header_states_the_records_it_holds(self, tmp_path, tool, count_text):
        # "element vertex5" is an empty element of its own, not a vertex line.
        array = records(XYZ, x=[1.0, 2.0], y=[3.0, 4.0], z=[5.0, 6.0])
        path = write(tmp_path / "in.ply", XYZ, array, count_text=count_text,
                     after=["element vertex5"])
        if tool == "merge":
            _core.merge_ply_files_py(json.dumps({"input_files": [str(path), str(path)],
                                                 "output_file": str(tmp_path / "out.ply")}))
            expected = header(4, XYZ, after=["element vertex5"]) + array.tobytes() * 2
        else:
            select_cleanup(path, tmp_path, (0, 0, 1.5, 10), array.dtype)  # keeps the first
            expected = header(1, XYZ, after=["element vertex5"]) + array[:1].tobytes()
        assert (tmp_path / "out.ply").read_bytes() == expected

    def test_no_count_is_made_up_for_another_element(self, tmp_path):
        path = tmp_path / "in.ply"
        path.write_bytes(b"ply\nformat binary_little_endian 1.0\nelement vertex5\nend_header\n")
        run_tool("merge", path, tmp_path)
        assert (tmp_path / "out.ply").read_bytes() == path.read_bytes()


# ---- bounded headers ----

@pytest.fixture(scope="module")
def long_header(tmp_path_factory):
    """A 17 MiB header of 1000-byte comment lines."""
    path = tmp_path_factory.mktemp("long") / "long.ply"
    line = b"comment " + b"c" * 991 + b"\n"
    path.write_bytes(b"ply\n" + line * (17 * 1024 * 1024 // len(line)) + b"end_header\n")
    return path


@pytest.mark.parametrize("tool", ALL_TOOLS)
def test_unbounded_headers_are_refused(tmp_path, long_header, tool):
    no_line_feed = tmp_path / "flat.ply"
    no_line_feed.write_bytes(b"ply " * 20000)
    for path, phrase in [("/dev/zero", "header line longer than 65536 bytes"),
                         (no_line_feed, "header line longer than 65536 bytes"),
                         (long_header, "header longer than 16777216 bytes")]:
        with pytest.raises(ValueError, match=phrase):
            run_tool(tool, path, tmp_path)
    assert outputs(tmp_path) == []
