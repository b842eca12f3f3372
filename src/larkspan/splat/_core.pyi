"""The main native module of larkspan.splat."""

from collections.abc import Sequence
from typing import final

from typing_extensions import Self

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

@final
class Config:
    """What split_ply reads, keeps and writes: an input PLY point cloud, the
    share of its points to keep, a height range and the output patches."""

    def __new__(cls, input_file: str) -> Self: ...
    @property
    def input_file(self) -> str: ...
    @input_file.setter
    def input_file(self, value: str) -> None: ...
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
    def patches(self) -> list[Patch]:
        """A new list of copies: changing it leaves the Config unchanged."""
    @patches.setter
    def patches(self, value: Sequence[Patch]) -> None: ...
    def add_patch(self, patch: Patch) -> None: ...
    @staticmethod
    def from_json(json_str: str) -> Config: ...
    @staticmethod
    def from_file(file_path: str) -> Config: ...
    def to_json(self) -> str: ...

@final
class Patch:
    """A ground-plane rectangle (minimum included, maximum excluded) and the
    COLMAP points file that receives the points inside it."""

    def __new__(cls, output_file: str) -> Self: ...
    @classmethod
    def with_bounds(
        cls, output_file: str, min_x: float, min_y: float, max_x: float, max_y: float
    ) -> Patch: ...
    @property
    def output_file(self) -> str: ...
    @output_file.setter
    def output_file(self, value: str) -> None: ...
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
    """Splits a PLY point cloud into one COLMAP points file per patch; returns
    "points_loaded", "total_points_written" and "patches_written" counts."""

@final
class BoundingBox:
    """An axis-aligned rectangle, both bounds included."""

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
    camera_positions: Sequence[tuple[float, float]],
    max_cameras: int | None,
    buffer_meters: float | None,
    target_bins: int | None,
) -> list[BoundingBox]:
    """Plans buffered patches over camera ground positions; None selects the
    defaults 700, 1.5 and 100."""

def cleanup_splats(config_json: str) -> None:
    """Keeps the splats of a PLY file that lie in a box, have enough COLMAP
    points near them and are not too large."""

def merge_ply_files_py(config_json: str) -> None:
    """Concatenates PLY splat files into one."""

def split_cameras_json(config_json: str) -> dict[str, int]:
    """Cuts a COLMAP binary model into one model per patch rectangle."""

@final
class OrthoCells:
    """A splat PLY file loaded into memory, cut into rectangular cells."""

    def __new__(cls, ply_path: str) -> Self: ...
    def get_bounds(self) -> tuple[float, float, float, float, float]:
        """(min_x, max_x, min_y, max_y, mean_z) over all splats."""
    def extract_all_cells(self, cells: list[tuple[float, float, float, float, str]]) -> None:
        """Writes each cell's splats, bounds included, to the cell's file."""
    def write_ply_file(self, output_path: str, vertex_data: bytes, vertex_count: int) -> None: ...
