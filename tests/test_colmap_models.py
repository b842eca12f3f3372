"""COLMAP models in the forms users have them: text models, every camera
model, rigs and frames; and the text points file cleanup reads."""

import json
import math
import struct

import pytest

from larkspan.splat import cleanup_splats
from support.colmap import (CAMERA, CAMERA_MODELS, IMU, PARAM_COUNTS, SCENE, SCENE_PATCH, Camera, Frame, Image,
                            Point, Rig, at, files, pack_cameras, pack_frames, pack_images, pack_points, pack_rigs,
                            patch, split, write_model)
from support.ply import splat_row

TEXT_SCENE_PATCH = {
    "cameras.txt": """\
# Camera list with one line of data per camera:
#   CAMERA_ID, MODEL, WIDTH, HEIGHT, PARAMS[]
# Number of cameras: 2
1 SIMPLE_PINHOLE 640 480 500 320 240
3 OPENCV 640 480 0 1 2 3 4 5 6 7
""",
    "images.txt": """\
# Image list with two lines of data per image:
#   IMAGE_ID, QW, QX, QY, QZ, TX, TY, TZ, CAMERA_ID, NAME
#   POINTS2D[] as (X, Y, POINT3D_ID)
# Number of images: 2, mean observations per image: 2.5
2 1 0 0 0 -9 -9 -0 3 zwei-ü.jpg
6 6 3 7 7 1 8 8 -1
5 1 0 0 0 -1 -1 -0 1 five.jpg
0.5 0.5 2 3.5 3.5 1 4.5 4.5 3
""",
    "points3D.txt": """\
# 3D point list with one line of data per point:
#   POINT3D_ID, X, Y, Z, R, G, B, ERROR, TRACK[] as (IMAGE_ID, POINT2D_IDX)
# Number of points: 3, mean track length: 1.6666666666666667
1 3 4 0 1 2 3 -1 2 1 5 1
2 1 2 0 10 20 30 -1 5 0
3 5 6 0 10 20 30 -1 2 0 5 2
""",
}

def text_files(directory):
    return {p.name: p.read_text() for p in sorted(directory.iterdir())}

def test_text_model_is_split_into_text_in_colmaps_layout(tmp_path):
    model = write_model(tmp_path / "m", **SCENE, text=True)
    # Read leniently: runs of blanks, CRLF, blank and comment lines anywhere.
    text = (model / "cameras.txt").read_text().replace(" ", "  \t").replace("\n", "\r\n\n# note\n")
    (model / "cameras.txt").write_text(text)
    assert list(split(model, [patch(tmp_path / "p", 0, 0, 10, 10)]).values()) == [3, 3, 5, 1, 2, 2, 3]
    assert text_files(tmp_path / "p") == TEXT_SCENE_PATCH
    # Binary wins where both forms are there; an incomplete text model reports the binary file.
    write_model(model, **SCENE)
    split(model, [patch(tmp_path / "b", 0, 0, 10, 10)])
    assert sorted(p.name for p in (tmp_path / "b").iterdir()) == ["cameras.bin", "images.bin", "points3D.bin"]
    assert files(tmp_path / "b") == SCENE_PATCH
    (model / "points3D.bin").unlink()
    (model / "points3D.txt").unlink()
    with pytest.raises(RuntimeError, match=r"^Camera splitting failed: No such file or directory \(os error 2\)$"):
        split(model, [])

# Values whose shortest text needs all 17 digits, extremes, signed zero, subnormals and the non-finite values.
AWKWARD = (0.1, 1 / 3, 2 / 3 * 1e-300, 5e-324, -0.0, 1.7976931348623157e308, 123456789.12345679,
           math.inf, -math.inf, 1e16, 1e-5, math.nan)

def test_every_camera_model_and_number_reads_back_the_same(tmp_path):
    cameras = [Camera(i + 1, i, params=tuple(0.5 + k for k in range(n))) for i, n in enumerate(PARAM_COUNTS)]
    cameras[6].params = AWKWARD  # FULL_OPENCV: 12 parameters
    images = [Image(c.camera_id, camera_id=c.camera_id, name=b"%d" % c.camera_id) for c in cameras]
    images.append(Image(99, name=b"a b.jpg"))
    write_model(tmp_path / "t", cameras, images, [], text=True)
    split(tmp_path / "t", [patch(tmp_path / "q")])
    lines = [line.split() for line in (tmp_path / "q" / "cameras.txt").read_text().splitlines()[3:]]
    assert [(f[1], len(f) - 4) for f in lines] == CAMERA_MODELS
    assert lines[6][4:] == ["%.17g" % v for v in AWKWARD[:-1]] + ["nan"]  # as COLMAP writes a double
    # An image without keypoints has an empty keypoint line.
    assert (tmp_path / "q" / "images.txt").read_text().splitlines()[-2:] == ["99 1 0 0 0 0 0 0 1 a b.jpg", ""]

# A two-camera rig, a rig with an IMU, and a rig with no images. Frame 1 has its left image (1, x = 1) in
# patch A and its right image (2, x = 12) in B; frame 2 lies in A; frame 3 (rig 2, image 3 and IMU data) in B.
POSE = (0.5, 0.5, 0.5, 0.5, 1.0, 2.0, 3.0)
RIG_MODEL = dict(
    cameras=[Camera(1), Camera(2, 1, params=(1.0, 2.0, 3.0, 4.0)), Camera(3, 2, params=(5.0, 6.0, 7.0, 8.0))],
    images=[Image(1, at(1, 1), camera_id=1, name=b"l1.jpg", points2d=[(1.0, 1.0, 10)]),
            Image(2, at(12, 1), camera_id=2, name=b"r1.jpg", points2d=[(2.0, 2.0, 10), (3.0, 3.0, 11)]),
            Image(4, at(2, 2), camera_id=1, name=b"l2.jpg"), Image(5, at(3, 2), camera_id=2, name=b"r2.jpg"),
            Image(3, at(15, 3), camera_id=3, name=b"solo.jpg")],
    points=[Point(10, (1.0, 1.5, 0.0), track=[(1, 0), (2, 0)]), Point(11, (12.0, 1.0, 0.0), track=[(2, 1)])])
RIGS = [Rig(1, (CAMERA, 1), [(CAMERA, 2, POSE)]), Rig(2, (CAMERA, 3), [(IMU, 9, None)]), Rig(7, None, [])]
FRAMES = [Frame(1, 1, (1.0, 0.0, 0.0, 0.0, -1.0, -1.0, 0.0), [(CAMERA, 1, 1), (CAMERA, 2, 2)]),
          Frame(2, 1, (1.0, 0.0, 0.0, 0.0, -2.0, -2.0, 0.0), [(CAMERA, 1, 4), (CAMERA, 2, 5)]),
          Frame(3, 2, (1.0, 0.0, 0.0, 0.0, -15.0, -3.0, 0.0), [(CAMERA, 3, 3), (IMU, 9, 77)])]
# Each patch keeps its frames' rigs with every rig camera (camera 1 unused in B), a cut frame its own images.
EXPECTED = {"a": ([RIGS[0]], [Frame(1, 1, FRAMES[0].pose, [(CAMERA, 1, 1)]), FRAMES[1]], RIG_MODEL["cameras"][:2]),
            "b": (RIGS[:2], [Frame(1, 1, FRAMES[0].pose, [(CAMERA, 2, 2)]), FRAMES[2]], RIG_MODEL["cameras"])}

def test_frames_keep_their_patch_images_and_rigs_their_cameras(tmp_path):
    model = write_model(tmp_path / "m", **RIG_MODEL, rigs=RIGS, frames=FRAMES)
    counts = split(model, [patch(tmp_path / "a", 0, 0, 10, 10), patch(tmp_path / "b", 10, 0, 20, 10)])
    for name, (rigs, frames, cameras) in EXPECTED.items():
        assert [(tmp_path / name / f).read_bytes() for f in ("rigs.bin", "frames.bin", "cameras.bin")] == \
            [pack_rigs(rigs), pack_frames(frames), pack_cameras(cameras)]
    assert (counts["total_cameras_written"], counts["total_images_written"]) == (5, 5)
    write_model(tmp_path / "t", **RIG_MODEL, rigs=RIGS, frames=FRAMES, text=True)
    split(tmp_path / "t", [patch(tmp_path / "ta", 0, 0, 10, 10), patch(tmp_path / "tb", 10, 0, 20, 10)])
    assert (tmp_path / "tb" / "rigs.txt").read_text().splitlines()[2:] == [
        "# Number of rigs: 2", "1 2 CAMERA 1 CAMERA 2 1 0.5 0.5 0.5 0.5 1 2 3", "2 2 CAMERA 3 IMU 9 0"]
    assert (tmp_path / "tb" / "frames.txt").read_text() == (
        "# Frame list with one line of data per frame:\n"
        "#   FRAME_ID, RIG_ID, RIG_FROM_WORLD[QW, QX, QY, QZ, TX, TY, TZ], NUM_DATA_IDS, "
        "DATA_IDS[] as (SENSOR_TYPE, SENSOR_ID, DATA_ID)\n"
        "# Number of frames: 2\n1 1 1 0 0 0 -1 -1 0 1 CAMERA 2 2\n3 2 1 0 0 0 -15 -3 0 2 CAMERA 3 3 IMU 9 77\n")
    split(tmp_path / "ta", [patch(tmp_path / "again")])
    assert text_files(tmp_path / "again") == text_files(tmp_path / "ta")

TEXT_FAILURES = [
    ("cameras.txt", "1 PINHOLE_X 10 10 1 2 3 4\n", "line 1: Unknown camera model: PINHOLE_X"),
    ("cameras.txt", "# c\n1 PINHOLE 10 10 1 2 3\n", "line 2: camera model PINHOLE takes 4 parameters, found 3"),
    ("cameras.txt", "1 PINHOLE ten 10 1 2 3 4\n", 'line 1: expected the image width, found "ten"'),
    ("cameras.txt", "-1 PINHOLE 10 10 1 2 3 4\n", 'line 1: expected a camera id, found "-1"'),
    ("images.txt", "1 1 0 0 0 0 0\n\n", "line 1: expected a translation component at the end of the line"),
    ("images.txt", "# i\n1 1 0 0 0 0 0 0 1 a.jpg\n", "line 2: image 1 has no keypoint line after it"),
    ("images.txt", "1 1 0 0 0 0 0 0 1 a.jpg\n1.5 2.5 x\n", 'line 2: expected a keypoint\'s point id, found "x"'),
    ("images.txt", b"1 1 0 0 0 0 0 0 1 a\xff\n\n", "line 1: invalid utf-8 sequence of 1 bytes from index 1"),
    ("points3D.txt", "1 0 0 0 256 0 0 0\n", 'line 1: expected a colour value (0 to 255), found "256" (out of range)'),
    ("points3D.txt", "\n\n7 0 1.5.2 0 1 2 3 0.5\n", 'line 3: expected a coordinate, found "1.5.2"'),
]
SHORT, HUGE = "failed to fill whole buffer", struct.pack("<Q", 2**60)
BINARY_FAILURES = [  # the counts of lists in the file are checked against the bytes left
    ("cameras.bin", struct.pack("<Q", 2) + pack_cameras([Camera(1)])[8:], SHORT),
    ("cameras.bin", HUGE, SHORT),
    ("cameras.bin", pack_cameras([Camera(1, 18, params=())]), "Unknown camera model: 18"),
    ("cameras.bin", pack_cameras([Camera(1, 2**32 - 1, params=())]), "Unknown camera model: 4294967295"),
    ("images.bin", pack_images([Image(1)])[:-8] + HUGE + bytes(48), SHORT),  # keypoint count
    ("images.bin", struct.pack("<Q", 2**62) + pack_images([Image(1)])[8:], SHORT),
    ("images.bin", pack_images([Image(1, name=b"abc")])[:-9], SHORT),  # name without NUL
    ("images.bin", pack_images([Image(1, name=b"ab\xffc")]), "invalid utf-8 sequence of 1 bytes from index 2"),
    ("images.bin", pack_images([Image(1, name=b"ok\xf0\x9f\x98")]), "incomplete utf-8 byte sequence from index 2"),
    ("points3D.bin", pack_points([Point(1)])[:-8] + HUGE + bytes(64), SHORT),  # track length
    ("points3D.bin", pack_points([Point(1)])[:-1], SHORT),
    ("images.bin", None, "No such file or directory (os error 2)"),
    ("images.bin", pack_images([Image(3), Image(4, camera_id=77)]),
     "image 4 uses camera 77, which cameras.bin does not hold"),
]
RIG_FAILURES = [  # dangling references are refused at loading, naming the ids
    ("frames.bin", None, "the model holds rigs.bin but no frames.bin: rigs and frames come together"),
    ("rigs.bin", None, "the model holds frames.bin but no rigs.bin: rigs and frames come together"),
    ("frames.bin", pack_frames(FRAMES + [Frame(8, 5)]), "frame 8 uses rig 5, which rigs.bin does not hold"),
    ("rigs.bin", pack_rigs(RIGS + [Rig(9, (CAMERA, 6))]), "rig 9 has camera 6, which cameras.bin does not hold"),
    ("frames.bin", pack_frames(FRAMES[1:]), "image 1 belongs to no frame of frames.bin"),
    ("frames.bin", pack_frames(FRAMES)[:-1], SHORT),
    ("frames.bin", struct.pack("<QII7dI", 1, 1, 1, *FRAMES[0].pose, 2**32 - 1), SHORT),  # data id count
    ("rigs.bin", struct.pack("<QIIiI", 1, 1, 2**32 - 1, 0, 1), SHORT),  # sensor count
]

@pytest.mark.parametrize("name, content, message", TEXT_FAILURES + BINARY_FAILURES + RIG_FAILURES)
def test_load_failure_names_the_problem_and_writes_nothing(tmp_path, name, content, message):
    if name.endswith(".txt"):  # a text line that does not parse: the file and line are named
        model = write_model(tmp_path / "m", [Camera(1)], [Image(1)], [], text=True)
        message = f"{model / name}, {message}"
    else:
        model = write_model(tmp_path / "m", **RIG_MODEL, rigs=RIGS, frames=FRAMES)
    if content is None:
        (model / name).unlink()
    else:
        (model / name).write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(RuntimeError) as caught:
        split(model, [patch(tmp_path / "p")])
    assert str(caught.value) == "Camera splitting failed: " + message
    assert not (tmp_path / "p").exists()

def test_cleanup_reads_points3d_txt_as_points3d_bin(tmp_path, ply_factory):
    points = [Point(i + 1, (0.1 * i, 0.0, 0.0), track=[(1, i)]) for i in range(5)]
    (tmp_path / "bad.txt").write_text("# points\n1 0 0 zero 1 2 3 0\n")
    source = ply_factory([splat_row(0.1 * i, 0.0, 0.0) for i in range(-3, 9)])

    def clean(points_file):
        cleanup_splats(json.dumps({"input_file": str(source), "output_file": str(tmp_path / "kept.ply"), "radius": 0.15,
                                   "max_area": 1e9, "colmap_points_file": str(points_file), "min_neighbors": 2}))
        return (tmp_path / "kept.ply").read_bytes()
    assert clean(write_model(tmp_path / "b", [], [], points) / "points3D.bin") == \
        clean(write_model(tmp_path / "t", [], [], points, text=True) / "points3D.txt") != source.read_bytes()
    with pytest.raises(OSError) as caught:
        clean(tmp_path / "bad.txt")
    assert str(caught.value) == f'{tmp_path / "bad.txt"}, line 2: expected a coordinate, found "zero"'
