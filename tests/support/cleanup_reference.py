"""An independent reference of cleanup_splats' keep test."""

import math
import struct


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def double_bits(value):
    return struct.unpack("<q", struct.pack("<d", value))[0]


def ref_index(q):
    """floor(q) below 2^53; beyond, 2^53 plus the doubles between 2^53 and |q|."""
    if q != q:
        return 0
    if abs(q) < 2**53:
        return math.floor(q)
    beyond = double_bits(abs(q)) - double_bits(2.0**53) + 2**53
    return beyond if q > 0 else -beyond


def ref_cell(position, radius):
    return tuple(ref_index(v / radius) for v in position)


def ref_exp(v):
    try:
        return math.exp(v)
    except OverflowError:
        return math.inf


def reference_flags(rows, points, config):
    radius = config["radius"]
    grid = {}
    for p in points:
        grid.setdefault(ref_cell(p, radius), []).append(p)
    flags = []
    for row in rows:
        x, y, z = (f32(v) for v in row[:3])
        box = all(config.get(lo) is None or v >= config[lo] for v, lo in
                  ((x, "min_x"), (y, "min_y"), (z, "min_z")))
        box = box and all(config.get(hi) is None or v < config[hi] for v, hi in
                          ((x, "max_x"), (y, "max_y"), (z, "max_z")))
        e = [ref_exp(f32(s)) for s in row[10:13]]
        scale_ok = not (e[0] * e[0] + e[1] * e[1] + e[2] * e[2] >= config["max_area"])
        cx, cy, cz = ref_cell((x, y, z), radius)
        count = 0
        for dx in (-1, 0, 1):
            for dy in (-1, 0, 1):
                for dz in (-1, 0, 1):
                    for px, py, pz in grid.get((cx + dx, cy + dy, cz + dz), []):
                        dx2, dy2, dz2 = (px - x) * (px - x), (py - y) * (py - y), (pz - z) * (pz - z)
                        if (dx2 + dy2) + dz2 <= radius * radius:
                            count += 1
        flags.append(box and scale_ok and count >= config["min_neighbors"])
    return flags
