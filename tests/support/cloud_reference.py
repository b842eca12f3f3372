"""An independent reference of split_ply: which points each patch keeps."""

import math
import struct

from support.colmap import points_file


def f32(v):
    return struct.unpack("<f", struct.pack("<f", v))[0]


INF = math.inf


def reference_split(points, patches, min_z=-INF, max_z=INF):
    """The expected content of every patch's file (None for no file)."""
    kept = [p for p in points if min_z <= f32(p[2]) < max_z]
    kept = [(f32(x), f32(y), f32(z), r, g, b) for x, y, z, r, g, b in kept]
    files = []
    for x0, y0, x1, y1 in patches:
        inside = [p for p in kept if x0 <= p[0] < x1 and y0 <= p[1] < y1]
        files.append(points_file(inside) if inside else None)
    return kept, files
