"""What the command line reports about its inputs: camera centres and summaries
of COLMAP models and PLY files."""

import os
from typing import Any

def camera_centres(model_dir: str | os.PathLike[str]) -> list[tuple[int, float, float, float]]:
    """The camera centre of every image of the COLMAP model in model_dir, as
    (image_id, x, y, z) tuples in ascending image id order."""

def model_summary(model_dir: str | os.PathLike[str]) -> dict[str, Any]:
    """Counts, camera models ({model id: cameras}), camera-centre extent and
    point extent of the COLMAP model in model_dir. An extent is
    (min_x, max_x, min_y, max_y, min_z, max_z), or None when empty."""

def ply_summary(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The header of a PLY file (format, vertex count, record size, vertex
    properties as (type, name), and in "refused" why the tools refuse its
    records) and the extent of its records' x, y and z, or None when the
    records are refused or lack x, y or z."""
