"""split_cameras_json: per-patch COLMAP models, the model files, and failures."""

import json
import random
import struct

import pytest

from support.colmap import (
    PARAM_COUNTS, Camera, Image, Point, at, pack_cameras, pack_images, pack_points, parse_cameras,
    parse_images, parse_points, reference_split, write_model,
)
from larkspan.splat import split_cameras_json
from support.colmap import SCENE, SCENE_PATCH, WIDE, files, model_bytes, parse_model, patch, split

COUNT_KEYS = ["cameras_loaded", "images_loaded", "points3d_loaded", "patches_written",
              "total_cameras_written", "total_images_written", "total_points3d_written"]


@pytest.fixture
def scene(tmp_path):
    return write_model(tmp_path / "model", **SCENE)


class TestPatchModel:
    def test_selection_renumbering_and_keypoint_maps_byte_exact(self, scene, tmp_path):
        counts = split(scene, [patch(tmp_path / "p", 0, 0, 10, 10)])
        assert files(tmp_path / "p") == SCENE_PATCH
        assert list(counts) == COUNT_KEYS
        assert list(counts.values()) == [3, 3, 5, 1, 2, 2, 3]

    def test_without_points3d_no_points_file_but_points_counted(self, scene, tmp_path):
        out = tmp_path / "p"
        out.mkdir()
        (out / "points3D.bin").write_bytes(b"left alone")
        counts = split(scene, [patch(out, 0, 0, 10, 10)], save_points3d=False)
        assert files(out) == (*SCENE_PATCH[:2], b"left alone")
        assert counts["total_points3d_written"] == 3

    def test_every_bound_is_inclusive_and_shared_edges_belong_to_both(self, tmp_path):
        corners = [(0, 0, -1), (4, 4, 1), (0, 4, 0), (4, 0, 0)]
        images = [Image(i + 1, at(*c)) for i, c in enumerate(corners)]
        images.append(Image(9, at(2, 2, 1.0000001)))  # just above max_z
        model = write_model(tmp_path / "m", [Camera(1)], images, [])
        counts = split(model, [patch(tmp_path / "a", 0, 0, 4, 4), patch(tmp_path / "b", 4, 0, 8, 4)],
                       min_z=-1, max_z=1)
        assert sorted(parse_images(files(tmp_path / "a")[1])) == [1, 2, 3, 4]
        assert sorted(parse_images(files(tmp_path / "b")[1])) == [2, 4]
        assert counts["total_images_written"] == 6

    def test_centre_is_minus_r_transposed_t(self, tmp_path):
        # Identity pose with tvec (1, 2, 3): centre (-1, -2, -3). A quarter turn
        # about z (w = z = sqrt(1/2)) with tvec (1, 0, 0): centre (0, 1, 0).
        half = 0.5 ** 0.5
        images = [Image(1, (1.0, 2.0, 3.0)), Image(2, (1.0, 0.0, 0.0), (half, 0.0, 0.0, half))]
        model = write_model(tmp_path / "m", [Camera(1)], images, [])
        tiny = 1e-9
        split(model, [patch(tmp_path / "a", -1, -2, -1, -2),
                      patch(tmp_path / "b", -tiny, 1 - tiny, tiny, 1 + tiny)], min_z=-3, max_z=0)
        assert list(parse_images(files(tmp_path / "a")[1])) == [1]
        assert list(parse_images(files(tmp_path / "b")[1])) == [2]

    def test_reversed_bounds_write_empty_files(self, scene, tmp_path):
        counts = split(scene, [patch(tmp_path / "p", 10, 0, 0, 10)])
        assert files(tmp_path / "p") == (struct.pack("<Q", 0),) * 3
        assert list(counts.values())[3:] == [1, 0, 0, 0]

    def test_nan_position_is_never_inside(self, tmp_path):
        nan = float("nan")
        model = write_model(tmp_path / "m", [Camera(1)], [Image(1, (nan, 0.0, 0.0))],
                            [Point(1, (nan, 0.0, 0.0))])
        assert list(split(model, [patch(tmp_path / "p")]).values())[3:] == [1, 0, 0, 0]

    def test_kept_keypoint_of_a_left_out_point_gets_minus_one(self, tmp_path):
        # Keypoint 0 names point 8, whose track does not name it back, so
        # point 8 keeps no observation and is left out; its input id 8 would
        # otherwise dangle (or name another point after renumbering).
        images = [Image(1, points2d=[(1.0, 1.0, 8), (2.0, 2.0, 9)])]
        points = [Point(8, track=[(1, 5)]), Point(9, track=[(1, 1)])]
        model = write_model(tmp_path / "m", [Camera(1)], images, points)
        split(model, [patch(tmp_path / "p")])
        assert files(tmp_path / "p")[1:] == (
            pack_images([Image(1, points2d=[(1.0, 1.0, -1), (2.0, 2.0, 1)])]),
            pack_points([Point(1, error=-1.0, track=[(1, 1)])]))

    def test_empty_patch_list_loads_and_writes_nothing(self, scene, tmp_path):
        assert list(split(scene, []).values()) == [3, 3, 5, 0, 0, 0, 0]


class TestReadBack:
    def test_patch_model_splits_again_unchanged(self, scene, tmp_path):
        split(scene, [patch(tmp_path / "p", 0, 0, 10, 10)])
        counts = split(tmp_path / "p", [patch(tmp_path / "again")])
        assert files(tmp_path / "again") == SCENE_PATCH
        assert list(counts.values()) == [2, 2, 3, 1, 2, 2, 3]

    def test_read_then_write_reproduces_files(self, tmp_path):
        # Unique ascending ids, every camera used, consistent references,
        # error -1.0 and sorted tracks: nothing for the split to change.
        cameras = [Camera(i, i - 1, params=tuple(float(k) for k in range(n)))
                   for i, n in zip(range(1, 7), [3, 4, 4, 5, 8, 8])]
        images = [Image(i, camera_id=i, name=f"{i}".encode() * (i - 1)) for i in range(1, 7)]
        images[2].points2d = [(1.0, 2.0, 1), (3.0, 4.0, 2)]
        points = [Point(1, error=-1.0, track=[(3, 0)]), Point(2, error=-1.0, track=[(3, 1)])]
        model = write_model(tmp_path / "m", cameras, images, points)
        split(model, [patch(tmp_path / "p")])
        assert files(tmp_path / "p") == files(model)

    def test_later_duplicate_wins_and_trailing_bytes_are_ignored(self, tmp_path):
        model = write_model(tmp_path / "m", [Camera(1, width=1), Camera(1, width=2)], [Image(1)], [])
        with open(model / "cameras.bin", "ab") as f:
            f.write(b"trailing garbage")
        counts = split(model, [patch(tmp_path / "p")])
        assert counts["cameras_loaded"] == 1
        assert files(tmp_path / "p")[0] == pack_cameras([Camera(1, width=2)])

    def test_every_reference_resolves_inside_each_patch(self, tmp_path):
        model = write_model(tmp_path / "m", *random_model(random.Random(5)))
        patches = [patch(tmp_path / f"p{i}", x, y, x + 60, y + 60)
                   for i, (x, y) in enumerate([(0, 0), (40, 0), (0, 40), (40, 40)])]
        split(model, patches)
        for p in patches:
            cameras, images, points = parse_model(tmp_path / p["output_path"])
            for im in images.values():
                assert im.camera_id in cameras
                assert all(pid == -1 or pid in points for _, _, pid in im.points2d)
            for pt in points.values():
                assert all(k < len(images[i].points2d) for i, k in pt.track)


def random_model(rng, n_images=40, n_points=300, sparse_ids=False):
    """Images over [0, 100]^2 with random (some unnormalised) rotations;
    points with tracks that mostly agree with the keypoints, plus noise:
    missing points, -1, duplicate ids, out-of-range indices and unknown
    images. Sparse ids are spread far apart (point ids past 2^40)."""
    point_step, image_step = (2**40 + 1, 1009) if sparse_ids else (1, 1)
    cameras = [Camera(i, rng.randrange(len(PARAM_COUNTS))) for i in range(1, 6)]
    for c in cameras:
        c.params = tuple(rng.random() for _ in range(PARAM_COUNTS[c.model_id]))
    points = [Point(rng.randrange(1, 2 * n_points) * point_step,
                    (rng.uniform(0, 100), rng.uniform(0, 100), rng.uniform(-5, 5)),
                    error=rng.random()) for _ in range(n_points)]
    images = []
    for iid in (i * image_step for i in rng.sample(range(1, 4 * n_images), n_images)):
        q = [rng.uniform(-1, 1) for _ in range(4)]
        scale = rng.choice([1.0, 1.0, 1.0, 1.1]) / sum(c * c for c in q) ** 0.5
        q = tuple(c * scale for c in q)
        im = Image(iid, (0.0, 0.0, 0.0), q, rng.randrange(1, 5), f"im{iid}".encode())
        cx, cy, cz = rng.uniform(0, 100), rng.uniform(0, 100), rng.uniform(-5, 5)
        im.tvec = tuple(-sum(r * c for r, c in zip(row, (cx, cy, cz))) for row in rotation(q))
        near = [p for p in points if abs(p.xyz[0] - cx) < 25 and abs(p.xyz[1] - cy) < 25] or points
        for k in range(rng.randrange(0, 40)):
            p = rng.choice(near)
            pid = rng.choice([p.point3d_id] * 8 + [-1, 10**6])
            im.points2d.append((rng.random(), rng.random(), pid))
            p.track.append((iid, k))
        images.append(im)
    for p in points:
        p.track += [(rng.choice(images).image_id, 999), (424242, 0)][: rng.randrange(3)]
        rng.shuffle(p.track)
    return cameras, images, points


def rotation(q):
    w, x, y, z = q
    return [[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
            [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
            [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]]


class TestDifferential:
    # Sparse ids take the hashed look-ups instead of the tables indexed by id.
    @pytest.mark.parametrize("seed, sparse_ids", [(s, False) for s in range(5)] + [(5, True), (6, True)])
    def test_matches_reference_on_random_models(self, tmp_path, seed, sparse_ids):
        rng = random.Random(seed)
        model = write_model(tmp_path / "m", *random_model(rng, sparse_ids=sparse_ids))
        loaded = parse_model(model)
        boxes = [[x, x + rng.uniform(20, 60), y, y + rng.uniform(20, 60)]
                 for x, y in ((rng.uniform(-10, 70), rng.uniform(-10, 70)) for _ in range(5))]
        patches = [patch(tmp_path / f"p{i}", b[0], b[2], b[1], b[3]) for i, b in enumerate(boxes)]
        counts = split(model, patches, min_z=-3, max_z=4)
        totals = [0, 0, 0]
        for p, b in zip(patches, boxes):
            expected = reference_split(*loaded, (b[0], b[2], b[1], b[3], -3, 4))
            assert files(tmp_path / p["output_path"]) == model_bytes(*expected)
            totals = [t + len(e) for t, e in zip(totals, expected)]
        assert list(counts.values()) == [len(m) for m in loaded] + [5] + totals


def bad_name(name):
    return pack_images([Image(1, name=name)])


def with_last_count(data, following):
    """The file's final (empty) list count replaced by 2^60, then a few bytes."""
    return data[:-8] + struct.pack("<Q", 2**60) + b"\0" * following


LOAD_FAILURES = {
    "cameras count past the end": ("cameras.bin", struct.pack("<Q", 2) + pack_cameras([Camera(1)])[8:],
                                   "failed to fill whole buffer"),
    "corrupt cameras count": ("cameras.bin", struct.pack("<Q", 2**60), "failed to fill whole buffer"),
    "camera model 18": ("cameras.bin", pack_cameras([Camera(1, 18, params=())]), "Unknown camera model: 18"),
    "camera model -1": ("cameras.bin", pack_cameras([Camera(1, 2**32 - 1, params=())]),
                        "Unknown camera model: 4294967295"),
    "empty cameras file": ("cameras.bin", b"\0" * 7, "failed to fill whole buffer"),
    "corrupt keypoint count": ("images.bin", with_last_count(pack_images([Image(1)]), 48),
                               "failed to fill whole buffer"),
    "corrupt images count": ("images.bin", struct.pack("<Q", 2**62) + pack_images([Image(1)])[8:],
                             "failed to fill whole buffer"),
    "name without NUL": ("images.bin", bad_name(b"abc")[:-9], "failed to fill whole buffer"),
    "invalid name byte": ("images.bin", bad_name(b"ab\xffc"),
                          "invalid utf-8 sequence of 1 bytes from index 2"),
    "bad third byte": ("images.bin", bad_name(b"a\xe2\x82("),
                       "invalid utf-8 sequence of 2 bytes from index 1"),
    "surrogate": ("images.bin", bad_name(b"\xed\xa0\x80"), "invalid utf-8 sequence of 1 bytes from index 0"),
    "name ends inside a character": ("images.bin", bad_name(b"ok\xf0\x9f\x98"),
                                     "incomplete utf-8 byte sequence from index 2"),
    "corrupt track length": ("points3D.bin", with_last_count(pack_points([Point(1)]), 64),
                             "failed to fill whole buffer"),
    "truncated point": ("points3D.bin", pack_points([Point(1)])[:-1], "failed to fill whole buffer"),
}


class TestErrors:
    @pytest.mark.parametrize("file_name, data, message", LOAD_FAILURES.values(), ids=LOAD_FAILURES)
    def test_load_failure_names_the_problem_and_writes_nothing(self, scene, tmp_path, file_name,
                                                              data, message):
        (scene / file_name).write_bytes(data)
        with pytest.raises(RuntimeError) as caught:
            split(scene, [patch(tmp_path / "p")])
        assert str(caught.value) == "Camera splitting failed: " + message
        assert not (tmp_path / "p").exists()

    def test_regular_file_on_the_output_path(self, scene, tmp_path):
        # Folders are made as mkdir -p makes them, so the system's own error.
        (tmp_path / "file").write_text("")
        with pytest.raises(RuntimeError) as caught:
            split(scene, [patch(tmp_path / "file" / "sub")])
        assert str(caught.value) == "Camera splitting failed: Not a directory (os error 20)"

    @pytest.mark.parametrize("missing", ["cameras.bin", "images.bin", "points3D.bin"])
    def test_missing_file(self, scene, tmp_path, missing):
        (scene / missing).unlink()
        with pytest.raises(RuntimeError) as caught:
            split(scene, [patch(tmp_path / "p")], save_points3d=False)
        assert str(caught.value) == "Camera splitting failed: No such file or directory (os error 2)"

    def test_first_failing_file_stops_loading(self, scene, tmp_path):
        (scene / "cameras.bin").write_bytes(pack_cameras([Camera(1, 99)]))
        (scene / "images.bin").unlink()
        with pytest.raises(RuntimeError, match="Unknown camera model: 99$"):
            split(scene, [])

    def test_first_failing_patch_in_list_order_is_reported(self, scene, tmp_path):
        (tmp_path / "file").write_text("")
        (tmp_path / "late" / "images.bin").mkdir(parents=True)
        patches = [patch(tmp_path / "ok"), patch(tmp_path / "late"), patch(tmp_path / "file"),
                   patch(tmp_path / "file" / "sub")]
        with pytest.raises(RuntimeError) as caught:
            split(scene, patches)
        assert str(caught.value) == "Camera splitting failed: Is a directory (os error 21)"
        assert (tmp_path / "ok" / "points3D.bin").exists()  # the others ran to completion
        assert (tmp_path / "late" / "cameras.bin").exists()
        assert not (tmp_path / "late" / "points3D.bin").exists()

    @pytest.mark.parametrize("second", ["out", "out/", "./sub/../out"])
    def test_shared_output_path_is_refused_before_loading(self, tmp_path, monkeypatch, second):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(ValueError) as caught:
            split(tmp_path / "no-model", [patch("out"), patch("other"), patch(second)])
        assert str(caught.value) == (
            f'patches[0] and patches[2] both write to output_path "{second}": each patch needs a '
            "directory of its own, as concurrent writes to the same files would corrupt them")
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("document, message", [
        ('{"input_path": "m", "min_z": 0, "max_z": 1,\n "patches": []}',
         "missing field `save_points3d` at line 2 column 15"),
        ('{"input_path": "m", "min_z": 0, "max_z": 1, "save_points3d": 1, "patches": []}',
         "invalid type: integer `1`, expected a boolean at line 1 column 62"),
        ('{"input_path": "m", "input_path": "n"}', "duplicate field `input_path` at line 1 column 32"),
        ('["m", 0, 1, true]',
         "invalid length 4, expected struct SplitCamerasConfig with 5 elements at line 1 column 17"),
        ('["m", 0, 1, true, [[0, 0, 1, 1]]]',
         "invalid length 4, expected struct CameraPatchConfig with 5 elements at line 1 column 31"),
        ('["m", 0, 1, true, []] x', "trailing characters at line 1 column 23"),
        ('{"input_path": "m", "min_z": "0"}', 'invalid type: string "0", expected f64 at line 1 column 32'),
    ])
    def test_json_errors_name_the_problem_and_position(self, document, message):
        with pytest.raises(ValueError) as caught:
            split_cameras_json(document)
        assert str(caught.value) == "JSON parse error: " + message

    def test_array_form_and_unknown_keys_are_accepted(self, scene, tmp_path):
        document = json.dumps({"comment": {"any": [1]}, "input_path": str(scene), "min_z": -WIDE,
                               "max_z": WIDE, "save_points3d": True,
                               "patches": [[0, 0, 10, 10, str(tmp_path / "p")]]})
        assert split_cameras_json(config_json=document)["total_points3d_written"] == 3
        assert files(tmp_path / "p") == SCENE_PATCH

    def test_argument_must_be_a_string(self):
        with pytest.raises(TypeError, match="^argument 'config_json': "):
            split_cameras_json(b"{}")
