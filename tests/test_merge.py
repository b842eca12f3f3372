"""merge_ply_files_py: byte-exact output, exact stage lines, every failure."""

import json
import os
import re

import pytest

from support.ply import ply_header, splat_records, splat_row, write_ply
from larkspan.splat import merge_ply_files_py

DURATION = r"\d+(\.\d+)?(ns|µs|ms|s)"


def merge(inputs, output, **extra):
    merge_ply_files_py(json.dumps({"input_files": [str(p) for p in inputs],
                                   "output_file": str(output), **extra}))


def rows(n, seed=0):
    return [splat_row(seed + i, 2.0 * i, -i, (0.1, 0.2, 0.3)) for i in range(n)]


def mask_durations(text):
    return re.sub(DURATION, "DURATION", text)


class TestOutput:
    def test_two_inputs(self, tmp_path, capfd):
        a = write_ply(tmp_path / "a.ply", rows(3), comments=["from a"])
        b = write_ply(tmp_path / "b.ply", rows(4, 10), comments=["from b"])
        out = tmp_path / "out.ply"
        merge([a, b], out)
        expected = (ply_header(7, comments=["from a"]) + splat_records(rows(3))
                    + splat_records(rows(4, 10)))
        assert out.read_bytes() == expected
        assert mask_durations(capfd.readouterr().out) == (
            "Starting PLY merge process...\n"
            "Reading PLY headers and counting vertices...\n"
            f"  {a}: 3 vertices\n"
            f"  {b}: 4 vertices\n"
            "Total vertices across all files: 7\n"
            "Concatenating vertex data...\n"
            f"  Reading vertex data from {a}...\n"
            "    Added 3 vertices in DURATION\n"
            f"  Reading vertex data from {b}...\n"
            "    Added 4 vertices in DURATION\n"
            "PLY merge process completed in DURATION\n"
            f"Successfully merged 2 files into {out}\n"
            "Total vertices: 7\n")

    def test_single_input_is_copied_byte_for_byte(self, tmp_path):
        a = write_ply(tmp_path / "a.ply", rows(5), newline="\r\n", comments=["element vertex 5"])
        merge([a], tmp_path / "out.ply")
        assert (tmp_path / "out.ply").read_bytes() == a.read_bytes()

    def test_comment_with_old_count_text_is_rewritten_too(self, tmp_path):
        a = write_ply(tmp_path / "a.ply", rows(2), comments=["element vertex 2"])
        b = write_ply(tmp_path / "b.ply", rows(1))
        merge([a, b], tmp_path / "out.ply")
        assert (tmp_path / "out.ply").read_bytes().startswith(
            ply_header(3, comments=["element vertex 3"]))

    # Deliberate departure: exactly count x record size bytes of each input
    # are copied, and an input that holds more or fewer is refused before the
    # output exists (a stray byte shifted every later input's records).
    @pytest.mark.parametrize("content, holds", [
        (ply_header(1) + splat_records(rows(1)) + b"T", "69"),
        (ply_header(2) + splat_records(rows(1)), "68"),
        (ply_header(1) + splat_records(rows(1))[:-1], "67"),
        (ply_header(2**62), "0"),
    ], ids=["trailing-byte", "count-above-body", "truncated", "count-overflows"])
    def test_body_other_than_its_records_is_refused(self, tmp_path, content, holds):
        a = write_ply(tmp_path / "a.ply", rows(2))
        b = tmp_path / "b.ply"
        b.write_bytes(content)
        count = int(content.split(b"element vertex ")[1].split(b"\n")[0])
        declared = "more than 2^64" if count * 68 >= 2**64 else str(count * 68)
        with pytest.raises(ValueError) as raised:
            merge([a, b], tmp_path / "out.ply")
        assert str(raised.value) == (f"Input file {b} declares {count} vertices of 68 bytes "
                                     f"({declared} bytes), but holds {holds} bytes after its header")
        assert not (tmp_path / "out.ply").exists()

    @pytest.mark.parametrize("content, message", [
        (b"", "is empty: it is no PLY file"),
        (b"\x00" * 100, "is not a PLY file"),
        (ply_header(0).replace(b"ply\n", b"plx\n"), "is not a PLY file"),
        (ply_header(2).removesuffix(b"end_header\n"), "is not a PLY file"),
    ], ids=["empty", "binary", "no-ply-line", "no-end_header"])
    def test_files_that_are_not_ply_are_refused(self, tmp_path, content, message):
        a = write_ply(tmp_path / "a.ply", rows(2))
        b = tmp_path / "b.ply"
        b.write_bytes(content)
        with pytest.raises(ValueError, match=f"^Input file {re.escape(str(b))} {message}"):
            merge([a, b], tmp_path / "out.ply")
        assert not (tmp_path / "out.ply").exists()

    def test_large_inputs_stream_exactly(self, tmp_path):
        # Bodies larger than any buffer, with sizes that are not multiples of one.
        a = write_ply(tmp_path / "a.ply", rows(40_001))
        b = write_ply(tmp_path / "b.ply", rows(12_345, 7))
        out = tmp_path / "out.ply"
        merge([a, b], out)
        assert out.read_bytes() == (ply_header(52_346) + splat_records(rows(40_001))
                                    + splat_records(rows(12_345, 7)))

    @pytest.mark.parametrize("count_text", ["+3", "003"])
    def test_unusual_count_text_is_rewritten(self, tmp_path, count_text):
        a = write_ply(tmp_path / "a.ply", rows(3), count_text=count_text)
        b = write_ply(tmp_path / "b.ply", rows(2))
        merge([a, b], tmp_path / "out.ply")
        assert (tmp_path / "out.ply").read_bytes().startswith(ply_header(5))

    def test_extra_keys_and_array_form(self, tmp_path):
        a = write_ply(tmp_path / "a.ply", rows(2))
        merge([a], tmp_path / "o1.ply", comment="ignored", more={"x": [1, None]})
        merge_ply_files_py(json.dumps([[str(a)], str(tmp_path / "o2.ply")]))
        assert (tmp_path / "o1.ply").read_bytes() == (tmp_path / "o2.ply").read_bytes() == a.read_bytes()

    def test_layouts_may_differ_in_comments_counts_and_other_elements(self, tmp_path):
        a = write_ply(tmp_path / "a.ply", rows(1), comments=["one"])
        b = tmp_path / "b.ply"
        b.write_bytes(ply_header(1, comments=["two"]).replace(
            b"end_header", b"element face 0\nproperty list uchar int vertex_indices\nend_header")
            + splat_records(rows(1)))
        merge([a, b], tmp_path / "out.ply")


class TestErrors:
    def test_empty_input_list(self, tmp_path, capfd):
        out = tmp_path / "out.ply"
        with pytest.raises(ValueError, match=r"^No input files provided for merging\.$"):
            merge([], out)
        assert capfd.readouterr().out == "Starting PLY merge process...\n"
        assert not out.exists()

    def test_missing_input_fails_before_output_is_created(self, tmp_path, capfd):
        a = write_ply(tmp_path / "a.ply", rows(1))
        out = tmp_path / "out.ply"
        with pytest.raises(OSError) as info:
            merge([a, tmp_path / "missing.ply"], out)
        assert type(info.value) is OSError
        assert info.value.args == ("No such file or directory (os error 2)",)
        assert not out.exists()
        assert capfd.readouterr().out.endswith(f"  {a}: 1 vertices\n")

    def test_unwritable_output(self, tmp_path):
        a = write_ply(tmp_path / "a.ply", rows(1))
        with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
            merge([a], tmp_path / "no" / "dir" / "out.ply")

    @pytest.mark.parametrize("header, message", [
        (b"ply\ncomment \xff\nend_header\n", "stream did not contain valid UTF-8"),
        (b"ply\nelement vertex -1\nend_header\n", "invalid digit found in string"),
        (b"ply\nelement vertex 18446744073709551616\nend_header\n",
         "number too large to fit in target type"),
    ])
    def test_header_failures_are_os_errors(self, tmp_path, header, message):
        bad = tmp_path / "bad.ply"
        bad.write_bytes(header)
        with pytest.raises(OSError) as info:
            merge([bad], tmp_path / "out.ply")
        assert info.value.args == (message,)
        assert not (tmp_path / "out.ply").exists()

    @pytest.mark.parametrize("document, message", [
        ("{}", "missing field `input_files` at line 1 column 2"),
        ('{"input_files": []}', "missing field `output_file` at line 1 column 19"),
        ('{"input_files": "a.ply", "output_file": "o"}',
         'invalid type: string "a.ply", expected a sequence at line 1 column 23'),
        ('{"input_files": [1], "output_file": "o"}',
         "invalid type: integer `1`, expected a string at line 1 column 18"),
        ('{"input_files": [], "output_file": "o", "output_file": "p"}',
         "duplicate field `output_file` at line 1 column 53"),
        ('{"input_files": [], "output_file": "o"} []', "trailing characters at line 1 column 41"),
        ('[[]]', "invalid length 1, expected struct MergeConfig with 2 elements at line 1 column 4"),
    ])
    def test_json_errors(self, document, message):
        with pytest.raises(ValueError) as info:
            merge_ply_files_py(document)
        assert str(info.value) == "JSON parse error: " + message

    def test_json_syntax_error_has_position(self):
        with pytest.raises(ValueError, match=r"^JSON parse error: .* at line 2 column \d+$"):
            merge_ply_files_py('{"input_files": [],\n "output_file": }')


class TestOutputAmongInputs:
    """Creating the output truncates it: an output that is an input is refused."""

    @pytest.mark.parametrize("spelling", ["same", "dotted", "symlink", "hardlink"])
    def test_refused_before_anything_is_touched(self, tmp_path, monkeypatch, spelling, capfd):
        a = write_ply(tmp_path / "a.ply", rows(3))
        original = a.read_bytes()
        monkeypatch.chdir(tmp_path)
        output = {"same": str(a), "dotted": "./sub/../a.ply", "symlink": "link.ply",
                  "hardlink": "hard.ply"}[spelling]
        if spelling == "symlink":
            os.symlink(a, tmp_path / "link.ply")
        if spelling == "hardlink":
            os.link(a, tmp_path / "hard.ply")
        with pytest.raises(ValueError, match="is also an input file"):
            merge([a], output)
        assert a.read_bytes() == original
        assert "Concatenating" not in capfd.readouterr().out


class TestLayoutMismatch:
    @pytest.mark.parametrize("other, message", [
        (dict(properties=[("float", "x"), ("float", "y"), ("float", "z")]),
         "lays out its vertex records differently"),
        (dict(properties=[("float", "x"), ("float", "y"), ("double", "z")]),
         "lays out its vertex records differently"),
        (dict(fmt="ascii 1.0"), "declares ascii records"),
        (dict(fmt="binary_big_endian 1.0"), "declares binary_big_endian records"),
    ], ids=["properties", "types", "ascii", "big-endian"])
    def test_refused_before_output_is_created(self, tmp_path, other, message):
        a = write_ply(tmp_path / "a.ply", rows(1))
        b = tmp_path / "b.ply"
        b.write_bytes(ply_header(1, **other) + b"\0" * 12)
        with pytest.raises(ValueError, match=message):
            merge([a, b], tmp_path / "out.ply")
        assert not (tmp_path / "out.ply").exists()
