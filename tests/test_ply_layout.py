"""The PLY layout every tool shares (types, elements, refusals, count rewrite, header bounds)."""

import json

import numpy as np
import pytest

from larkspan.splat import Config, OrthoCells, Patch, _core, split_ply
from support.colmap import read_points_file
from support.ply import CODES, body, ply_header as header

BIG = 1e300
SCALES = [("float", "scale_0"), ("float", "scale_1"), ("float", "scale_2")]
XYZ = [("float", "x"), ("float", "y"), ("float", "z")] + SCALES
ALL_TOOLS = ["split_ply", "cleanup", "merge", "ortho_cells"]

def records(properties, **columns):  # columns not given hold the filler -1
    count = len(next(iter(columns.values())))
    array = np.zeros(count, np.dtype([(n, "<" + CODES[t]) for t, n in properties]))
    for name in array.dtype.names:
        array[name] = columns.get(name, np.full(count, -1))
    return array

def write(path, properties, array, **kw):
    path.write_bytes(header(len(array), properties, **kw) + array.tobytes())
    return path

def run(tool, path, tmp_path, box=(-BIG, -BIG, BIG, BIG)):  # keeps (min_x, min_y, max_x, max_y)
    min_x, min_y, max_x, max_y = box
    out = tmp_path / ("out.bin" if tool == "split_ply" else "out.ply")
    if tool == "split_ply":
        c = Config(str(path))
        c.patches = [Patch.with_bounds(str(out), *box)]
        split_ply(c)
    elif tool == "cleanup":
        _core.cleanup_splats(json.dumps(dict(input_file=str(path), output_file=str(out), max_area=BIG,
                                             min_x=min_x, min_y=min_y, max_x=max_x, max_y=max_y)))
    elif tool == "merge":
        _core.merge_ply_files_py(json.dumps({"input_files": [str(path)], "output_file": str(out)}))
    else:
        OrthoCells(str(path)).extract_all_cells([(min_x, max_x, min_y, max_y, str(out))])
    return out

def kept_xyz(tool, out, dtype):
    if not out.exists():
        return []
    if tool == "split_ply":
        return [r[1:4] for r in read_points_file(out.read_bytes())]
    kept = np.frombuffer(body(out.read_bytes()), dtype)
    return [tuple(map(float, p)) for p in zip(kept["x"], kept["y"], kept["z"])]

def outputs(tmp_path):
    return sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("out"))

# Every PLY type name, fillers of -1 around the fields a misplaced offset or a
# wrong record size would read.
ALL_TYPES = [(t, f"pad{k}") for k, t in enumerate(["int8", "uchar", "u8", "int16", "int32", "uint",
                                                   "uint32", "double", "short", "ushort", "char", "uint16"])]
ALL_TYPES += [("float64", "x"), ("uint8", "red"), ("float", "y"), ("int", "z"), ("float32", "scale_0"),
              ("f32", "scale_1"), ("f64", "scale_2")]
TWO = records(XYZ, x=[1.0, 2.0], y=[3.0, 4.0], z=[5.0, 6.0])
ZERO_SCALES = dict(scale_0=[0, 0], scale_1=[0, 0], scale_2=[0, 0])
Y = 4500000.987654321

@pytest.mark.parametrize("tool", ["split_ply", "cleanup", "ortho_cells"])
@pytest.mark.parametrize("properties, columns, box, expected", [
    (ALL_TYPES, dict(x=[1.5, 2.25, 7.125], y=[-3.5, 4.0, 8.75], z=[10, -20, 30], red=[1, 2, 3],
                     scale_0=[0] * 3, scale_1=[0] * 3, scale_2=[0] * 3), (2, 0, 3, 5), [(2.25, 4.0, -20.0)]),
    # Narrowed to float, x = 0.1 would fall outside the box and y lose its decimals.
    ([("double", "x"), ("double", "y"), ("double", "z")] + SCALES,
     dict(x=[0.1, 0.1 + 2e-12], y=[Y, Y], z=[1.0, 2.0], **ZERO_SCALES),
     (0.05, 4500000.5, 0.1 + 1e-12, 4500001.0), [(0.1, Y, 1.0)]),
    ([("int", "x"), ("short", "y"), ("uint", "z")] + SCALES,
     dict(x=[-2_000_000_000, 5], y=[-300, 7], z=[4_000_000_000, 9], **ZERO_SCALES), (-3e9, -1000, 0, 0),
     [(-2_000_000_000, -300, 4_000_000_000)]),
], ids=["type-sizes", "doubles", "integers"])
def test_fields_decoded_at_their_offsets_by_their_type(tmp_path, tool, properties, columns, box, expected):
    array = records(properties, **columns)
    path = write(tmp_path / "in.ply", properties, array)
    assert kept_xyz(tool, run(tool, path, tmp_path, box), array.dtype) == expected
    if properties is ALL_TYPES and tool == "ortho_cells":
        assert OrthoCells(str(path)).get_bounds() == (1.5, 7.125, -3.5, 8.75, 20 / 3)

@pytest.mark.parametrize("fmt", ["binary_little_endian 1.0", None], ids=["format", "no-format"])
@pytest.mark.parametrize("tool", ALL_TOOLS)
def test_empty_elements_are_kept_and_sized_apart(tmp_path, tool, fmt):
    # The empty face element's list property must not widen the vertex record.
    path = write(tmp_path / "in.ply", XYZ, TWO, fmt=fmt, after=[
        "element face 0", "property list uchar int vertex_indices", "element edge 0", "property int v"])
    out = run(tool, path, tmp_path)
    assert (kept_xyz(tool, out, None) == [(1, 3, 5), (2, 4, 6)] if tool == "split_ply"
            else out.read_bytes() == path.read_bytes())

ONE = records(XYZ, x=[1.0]).tobytes()
FORMAT_TEXT = "unsupported PLY format: the header declares {} records; only binary_little_endian PLY files can be read"
# case: (content, kind, text); a "value" refusal names its phrase, the others are exact texts.
REFUSALS = {
    "unknown-type": (header(1, XYZ + [("int64", "e")]), "value", 'vertex property "e" has the type "int64"'),
    "vertex-list": (header(1, XYZ + [("list", "uchar int e")]), "value", 'vertex property "e" is a list'),
    "face-records": (header(1, XYZ, after=["element face 2", "property list uchar int v"]), "value",
                     '2 records of the element "face"'),
    "vertex-twice": (header(1, XYZ, after=["element vertex 1"]), "value", 'declares the element "vertex" twice'),
    "property-first": (b"ply\nproperty float x\nelement vertex 0\nend_header\n", "value",
                       'property "x" before any element'),
    "ascii": (header(1, XYZ, fmt="ascii 1.0"), "format", FORMAT_TEXT.format("ascii")),
    "big-endian": (header(1, XYZ, fmt="binary_big_endian 1.0"), "format", FORMAT_TEXT.format("binary_big_endian")),
    "utf8": (b"ply\ncomment caf\xe9\nend_header\n", "read", "stream did not contain valid UTF-8"),
    "negative": (header(0, XYZ, count_text="-1"), "count", "invalid digit found in string"),
    "junk": (header(0, XYZ, count_text="12a"), "count", "invalid digit found in string"),
    "huge": (header(0, XYZ, count_text="18446744073709551616"), "count", "number too large to fit in target type"),
    "short": (header(3, XYZ) + ONE * 2 + ONE[:-1], "body", "failed to fill whole buffer"),
    # A count the file cannot hold, refused before anything is sized from it; 2**62
    # records of 24 bytes overflow 64 bits, 2**40 do not.
    "overflow": (header(2**62, XYZ) + ONE, "body", "failed to fill whole buffer"),
    "beyond-file": (header(2**40, XYZ) + ONE, "body", "failed to fill whole buffer"),
}

@pytest.mark.parametrize("tool", ALL_TOOLS)
@pytest.mark.parametrize("case", REFUSALS)
def test_refusals_and_read_failures(tmp_path, tool, case):
    content, kind, text = REFUSALS[case]
    error = ValueError if kind == "value" else OSError
    if kind == "format" and tool in ("merge", "ortho_cells") or kind == "count" and tool == "ortho_cells":
        error, text = ValueError, "Invalid vertex count" if kind == "count" else text
    elif kind == "body" and tool == "merge":
        error, text = ValueError, "bytes after its header"  # its own body check, see test_merge
    elif kind != "value" and tool == "split_ply":
        text = "PLY read error: " + text
    (tmp_path / "in.ply").write_bytes(content + b"\0" * 64 * (kind == "value"))
    with pytest.raises(error) as raised:
        run(tool, tmp_path / "in.ply", tmp_path)
    assert type(raised.value) is error
    exact = kind != "value" and (kind, tool) != ("body", "merge")
    assert str(raised.value) == text if exact else text in str(raised.value)
    assert outputs(tmp_path) == []

@pytest.mark.parametrize("tool, missing", [("split_ply", "x"), ("split_ply", "z"), ("cleanup", "y"),
    ("cleanup", "scale_2"), ("ortho_cells", "x"), ("ortho_cells", "z")])
def test_missing_fields_are_named(tmp_path, tool, missing):
    (path := tmp_path / "in.ply").write_bytes(header(1, [p for p in XYZ if p[1] != missing]) + b"\0" * 64)
    with pytest.raises(ValueError) as raised:
        run(tool, path, tmp_path)
    assert str(raised.value).endswith(f'PLY file {path} declares no vertex property "{missing}"')
    assert outputs(tmp_path) == []

@pytest.mark.parametrize("tool", ["cleanup", "merge"])
@pytest.mark.parametrize("count_text", ["2", "+2", "002"])
def test_header_states_the_records_it_holds(tmp_path, tool, count_text):
    # "element vertex5" is an empty element of its own, not a vertex line.
    path = write(tmp_path / "in.ply", XYZ, TWO, count_text=count_text, after=["element vertex5"])
    if tool == "merge":  # of the file with itself
        _core.merge_ply_files_py(json.dumps([[str(path)] * 2, str(tmp_path / "out.ply")]))
    kept = TWO.tobytes() * 2 if tool == "merge" else TWO[:1].tobytes()
    out = tmp_path / "out.ply" if tool == "merge" else run(tool, path, tmp_path, (0, 0, 1.5, 10))
    assert out.read_bytes() == header(len(kept) // 24, XYZ, after=["element vertex5"]) + kept
    path.write_bytes(b"ply\nformat binary_little_endian 1.0\nelement vertex5\nend_header\n")
    assert run("merge", path, tmp_path).read_bytes() == path.read_bytes()  # no count made up

@pytest.fixture(scope="module")
def long_header(tmp_path_factory):  # 17 MiB of 1000-byte comment lines
    path = tmp_path_factory.mktemp("long") / "long.ply"
    line = b"comment " + b"c" * 991 + b"\n"
    path.write_bytes(b"ply\n" + line * (17 * 1024 * 1024 // len(line)) + b"end_header\n")
    return path

@pytest.mark.parametrize("tool", ALL_TOOLS)
def test_unbounded_headers_are_refused(tmp_path, long_header, tool):
    (no_line_feed := tmp_path / "flat.ply").write_bytes(b"ply " * 20000)
    for path, phrase in [("/dev/zero", "header line longer than 65536 bytes"),
                         (no_line_feed, "header line longer than 65536 bytes"),
                         (long_header, "header longer than 16777216 bytes")]:
        with pytest.raises(ValueError, match=phrase):
            run(tool, path, tmp_path)
    assert outputs(tmp_path) == []
