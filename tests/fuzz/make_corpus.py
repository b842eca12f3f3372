"""Writes the seed corpora of the fuzz harnesses: small valid inputs of each
kind, from which the fuzzer mutates. Usage: python make_corpus.py OUT_DIR"""

import json, struct, sys
from pathlib import Path


def ply(count, properties, body=b"", fmt="binary_little_endian 1.0", eol="\n"):
    lines = ["ply", f"format {fmt}", "comment seed", f"element vertex {count}"]
    lines += [f"property {t} {n}" for t, n in properties] + ["end_header"]
    return (eol.join(lines) + eol).encode() + body


SPLAT = [("float", n) for n in ("x", "y", "z", "scale_0", "scale_1", "scale_2", "opacity")]
CLOUD = [("double", "x"), ("double", "y"), ("double", "z"),
         ("uchar", "red"), ("uchar", "green"), ("uchar", "blue")]
FACES = b"element face 0\nproperty list uchar int vertex_indices\nend_header"


def ply_seeds():
    splats = b"".join(struct.pack("<7f", i, -i, 0.5 * i, -3, -3, -3, 1) for i in range(3))
    grid = b"".join(struct.pack("<7f", x, y, 1, -3, -3, -3, 1) for x in range(4) for y in range(4))
    mixed = [("short", "s"), ("float", "x"), ("float", "y"), ("float", "z"), ("uint", "u"), ("uchar", "r")]
    return {
        "splats": ply(3, SPLAT, splats),
        "cloud": ply(3, CLOUD, b"".join(struct.pack("<3d3B", i, i, i, 1, 2, 3) for i in range(3))),
        "crlf": ply(3, SPLAT, splats, eol="\r\n"),
        "plus_count": ply(3, SPLAT, splats).replace(b"vertex 3", b"vertex +3"),
        "list_property": ply(1, [("list", "uchar int vertex_indices")] + SPLAT),
        "grid": ply(16, SPLAT, grid),
        "mixed_types": ply(2, mixed, b"".join(struct.pack("<h3fIB", -i, i, 2 * i, 3 * i, i, 7)
                                               for i in range(2))).replace(b"end_header", FACES),
        "ascii": ply(1, SPLAT, b"1 2 3 4 5 6 7\n", fmt="ascii 1.0"),
        "no_end": b"ply\nelement vertex 2\nproperty float x\n",
        # An empty vertex block is held without an address: written back, it
        # once reached memcpy as a null pointer.
        "no_vertices": ply(0, SPLAT),
    }


def json_seeds():
    merge = {"input_files": ["a.ply", "b.ply"], "output_file": "out.ply"}
    camera_patch = {"min_x": -1, "min_y": -2.5, "max_x": 3e2, "max_y": 4, "output_path": "p0"}
    split_cameras = {"input_path": "model", "min_z": -10, "max_z": 10.5, "save_points3d": True,
                     "patches": [camera_patch, list(camera_patch.values())]}
    patch = {"min_x": 0, "min_y": None, "max_x": 1.5, "output_file": "p.bin"}
    config = {"input_file": "cloud.ply", "sample_percentage": 50, "minZ": -1, "maxZ": None,
              "patches": [patch, {"output_file": "\u00e9\n"}]}
    clean = {"input_file": "s.ply", "output_file": "k.ply", "discarded_file": None, "min_x": -1,
             "max_x": 2.5e3, "max_area": 0.5, "colmap_points_file": "p.bin", "min_neighbors": 3,
             "radius": 0.25}
    # The first byte picks the record the harness decodes, in its order.
    records = [(0, merge), (0, [["a"], "o"]), (0, {**merge, "x": [1, {"y": None}]}), (1, split_cameras),
               (1, list(split_cameras.values())), (2, camera_patch), (3, config),
               (3, {"input_file": "c.ply", "patches": []}), (4, patch), (4, [1, 2, 3, 4, "p.bin"]),
               (5, clean), (5, {"input_file": "s.ply", "output_file": "k.ply", "max_area": 1})]
    return {f"record{i}": bytes([s]) + json.dumps(v, indent=2).encode() for i, (s, v) in enumerate(records)}


def points3d(rows):  # a points3D.bin of (id, x, y, z, track) rows
    return struct.pack("<Q", len(rows)) + b"".join(
        struct.pack("<Q3d3BdQ", i, x, y, z, 10, 20, 30, -1.0, len(track))
        + b"".join(struct.pack("<II", *element) for element in track) for i, x, y, z, track in rows)


def colmap_seeds():
    cameras = struct.pack("<Q", 3) + b"".join(
        struct.pack("<IIQQ", camera_id, model, 640, 480) + struct.pack(f"<{params}d", *range(params))
        for camera_id, model, params in ((1, 0, 3), (2, 4, 8), (1, 3, 5)))
    keypoints = struct.pack("<ddq", 1.5, 2.5, 7) + struct.pack("<ddq", 3, 4, -1)
    images = struct.pack("<Q", 2) + b"".join(
        struct.pack("<I4d3dI", image_id, 1, 0, 0, 0, 0.5, -1, 2, 1) + name + b"\0"
        + struct.pack("<Q", count) + keypoints[: 24 * count]
        for image_id, name, count in ((1, b"a.jpg", 2), (3, "\u00e9".encode(), 0)))
    pose = (1.0, 0.0, 0.0, 0.0, 0.5, -1.0, 2.0)
    rigs = (struct.pack("<QIIiI", 3, 1, 3, 0, 1) + struct.pack("<iIB7d", 0, 2, 1, *pose)
            + struct.pack("<iIB", 1, 9, 0) + struct.pack("<II", 2, 0) + struct.pack("<IIiI", 3, 1, 0, 4))
    frames = (struct.pack("<QII7dI", 2, 1, 1, *pose, 2) + struct.pack("<iIQiIQ", 0, 1, 1, 1, 9, 5)
              + struct.pack("<II7dI", 2, 3, *pose, 0))
    text = ["# c\n1 SIMPLE_PINHOLE 640 480 500 320 240\n2 FULL_OPENCV 1 2 " + "0.1 " * 12 + "\n",
            "# i\n1 1 0 0 0 0.5 -1 2 1 a b.jpg\n1.5 2.5 7 3 4 -1\n3 1 0 0 0 0 0 0 2 c.jpg\n\n",
            "# p\n7 1 2 3 10 20 30 -1 1 0 3 5\n2 1e300 nan -0 0 0 0 0.5\n",
            "1 3 CAMERA 1 CAMERA 2 1 1 0 0 0 0.5 -1 2 IMU 9 0\n2 0\n",
            "1 1 1 0 0 0 0.5 -1 2 2 CAMERA 1 1 IMU 9 5\n2 3 1 0 0 0 0 0 0 0\n"]
    # The first byte picks the file (cameras, images, points3D, rigs, frames)
    # and the form: binary below 5, text from 5.
    binary = [cameras, images, points3d([(7, 1, 2, 3, [(1, 0), (3, 5)]), (2, 1, 2, 3, [])]), rigs, frames]
    return {"empty_points": b"\x02" + points3d([]), **{f"binary{i}": bytes([i]) + b for i, b in enumerate(binary)},
            **{f"text{i}": bytes([5 + i]) + t.encode() for i, t in enumerate(text)}}


def point_grid_seeds():
    # The first byte picks the cell edge; the rest is a points3D.bin file.
    near = [(i + 1, 0.05 * i, 0.0, 0.0, []) for i in range(8)]
    far = [(1, 1e12, -1e12, 3.0, [(1, 2)]), (2, float("nan"), 0.0, 0.0, []), (3, 0.0, 0.0, 0.0, [(5, 6), (7, 8)])]
    return {"near": b"\x00" + points3d(near), "far": b"\x01" + points3d(far), "empty": b"\x00" + points3d([])}


HARNESS_SEEDS = {"fuzz_point_grid": point_grid_seeds, "fuzz_ply_header": ply_seeds, "fuzz_split_ply": ply_seeds,
                 "fuzz_ortho_cells": ply_seeds, "fuzz_colmap": colmap_seeds, "fuzz_json_configs": json_seeds}

if __name__ == "__main__":
    for harness, seeds in HARNESS_SEEDS.items():
        directory = Path(sys.argv[1]) / harness
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds().items():
            (directory / name).write_bytes(data)
