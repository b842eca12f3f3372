"""COLMAP binary models built and parsed in Python with struct, for the tests.

Records are plain dataclasses; `pack_*` lay a list of records out as the
file bytes (in the order given, duplicates kept), `parse_*` read file bytes
back into dicts keyed by id.
"""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass, field
from pathlib import Path

from larkspan.splat import split_cameras_json

NO_POINT = -1


@dataclass
class Camera:
    camera_id: int
    model_id: int = 0
    width: int = 640
    height: int = 480
    params: tuple = (500.0, 320.0, 240.0)


@dataclass
class Image:
    image_id: int
    tvec: tuple = (0.0, 0.0, 0.0)
    qvec: tuple = (1.0, 0.0, 0.0, 0.0)
    camera_id: int = 1
    name: bytes = b"img.jpg"
    points2d: list = field(default_factory=list)  # (x, y, point3d_id)


@dataclass
class Point:
    point3d_id: int
    xyz: tuple = (0.0, 0.0, 0.0)
    rgb: tuple = (10, 20, 30)
    error: float = 0.5
    track: list = field(default_factory=list)  # (image_id, point2d_idx)


def at(x, y, z=0.0):
    """The tvec that puts an identity-rotation camera's centre at (x, y, z)."""
    return (-x, -y, -z)


def pack_cameras(cameras):
    out = [struct.pack("<Q", len(cameras))]
    for c in cameras:
        out.append(struct.pack("<IIQQ", c.camera_id, c.model_id, c.width, c.height))
        out.append(struct.pack(f"<{len(c.params)}d", *c.params))
    return b"".join(out)


def pack_images(images):
    out = [struct.pack("<Q", len(images))]
    for im in images:
        out.append(struct.pack("<I4d3dI", im.image_id, *im.qvec, *im.tvec, im.camera_id))
        out.append(im.name + b"\0" + struct.pack("<Q", len(im.points2d)))
        out += [struct.pack("<ddq", *kp) for kp in im.points2d]
    return b"".join(out)


def pack_points(points):
    out = [struct.pack("<Q", len(points))]
    for p in points:
        out.append(struct.pack("<Q3d3BdQ", p.point3d_id, *p.xyz, *p.rgb, p.error, len(p.track)))
        out += [struct.pack("<II", *t) for t in p.track]
    return b"".join(out)


def write_model(directory, cameras=(), images=(), points=()):
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "cameras.bin").write_bytes(pack_cameras(list(cameras)))
    (directory / "images.bin").write_bytes(pack_images(list(images)))
    (directory / "points3D.bin").write_bytes(pack_points(list(points)))
    return directory


# Parameters per camera model id, as COLMAP (and pycolmap.CameraModelId) define them.
CAMERA_MODELS = [
    ("SIMPLE_PINHOLE", 3), ("PINHOLE", 4), ("SIMPLE_RADIAL", 4), ("RADIAL", 5), ("OPENCV", 8),
    ("OPENCV_FISHEYE", 8), ("FULL_OPENCV", 12), ("FOV", 5), ("SIMPLE_RADIAL_FISHEYE", 4),
    ("RADIAL_FISHEYE", 5), ("THIN_PRISM_FISHEYE", 12), ("RAD_TAN_THIN_PRISM_FISHEYE", 16),
    ("SIMPLE_DIVISION", 4), ("DIVISION", 5), ("SIMPLE_FISHEYE", 3), ("FISHEYE", 4), ("EUCM", 6),
    ("EQUIRECTANGULAR", 2),
]
PARAM_COUNTS = [n for _, n in CAMERA_MODELS]


class _Bytes:
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt):
        values = struct.unpack_from(fmt, self.data, self.at)
        self.at += struct.calcsize(fmt)
        return values


def parse_cameras(data):
    r, out = _Bytes(data), {}
    for _ in range(r.take("<Q")[0]):
        cid, model, w, h = r.take("<IIQQ")
        out[cid] = Camera(cid, model, w, h, r.take(f"<{PARAM_COUNTS[model]}d"))
    return out


def parse_images(data):
    r, out = _Bytes(data), {}
    for _ in range(r.take("<Q")[0]):
        iid, *pose, cid = r.take("<I4d3dI")
        end = data.index(b"\0", r.at)
        name, r.at = data[r.at:end], end + 1
        kps = [r.take("<ddq") for _ in range(r.take("<Q")[0])]
        out[iid] = Image(iid, tuple(pose[4:]), tuple(pose[:4]), cid, name, kps)
    return out


def parse_points(data):
    r, out = _Bytes(data), {}
    for _ in range(r.take("<Q")[0]):
        pid, x, y, z, cr, cg, cb, err, n = r.take("<Q3d3BdQ")
        out[pid] = Point(pid, (x, y, z), (cr, cg, cb), err, [r.take("<II") for _ in range(n)])
    return out


def camera_centre(im):
    w, x, y, z = im.qvec
    tx, ty, tz = im.tvec
    r = [[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
         [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
         [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]]
    return tuple(-(r[0][i] * tx + r[1][i] * ty + r[2][i] * tz) for i in range(3))


def reference_split(cameras, images, points, box):
    """One patch model as (cameras, images, points) lists in ascending id
    order, built straight from the rules: select, keep the keypoints that see
    a selected point, keep the points with a kept observation, renumber."""
    min_x, min_y, max_x, max_y, min_z, max_z = box

    def inside(p):
        return min_x <= p[0] <= max_x and min_y <= p[1] <= max_y and min_z <= p[2] <= max_z

    sel_images = {i: im for i, im in sorted(images.items()) if inside(camera_centre(im))}
    sel_points = {i: p for i, p in sorted(points.items()) if inside(p.xyz)}
    used = {im.camera_id for im in sel_images.values()}
    out_cameras = [c for i, c in sorted(cameras.items()) if i in used]
    index_maps, kept_images = {}, []
    for iid, im in sel_images.items():
        kept = [(i, kp) for i, kp in enumerate(im.points2d) if kp[2] % 2**64 in sel_points]
        index_maps[iid] = {i: k for k, (i, _) in enumerate(kept)}
        kept_images.append((im, [kp for _, kp in kept]))
    new_ids, out_points = {}, []
    for pid, p in sel_points.items():
        track = sorted((img, index_maps[img][idx]) for img, idx in p.track
                       if img in index_maps and idx in index_maps[img])
        if track:
            new_ids[pid] = len(new_ids) + 1
            out_points.append(Point(new_ids[pid], p.xyz, p.rgb, -1.0, track))
    out_images = [Image(im.image_id, im.tvec, im.qvec, im.camera_id, im.name,
                        [(x, y, new_ids.get(pid % 2**64, NO_POINT)) for x, y, pid in kps])
                  for im, kps in kept_images]
    return out_cameras, out_images, out_points


# ---- rigs and frames (binary) ----

CAMERA, IMU = 0, 1
SENSOR_NAMES = {CAMERA: "CAMERA", IMU: "IMU"}


@dataclass
class Rig:
    rig_id: int
    ref_sensor: tuple | None = (CAMERA, 1)  # (type, id)
    sensors: list = field(default_factory=list)  # (type, id, pose or None)


@dataclass
class Frame:
    frame_id: int
    rig_id: int = 1
    pose: tuple = (1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
    data_ids: list = field(default_factory=list)  # (type, sensor id, data id)


def pack_rigs(rigs):
    out = [struct.pack("<Q", len(rigs))]
    for r in rigs:
        if r.ref_sensor is None:
            out.append(struct.pack("<II", r.rig_id, 0))
            continue
        out.append(struct.pack("<IIiI", r.rig_id, len(r.sensors) + 1, *r.ref_sensor))
        for kind, sensor_id, pose in r.sensors:
            out.append(struct.pack("<iIB", kind, sensor_id, pose is not None))
            if pose is not None:
                out.append(struct.pack("<7d", *pose))
    return b"".join(out)


def pack_frames(frames):
    out = [struct.pack("<Q", len(frames))]
    for f in frames:
        out.append(struct.pack("<II7dI", f.frame_id, f.rig_id, *f.pose, len(f.data_ids)))
        out += [struct.pack("<iIQ", *d) for d in f.data_ids]
    return b"".join(out)


def write_rigs(directory, rigs, frames):
    directory = Path(directory)
    (directory / "rigs.bin").write_bytes(pack_rigs(list(rigs)))
    (directory / "frames.bin").write_bytes(pack_frames(list(frames)))
    return directory


# ---- the text form, written independently of the module ----

def _number(value):
    """A double as text that reads back to the same value."""
    return repr(float(value))


def _point_id(pid):
    return "-1" if pid in (-1, 2**64 - 1) else str(pid % 2**64)


def text_cameras(cameras):
    lines = ["# Camera list", f"# Number of cameras: {len(cameras)}"]
    lines += [" ".join([str(c.camera_id), CAMERA_MODELS[c.model_id][0], str(c.width), str(c.height)]
                       + [_number(p) for p in c.params]) for c in cameras]
    return "\n".join(lines) + "\n"


def text_images(images):
    lines = ["# Image list", "#   POINTS2D[] as (X, Y, POINT3D_ID)"]
    for im in images:
        lines.append(" ".join([str(im.image_id), *map(_number, im.qvec), *map(_number, im.tvec),
                               str(im.camera_id), im.name.decode()]))
        lines.append(" ".join(f"{_number(x)} {_number(y)} {_point_id(pid)}" for x, y, pid in im.points2d))
    return "\n".join(lines) + "\n"


def text_points(points):
    lines = ["# 3D point list"]
    lines += [" ".join([str(p.point3d_id), *map(_number, p.xyz), *map(str, p.rgb), _number(p.error)]
                       + [f"{i} {k}" for i, k in p.track]) for p in points]
    return "\n".join(lines) + "\n"


def text_rigs(rigs):
    lines = ["# Rig calib list"]
    for r in rigs:
        if r.ref_sensor is None:
            lines.append(f"{r.rig_id} 0")
            continue
        fields = [str(r.rig_id), str(len(r.sensors) + 1), SENSOR_NAMES[r.ref_sensor[0]], str(r.ref_sensor[1])]
        for kind, sensor_id, pose in r.sensors:
            fields += [SENSOR_NAMES[kind], str(sensor_id)]
            fields += ["0"] if pose is None else ["1", *map(_number, pose)]
        lines.append(" ".join(fields))
    return "\n".join(lines) + "\n"


def text_frames(frames):
    lines = ["# Frame list"]
    for f in frames:
        fields = [str(f.frame_id), str(f.rig_id), *map(_number, f.pose), str(len(f.data_ids))]
        for kind, sensor_id, data_id in f.data_ids:
            fields += [SENSOR_NAMES[kind], str(sensor_id), str(data_id)]
        lines.append(" ".join(fields))
    return "\n".join(lines) + "\n"


def write_text_model(directory, cameras=(), images=(), points=(), rigs=None, frames=None):
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "cameras.txt").write_text(text_cameras(list(cameras)))
    (directory / "images.txt").write_text(text_images(list(images)))
    (directory / "points3D.txt").write_text(text_points(list(points)))
    if rigs is not None:
        (directory / "rigs.txt").write_text(text_rigs(list(rigs)))
        (directory / "frames.txt").write_text(text_frames(list(frames)))
    return directory


def points_file(points):
    """The COLMAP points file of the given (x, y, z, r, g, b) points, in order."""
    out = [struct.pack("<Q", len(points))]
    for k, (x, y, z, r, g, b) in enumerate(points, start=1):
        out.append(struct.pack("<QdddBBBdQ", k, x, y, z, r, g, b, -1.0, 0))
    return b"".join(out)


def read_points_file(data):
    """(id, x, y, z, r, g, b, error, track length) records of a points file."""
    (n,) = struct.unpack_from("<Q", data)
    assert len(data) == 8 + 51 * n
    return [struct.unpack_from("<QdddBBBdQ", data, 8 + 51 * i) for i in range(n)]


def points3d_bin(points, track_lengths=None):
    """A points3D.bin: count, then id, xyz, rgb, error, track length, track.
    Each point carries two track elements; track_lengths may declare other
    lengths (a corrupt file)."""
    out = [struct.pack("<Q", len(points))]
    for i, (x, y, z) in enumerate(points):
        t = 2 if track_lengths is None else track_lengths[i]
        out.append(struct.pack("<Q3d3BdQ", i + 1, x, y, z, 10, 20, 30, -1.0, t))
        out.append(b"".join(struct.pack("<II", 7, k) for k in range(min(t, 2))))
    return b"".join(out)


WIDE = 1e9


def patch(out, min_x=-WIDE, min_y=-WIDE, max_x=WIDE, max_y=WIDE):
    return {"min_x": min_x, "min_y": min_y, "max_x": max_x, "max_y": max_y,
            "output_path": str(out)}


def split(model_dir, patches, min_z=-WIDE, max_z=WIDE, save_points3d=True):
    return split_cameras_json(json.dumps({
        "input_path": str(model_dir), "min_z": min_z, "max_z": max_z,
        "save_points3d": save_points3d, "patches": patches}))


def files(directory):
    return tuple((directory / n).read_bytes() for n in ("cameras.bin", "images.bin", "points3D.bin"))


def model_bytes(cameras, images, points):
    return pack_cameras(cameras), pack_images(images), pack_points(points)


def parse_model(directory):
    return [parse(data) for parse, data in zip((parse_cameras, parse_images, parse_points),
                                               files(directory))]


# One patch over x, y in [0, 10]: images 2 and 5 inside, image 9 outside.
# Point 20 is inside but seen only from outside; point 50 is outside.
SCENE = dict(
    cameras=[Camera(1), Camera(2, 1, params=(1.0, 2.0, 3.0, 4.0)), Camera(3, 4, params=tuple(range(8)))],
    images=[
        Image(5, at(1, 1), camera_id=1, name=b"five.jpg", points2d=[
            (0.5, 0.5, 7), (1.5, 1.5, 99), (2.5, 2.5, -1), (3.5, 3.5, 3), (4.5, 4.5, 12),
            (5.5, 5.5, 50)]),
        Image(2, at(9, 9), camera_id=3, name="zwei-ü.jpg".encode(),
              points2d=[(6.0, 6.0, 12), (7.0, 7.0, 3)]),
        Image(9, at(20, 20), camera_id=2, name=b"nine.jpg", points2d=[(8.0, 8.0, 7), (9.0, 9.0, 20)]),
    ],
    points=[
        Point(7, (1.0, 2.0, 0.0), track=[(5, 0), (9, 0)]),
        Point(3, (3.0, 4.0, 0.0), (1, 2, 3), 0.0, track=[(5, 3), (2, 1)]),
        Point(12, (5.0, 6.0, 0.0), track=[(5, 4), (2, 0)]),
        Point(50, (50.0, 50.0, 0.0), track=[(5, 5)]),
        Point(20, (7.0, 7.0, 0.0), track=[(9, 1)]),
    ],
)


# Ids 3, 7 and 12 become 1, 2 and 3; keypoints and tracks follow.
SCENE_PATCH = model_bytes(
    [Camera(1), Camera(3, 4, params=tuple(range(8)))],
    [Image(2, at(9, 9), camera_id=3, name="zwei-ü.jpg".encode(),
           points2d=[(6.0, 6.0, 3), (7.0, 7.0, 1)]),
     Image(5, at(1, 1), camera_id=1, name=b"five.jpg",
           points2d=[(0.5, 0.5, 2), (3.5, 3.5, 1), (4.5, 4.5, 3)])],
    [Point(1, (3.0, 4.0, 0.0), (1, 2, 3), -1.0, [(2, 1), (5, 1)]),
     Point(2, (1.0, 2.0, 0.0), error=-1.0, track=[(5, 0)]),
     Point(3, (5.0, 6.0, 0.0), error=-1.0, track=[(2, 0), (5, 2)])],
)


SPACING = 10.0


GRID = (8, 4)  # images per row, rows


def grid_model(directory):
    """An image every SPACING metres on a GRID (identity rotations, height 5),
    and one point beside each image seen by it."""
    nx, ny = GRID
    images, points = [], []
    for j in range(ny):
        for i in range(nx):
            image_id = j * nx + i + 1
            images.append(Image(image_id, tvec=at(i * SPACING, j * SPACING, 5.0),
                                name=f"{image_id}.jpg".encode(),
                                points2d=[(1.0, 2.0, image_id)]))
            points.append(Point(image_id, xyz=(i * SPACING + 1, j * SPACING + 1, 0.0),
                                track=[(image_id, 0)]))
    return write_model(directory, [Camera(1, model_id=1, params=(500.0, 500.0, 320.0, 240.0))],
                       images, points)
