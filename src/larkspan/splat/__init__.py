"""Cut, clean and join large Gaussian-splat captures.

The tools live in the native module :mod:`larkspan.splat._core`; the names it
registers are re-exported here.
"""

from importlib.metadata import PackageNotFoundError, version

from . import _core
from ._core import (
    BoundingBox,
    Config,
    OrthoCells,
    Patch,
    cleanup_splats,
    merge_ply_files_py,
    patches,
    split_cameras_json,
    split_ply,
)

try:
    __version__ = version("larkspan-splat")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0.0.0+unknown"

__all__ = [
    "Config",
    "Patch",
    "split_ply",
    "BoundingBox",
    "patches",
    "cleanup_splats",
    "merge_ply_files_py",
    "split_cameras_json",
    "OrthoCells",
]
