"""Config and Patch: defaults, copies, properties, JSON in and out."""

import math
import os
import subprocess
import sys
import textwrap

import pytest

from larkspan.splat import Config, Patch

INF = math.inf
WHOLE_PLANE = (-INF, -INF, INF, INF)

def fields(c):
    return (c.input_file, c.sample_percentage, c.min_z, c.max_z,
            [(p.min_x, p.min_y, p.max_x, p.max_y, p.output_file) for p in c.patches])

def test_defaults_and_copies():  # values set and read back: a property in test_properties.py
    assert fields(c := Config("in.ply")) == ("in.ply", 100.0, -INF, INF, [])
    c.add_patch(p := Patch("a.bin"))
    p.min_x, p.output_file = 5, "changed.bin"
    (listed := c.patches).append(Patch("b.bin"))
    listed[0].max_x = -1
    assert fields(c)[4] == [(*WHOLE_PLANE, "a.bin")]  # the Config holds copies
    c.patches = (Patch("x.bin"), Patch.with_bounds(output_file="p", min_x=1, min_y=2, max_x=3, max_y=4))
    assert fields(c)[4] == [(*WHOLE_PLANE, "x.bin"), (1.0, 2.0, 3.0, 4.0, "p")]  # a tuple, keywords

@pytest.mark.parametrize("change, error, message", [
    (lambda p, c: setattr(p, "min_x", "1.0"), TypeError, "^argument 'min_x': "),
    (lambda p, c: delattr(c, "patches"), AttributeError, "^can't delete attribute$"),
    (lambda p, c: setattr(c, "patches", [Patch("a.bin"), "b.bin"]), TypeError, "patches"),
])
def test_a_refused_property_change_keeps_the_stored_value(change, error, message):
    p, c = Patch("a.bin"), Config("in.ply")
    with pytest.raises(error, match=message):
        change(p, c)
    assert fields(c) == ("in.ply", 100.0, -INF, INF, [])
    assert (p.min_x, p.output_file) == (-INF, "a.bin")

# Reading documents of every shape (key order, unknown keys, array records, null bounds,
# defaults) is a property in test_properties.py.
@pytest.mark.parametrize("text, message", [
    (None, "File read error: No such file or directory \\(os error 2\\)"),
    (b'{"input_file": "\xff", "patches": []}', "File read error: stream did not contain valid UTF-8"),
    ('{"input_file": "a"}', "missing field `patches` at line 1 column 19"),
    ('{"input_file": "a",\n "patches": [{"min_x": 1}]}', "missing field `output_file` at line 2 column 25"),
    ('{"input_file": "a", "patches": [], "input_file": "b"}', "duplicate field `input_file` at line 1 column 47"),
    ('{"input_file": "a", "patches": [], "sample_percentage": null}',
     "invalid type: null, expected f64 at line 1 column 60"),
    ('{"input_file": 5, "patches": []}', "invalid type: integer `5`, expected a string at line 1 column 16"),
    ('["a", 100, 1, 2]', "invalid length 4, expected struct Config with 5 elements at line 1 column 16"),
    ('{"input_file": "a", "patches": []} x', "trailing characters at line 1 column 36"),
    ('{"input_file": "a", "patches": [], }', "syntax error .* at line 1 column 36"),
])
def test_reading_errors_name_the_problem_and_position(tmp_path, text, message):
    if text is not None:
        (tmp_path / "c.json").write_bytes(text.encode() if isinstance(text, str) else text)
    if message.startswith("File"):
        with pytest.raises(OSError, match=f"^{message}$"):
            Config.from_file(tmp_path / "c.json")
        return
    for read, source in ((Config.from_file, tmp_path / "c.json"), (Config.from_json, text)):
        with pytest.raises(ValueError, match=f"^JSON parse error: {message}$"):
            read(source)

def test_to_json_layout_and_number_forms():
    assert (c := Config("x")).to_json() == ('{\n  "input_file": "x",\n  "sample_percentage": 100.0,\n'
                                          '  "minZ": null,\n  "maxZ": null,\n  "patches": []\n}')
    c.input_file, c.sample_percentage, c.min_z, c.max_z = "in.ply", 0.1, 1e16, 1e-7
    c.add_patch(Patch.with_bounds('a "q" \\ é\n.bin', -0.0, 12345678.9, 1e300, math.nan))
    c.add_patch(Patch.with_bounds("b.bin", 100, -INF, 2.5, INF))
    assert c.to_json() == (
        '{\n  "input_file": "in.ply",\n  "sample_percentage": 0.1,\n  "minZ": 1e16,\n'
        '  "maxZ": 1e-7,\n  "patches": [\n'
        '    {\n      "min_x": -0.0,\n      "min_y": 12345678.9,\n      "max_x": 1e300,\n'
        '      "max_y": null,\n      "output_file": "a \\"q\\" \\\\ é\\n.bin"\n    },\n'
        '    {\n      "min_x": 100.0,\n      "min_y": null,\n      "max_x": 2.5,\n'
        '      "max_y": null,\n      "output_file": "b.bin"\n    }\n  ]\n}')

# Documents are decoded in one pass, in a small multiple of their size.
@pytest.mark.skipif(bool(os.environ.get("LARKSPAN_SANITIZED")), reason="the sanitizer keeps freed memory")
def test_a_large_document_is_decoded_in_little_memory():
    child = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import json, re
        from larkspan.splat import Config
        peak = lambda: int(re.search(r"VmHWM:\\s*(\\d+)", open("/proc/self/status").read())[1]) * 1024
        junk = json.dumps([[0, 1, {"k": None}]] * 300_000)
        config = '{"input_file": "in.ply", "junk": ' + junk + ', "patches": []}'
        Config.from_json('{"input_file": "warm", "patches": []}')
        before = peak()
        Config.from_json(config)
        print(len(config), peak() - before)""")], capture_output=True, text=True, check=True)
    size, growth = map(int, child.stdout.split())
    assert growth < 4 * size, (size, growth)
