"""The main native module of larkspan.splat."""

import os
from collections.abc import Sequence
from typing import final

from typing_extensions import Buffer, Self, TypeAlias

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

# A path as open() takes it; paths are read back as str.
_StrPath: TypeAlias = str | os.PathLike[str]

@final
class Config:
    """What split_ply reads, keeps and writes."""

    def __new__(cls, input_file: _StrPath) -> Self: ...
    @property
    def input_file(self) -> str: ...
    @input_file.setter
    def input_file(self, value: _StrPath) -> None: ...
    @property
    def sample_percentage(self) -> float: ...
    @sample_percentage.setter
    def sample_percentage(self, value: float) -> None: ...
    @property
    def min_z(self) -> float: ...
    @min_z.setter
    def min_z(self, value: float) -> None: ...
    @property
    def max_z(self) -> float: ...
    @max_z.setter
    def max_z(self, value: float) -> None: ...
    @property
    def patches(self) -> list[Patch]: ...
    @patches.setter
    def patches(self, value: Sequence[Patch]) -> None: ...
    def add_patch(self, patch: Patch) -> None:
        """Append a copy of a patch to the configuration's patches."""
    @staticmethod
    def from_json(json_str: str) -> Config:
        """Read a configuration from JSON text."""
    @staticmethod
    def from_file(file_path: _StrPath) -> Config:
        """Read a configuration from a JSON file."""
    def to_json(self) -> str:
        """Write the configuration as JSON text."""

@final
class Patch:
    """A ground-plane rectangle and the file that receives the points inside it."""

    def __new__(cls, output_file: _StrPath) -> Self: ...
    @classmethod
    def with_bounds(
        cls, output_file: _StrPath, min_x: float, min_y: float, max_x: float, max_y: float
    ) -> Patch:
        """Make a patch with the given output file and bounds."""
    @property
    def output_file(self) -> str: ...
    @output_file.setter
    def output_file(self, value: _StrPath) -> None: ...
    @property
    def min_x(self) -> float: ...
    @min_x.setter
    def min_x(self, value: float) -> None: ...
    @property
    def min_y(self) -> float: ...
    @min_y.setter
    def min_y(self, value: float) -> None: ...
    @property
    def max_x(self) -> float: ...
    @max_x.setter
    def max_x(self, value: float) -> None: ...
    @property
    def max_y(self) -> float: ...
    @max_y.setter
    def max_y(self, value: float) -> None: ...

def split_ply(config: Config) -> dict[str, int]:
    """Split a PLY point cloud into one COLMAP points file per patch."""

@final
class BoundingBox:
    """An axis-aligned rectangle of the ground plane, both bounds included."""

    def __new__(cls, min_x: float, max_x: float, min_y: float, max_y: float) -> Self: ...
    @property
    def min_x(self) -> float: ...
    @min_x.setter
    def min_x(self, value: float) -> None: ...
    @property
    def max_x(self) -> float: ...
    @max_x.setter
    def max_x(self, value: float) -> None: ...
    @property
    def min_y(self) -> float: ...
    @min_y.setter
    def min_y(self, value: float) -> None: ...
    @property
    def max_y(self) -> float: ...
    @max_y.setter
    def max_y(self, value: float) -> None: ...
    @property
    def width(self) -> float: ...
    @property
    def height(self) -> float: ...

def patches(
    camera_positions: Sequence[tuple[float, float]] | Buffer,
    max_cameras: int | None = 700,
    buffer_meters: float | None = 1.5,
    target_bins: int | None = 100,
) -> list[BoundingBox]:
    """Plan buffered patches over camera positions."""

def cleanup_splats(config_json: str) -> None:
    """Keep the splats of a PLY file that pass the box, neighbour and scale tests."""

def merge_ply_files_py(config_json: str) -> None:
    """Concatenate PLY splat files into one."""

def split_cameras_json(config_json: str) -> dict[str, int]:
    """Cut a COLMAP binary model into one self-consistent model per patch."""

@final
class OrthoCells:
    """A PLY splat file held in memory, cut into rectangular cells."""

    def __new__(cls, ply_path: _StrPath) -> Self: ...
    def get_bounds(self) -> tuple[float, float, float, float, float]:
        """The ground-plane extent and mean height of the loaded splats."""
    def extract_all_cells(self, cells: list[tuple[float, float, float, float, _StrPath]]) -> None:
        """Write the splats of each cell to the cell's own PLY file."""
    def write_ply_file(self, output_path: _StrPath, vertex_data: Buffer, vertex_count: int) -> None:
        """Write vertex records under the loaded file's header."""
