"""COLMAP models built with struct: records are dataclasses, `pack_*` lay them out as the binary
file (in order, duplicates kept), `text_*` as the text file."""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass, field
from pathlib import Path

from larkspan.splat import split_cameras_json

CAMERA, IMU = 0, 1
SENSOR_NAMES = {CAMERA: "CAMERA", IMU: "IMU"}
# Parameters per camera model id, as COLMAP (and pycolmap.CameraModelId) define them.
CAMERA_MODELS = [
    ("SIMPLE_PINHOLE", 3), ("PINHOLE", 4), ("SIMPLE_RADIAL", 4), ("RADIAL", 5), ("OPENCV", 8),
    ("OPENCV_FISHEYE", 8), ("FULL_OPENCV", 12), ("FOV", 5), ("SIMPLE_RADIAL_FISHEYE", 4),
    ("RADIAL_FISHEYE", 5), ("THIN_PRISM_FISHEYE", 12), ("RAD_TAN_THIN_PRISM_FISHEYE", 16),
    ("SIMPLE_DIVISION", 4), ("DIVISION", 5), ("SIMPLE_FISHEYE", 3), ("FISHEYE", 4), ("EUCM", 6),
    ("EQUIRECTANGULAR", 2)]
PARAM_COUNTS = [n for _, n in CAMERA_MODELS]

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

@dataclass
class Rig:
    rig_id: int
    ref_sensor: tuple | None = (CAMERA, 1)  # (type, id); None: a rig without sensors
    sensors: list = field(default_factory=list)  # (type, id, pose or None)

@dataclass
class Frame:
    frame_id: int
    rig_id: int = 1
    pose: tuple = (1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
    data_ids: list = field(default_factory=list)  # (type, sensor id, data id)

def at(x, y, z=0.0):
    """The tvec that puts an identity-rotation camera's centre at (x, y, z)."""
    return (-x, -y, -z)

def _counted(records, pack):
    return struct.pack("<Q", len(records)) + b"".join(pack(r) for r in records)

def pack_cameras(cameras):
    return _counted(cameras, lambda c: struct.pack(f"<IIQQ{len(c.params)}d", c.camera_id, c.model_id,
                                                   c.width, c.height, *c.params))

def pack_images(images):
    return _counted(images, lambda im: struct.pack("<I4d3dI", im.image_id, *im.qvec, *im.tvec, im.camera_id)
                    + im.name + b"\0" + _counted(im.points2d, lambda kp: struct.pack("<ddq", *kp)))

def pack_points(points):
    return _counted(points, lambda p: struct.pack("<Q3d3Bd", p.point3d_id, *p.xyz, *p.rgb, p.error)
                    + _counted(p.track, lambda t: struct.pack("<II", *t)))

def pack_rigs(rigs):
    def rig(r):
        if r.ref_sensor is None:
            return struct.pack("<II", r.rig_id, 0)
        return struct.pack("<IIiI", r.rig_id, len(r.sensors) + 1, *r.ref_sensor) + b"".join(
            struct.pack("<iIB", kind, sid, pose is not None) + (struct.pack("<7d", *pose) if pose else b"")
            for kind, sid, pose in r.sensors)
    return _counted(rigs, rig)

def pack_frames(frames):
    return _counted(frames, lambda f: struct.pack("<II7dI", f.frame_id, f.rig_id, *f.pose, len(f.data_ids))
                    + b"".join(struct.pack("<iIQ", *d) for d in f.data_ids))

def _text(*values):
    """Fields as text; doubles as a repr that reads back to the same value."""
    return " ".join(repr(v) if isinstance(v, float) else v.decode() if isinstance(v, bytes) else str(v)
                    for v in values)

def _sensor(kind, sensor_id):
    return f"{SENSOR_NAMES[kind]} {sensor_id}"

def text_cameras(cameras):
    return [_text(c.camera_id, CAMERA_MODELS[c.model_id][0], c.width, c.height, *map(float, c.params))
            for c in cameras]

def text_images(images):
    return [line for im in images for line in (
        _text(im.image_id, *map(float, im.qvec), *map(float, im.tvec), im.camera_id, im.name),
        _text(*(v for x, y, pid in im.points2d for v in (float(x), float(y), -1 if pid in (-1, 2**64 - 1)
                                                           else pid % 2**64))))]

def text_points(points):
    return [_text(p.point3d_id, *map(float, p.xyz), *p.rgb, float(p.error), *(v for t in p.track for v in t))
            for p in points]

def text_rigs(rigs):
    return [f"{r.rig_id} 0" if r.ref_sensor is None else " ".join(
        [f"{r.rig_id} {len(r.sensors) + 1} {_sensor(*r.ref_sensor)}"]
        + [_sensor(kind, sid) + (" 0" if pose is None else " 1 " + _text(*map(float, pose)))
           for kind, sid, pose in r.sensors]) for r in rigs]

def text_frames(frames):
    return [" ".join([_text(f.frame_id, f.rig_id, *map(float, f.pose), len(f.data_ids))]
                     + [f"{_sensor(kind, sid)} {data_id}" for kind, sid, data_id in f.data_ids]) for f in frames]

FORMS = {"cameras": (pack_cameras, text_cameras), "images": (pack_images, text_images),
         "points3D": (pack_points, text_points), "rigs": (pack_rigs, text_rigs), "frames": (pack_frames, text_frames)}

def write_model(directory, cameras=(), images=(), points=(), rigs=None, frames=None, text=False):
    """The model's binary (or text) files; rigs and frames only when rigs are given."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    models = dict(cameras=cameras, images=images, points3D=points, rigs=rigs, frames=frames)
    for name, records in list(models.items())[:3 if rigs is None else 5]:
        pack, lines = FORMS[name]
        if text:
            (directory / f"{name}.txt").write_text("".join(f"{ln}\n" for ln in [f"# {name}"] + lines(list(records))))
        else:
            (directory / f"{name}.bin").write_bytes(pack(list(records)))
    return directory

def parse_points(data):
    """The points of a points3D.bin by id."""
    (count,), offset, points = struct.unpack_from("<Q", data), 8, {}
    for _ in range(count):
        pid, x, y, z, cr, cg, cb, err, n = struct.unpack_from("<Q3d3BdQ", data, offset)
        track = [struct.unpack_from("<II", data, offset + 51 + 8 * k) for k in range(n)]
        points[pid], offset = Point(pid, (x, y, z), (cr, cg, cb), err, track), offset + 51 + 8 * n
    return points

def camera_centre(im):
    """-R^T t of the image's pose."""
    w, x, y, z = im.qvec
    r = [[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
         [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
         [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]]
    tx, ty, tz = im.tvec
    return tuple(-(r[0][i] * tx + r[1][i] * ty + r[2][i] * tz) for i in range(3))

def reference_split(cameras, images, points, box):
    """One patch model as (cameras, images, points) lists in ascending id order, straight from the
    rules: select, keep the keypoints that see a selected point, keep the points with a kept
    observation, renumber."""
    min_x, min_y, max_x, max_y, min_z, max_z = box

    def inside(p):
        return min_x <= p[0] <= max_x and min_y <= p[1] <= max_y and min_z <= p[2] <= max_z

    sel_images = {i: im for i, im in sorted(images.items()) if inside(camera_centre(im))}
    sel_points = {i: p for i, p in sorted(points.items()) if inside(p.xyz)}
    used = {im.camera_id for im in sel_images.values()}
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
                        [(x, y, new_ids.get(pid % 2**64, -1)) for x, y, pid in kps])
                  for im, kps in kept_images]
    return [c for i, c in sorted(cameras.items()) if i in used], out_images, out_points

def points_file(points):
    """The COLMAP points file of the given (x, y, z, r, g, b) points, in order."""
    return _counted(list(enumerate(points, start=1)), lambda kp: struct.pack("<QdddBBBdQ", kp[0], *kp[1], -1.0, 0))

def read_points_file(data):
    """(id, x, y, z, r, g, b, error, track length) records of a points file."""
    (n,) = struct.unpack_from("<Q", data)
    assert len(data) == 8 + 51 * n
    return [struct.unpack_from("<QdddBBBdQ", data, 8 + 51 * i) for i in range(n)]

def points3d_bin(points, track_lengths=None):
    """A points3D.bin of (x, y, z) points with two track elements each, or as track_lengths declare."""
    out = [struct.pack("<Q", len(points))]
    for i, (xyz, t) in enumerate(zip(points, track_lengths or [2] * len(points)), start=1):
        out.append(struct.pack("<Q3d3BdQ", i, *xyz, 10, 20, 30, -1.0, t))
        out += [struct.pack("<II", 7, k) for k in range(min(t, 2))]
    return b"".join(out)

WIDE = 1e9

def patch(out, min_x=-WIDE, min_y=-WIDE, max_x=WIDE, max_y=WIDE):
    return {"min_x": min_x, "min_y": min_y, "max_x": max_x, "max_y": max_y, "output_path": str(out)}

def split(model_dir, patches, min_z=-WIDE, max_z=WIDE, save_points3d=True):
    return split_cameras_json(json.dumps({"input_path": str(model_dir), "min_z": min_z, "max_z": max_z,
                                          "save_points3d": save_points3d, "patches": patches}))

def files(directory):
    return tuple((directory / n).read_bytes() for n in ("cameras.bin", "images.bin", "points3D.bin"))

def model_bytes(cameras, images, points):
    return pack_cameras(cameras), pack_images(images), pack_points(points)

# One patch over x, y in [0, 10]: images 2 and 5 inside, image 9 outside. Point 20 is inside
# but its track names image 9 only, so it is left out and image 2's keypoint on it becomes -1.
SCENE = dict(
    cameras=[Camera(1), Camera(2, 1, params=(1.0, 2.0, 3.0, 4.0)), Camera(3, 4, params=tuple(range(8)))],
    images=[Image(5, at(1, 1), camera_id=1, name=b"five.jpg", points2d=[
                (0.5, 0.5, 7), (1.5, 1.5, 99), (2.5, 2.5, -1), (3.5, 3.5, 3), (4.5, 4.5, 12), (5.5, 5.5, 50)]),
            Image(2, at(9, 9), camera_id=3, name="zwei-ü.jpg".encode(), points2d=[(6.0, 6.0, 12), (7.0, 7.0, 3), (8.0, 8.0, 20)]),
            Image(9, at(20, 20), camera_id=2, name=b"nine.jpg", points2d=[(8.0, 8.0, 7), (9.0, 9.0, 20)])],
    points=[Point(7, (1.0, 2.0, 0.0), track=[(5, 0), (9, 0)]),
            Point(3, (3.0, 4.0, 0.0), (1, 2, 3), 0.0, track=[(5, 3), (2, 1)]),
            Point(12, (5.0, 6.0, 0.0), track=[(5, 4), (2, 0)]),
            Point(50, (50.0, 50.0, 0.0), track=[(5, 5)]), Point(20, (7.0, 7.0, 0.0), track=[(9, 1)])])
# Ids 3, 7 and 12 become 1, 2 and 3; keypoints and tracks follow.
SCENE_PATCH = model_bytes(
    [Camera(1), Camera(3, 4, params=tuple(range(8)))],
    [Image(2, at(9, 9), camera_id=3, name="zwei-ü.jpg".encode(), points2d=[(6.0, 6.0, 3), (7.0, 7.0, 1), (8.0, 8.0, -1)]),
     Image(5, at(1, 1), camera_id=1, name=b"five.jpg", points2d=[(0.5, 0.5, 2), (3.5, 3.5, 1), (4.5, 4.5, 3)])],
    [Point(1, (3.0, 4.0, 0.0), (1, 2, 3), -1.0, [(2, 1), (5, 1)]),
     Point(2, (1.0, 2.0, 0.0), error=-1.0, track=[(5, 0)]),
     Point(3, (5.0, 6.0, 0.0), error=-1.0, track=[(2, 0), (5, 2)])])

SPACING, GRID = 10.0, (8, 4)  # metres between images; images per row, rows

def grid_model(directory):
    """An image every SPACING metres on a GRID (height 5), and one point beside each seen by it."""
    nx, ny = GRID
    ids = [(j * nx + i + 1, i * SPACING, j * SPACING) for j in range(ny) for i in range(nx)]
    return write_model(directory, [Camera(1, model_id=1, params=(500.0, 500.0, 320.0, 240.0))],
                       [Image(k, tvec=at(x, y, 5.0), name=f"{k}.jpg".encode(), points2d=[(1.0, 2.0, k)])
                        for k, x, y in ids],
                       [Point(k, xyz=(x + 1, y + 1, 0.0), track=[(k, 0)]) for k, x, y in ids])
