"""Shared fixtures: PLY files and other inputs built in code with struct."""

import os
import struct
import sys
from pathlib import Path

import pytest

from larkspan.splat import _core

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


@pytest.fixture
def ply_factory(tmp_path):
    counter = iter(range(10**6))

    def make(rows, name=None, **kw):
        return write_ply(tmp_path / (name or f"in_{next(counter)}.ply"), rows, **kw)

    return make


@pytest.fixture(scope="session")
def probe():
    """The test-only module built beside the C++ unit tests, if present."""
    directory = os.environ.get("LARKSPAN_PROBE_DIR")
    if not directory or not list(Path(directory).glob("_probe*.so")):
        pytest.skip("the probe module is built by scripts/test.sh")
    sys.path.insert(0, directory)
    try:
        import _probe
    finally:
        sys.path.remove(directory)
    return _probe


@pytest.fixture
def core():
    return _core
