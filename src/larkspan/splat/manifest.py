"""The patch manifest: how a scene is cut, written once by ``plan`` and read
back by every per-patch step, so a patch id is all a cluster job needs.

A manifest is a JSON object::

    {
      "version": 1,
      "model": "/data/scene/sparse/0",
      "parameters": {"max_cameras": 700, "buffer_meters": 1.5, "target_bins": 100},
      "patches": [
        {"id": 0,
         "rect": {"min_x": -1.5, "min_y": -1.5, "max_x": 101.5, "max_y": 61.5},
         "core": {"min_x": 0.0, "min_y": 0.0, "max_x": 100.0, "max_y": 60.0},
         "cameras": 412}
      ]
    }

``rect`` is the patch as the planner returned it, widened by the buffer: the
area one training job sees. ``core`` is the rectangle without the buffer;
neighbouring cores meet exactly, so cropping every trained patch to its core
keeps each splat once. ``cameras`` counts the camera centres inside ``rect``
(bounds included).
"""

from __future__ import annotations

import bisect
import json
import math
import os
import tempfile
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from . import _inspect
from ._core import patches as plan_patches

VERSION = 1


class ManifestError(ValueError):
    """A manifest that cannot be read: not JSON, another version, a key
    missing or of the wrong type, or a patch id it does not hold."""


@dataclass(frozen=True)
class Rect:
    """An axis-aligned rectangle of the ground plane."""

    min_x: float
    min_y: float
    max_x: float
    max_y: float

    def contains(self, x: float, y: float) -> bool:
        """Bounds included, as the planner and the model split count."""
        return self.min_x <= x <= self.max_x and self.min_y <= y <= self.max_y

    def to_dict(self) -> dict[str, float]:
        return {"min_x": self.min_x, "min_y": self.min_y, "max_x": self.max_x, "max_y": self.max_y}


@dataclass(frozen=True)
class PlanPatch:
    id: int
    rect: Rect  # widened by the buffer: what one training job sees
    core: Rect  # without the buffer: what the patch keeps after training
    cameras: int

    def to_dict(self) -> dict[str, Any]:
        return {"id": self.id, "rect": self.rect.to_dict(), "core": self.core.to_dict(),
                "cameras": self.cameras}


@dataclass(frozen=True)
class PlanParameters:
    max_cameras: int = 700
    buffer_meters: float = 1.5
    target_bins: int = 100


@dataclass(frozen=True)
class Plan:
    model: str
    parameters: PlanParameters
    patches: tuple[PlanPatch, ...]

    def patch(self, patch_id: int) -> PlanPatch:
        for patch in self.patches:
            if patch.id == patch_id:
                return patch
        raise ManifestError(f"the plan has no patch {patch_id} (its ids are {self.id_range()})")

    def select(self, ids: Iterable[int] | None = None) -> list[PlanPatch]:
        """The patches with these ids in the order given, or all of them."""
        if ids is None:
            return list(self.patches)
        return [self.patch(patch_id) for patch_id in ids]

    def id_range(self) -> str:
        ids = sorted(patch.id for patch in self.patches)
        if not ids:
            return "none"
        if ids == list(range(ids[0], ids[-1] + 1)):
            return f"{ids[0]} to {ids[-1]}" if len(ids) > 1 else str(ids[0])
        return ", ".join(map(str, ids))

    def to_json(self) -> str:
        document = {
            "version": VERSION,
            "model": self.model,
            "parameters": {"max_cameras": self.parameters.max_cameras,
                           "buffer_meters": self.parameters.buffer_meters,
                           "target_bins": self.parameters.target_bins},
            "patches": [patch.to_dict() for patch in self.patches],
        }
        return json.dumps(document, indent=2, allow_nan=False) + "\n"

    def write(self, path: str | os.PathLike[str]) -> None:
        """Writes under a temporary name in the same folder and renames it into
        place, so a manifest on disk is always whole."""
        write_atomically(Path(path), self.to_json().encode())

    @classmethod
    def from_json(cls, text: str | bytes, source: str = "manifest") -> Plan:
        try:
            document = json.loads(text, object_pairs_hook=_refuse_duplicate_keys)
        except ValueError as error:
            raise ManifestError(f"{source}: not a JSON document: {error}") from None
        return _Reader(source).plan(document)

    @classmethod
    def read(cls, path: str | os.PathLike[str]) -> Plan:
        with open(path, "rb") as f:
            return cls.from_json(f.read(), source=os.fspath(path))


def make_plan(model_dir: str | os.PathLike[str], parameters: PlanParameters = PlanParameters()
              ) -> Plan:
    """Plans patches over the camera centres of the COLMAP model in model_dir.
    The planner prints its summary line on standard output."""
    model = os.path.abspath(os.fspath(model_dir))
    return plan_over(model, read_camera_positions(model), parameters)


def read_camera_positions(model_dir: str | os.PathLike[str]) -> list[tuple[float, float]]:
    """The (x, y) of every image's camera centre, in ascending image id order."""
    return [(x, y) for _, x, y, _ in _inspect.camera_centres(os.fspath(model_dir))]


def plan_over(model: str, centres: Sequence[tuple[float, float]],
              parameters: PlanParameters = PlanParameters()) -> Plan:
    """The plan of patches over camera positions read from `model`."""
    boxes = plan_patches(centres, parameters.max_cameras, parameters.buffer_meters,
                         parameters.target_bins)
    rects = [Rect(box.min_x, box.min_y, box.max_x, box.max_y) for box in boxes]
    cores = _meeting_cores(rects, parameters.buffer_meters)
    counts = _cameras_inside(rects, centres)
    return Plan(model, parameters, tuple(
        PlanPatch(index, rect, core, count)
        for index, (rect, core, count) in enumerate(zip(rects, cores, counts))))


def write_atomically(path: Path, data: bytes) -> None:
    """The file appears under its name only when complete; a failure or an
    interrupt leaves no partial file and no temporary behind."""
    folder = path.parent
    folder.mkdir(parents=True, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as f:
            f.write(data)
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _meeting_cores(rects: Sequence[Rect], buffer: float) -> list[Rect]:
    """Each rectangle without its buffer. Edges that neighbouring patches share
    come out of the subtraction a rounding step apart; they are made equal so
    that cores meet without a gap or an overlap."""
    shrunk = [Rect(r.min_x + buffer, r.min_y + buffer, r.max_x - buffer, r.max_y - buffer)
              for r in rects]
    xs = _snap_table([v for r in shrunk for v in (r.min_x, r.max_x)])
    ys = _snap_table([v for r in shrunk for v in (r.min_y, r.max_y)])
    return [Rect(xs[r.min_x], ys[r.min_y], xs[r.max_x], ys[r.max_y]) for r in shrunk]


def _snap_table(values: list[float]) -> dict[float, float]:
    """Maps each value to the smallest value within a few rounding steps of it."""
    table: dict[float, float] = {}
    anchor = None
    for value in sorted(set(values)):
        if anchor is None or value - anchor > 1e-9 * max(1.0, abs(anchor)):
            anchor = value
        table[value] = anchor
    return table


def _cameras_inside(rects: Sequence[Rect], centres: Sequence[tuple[float, float]]) -> list[int]:
    """For each rectangle, the centres inside it, through a sort by x so each
    rectangle looks only at the centres of its own x range."""
    ordered = sorted((x, y) for x, y in centres if not (math.isnan(x) or math.isnan(y)))
    xs = [x for x, _ in ordered]
    counts = []
    for rect in rects:
        first = bisect.bisect_left(xs, rect.min_x)
        last = bisect.bisect_right(xs, rect.max_x)
        counts.append(sum(1 for _, y in ordered[first:last] if rect.min_y <= y <= rect.max_y))
    return counts


def _refuse_duplicate_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    document: dict[str, Any] = {}
    for key, value in pairs:
        if key in document:
            raise ValueError(f'duplicate key "{key}"')
        document[key] = value
    return document


class _Reader:
    """Checks a decoded document key by key; every message names the source
    and the key, as in 'PLAN.json: missing key "patches[2].core"'."""

    def __init__(self, source: str):
        self.source = source

    def fail(self, text: str) -> ManifestError:
        return ManifestError(f"{self.source}: {text}")

    def field(self, document: dict[str, Any], key: str, where: str) -> Any:
        if key not in document:
            raise self.fail(f'missing key "{where}{key}"')
        return document[key]

    def typed(self, document: dict[str, Any], key: str, where: str, kind: str) -> Any:
        value = self.field(document, key, where)
        valid = {
            "integer": isinstance(value, int) and not isinstance(value, bool),
            "number": isinstance(value, (int, float)) and not isinstance(value, bool)
                      and math.isfinite(value),
            "string": isinstance(value, str),
            "object": isinstance(value, dict),
            "array": isinstance(value, list),
        }[kind]
        if not valid:
            shown = json.dumps(value) if not isinstance(value, (dict, list)) else type(value).__name__
            raise self.fail(f'"{where}{key}" must be {"an" if kind[0] in "aeiou" else "a"} '
                            f"{'finite ' if kind == 'number' else ''}{kind}, not {shown}")
        return value

    def plan(self, document: Any) -> Plan:
        if not isinstance(document, dict):
            raise self.fail("a manifest is a JSON object")
        version = self.field(document, "version", "")
        if version != VERSION or isinstance(version, bool):
            raise self.fail(f"manifest version {json.dumps(version)} is not supported "
                            f"(this program reads version {VERSION})")
        model = self.typed(document, "model", "", "string")
        raw = self.typed(document, "parameters", "", "object")
        parameters = PlanParameters(
            self.typed(raw, "max_cameras", "parameters.", "integer"),
            float(self.typed(raw, "buffer_meters", "parameters.", "number")),
            self.typed(raw, "target_bins", "parameters.", "integer"))
        patches = []
        seen: set[int] = set()
        for index, entry in enumerate(self.typed(document, "patches", "", "array")):
            where = f"patches[{index}]."
            if not isinstance(entry, dict):
                raise self.fail(f'"patches[{index}]" must be an object')
            patch = PlanPatch(self.typed(entry, "id", where, "integer"),
                              self.rect(entry, "rect", where), self.rect(entry, "core", where),
                              self.typed(entry, "cameras", where, "integer"))
            if patch.id in seen:
                raise self.fail(f"patch id {patch.id} appears twice")
            seen.add(patch.id)
            patches.append(patch)
        return Plan(model, parameters, tuple(patches))

    def rect(self, entry: dict[str, Any], key: str, where: str) -> Rect:
        value = self.typed(entry, key, where, "object")
        inner = f"{where}{key}."
        return Rect(*(float(self.typed(value, bound, inner, "number"))
                      for bound in ("min_x", "min_y", "max_x", "max_y")))
