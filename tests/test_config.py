"""Config and Patch: construction, properties, JSON in and out."""

import inspect
import json
import math
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from larkspan.splat import _core
from larkspan.splat import Config, Patch

INF = math.inf


def patch_fields(p):
    return (p.min_x, p.min_y, p.max_x, p.max_y, p.output_file)


def config_fields(c):
    return (c.input_file, c.sample_percentage, c.min_z, c.max_z,
            [patch_fields(p) for p in c.patches])


class TestObjects:
    def test_registered_before_the_other_tools_in_order(self):
        documented = ["Config", "Patch", "split_ply", "BoundingBox", "patches", "cleanup_splats",
                      "merge_ply_files_py", "split_cameras_json", "OrthoCells"]
        present = [name for name in documented if name in _core.__all__]
        assert _core.__all__ == present
        assert present[:3] == ["Config", "Patch", "split_ply"]

    def test_signatures_and_docs(self):
        assert str(inspect.signature(Config)) == "(input_file)"
        assert str(inspect.signature(Patch)) == "(output_file)"
        assert str(inspect.signature(Patch.with_bounds)) == \
            "(output_file, min_x, min_y, max_x, max_y)"
        assert str(inspect.signature(Config.from_json)) == "(json_str)"
        assert str(inspect.signature(Config.from_file)) == "(file_path)"
        assert str(inspect.signature(Config.add_patch)) == "(self, /, patch)"
        assert Config.__module__ == "builtins" and Patch.__module__ == "builtins"

    def test_defaults(self):
        c = Config("cloud.ply")
        assert config_fields(c) == ("cloud.ply", 100.0, -INF, INF, [])
        assert patch_fields(Patch("a.bin")) == (-INF, -INF, INF, INF, "a.bin")

    def test_with_bounds_takes_min_x_min_y_max_x_max_y(self):
        p = Patch.with_bounds(output_file="p.bin", min_x=1, min_y=2, max_x=3, max_y=4)
        assert patch_fields(p) == (1.0, 2.0, 3.0, 4.0, "p.bin")
        assert type(p.min_x) is float

    def test_config_owns_copies_of_its_patches(self):
        c = Config("in.ply")
        p = Patch("a.bin")
        c.add_patch(p)
        p.min_x = 5
        p.output_file = "changed.bin"
        listed = c.patches
        listed.append(Patch("b.bin"))
        listed[0].max_x = -1
        assert [patch_fields(q) for q in c.patches] == [(-INF, -INF, INF, INF, "a.bin")]
        c.patches = (Patch("x.bin"), Patch("y.bin"))
        assert [q.output_file for q in c.patches] == ["x.bin", "y.bin"]

    def test_values_are_stored_unchecked(self):
        c = Config("")
        c.sample_percentage = -3
        c.min_z, c.max_z = 5, 1
        assert (c.input_file, c.sample_percentage, c.min_z, c.max_z) == ("", -3.0, 5.0, 1.0)

    @pytest.mark.parametrize("make, name", [
        (lambda: Config(b"in.ply"), "input_file"),
        (lambda: Patch(b"a.bin"), "output_file"),
        (lambda: Patch.with_bounds("a", 0, "1.0", 2, 3), "min_y"),
        (lambda: Config("a").add_patch({"output_file": "a"}), "patch"),
    ])
    def test_argument_conversion_names_the_argument(self, make, name):
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            make()

    def test_property_assignment_and_deletion(self):
        p = Patch("a.bin")
        with pytest.raises(TypeError, match="min_x"):
            p.min_x = "1.0"
        assert p.min_x == -INF
        p.min_x = 1
        assert p.min_x == 1.0 and type(p.min_x) is float
        with pytest.raises(AttributeError, match="can't delete attribute"):
            del p.min_x
        c = Config("in.ply")
        with pytest.raises(AttributeError, match="can't delete attribute"):
            del c.patches
        with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
            c.patches = "ab"
        with pytest.raises(TypeError, match="patches"):
            c.patches = [Patch("a.bin"), "b.bin"]
        with pytest.raises(TypeError, match="input_file"):
            c.input_file = 3
        assert c.patches == [] and c.input_file == "in.ply"


class TestJsonIn:
    def test_minimal_document_gives_defaults(self):
        c = Config.from_json('{"input_file": "in.ply", "patches": [{"output_file": "a"}]}')
        assert config_fields(c) == ("in.ply", 100.0, -INF, INF, [(-INF, -INF, INF, INF, "a")])

    def test_full_document_any_key_order_extra_keys_ignored(self):
        text = json.dumps({
            "patches": [{"output_file": "p.bin", "max_y": 4, "min_x": 1.5, "note": [1, {}],
                         "max_x": 3e0, "min_y": -2}],
            "maxZ": 10, "comment": "ignored", "minZ": -1.25, "sample_percentage": 12.5,
            "input_file": "cloud.ply",
        })
        c = Config.from_json(text)
        assert config_fields(c) == ("cloud.ply", 12.5, -1.25, 10.0, [(1.5, -2.0, 3.0, 4.0, "p.bin")])

    def test_array_forms(self):
        c = Config.from_json('["in.ply", 50, -1, 1, [[0, 1, 2, 3, "p.bin"], {"output_file": "q"}]]')
        assert config_fields(c) == ("in.ply", 50.0, -1.0, 1.0,
                                    [(0.0, 1.0, 2.0, 3.0, "p.bin"), (-INF, -INF, INF, INF, "q")])

    def test_null_bounds_read_as_infinite_defaults(self):
        # Departure: to_json writes infinite bounds as null, so null must read back.
        c = Config.from_json('{"input_file": "a", "minZ": null, "maxZ": null, "patches": ['
                             '{"min_x": null, "min_y": null, "max_x": null, "max_y": null,'
                             ' "output_file": "p"}]}')
        assert config_fields(c) == ("a", 100.0, -INF, INF, [(-INF, -INF, INF, INF, "p")])

    @pytest.mark.parametrize("text, message", [
        ('{"input_file": "a"}', "missing field `patches` at line 1 column 19"),
        ('{"patches": []}', "missing field `input_file` at line 1 column 15"),
        ('{"input_file": "a",\n "patches": [{"min_x": 1}]}',
         "missing field `output_file` at line 2 column 25"),
        ('{"input_file": "a", "patches": [], "input_file": "b"}',
         "duplicate field `input_file` at line 1 column 47"),
        ('{"input_file": "a", "patches": [], "sample_percentage": null}',
         "invalid type: null, expected f64 at line 1 column 60"),
        ('{"input_file": "a", "patches": [{"min_x": "1", "output_file": "p"}]}',
         'invalid type: string "1", expected f64 at line 1 column 45'),
        ('{"input_file": 5, "patches": []}',
         "invalid type: integer `5`, expected a string at line 1 column 16"),
        ('{"input_file": "a", "patches": {}}',
         "invalid type: map, expected a sequence at line 1 column 32"),
        ('["a", 100, 1, 2]', "invalid length 4, expected struct Config with 5 elements at line 1 column 16"),
        ('["a", 100, 1, 2, [[1, 2, 3, 4]]]',
         "invalid length 4, expected struct Patch with 5 elements at line 1 column 30"),
        ('["a", 100, 1, 2, [], 7]', "trailing characters at line 1 column 22"),
        ('{"input_file": "a", "patches": []} x', "trailing characters at line 1 column 36"),
    ])
    def test_errors_name_the_problem_and_position(self, text, message):
        with pytest.raises(ValueError) as raised:
            Config.from_json(text)
        assert str(raised.value) == "JSON parse error: " + message

    def test_syntax_errors_carry_a_position(self):
        with pytest.raises(ValueError, match=r"^JSON parse error: .* at line 1 column 36$"):
            Config.from_json('{"input_file": "a", "patches": [], }')

    def test_from_file(self, tmp_path):
        path = tmp_path / "config.json"
        path.write_text('{"input_file": "in.ply", "patches": [], "maxZ": 2}', encoding="utf-8")
        assert config_fields(Config.from_file(str(path))) == ("in.ply", 100.0, -INF, 2.0, [])

    @pytest.mark.parametrize("content, message", [
        (None, "File read error: No such file or directory (os error 2)"),
        (b'{"input_file": "\xff", "patches": []}', "File read error: stream did not contain valid UTF-8"),
    ])
    def test_from_file_read_errors(self, tmp_path, content, message):
        path = tmp_path / "config.json"
        if content is not None:
            path.write_bytes(content)
        with pytest.raises(OSError) as raised:
            Config.from_file(str(path))
        assert str(raised.value) == message

    def test_from_file_parse_errors_are_value_errors(self, tmp_path):
        path = tmp_path / "config.json"
        path.write_text("{}", encoding="utf-8")
        with pytest.raises(ValueError, match="^JSON parse error: missing field `input_file`"):
            Config.from_file(str(path))


class TestJsonOut:
    def test_layout_key_order_and_number_forms(self):
        c = Config("in.ply")
        c.sample_percentage = 0.1
        c.min_z, c.max_z = 1e16, 1e-7
        c.add_patch(Patch.with_bounds('a "q" \\ é\n.bin', -0.0, 12345678.9, 1e300, math.nan))
        c.add_patch(Patch.with_bounds("b.bin", 100, -INF, 2.5, INF))
        assert c.to_json() == (
            '{\n'
            '  "input_file": "in.ply",\n'
            '  "sample_percentage": 0.1,\n'
            '  "minZ": 1e16,\n'
            '  "maxZ": 1e-7,\n'
            '  "patches": [\n'
            '    {\n'
            '      "min_x": -0.0,\n'
            '      "min_y": 12345678.9,\n'
            '      "max_x": 1e300,\n'
            '      "max_y": null,\n'
            '      "output_file": "a \\"q\\" \\\\ é\\n.bin"\n'
            '    },\n'
            '    {\n'
            '      "min_x": 100.0,\n'
            '      "min_y": null,\n'
            '      "max_x": 2.5,\n'
            '      "max_y": null,\n'
            '      "output_file": "b.bin"\n'
            '    }\n'
            '  ]\n'
            '}')

    def test_default_config(self):
        assert Config("x").to_json() == (
            '{\n  "input_file": "x",\n  "sample_percentage": 100.0,\n  "minZ": null,\n'
            '  "maxZ": null,\n  "patches": []\n}')

    def test_round_trip_including_infinite_bounds(self):
        c = Config("in.ply")
        c.sample_percentage = 33.3
        c.max_z = 12.75
        c.patches = [Patch("all.bin"), Patch.with_bounds("p.bin", -1.5, 0, 1e-300, 7e22)]
        again = Config.from_json(c.to_json())
        assert config_fields(again) == config_fields(c)
        assert again.to_json() == c.to_json()


# Deliberate departure: documents are decoded in one pass as they are parsed,
# so memory stays a small multiple of the document (storing every event
# first took about a hundred times its size).
@pytest.mark.skipif(bool(os.environ.get("LARKSPAN_SANITIZED")),
                    reason="the sanitizer's allocator keeps freed memory")
def test_a_large_document_is_decoded_in_little_memory():
    script = textwrap.dedent("""
        import json
        from larkspan.splat import Config, cleanup_splats

        def peak():
            with open("/proc/self/status") as status:
                return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmHWM"))

        junk = json.dumps([[0, 1, {"k": None}]] * 300_000)
        config = '{"input_file": "in.ply", "junk": ' + junk + ', "patches": []}'
        clean = '{"junk": ' + junk + ', "max_area": "x"}'
        Config.from_json('{"input_file": "warm", "patches": []}')
        before = peak()
        Config.from_json(config)
        try:
            cleanup_splats(clean)
        except ValueError as e:
            assert "invalid type" in str(e), e
        print(len(config), peak() - before)
    """)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           check=True, timeout=300)
    size, growth = map(int, child.stdout.split())
    assert growth < 4 * size, (size, growth)
