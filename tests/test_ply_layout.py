"""The PLY layout every tool shares: type sizes, elements, field types, read
failures, refusals, the count rewrite and header bounds, tools as parameters."""

import json
import math

import numpy as np
import pytest

from larkspan.splat import Config, OrthoCells, Patch, _core, split_ply
from support.ply import body

BIG = 1e300
NUMPY_TYPES = {
    "char": "i1", "int8": "i1", "uchar": "u1", "uint8": "u1", "u8": "u1",
    "short": "<i2", "int16": "<i2", "ushort": "<u2", "uint16": "<u2",
    "int": "<i4", "int32": "<i4", "uint": "<u4", "uint32": "<u4",
    "float": "<f4", "float32": "<f4", "f32": "<f4", "double": "<f8", "float64": "<f8", "f64": "<f8",
}
SCALES = [("float", "scale_0"), ("float", "scale_1"), ("float", "scale_2")]
XYZ = [("float", "x"), ("float", "y"), ("float", "z")] + SCALES
POINT = np.dtype([("id", "<u8"), ("x", "<f8"), ("y", "<f8"), ("z", "<f8"), ("rgb", "u1", 3),
                  ("error", "<f8"), ("track", "<u8")])

def header(count, properties, *, after=(), count_text=None, fmt="binary_little_endian 1.0"):
    lines = ["ply"] + ([f"format {fmt}"] if fmt else [])
    lines += [f"element vertex {count if count_text is None else count_text}"]
    lines += [f"property {t} {n}" for t, n in properties] + list(after) + ["end_header"]
    return ("\n".join(lines) + "\n").encode()

def records(properties, **columns):
    """Records of the layout; columns not given hold the filler value -1."""
    count = len(next(iter(columns.values())))
    array = np.zeros(count, np.dtype([(n, NUMPY_TYPES[t]) for t, n in properties]))
    for name in array.dtype.names:
        array[name] = columns.get(name, np.full(count, -1))
    return array

def write(path, properties, array, **kw):
    path.write_bytes(header(len(array), properties, **kw) + array.tobytes())
    return path

def xyz(array):
    return [tuple(map(float, p)) for p in zip(array["x"], array["y"], array["z"])]

def select(tool, path, tmp_path, box, dtype):
    """The (x, y, z) of the records `tool` keeps for the box (min_x, min_y, max_x, max_y)."""
    min_x, min_y, max_x, max_y = box
    out = tmp_path / ("out.bin" if tool == "split_ply" else "out.ply")
    if tool == "split_ply":
        c = Config(str(path))
        c.patches = [Patch.with_bounds(str(out), *box)]
        split_ply(c)
        dtype, skip = POINT, 8
    elif tool == "cleanup":
        _core.cleanup_splats(json.dumps({
            "input_file": str(path), "output_file": str(out), "max_area": BIG, "min_x": min_x,
            "min_y": min_y, "min_z": -BIG, "max_x": max_x, "max_y": max_y, "max_z": BIG}))
    else:
        OrthoCells(str(path)).extract_all_cells([(min_x, max_x, min_y, max_y, str(out))])
    if not out.exists():
        return []
    data = out.read_bytes()
    return xyz(np.frombuffer(data[8:] if tool == "split_ply" else body(data), dtype))

def run_tool(tool, path, tmp_path):
    """Runs a tool over the whole input, writing tmp_path/out.*."""
    if tool == "merge":
        _core.merge_ply_files_py(json.dumps({"input_files": [str(path)],
                                             "output_file": str(tmp_path / "out.ply")}))
    elif tool == "cleanup":
        _core.cleanup_splats(json.dumps({"input_file": str(path),
                                         "output_file": str(tmp_path / "out.ply"), "max_area": BIG}))
    elif tool == "split_ply":
        select(tool, path, tmp_path, (-math.inf, -math.inf, math.inf, math.inf), None)
    else:
        OrthoCells(str(path)).extract_all_cells([(-BIG, BIG, -BIG, BIG, str(tmp_path / "out.ply"))])

def outputs(tmp_path):
    return sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("out"))

ALL_TOOLS = ["split_ply", "cleanup", "merge", "ortho_cells"]
DECODING_TOOLS = ["split_ply", "cleanup", "ortho_cells"]

# Every PLY type name, fillers of -1 around the fields a misplaced offset or a
# wrong record size would read.
ALL_TYPES = [(t, f"pad{k}") for k, t in enumerate(["int8", "uchar", "u8", "int16", "int32", "uint",
                                                   "uint32", "double", "short"])]
ALL_TYPES += [("float64", "x"), ("uint8", "red"), ("float", "y"), ("ushort", "pad"), ("int", "z"),
              ("char", "c"), ("uint16", "w"), ("float32", "scale_0"), ("f32", "scale_1"),
              ("f64", "scale_2")]
ROWS = dict(x=[1.5, 2.25, 7.125], y=[-3.5, 4.0, 8.75], z=[10, -20, 30], red=[1, 2, 3],
            scale_0=[0, 0, 0], scale_1=[0, 0, 0], scale_2=[0, 0, 0])
GEO = [("double", "x"), ("double", "y"), ("double", "z")] + SCALES
INTS = [("int", "x"), ("short", "y"), ("uint", "z")] + SCALES
Y = 4500000.987654321

@pytest.mark.parametrize("tool", DECODING_TOOLS)
@pytest.mark.parametrize("properties, columns, box, expected", [
    (ALL_TYPES, ROWS, (2, 0, 3, 5), [(2.25, 4.0, -20.0)]),
    # Narrowed to float, x = 0.1 would fall outside the box and y lose its decimals.
    (GEO, dict(x=[0.1, 0.1 + 2e-12], y=[Y, Y], z=[1.0, 2.0], scale_0=[0, 0], scale_1=[0, 0],
               scale_2=[0, 0]), (0.05, 4500000.5, 0.1 + 1e-12, 4500001.0), [(0.1, Y, 1.0)]),
    (INTS, dict(x=[-2_000_000_000, 5], y=[-300, 7], z=[4_000_000_000, 9], scale_0=[0, 0],
                scale_1=[0, 0], scale_2=[0, 0]), (-3e9, -1000, 0, 0),
     [(-2_000_000_000, -300, 4_000_000_000)]),
], ids=["type-sizes", "doubles", "integers"])
def test_fields_are_decoded_at_their_offsets_by_their_type(tmp_path, tool, properties, columns,
                                                            box, expected):
    array = records(properties, **columns)
    path = write(tmp_path / "in.ply", properties, array)
    assert select(tool, path, tmp_path, box, array.dtype) == expected
    if properties is ALL_TYPES and tool == "ortho_cells":
        assert OrthoCells(str(path)).get_bounds() == (1.5, 7.125, -3.5, 8.75, 20 / 3)

FACES = ["element face 0", "property list uchar int vertex_indices", "element edge 0",
         "property int vertex1"]

@pytest.mark.parametrize("fmt", ["binary_little_endian 1.0", None], ids=["format", "no-format"])
@pytest.mark.parametrize("tool", ALL_TOOLS)
def test_empty_elements_are_kept_and_sized_apart(tmp_path, tool, fmt):
    # The empty face element's list property must not widen the vertex record.
    array = records(XYZ, x=[1.0, 2.0], y=[3.0, 4.0], z=[5.0, 6.0])
    path = write(tmp_path / "in.ply", XYZ, array, after=FACES, fmt=fmt)
    if tool == "split_ply":
        assert select(tool, path, tmp_path, (-BIG, -BIG, BIG, BIG), None) == [(1, 3, 5), (2, 4, 6)]
    else:
        run_tool(tool, path, tmp_path)
        assert (tmp_path / "out.ply").read_bytes() == path.read_bytes()

REFUSALS = {
    "unknown-type": (XYZ + [("int64", "extra")], (), 'vertex property "extra" has the type "int64"'),
    "vertex-list": (XYZ + [("list", "uchar int extra")], (), 'vertex property "extra" is a list'),
    "face-records": (XYZ, ["element face 2", "property list uchar int vertex_indices"],
                     '2 records of the element "face"'),
    "vertex-twice": (XYZ, ["element vertex 1"], 'declares the element "vertex" twice'),
}

@pytest.mark.parametrize("tool", ALL_TOOLS)
@pytest.mark.parametrize("case", REFUSALS)
def test_unreadable_layouts_are_refused(tmp_path, tool, case):
    properties, after, phrase = REFUSALS[case]
    path = tmp_path / "in.ply"
    path.write_bytes(header(1, properties, after=after) + b"\0" * 64)
    with pytest.raises(ValueError, match=phrase):
        run_tool(tool, path, tmp_path)
    path.write_bytes(b"ply\nproperty float x\nelement vertex 0\nend_header\n")
    with pytest.raises(ValueError, match='property "x" before any element'):
        run_tool(tool, path, tmp_path)
    assert outputs(tmp_path) == []

@pytest.mark.parametrize("tool, missing", [
    ("split_ply", "x"), ("split_ply", "z"), ("cleanup", "y"), ("cleanup", "scale_2"),
    ("ortho_cells", "x"), ("ortho_cells", "z"),
])
def test_missing_fields_are_named(tmp_path, tool, missing):
    path = tmp_path / "in.ply"
    path.write_bytes(header(1, [p for p in XYZ if p[1] != missing]) + b"\0" * 64)
    with pytest.raises(ValueError) as raised:
        run_tool(tool, path, tmp_path)
    assert str(raised.value).endswith(f'PLY file {path} declares no vertex property "{missing}"')
    assert outputs(tmp_path) == []

@pytest.mark.parametrize("tool", ALL_TOOLS)
@pytest.mark.parametrize("word", ["ascii", "binary_big_endian"])
def test_other_formats_are_refused(tmp_path, tool, word):
    path = write(tmp_path / "in.ply", XYZ, records(XYZ, x=[1.0]), fmt=f"{word} 1.0")
    error = OSError if tool in ("split_ply", "cleanup") else ValueError
    with pytest.raises(error) as raised:
        run_tool(tool, path, tmp_path)
    assert type(raised.value) is error
    assert str(raised.value) == ("PLY read error: " if tool == "split_ply" else "") + (
        f"unsupported PLY format: the header declares {word} records; only "
        "binary_little_endian PLY files can be read")
    assert outputs(tmp_path) == []

ONE = records(XYZ, x=[1.0]).tobytes()
READ_FAILURES = {
    "utf8": (b"ply\ncomment caf\xe9\nend_header\n", "stream did not contain valid UTF-8"),
    "negative": (header(0, XYZ, count_text="-1"), "invalid digit found in string"),
    "junk": (header(0, XYZ, count_text="12a"), "invalid digit found in string"),
    "huge": (header(0, XYZ, count_text="18446744073709551616"),
             "number too large to fit in target type"),
    "short": (header(3, XYZ) + ONE * 2 + ONE[:-1], "failed to fill whole buffer"),
    "overflow": (header(2**62, XYZ) + ONE, "failed to fill whole buffer"),
}

@pytest.mark.parametrize("tool", ALL_TOOLS)
@pytest.mark.parametrize("case", READ_FAILURES)
def test_read_failures(tmp_path, tool, case):
    content, message = READ_FAILURES[case]
    error = OSError
    if tool == "split_ply":
        message = "PLY read error: " + message
    elif tool == "ortho_cells" and case in ("negative", "junk", "huge"):
        error, message = ValueError, "Invalid vertex count"
    elif tool == "merge" and case in ("short", "overflow"):
        error, message = ValueError, None  # its own body check, see test_merge
    (tmp_path / "in.ply").write_bytes(content)
    with pytest.raises(error) as raised:
        run_tool(tool, tmp_path / "in.ply", tmp_path)
    assert type(raised.value) is error and message in (None, str(raised.value))
    assert outputs(tmp_path) == []

@pytest.mark.parametrize("tool", ["cleanup", "merge"])
@pytest.mark.parametrize("count_text", ["2", "+2", "002"])
def test_header_states_the_records_it_holds(tmp_path, tool, count_text):
    # "element vertex5" is an empty element of its own, not a vertex line.
    array = records(XYZ, x=[1.0, 2.0], y=[3.0, 4.0], z=[5.0, 6.0])
    path = write(tmp_path / "in.ply", XYZ, array, count_text=count_text, after=["element vertex5"])
    if tool == "merge":
        _core.merge_ply_files_py(json.dumps({"input_files": [str(path), str(path)],
                                             "output_file": str(tmp_path / "out.ply")}))
        expected = header(4, XYZ, after=["element vertex5"]) + array.tobytes() * 2
    else:
        select(tool, path, tmp_path, (0, 0, 1.5, 10), array.dtype)  # keeps the first
        expected = header(1, XYZ, after=["element vertex5"]) + array[:1].tobytes()
    assert (tmp_path / "out.ply").read_bytes() == expected
    path.write_bytes(b"ply\nformat binary_little_endian 1.0\nelement vertex5\nend_header\n")
    run_tool("merge", path, tmp_path)  # no count is made up for another element
    assert (tmp_path / "out.ply").read_bytes() == path.read_bytes()

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
