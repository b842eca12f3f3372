"""PLY files built in code: headers, splat records, point clouds."""

import os
import struct
import subprocess
import sys
from pathlib import Path

from larkspan.splat import Config, Patch

SPLAT_PROPERTIES = [("float", name) for name in [
    "x", "y", "z", "nx", "ny", "nz", "f_dc_0", "f_dc_1", "f_dc_2", "opacity",
    "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"]]
XYZ_RGB = [("float", "x"), ("float", "y"), ("float", "z"),
           ("uchar", "red"), ("uchar", "green"), ("uchar", "blue")]
# struct codes of the PLY types (every name the tools accept); numpy reads them too.
CODES = {"char": "b", "int8": "b", "uchar": "B", "uint8": "B", "u8": "B", "short": "h", "int16": "h",
         "ushort": "H", "uint16": "H", "int": "i", "int32": "i", "uint": "I", "uint32": "I",
         "float": "f", "float32": "f", "f32": "f", "double": "d", "float64": "d", "f64": "d"}

def ply_header(count, properties=SPLAT_PROPERTIES, *, count_text=None, comments=(), after=(),
               fmt="binary_little_endian 1.0", newline="\n"):
    # count_text overrides how the count is written; after: lines before end_header
    lines = ["ply"] + ([f"format {fmt}"] if fmt else []) + [f"comment {c}" for c in comments]
    lines.append(f"element vertex {count if count_text is None else count_text}")
    lines += [f"property {t} {n}" for t, n in properties] + list(after) + ["end_header"]
    return (newline.join(lines) + newline).encode()

def splat_records(rows, properties=SPLAT_PROPERTIES):
    fmt = "<" + "".join(CODES[t] for t, _ in properties)
    return b"".join(struct.pack(fmt, *row) for row in rows)

def splat_row(x, y, z, scale=(0.0, 0.0, 0.0), extra=0.5):
    return (x, y, z, 0.0, 0.0, 1.0, extra, extra, extra, 1.0, *scale, 1.0, 0.0, 0.0, 0.0)

def write_ply(path, rows, properties=SPLAT_PROPERTIES, **header):
    path = Path(path)
    path.write_bytes(ply_header(len(rows), properties, **header) + splat_records(rows, properties))
    return path

def header_out(lines, count):
    """The header a cell file carries: trimmed lines, "\n" ends, its own count."""
    return "".join((f"element vertex {count}" if ln.startswith("element vertex ") and len(ln) >= 15
                    else ln) + "\n" for ln in lines).encode()

def cloud_bytes(points, properties=XYZ_RGB, **header):
    """(x, y, z, r, g, b) points, each field packed as its declared type (a 16-bit colour
    as value * 257); "r", "g", "b" name the colours too; other properties are zero."""
    fields = {"x": 0, "y": 1, "z": 2, "r": 3, "red": 3, "g": 4, "green": 4, "b": 5, "blue": 5}
    rows = [[(p[fields[n]] * (257 if t == "ushort" else 1)) if n in fields else 0 for t, n in properties]
            for p in points]
    return ply_header(len(points), properties, **header) + splat_records(rows, properties)

def make_config(input_path, patches, out_dir, **fields):
    c = Config(str(input_path))
    for name, value in fields.items():
        setattr(c, name, value)
    c.patches = [Patch.with_bounds(str(out_dir / f"p{j}.bin"), *b) for j, b in enumerate(patches)]
    return c

def body(data):
    return data[data.index(b"end_header\n") + len(b"end_header\n"):]

def run_on_terminal(script):
    """Runs a Python script with stderr on a pseudo-terminal; returns what it drew."""
    master, slave = os.openpty()
    proc = subprocess.Popen([sys.executable, "-c", script], stderr=slave, env=dict(os.environ, TERM="dumb"))
    os.close(slave)
    chunks = [b"start"]
    while chunks[-1]:
        try:
            chunks.append(os.read(master, 65536))
        except OSError:  # EIO once the child has closed the terminal
            break
    os.close(master)
    assert proc.wait(timeout=60) == 0
    return b"".join(chunks[1:]).decode()
