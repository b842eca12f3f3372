"""split_cameras_json over binary models: the patch models byte for byte, and failures."""

import json
import struct

import pytest

from larkspan.splat import split_cameras_json
from support.colmap import SCENE, SCENE_PATCH, WIDE, files, patch, split, write_model

@pytest.fixture
def scene(tmp_path):
    return write_model(tmp_path / "model", **SCENE)

def test_patch_model_byte_exact_and_split_again_unchanged(scene, tmp_path):
    with open(scene / "cameras.bin", "ab") as f:
        f.write(b"trailing bytes are ignored")
    counts = split(scene, [patch(tmp_path / "p", 0, 0, 10, 10), patch(tmp_path / "reversed", 10, 0, 0, 10)])
    assert files(tmp_path / "p") == SCENE_PATCH
    assert files(tmp_path / "reversed") == (struct.pack("<Q", 0),) * 3
    assert list(counts) == ["cameras_loaded", "images_loaded", "points3d_loaded", "patches_written",
                            "total_cameras_written", "total_images_written", "total_points3d_written"]
    assert list(counts.values()) == [3, 3, 5, 2, 2, 2, 3]
    assert list(split(tmp_path / "p", [patch(tmp_path / "again")]).values()) == [2, 2, 3, 1, 2, 2, 3]
    assert files(tmp_path / "again")[::2] == SCENE_PATCH[::2]  # images lose the keypoint without a point
    assert list(split(scene, []).values()) == [3, 3, 5, 0, 0, 0, 0]

def test_write_failures_the_first_in_list_order_is_reported(scene, tmp_path):
    (tmp_path / "file").write_text("")
    (tmp_path / "late" / "images.bin").mkdir(parents=True)
    with pytest.raises(RuntimeError) as caught:  # folders are made as mkdir -p makes them
        split(scene, [patch(tmp_path / "file" / "sub")])
    assert str(caught.value) == "Camera splitting failed: Not a directory (os error 20)"
    with pytest.raises(RuntimeError) as caught:
        split(scene, [patch(tmp_path / "ok"), patch(tmp_path / "late"), patch(tmp_path / "file" / "sub")])
    assert str(caught.value) == "Camera splitting failed: Is a directory (os error 21)"
    assert (tmp_path / "ok" / "points3D.bin").exists()  # the others ran to completion
    assert (tmp_path / "late" / "cameras.bin").exists() and not (tmp_path / "late" / "points3D.bin").exists()

def test_a_shared_output_path_is_refused_before_loading(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as caught:
        split(tmp_path / "no-model", [patch("out"), patch("other"), patch("./sub/../out/")])
    assert str(caught.value) == (
        'patches[0] and patches[2] both write to output_path "./sub/../out/": each patch needs a '
        "directory of its own, as concurrent writes to the same files would corrupt them")
    assert list(tmp_path.iterdir()) == []

@pytest.mark.parametrize("document, message", [
    ('{"input_path": "m", "min_z": 0, "max_z": 1,\n "patches": []}',
     "missing field `save_points3d` at line 2 column 15"),
    ('{"input_path": "m", "min_z": 0, "max_z": 1, "save_points3d": 1, "patches": []}',
     "invalid type: integer `1`, expected a boolean at line 1 column 62"),
    ('["m", 0, 1, true, [[0, 0, 1, 1]]]',
     "invalid length 4, expected struct CameraPatchConfig with 5 elements at line 1 column 31"),
])
def test_json_errors_name_the_problem_and_position(document, message):
    with pytest.raises(ValueError) as caught:
        split_cameras_json(document)
    assert str(caught.value) == "JSON parse error: " + message

def test_array_form_unknown_keys_without_points_and_argument_type(scene, tmp_path):
    (tmp_path / "p").mkdir()
    (tmp_path / "p" / "points3D.bin").write_bytes(b"left alone")
    document = json.dumps({"comment": {"any": [1]}, "input_path": str(scene), "min_z": -WIDE, "max_z": WIDE,
                           "save_points3d": False, "patches": [[0, 0, 10, 10, str(tmp_path / "p")]]})
    assert split_cameras_json(config_json=document)["total_points3d_written"] == 3  # counted, not written
    assert files(tmp_path / "p") == (*SCENE_PATCH[:2], b"left alone")
    with pytest.raises(TypeError, match="^argument 'config_json': "):
        split_cameras_json(b"{}")
