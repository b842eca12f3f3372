"""PLY files built in code: headers, splat records, point clouds."""

import struct
from pathlib import Path

from larkspan.splat import Config, Patch


SPLAT_PROPERTIES = [
    ("float", "x"), ("float", "y"), ("float", "z"),
    ("float", "nx"), ("float", "ny"), ("float", "nz"),
    ("float", "f_dc_0"), ("float", "f_dc_1"), ("float", "f_dc_2"),
    ("float", "opacity"),
    ("float", "scale_0"), ("float", "scale_1"), ("float", "scale_2"),
    ("float", "rot_0"), ("float", "rot_1"), ("float", "rot_2"), ("float", "rot_3"),
]


def ply_header(count, properties=SPLAT_PROPERTIES, *, count_text=None, comments=(),
               fmt="binary_little_endian 1.0", newline="\n"):
    """A PLY header as bytes; count_text overrides how the count is written."""
    lines = ["ply"]
    if fmt is not None:
        lines.append(f"format {fmt}")
    lines += [f"comment {c}" for c in comments]
    lines.append(f"element vertex {count if count_text is None else count_text}")
    lines += [f"property {t} {n}" for t, n in properties]
    lines.append("end_header")
    return (newline.join(lines) + newline).encode()


def splat_records(rows, properties=SPLAT_PROPERTIES):
    """Packs rows of floats (one value per float property) little-endian."""
    fmt = "<" + "".join("B" if t in ("uchar", "u8") else "d" if t in ("double", "f64") else "f"
                        for t, _ in properties)
    return b"".join(struct.pack(fmt, *row) for row in rows)


def splat_row(x, y, z, scale=(0.0, 0.0, 0.0), extra=0.5):
    """One splat with the given position and scales; other fields fixed."""
    return (x, y, z, 0.0, 0.0, 1.0, extra, extra, extra, 1.0, *scale, 1.0, 0.0, 0.0, 0.0)


def write_ply(path, rows, properties=SPLAT_PROPERTIES, **header):
    path = Path(path)
    data = ply_header(len(rows), properties, **header) + splat_records(rows, properties)
    path.write_bytes(data)
    return path


def header_out(lines, count):
    """The header a cell file carries: trimmed lines, "\n" ends, its own count."""
    return "".join((f"element vertex {count}" if ln.startswith("element vertex ") and len(ln) >= 15
                    else ln) + "\n" for ln in lines).encode()


XYZ_RGB = [("float", "x"), ("float", "y"), ("float", "z"),
           ("uchar", "red"), ("uchar", "green"), ("uchar", "blue")]


# struct codes of the PLY types the tests declare.
CODES = {"float": "f", "f32": "f", "double": "d", "float64": "d", "f64": "d", "uchar": "B",
         "u8": "B", "uint8": "B", "ushort": "H", "short": "h", "int": "i", "uint": "I"}


def cloud_bytes(points, properties=XYZ_RGB, *, fmt="binary_little_endian 1.0", count=None,
                extra_lines=()):
    """A PLY cloud: points are (x, y, z, r, g, b) tuples laid out by `properties`.

    Each field is packed as its declared type (a 16-bit colour as value * 257,
    so that its high byte is the value); other properties are zero-filled.
    """
    lines = ["ply"] + ([f"format {fmt}"] if fmt else []) + list(extra_lines)
    lines.append(f"element vertex {len(points) if count is None else count}")
    lines += [f"property {t} {n}" for t, n in properties]
    lines.append("end_header")
    header = ("\n".join(lines) + "\n").encode()
    offsets, codes, size = {}, {}, 0
    for t, n in properties:
        offsets[n], codes[n] = size, CODES[t]
        size += struct.calcsize(CODES[t])
    body = bytearray(size * len(points))
    for i, (x, y, z, r, g, b) in enumerate(points):
        base = i * size
        for name, value in (("x", x), ("y", y), ("z", z)):
            if name in offsets:
                struct.pack_into("<" + codes[name], body, base + offsets[name], value)
        for names, value in ((("r", "red"), r), (("g", "green"), g), (("b", "blue"), b)):
            for name in names:
                if name in offsets:
                    wide = codes[name] == "H"
                    struct.pack_into("<" + codes[name], body, base + offsets[name],
                                     value * 257 if wide else value)
    return header + bytes(body)


def make_config(input_path, patches, out_dir, **fields):
    c = Config(str(input_path))
    for name, value in fields.items():
        setattr(c, name, value)
    c.patches = [Patch.with_bounds(str(out_dir / f"p{j}.bin"), *bounds)
                 for j, bounds in enumerate(patches)]
    return c
