"""merge_ply_files_py: byte-exact output, exact stage lines, every failure."""

import json
import re

import pytest

from larkspan.splat import merge_ply_files_py
from support.ply import SPLAT_PROPERTIES, ply_header, splat_records, splat_row, write_ply

def merge(inputs, output):
    merge_ply_files_py(json.dumps({"input_files": [str(p) for p in inputs], "output_file": str(output)}))

def rows(n, seed=0):
    return [splat_row(seed + i, 2.0 * i, -i, (0.1, 0.2, 0.3)) for i in range(n)]

def test_two_inputs_with_stage_lines(tmp_path, capfd):
    # Bodies beyond any copy buffer and no multiple of one; a comment holding the count text is rewritten too.
    a = write_ply(tmp_path / "a.ply", rows(40_001), comments=["from a", "element vertex 40001"])
    b = write_ply(tmp_path / "b.ply", rows(12_345, 7), comments=["from b"])
    out = tmp_path / "out.ply"
    merge([a, b], out)
    assert out.read_bytes() == (ply_header(52_346, comments=["from a", "element vertex 52346"])
                                + splat_records(rows(40_001)) + splat_records(rows(12_345, 7)))
    assert re.sub(r"\d+(\.\d+)?(ns|µs|ms|s)\n", "D\n", capfd.readouterr().out) == (
        f"Starting PLY merge process...\nReading PLY headers and counting vertices...\n"
        f"  {a}: 40001 vertices\n  {b}: 12345 vertices\nTotal vertices across all files: 52346\n"
        f"Concatenating vertex data...\n  Reading vertex data from {a}...\n"
        f"    Added 40001 vertices in D\n  Reading vertex data from {b}...\n"
        f"    Added 12345 vertices in D\nPLY merge process completed in D\n"
        f"Successfully merged 2 files into {out}\nTotal vertices: 52346\n")

def test_single_input_array_form_and_other_layouts(tmp_path):
    a = write_ply(tmp_path / "a.ply", rows(5), newline="\r\n", comments=["element vertex 5"])
    merge_ply_files_py(json.dumps({"input_files": [str(a)], "output_file": str(tmp_path / "o1.ply"),
                                   "comment": "ignored", "more": {"x": [1, None]}}))
    merge_ply_files_py(json.dumps([[str(a)], str(tmp_path / "o2.ply")]))
    assert (tmp_path / "o1.ply").read_bytes() == (tmp_path / "o2.ply").read_bytes() == a.read_bytes()
    # Comments, empty elements and float32 for float may differ between inputs.
    b = write_ply(tmp_path / "b.ply", rows(1), [("float32", n) for _, n in SPLAT_PROPERTIES],
                  comments=["two"], after=["element face 0", "property list uchar int v"])
    merge([a, b], tmp_path / "out.ply")
    assert (tmp_path / "out.ply").read_bytes().endswith(splat_records(rows(5) + rows(1)))

# An input whose body is not exactly its records, or that is no PLY file, or
# that lays its records out otherwise, is refused before the output exists.
@pytest.mark.parametrize("content, message", [
    (ply_header(1) + splat_records(rows(1)) + b"T",
     "declares 1 vertices of 68 bytes (68 bytes), but holds 69 bytes after its header"),
    (ply_header(2) + splat_records(rows(1)),
     "declares 2 vertices of 68 bytes (136 bytes), but holds 68 bytes after its header"),
    (ply_header(2**62), "declares 4611686018427387904 vertices of 68 bytes (more than 2^64 bytes), "
                        "but holds 0 bytes after its header"),
    (b"", "is empty: it is no PLY file"),
    (b"\x00" * 100, "is not a PLY file"),
    (ply_header(0).replace(b"ply\n", b"plx\n"), "is not a PLY file"),
    (ply_header(2).removesuffix(b"end_header\n"), "is not a PLY file"),
    (ply_header(1, [("float", "x"), ("float", "y"), ("float", "z")]) + bytes(12),
     "lays out its vertex records differently"),
    (ply_header(1, [("float", "x"), ("float", "y"), ("double", "z")]) + bytes(16),
     "lays out its vertex records differently"),
])
def test_unusable_second_input_is_refused(tmp_path, content, message):
    a = write_ply(tmp_path / "a.ply", rows(2))
    b = tmp_path / "b.ply"
    b.write_bytes(content)
    with pytest.raises(ValueError) as raised:
        merge([a, b], tmp_path / "out.ply")
    assert str(raised.value).startswith(f"Input file {b} {message}")
    assert not (tmp_path / "out.ply").exists()

def test_file_failures(tmp_path, capfd):
    a = write_ply(tmp_path / "a.ply", rows(1))
    with pytest.raises(ValueError, match=r"^No input files provided for merging\.$"):
        merge([], tmp_path / "out.ply")
    assert capfd.readouterr().out == "Starting PLY merge process...\n"
    with pytest.raises(OSError) as info:
        merge([a, tmp_path / "missing.ply"], tmp_path / "out.ply")
    assert type(info.value) is OSError and info.value.args == ("No such file or directory (os error 2)",)
    assert capfd.readouterr().out.endswith(f"  {a}: 1 vertices\n")
    assert not (tmp_path / "out.ply").exists()
    with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
        merge([a], tmp_path / "no" / "dir" / "out.ply")

@pytest.mark.parametrize("document, message", [
    ('{"input_files": "a.ply", "output_file": "o"}',
     'invalid type: string "a.ply", expected a sequence at line 1 column 23'),
    ('{"input_files": [], "output_file": "o", "output_file": "p"}',
     "duplicate field `output_file` at line 1 column 53"),
    ('[[]]', "invalid length 1, expected struct MergeConfig with 2 elements at line 1 column 4"),
    ('{"input_files": [],\n "output_file": }',
     "syntax error while parsing value - unexpected '}'; expected '[', '{', or a literal at line 2 column 17"),
])
def test_json_errors(document, message):
    with pytest.raises(ValueError) as info:
        merge_ply_files_py(document)
    assert str(info.value) == "JSON parse error: " + message
