"""Models written by COLMAP itself (pycolmap 4.x), split, and every patch
read back by pycolmap and, where it is installed, by the COLMAP program."""

import json
import os
import re
import shutil
import subprocess

import pytest

from larkspan.splat import split_cameras_json

if os.environ.get("LARKSPAN_SANITIZED"):
    # pycolmap and numpy keep Python objects alive at exit, which the leak
    # checker would report against this suite; our side of these splits runs
    # under the sanitizers in test_colmap_models.py.
    pytest.skip("pycolmap is not checked by the sanitizers", allow_module_level=True)
pycolmap = pytest.importorskip("pycolmap", minversion="4")
np = pytest.importorskip("numpy")

WIDE = 1e9
COLMAP = shutil.which("colmap")
# The newest camera model the Debian COLMAP program (3.8) knows.
COLMAP_38_LAST_MODEL = 10


def synthetic(seed, num_rigs, cameras_per_rig, frames_per_rig, models=None):
    """A model as COLMAP writes one; `models` gives each camera, in id order,
    a camera model of its own."""
    pycolmap.set_random_seed(seed)
    options = pycolmap.SyntheticDatasetOptions()
    options.num_rigs = num_rigs
    options.num_cameras_per_rig = cameras_per_rig
    options.num_frames_per_rig = frames_per_rig
    options.num_points3D = 60
    options.num_points2D_without_point3D = 3
    model = pycolmap.synthesize_dataset(options)
    for camera_id, model_id in zip(sorted(model.cameras), models or []):
        camera = model.cameras[camera_id]
        camera.model = model_id
        camera.params = pycolmap.Camera.create_from_model_id(
            camera_id, model_id, 400.0 + camera_id, camera.width, camera.height).params
    return model


EVERY_MODEL = [m for m in pycolmap.CameraModelId.__members__.values() if m.value >= 0]
SCENES = {
    "single camera": dict(num_rigs=1, cameras_per_rig=1, frames_per_rig=10),
    "camera models of COLMAP 3.8": dict(num_rigs=COLMAP_38_LAST_MODEL + 1, cameras_per_rig=1,
                                        frames_per_rig=2,
                                        models=[m for m in EVERY_MODEL if m.value <= COLMAP_38_LAST_MODEL]),
    "every camera model": dict(num_rigs=len(EVERY_MODEL), cameras_per_rig=1, frames_per_rig=2,
                               models=EVERY_MODEL),
    "two-camera rig": dict(num_rigs=1, cameras_per_rig=2, frames_per_rig=6),
    "two rigs of three cameras": dict(num_rigs=2, cameras_per_rig=3, frames_per_rig=3),
}


def write(model, directory, form, with_rigs):
    directory.mkdir()
    (model.write_text if form == "text" else model.write_binary)(str(directory))
    if not with_rigs:  # as COLMAP 3 writes a model
        for name in ("rigs", "frames"):
            (directory / f"{name}.{'txt' if form == 'text' else 'bin'}").unlink()


def boundary(model):
    """An x between camera centres, and for a model with rigs, between the
    centres of one frame's images, so that the frame is cut in two."""
    for frame in model.frames.values():
        xs = sorted(model.images[d.id].projection_center()[0] for d in frame.image_ids)
        if len(xs) > 1 and xs[-1] - xs[0] > 1e-6:
            return (xs[0] + xs[1]) / 2
    xs = sorted(im.projection_center()[0] for im in model.images.values())
    return (xs[len(xs) // 2 - 1] + xs[len(xs) // 2]) / 2


def split(directory, patches):
    return split_cameras_json(json.dumps({
        "input_path": str(directory), "min_z": -WIDE, "max_z": WIDE, "save_points3d": True,
        "patches": [{"min_x": lo, "min_y": -WIDE, "max_x": hi, "max_y": WIDE, "output_path": str(out)}
                    for out, lo, hi in patches]}))


def same_pose(a, b):
    return np.array_equal(a.matrix(), b.matrix())


def same_camera(a, b):
    return (a.camera_id, a.model, a.width, a.height) == (b.camera_id, b.model, b.width, b.height) and \
        np.array_equal(a.params, b.params)


def same_rig(a, b):
    return a.rig_id == b.rig_id and a.ref_sensor_id == b.ref_sensor_id and \
        a.non_ref_sensors.keys() == b.non_ref_sensors.keys() and \
        all(same_pose(a.non_ref_sensors[s], b.non_ref_sensors[s]) for s in a.non_ref_sensors)


def keypoint(model, image_id, index):
    return image_id, tuple(model.images[image_id].points2D[index].xy)


def check_patch(source, patch, lo, hi):
    """The patch holds exactly what the split rules select from the source,
    with nothing changed: poses, intrinsics, rigs, frames, point tracks."""
    def inside(xyz):
        return lo <= xyz[0] <= hi

    kept = {i for i, im in source.images.items() if inside(im.projection_center())}
    assert set(patch.images) == kept
    for image_id in kept:
        a, b = source.images[image_id], patch.images[image_id]
        assert (b.name, b.camera_id, b.frame_id) == (a.name, a.camera_id, a.frame_id)
        assert same_pose(b.cam_from_world(), a.cam_from_world())
        assert same_camera(patch.cameras[b.camera_id], source.cameras[a.camera_id])

    frames = {i: f for i, f in source.frames.items() if any(d.id in kept for d in f.image_ids)}
    assert set(patch.frames) == set(frames)
    for frame_id, a in frames.items():
        b = patch.frames[frame_id]
        assert b.rig_id == a.rig_id and same_pose(b.rig_from_world, a.rig_from_world)
        assert set(b.data_ids) == {d for d in a.data_ids if d.id in kept}
    assert set(patch.rigs) == {f.rig_id for f in frames.values()}
    for rig_id, rig in patch.rigs.items():
        assert same_rig(rig, source.rigs[rig_id])
        for sensor in rig.sensor_ids():
            assert same_camera(patch.cameras[sensor.id], source.cameras[sensor.id])

    # Points by position: those inside, seen from a kept image, with the
    # observations from kept images, found by keypoint position.
    expected = {}
    for point in source.points3D.values():
        seen = {keypoint(source, e.image_id, e.point2D_idx) for e in point.track.elements
                if e.image_id in kept}
        if inside(point.xyz) and seen:
            expected[tuple(point.xyz)] = (tuple(point.color), seen)
    got = {tuple(p.xyz): (tuple(p.color), {keypoint(patch, e.image_id, e.point2D_idx)
                                           for e in p.track.elements})
           for p in patch.points3D.values()}
    assert got == expected
    assert all(p.error == -1 for p in patch.points3D.values())
    assert sorted(patch.points3D) == list(range(1, len(expected) + 1))
    for image_id in kept:
        observing = [(tuple(k.xy), tuple(source.points3D[k.point3D_id].xyz))
                     for k in source.images[image_id].points2D
                     if k.has_point3D() and tuple(source.points3D[k.point3D_id].xyz) in expected]
        assert [(tuple(k.xy), tuple(patch.points3D[k.point3D_id].xyz))
                for k in patch.images[image_id].points2D] == observing


def analyse(directory):
    """The Debian COLMAP program's summary of a model folder."""
    done = subprocess.run([COLMAP, "model_analyzer", "--path", str(directory)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    output = done.stdout + done.stderr
    return {key: int(re.search(rf"{key}: (\d+)", output).group(1)) for key in ("Images", "Points")}


@pytest.mark.parametrize("form", ["binary", "text"])
@pytest.mark.parametrize("with_rigs", [True, False], ids=["4.x with rigs", "3.x without"])
@pytest.mark.parametrize("scene", SCENES.values(), ids=SCENES)
def test_patches_load_in_pycolmap_with_nothing_lost(tmp_path, scene, form, with_rigs):
    model = synthetic(7, **scene)
    write(model, tmp_path / "in", form, with_rigs)
    source = pycolmap.Reconstruction(str(tmp_path / "in"))
    middle = boundary(source)
    patches = [(tmp_path / "left", -WIDE, middle), (tmp_path / "right", middle, WIDE),
               (tmp_path / "all", -WIDE, WIDE)]
    counts = split(tmp_path / "in", patches)

    suffix = ".txt" if form == "text" else ".bin"
    names = ["cameras", "images", "points3D"] + (["frames", "rigs"] if with_rigs else [])
    total_images = 0
    for out, lo, hi in patches:
        assert sorted(p.name for p in out.iterdir()) == sorted(n + suffix for n in names)
        patch = pycolmap.Reconstruction(str(out))
        check_patch(source, patch, lo, hi)
        total_images += patch.num_images()
        if COLMAP and max(c.model.value for c in patch.cameras.values()) <= COLMAP_38_LAST_MODEL:
            assert analyse(out) == {"Images": patch.num_images(), "Points": patch.num_points3D()}
    assert 0 < pycolmap.Reconstruction(str(tmp_path / "left")).num_images() < source.num_images()
    assert counts["images_loaded"] == source.num_images()
    assert counts["total_images_written"] == total_images


def test_a_frame_cut_in_two_keeps_its_images_in_each_patch(tmp_path):
    model = synthetic(3, num_rigs=1, cameras_per_rig=2, frames_per_rig=4)
    write(model, tmp_path / "in", "binary", True)
    source = pycolmap.Reconstruction(str(tmp_path / "in"))
    middle = boundary(source)
    split(tmp_path / "in", [(tmp_path / "left", -WIDE, middle), (tmp_path / "right", middle, WIDE)])
    left, right = (pycolmap.Reconstruction(str(tmp_path / n)) for n in ("left", "right"))
    shared = set(left.frames) & set(right.frames)
    assert shared
    for frame_id in shared:
        halves = [set(p.frames[frame_id].data_ids) for p in (left, right)]
        assert not halves[0] & halves[1]
        assert halves[0] | halves[1] == set(source.frames[frame_id].data_ids)
    # Each side holds the whole rig with both cameras.
    assert set(left.cameras) == set(right.cameras) == set(source.cameras)
