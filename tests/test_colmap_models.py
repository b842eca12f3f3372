"""COLMAP models in the forms users have them: every camera model, text
models, rigs and frames; split, then read back by pycolmap and COLMAP."""

import json
import math
import shutil
import struct
import subprocess

import pytest

from support.colmap import (
    CAMERA, CAMERA_MODELS, IMU, PARAM_COUNTS, Camera, Frame, Image, Point, Rig, at, pack_cameras,
    pack_frames, pack_images, pack_rigs, write_model, write_rigs, write_text_model,
)
from support.ply import splat_row
from larkspan.splat import cleanup_splats
from support.colmap import SCENE, SCENE_PATCH, WIDE, files, patch, split

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
6 6 3 7 7 1
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


def names_in(directory):
    return sorted(p.name for p in directory.iterdir())


def text_files(directory):
    return {name: (directory / name).read_text() for name in names_in(directory)}


class TestTextModels:
    def test_text_model_is_split_into_text_in_colmaps_layout(self, tmp_path):
        write_text_model(tmp_path / "m", **SCENE)
        counts = split(tmp_path / "m", [patch(tmp_path / "p", 0, 0, 10, 10)])
        assert text_files(tmp_path / "p") == TEXT_SCENE_PATCH
        assert list(counts.values()) == [3, 3, 5, 1, 2, 2, 3]

    def test_text_patch_splits_again_unchanged(self, tmp_path):
        write_text_model(tmp_path / "m", **SCENE)
        split(tmp_path / "m", [patch(tmp_path / "p", 0, 0, 10, 10)])
        split(tmp_path / "p", [patch(tmp_path / "again")])
        assert text_files(tmp_path / "again") == TEXT_SCENE_PATCH

    def test_binary_wins_when_both_forms_are_there(self, tmp_path):
        model = write_model(tmp_path / "m", **SCENE)
        write_text_model(model, [Camera(1)], [], [])
        split(model, [patch(tmp_path / "p", 0, 0, 10, 10)])
        assert names_in(tmp_path / "p") == ["cameras.bin", "images.bin", "points3D.bin"]
        assert files(tmp_path / "p") == SCENE_PATCH

    def test_incomplete_text_model_reports_the_missing_binary_file(self, tmp_path):
        write_text_model(tmp_path / "m", **SCENE)
        (tmp_path / "m" / "points3D.txt").unlink()
        with pytest.raises(RuntimeError) as caught:
            split(tmp_path / "m", [])
        assert str(caught.value) == "Camera splitting failed: No such file or directory (os error 2)"

    # Values whose shortest text needs all 17 digits, extremes, signed zero,
    # subnormals and the non-finite values.
    AWKWARD = [0.1, 1 / 3, 2 / 3 * 1e-300, 5e-324, -0.0, 1.7976931348623157e308, 123456789.12345679,
               float("inf"), float("-inf"), 1e16, 1e-5]

    def test_numbers_read_back_to_the_same_doubles(self, tmp_path):
        params = (*self.AWKWARD, 0.0)  # FULL_OPENCV: 12 parameters
        write_text_model(tmp_path / "m", [Camera(1, 6, params=params)], [Image(1)], [])
        split(tmp_path / "m", [patch(tmp_path / "p")])
        fields = (tmp_path / "p" / "cameras.txt").read_text().splitlines()[3].split()[4:]
        assert [struct.pack("<d", float(f)) for f in fields] == [struct.pack("<d", v) for v in params]
        # Written as COLMAP writes a double: 17 significant digits.
        assert fields == ["%.17g" % v for v in params]

    def test_nan_survives(self, tmp_path):
        write_text_model(tmp_path / "m", [Camera(1, params=(math.nan, 1.0, 2.0))], [Image(1)], [])
        split(tmp_path / "m", [patch(tmp_path / "p")])
        assert (tmp_path / "p" / "cameras.txt").read_text().splitlines()[3] == \
            "1 SIMPLE_PINHOLE 640 480 nan 1 2"

    def test_blank_lines_comments_and_extra_spaces_are_accepted(self, tmp_path):
        model = write_text_model(tmp_path / "m", **SCENE)
        for name in ("cameras.txt", "points3D.txt"):
            text = (model / name).read_text().replace(" ", "  \t").replace("\n", "\r\n\n# note\n")
            (model / name).write_text(text)
        split(model, [patch(tmp_path / "p", 0, 0, 10, 10)])
        assert text_files(tmp_path / "p") == TEXT_SCENE_PATCH

    def test_image_without_keypoints_has_an_empty_line(self, tmp_path):
        write_text_model(tmp_path / "m", [Camera(1)], [Image(3, name=b"a b.jpg"), Image(4)], [])
        split(tmp_path / "m", [patch(tmp_path / "p")])
        assert (tmp_path / "p" / "images.txt").read_text().splitlines()[4:] == [
            "3 1 0 0 0 0 0 0 1 a b.jpg", "", "4 1 0 0 0 0 0 0 1 img.jpg", ""]


TEXT_FAILURES = {
    "unknown model name": ("cameras.txt", "1 PINHOLE_X 10 10 1 2 3 4\n",
                           "line 1: Unknown camera model: PINHOLE_X"),
    "too few parameters": ("cameras.txt", "# c\n1 PINHOLE 10 10 1 2 3\n",
                           "line 2: camera model PINHOLE takes 4 parameters, found 3"),
    "width not a number": ("cameras.txt", "1 PINHOLE ten 10 1 2 3 4\n",
                           'line 1: expected the image width, found "ten"'),
    "negative camera id": ("cameras.txt", "-1 PINHOLE 10 10 1 2 3 4\n",
                           'line 1: expected a camera id, found "-1"'),
    "camera id past 32 bits": ("cameras.txt", "4294967296 PINHOLE 10 10 1 2 3 4\n",
                               'line 1: expected a camera id, found "4294967296" (out of range)'),
    "short image line": ("images.txt", "1 1 0 0 0 0 0\n\n",
                         "line 1: expected a translation component at the end of the line"),
    "keypoint line missing": ("images.txt", "# i\n1 1 0 0 0 0 0 0 1 a.jpg\n",
                              "line 2: image 1 has no keypoint line after it"),
    "keypoint without id": ("images.txt", "1 1 0 0 0 0 0 0 1 a.jpg\n1.5 2.5\n",
                            "line 2: expected a keypoint's point id at the end of the line"),
    "keypoint id not a number": ("images.txt", "1 1 0 0 0 0 0 0 1 a.jpg\n1.5 2.5 x\n",
                                 "line 2: expected a keypoint's point id, found \"x\""),
    "name not UTF-8": ("images.txt", b"1 1 0 0 0 0 0 0 1 a\xff\n\n",
                       "line 1: invalid utf-8 sequence of 1 bytes from index 1"),
    "colour past 255": ("points3D.txt", "1 0 0 0 256 0 0 0\n",
                        'line 1: expected a colour value (0 to 255), found "256" (out of range)'),
    "odd track": ("points3D.txt", "1 0 0 0 1 2 3 0.5 1 0 2\n",
                  "line 1: expected a keypoint index at the end of the line"),
    "coordinate not a number": ("points3D.txt", "\n\n7 0 1.5.2 0 1 2 3 0.5\n",
                                'line 3: expected a coordinate, found "1.5.2"'),
}


class TestTextErrors:
    @pytest.mark.parametrize("name, content, message", TEXT_FAILURES.values(), ids=TEXT_FAILURES)
    def test_parse_error_names_file_and_line(self, tmp_path, name, content, message):
        model = write_text_model(tmp_path / "m", [Camera(1)], [Image(1)], [])
        data = content if isinstance(content, bytes) else content.encode()
        (model / name).write_bytes(data)
        with pytest.raises(RuntimeError) as caught:
            split(model, [patch(tmp_path / "p")])
        assert str(caught.value) == f"Camera splitting failed: {model / name}, {message}"
        assert not (tmp_path / "p").exists()


class TestCameraModels:
    ALL = [Camera(i + 1, i, params=tuple(0.5 + k for k in range(n))) for i, n in enumerate(PARAM_COUNTS)]

    def test_every_model_reads_and_writes_unchanged(self, tmp_path):
        images = [Image(c.camera_id, camera_id=c.camera_id, name=b"%d" % c.camera_id) for c in self.ALL]
        model = write_model(tmp_path / "m", self.ALL, images, [])
        split(model, [patch(tmp_path / "p")])
        assert files(tmp_path / "p") == files(model)

    def test_every_model_in_text_form(self, tmp_path):
        images = [Image(c.camera_id, camera_id=c.camera_id) for c in self.ALL]
        write_text_model(tmp_path / "m", self.ALL, images, [])
        split(tmp_path / "m", [patch(tmp_path / "p")])
        lines = (tmp_path / "p" / "cameras.txt").read_text().splitlines()[3:]
        assert [line.split()[1] for line in lines] == [name for name, _ in CAMERA_MODELS]
        assert [len(line.split()) - 4 for line in lines] == PARAM_COUNTS

    def test_image_naming_a_missing_camera_is_refused_at_loading(self, tmp_path):
        model = write_model(tmp_path / "m", [Camera(1)], [Image(3), Image(4, camera_id=77)], [])
        with pytest.raises(RuntimeError) as caught:
            split(model, [patch(tmp_path / "p")])
        assert str(caught.value) == \
            "Camera splitting failed: image 4 uses camera 77, which cameras.bin does not hold"
        assert not (tmp_path / "p").exists()


# A two-camera rig and a one-camera rig with an IMU. Frame 1 has its left
# image (1, at x = 1) in patch A and its right image (2, at x = 12) in patch
# B; frame 2 lies in A; frame 3 (rig 2, image 3 and IMU data) lies in B.
# Camera 3 belongs to rig 2 only.
RIG_POSE = (0.5, 0.5, 0.5, 0.5, 1.0, 2.0, 3.0)
RIG_MODEL = dict(
    cameras=[Camera(1), Camera(2, 1, params=(1.0, 2.0, 3.0, 4.0)), Camera(3, 2, params=(5.0, 6.0, 7.0, 8.0))],
    images=[Image(1, at(1, 1), camera_id=1, name=b"l1.jpg", points2d=[(1.0, 1.0, 10)]),
            Image(2, at(12, 1), camera_id=2, name=b"r1.jpg", points2d=[(2.0, 2.0, 10), (3.0, 3.0, 11)]),
            Image(4, at(2, 2), camera_id=1, name=b"l2.jpg"),
            Image(5, at(3, 2), camera_id=2, name=b"r2.jpg"),
            Image(3, at(15, 3), camera_id=3, name=b"solo.jpg")],
    points=[Point(10, (1.0, 1.5, 0.0), track=[(1, 0), (2, 0)]), Point(11, (12.0, 1.0, 0.0), track=[(2, 1)])],
)
RIGS = [Rig(1, (CAMERA, 1), [(CAMERA, 2, RIG_POSE)]), Rig(2, (CAMERA, 3), [(IMU, 9, None)]),
        Rig(7, (CAMERA, 1), [])]
FRAMES = [Frame(1, 1, (1.0, 0.0, 0.0, 0.0, -1.0, -1.0, 0.0), [(CAMERA, 1, 1), (CAMERA, 2, 2)]),
          Frame(2, 1, (1.0, 0.0, 0.0, 0.0, -2.0, -2.0, 0.0), [(CAMERA, 1, 4), (CAMERA, 2, 5)]),
          Frame(3, 2, (1.0, 0.0, 0.0, 0.0, -15.0, -3.0, 0.0), [(CAMERA, 3, 3), (IMU, 9, 77)])]
PATCH_A = dict(rigs=[RIGS[0]], frames=[Frame(1, 1, FRAMES[0].pose, [(CAMERA, 1, 1)]), FRAMES[1]],
               cameras=[RIG_MODEL["cameras"][0], RIG_MODEL["cameras"][1]])
PATCH_B = dict(rigs=RIGS[:2], frames=[Frame(1, 1, FRAMES[0].pose, [(CAMERA, 2, 2)]), FRAMES[2]],
               cameras=RIG_MODEL["cameras"])


def rig_patches(tmp_path):
    return [patch(tmp_path / "a", 0, 0, 10, 10), patch(tmp_path / "b", 10, 0, 20, 10)]


class TestRigs:
    def test_frames_keep_their_patch_images_and_rigs_their_cameras(self, tmp_path):
        model = write_rigs(write_model(tmp_path / "m", **RIG_MODEL), RIGS, FRAMES)
        counts = split(model, rig_patches(tmp_path))
        for name, expected in (("a", PATCH_A), ("b", PATCH_B)):
            out = tmp_path / name
            assert names_in(out) == ["cameras.bin", "frames.bin", "images.bin", "points3D.bin", "rigs.bin"]
            assert (out / "rigs.bin").read_bytes() == pack_rigs(expected["rigs"])
            assert (out / "frames.bin").read_bytes() == pack_frames(expected["frames"])
            assert (out / "cameras.bin").read_bytes() == pack_cameras(expected["cameras"])
        assert counts["total_cameras_written"] == 5
        assert counts["total_images_written"] == 5

    def test_text_rig_model_gives_text_rigs_and_frames(self, tmp_path):
        write_text_model(tmp_path / "t", **RIG_MODEL, rigs=RIGS, frames=FRAMES)
        split(tmp_path / "t", rig_patches(tmp_path))
        assert (tmp_path / "b" / "rigs.txt").read_text().splitlines()[2:] == [
            "# Number of rigs: 2", "1 2 CAMERA 1 CAMERA 2 1 0.5 0.5 0.5 0.5 1 2 3", "2 2 CAMERA 3 IMU 9 0"]
        assert (tmp_path / "b" / "frames.txt").read_text() == (
            "# Frame list with one line of data per frame:\n"
            "#   FRAME_ID, RIG_ID, RIG_FROM_WORLD[QW, QX, QY, QZ, TX, TY, TZ], NUM_DATA_IDS, "
            "DATA_IDS[] as (SENSOR_TYPE, SENSOR_ID, DATA_ID)\n"
            "# Number of frames: 2\n"
            "1 1 1 0 0 0 -1 -1 0 1 CAMERA 2 2\n"
            "3 2 1 0 0 0 -15 -3 0 2 CAMERA 3 3 IMU 9 77\n")
        # The text split and the binary split are the same model.
        write_rigs(write_model(tmp_path / "m", **RIG_MODEL), RIGS, FRAMES)
        split(tmp_path / "m", [patch(tmp_path / "bin_a", 0, 0, 10, 10)])
        split(tmp_path / "a", [patch(tmp_path / "text_to_text")])
        text_rigs = (tmp_path / "text_to_text" / "rigs.txt").read_text()
        assert text_rigs == (tmp_path / "a" / "rigs.txt").read_text()
        assert text_rigs.splitlines()[-1] == "1 2 CAMERA 1 CAMERA 2 1 0.5 0.5 0.5 0.5 1 2 3"

    def test_model_without_rig_files_gets_none(self, tmp_path):
        split(write_model(tmp_path / "m", **SCENE), [patch(tmp_path / "p", 0, 0, 10, 10)])
        assert names_in(tmp_path / "p") == ["cameras.bin", "images.bin", "points3D.bin"]

    def test_rig_sensor_without_pose_and_rig_without_sensors(self, tmp_path):
        rigs = [Rig(1, (CAMERA, 1), [(CAMERA, 2, None)]), Rig(2, None, [])]
        frames = [Frame(1, 1, data_ids=[(CAMERA, 1, 1), (CAMERA, 2, 2)]), Frame(2, 2, data_ids=[])]
        images = [Image(1, camera_id=1), Image(2, camera_id=2)]
        model = write_rigs(write_model(tmp_path / "m", [Camera(1), Camera(2)], images, []), rigs, frames)
        split(model, [patch(tmp_path / "p")])
        assert (tmp_path / "p" / "rigs.bin").read_bytes() == pack_rigs(rigs[:1])
        assert (tmp_path / "p" / "frames.bin").read_bytes() == pack_frames(frames[:1])


RIG_LOAD_FAILURES = {
    "frames file missing": (lambda m: (m / "frames.bin").unlink(),
                            "the model holds rigs.bin but no frames.bin: rigs and frames come together"),
    "rigs file missing": (lambda m: (m / "rigs.bin").unlink(),
                          "the model holds frames.bin but no rigs.bin: rigs and frames come together"),
    "frame of a missing rig": (lambda m: (m / "frames.bin").write_bytes(pack_frames(FRAMES + [Frame(8, 5)])),
                               "frame 8 uses rig 5, which rigs.bin does not hold"),
    "rig of a missing camera": (lambda m: (m / "rigs.bin").write_bytes(pack_rigs(RIGS + [Rig(9, (CAMERA, 6))])),
                                "rig 9 has camera 6, which cameras.bin does not hold"),
    "image in no frame": (lambda m: (m / "frames.bin").write_bytes(pack_frames(FRAMES[1:])),
                          "image 1 belongs to no frame of frames.bin"),
    "truncated frames": (lambda m: (m / "frames.bin").write_bytes(pack_frames(FRAMES)[:-1]),
                         "failed to fill whole buffer"),
    "corrupt data id count": (lambda m: (m / "frames.bin").write_bytes(
        struct.pack("<QII7dI", 1, 1, 1, *FRAMES[0].pose, 2**32 - 1)), "failed to fill whole buffer"),
    "corrupt sensor count": (lambda m: (m / "rigs.bin").write_bytes(struct.pack("<QIIiI", 1, 1, 2**32 - 1, 0, 1)),
                             "failed to fill whole buffer"),
}


class TestRigErrors:
    @pytest.mark.parametrize("damage, message", RIG_LOAD_FAILURES.values(), ids=RIG_LOAD_FAILURES)
    def test_refused_at_loading(self, tmp_path, damage, message):
        model = write_rigs(write_model(tmp_path / "m", **RIG_MODEL), RIGS, FRAMES)
        damage(model)
        with pytest.raises(RuntimeError) as caught:
            split(model, [patch(tmp_path / "p")])
        assert str(caught.value) == "Camera splitting failed: " + message
        assert not (tmp_path / "p").exists()


def clean(source, out, points_file, **options):
    cleanup_splats(json.dumps({"input_file": str(source), "output_file": str(out), "max_area": 1e9,
                               "colmap_points_file": str(points_file), **options}))


class TestCleanupPointsText:
    def test_points3d_txt_gives_the_same_grid_as_points3d_bin(self, tmp_path, ply_factory):
        points = [Point(i + 1, (0.1 * i, 0.0, 0.0), track=[(1, i)]) for i in range(5)]
        write_model(tmp_path / "bin", [], [], points)
        write_text_model(tmp_path / "txt", [], [], points)
        source = ply_factory([splat_row(0.1 * i, 0.0, 0.0) for i in range(-3, 9)])
        outputs = []
        for points_file in (tmp_path / "bin" / "points3D.bin", tmp_path / "txt" / "points3D.txt"):
            clean(source, tmp_path / "kept.ply", points_file, min_neighbors=2, radius=0.15)
            outputs.append((tmp_path / "kept.ply").read_bytes())
        assert outputs[0] == outputs[1]
        assert outputs[0] != source.read_bytes()

    def test_text_points_error_is_an_os_error_naming_the_line(self, tmp_path, ply_factory):
        (tmp_path / "p.txt").write_text("# points\n1 0 0 zero 1 2 3 0\n")
        with pytest.raises(OSError) as caught:
            clean(ply_factory([]), tmp_path / "o.ply", tmp_path / "p.txt")
        assert str(caught.value) == f'{tmp_path / "p.txt"}, line 2: expected a coordinate, found "zero"'
