"""An independent reference of cleanup_splats' keep test."""

import itertools
import math
import struct

def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]

def ref_index(q):
    """floor(q) below 2^53; beyond, 2^53 plus the doubles between 2^53 and |q|."""
    if q != q:
        return 0
    if abs(q) < 2**53:
        return math.floor(q)
    bits = lambda v: struct.unpack("<q", struct.pack("<d", v))[0]
    beyond = bits(abs(q)) - bits(2.0**53) + 2**53
    return beyond if q > 0 else -beyond

def ref_cell(position, radius):
    return tuple(ref_index(v / radius) for v in position)

def reference_flags(rows, points, config):
    radius = config["radius"]
    grid = {}
    for p in points:
        grid.setdefault(ref_cell(p, radius), []).append(p)
    flags = []
    for row in rows:
        x, y, z = (f32(v) for v in row[:3])
        box = all((config.get("min_" + a) is None or v >= config["min_" + a])
                  and (config.get("max_" + a) is None or v < config["max_" + a])
                  for v, a in zip((x, y, z), "xyz"))
        e = [math.exp(min(f32(s), 709.0)) for s in row[10:13]]  # exp beyond 709 squares to inf
        scale_ok = not (e[0] * e[0] + e[1] * e[1] + e[2] * e[2] >= config["max_area"])
        cx, cy, cz = ref_cell((x, y, z), radius)
        count = sum(1 for dx, dy, dz in itertools.product((-1, 0, 1), repeat=3)
                    for px, py, pz in grid.get((cx + dx, cy + dy, cz + dz), [])
                    if ((px - x) * (px - x) + (py - y) * (py - y)) + (pz - z) * (pz - z) <= radius * radius)
        flags.append(box and scale_ok and count >= config["min_neighbors"])
    return flags
