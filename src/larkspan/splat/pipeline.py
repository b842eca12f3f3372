"""The per-patch steps of a plan, for one patch, a few, or all of them over
any :class:`concurrent.futures.Executor`.

Each patch of a plan owns the folder ``OUT_DIR/<id>``: ``split_model`` writes
the patch's COLMAP model there (cameras.bin, images.bin, points3D.bin) and
``split_cloud`` its share of a point cloud as points3D.bin, the starting
points of training (use ``save_points=False`` on the model split to keep them
apart). After training, ``clean_patch`` crops the trained splats to the
patch's core and drops floaters and oversized splats.

``run`` hands out one task per patch::

    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor
    from larkspan.splat import pipeline

    # Workers started fresh, not forked: a forked copy of a process whose
    # tools have run holds the thread pool's state without its threads.
    spawn = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(4, mp_context=spawn) as pool:
        pipeline.run(pool, pipeline.clean_patch, "PLAN.json",
                     trained="train/{id}/point_cloud.ply",
                     points="patches/{id}/points3D.bin", output="clean/{id}.ply")

On a dask cluster pass ``client.get_executor()`` instead of the pool.
"""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Callable, Iterable
from concurrent.futures import Executor, Future
from pathlib import Path
from typing import Any, TypeVar

from ._core import Config, Patch, cleanup_splats, split_cameras_json, split_ply
from .manifest import Plan

PlanLike = Plan | str | os.PathLike[str]
PathLike = str | os.PathLike[str]
T = TypeVar("T")

# The widest height range a configuration document can state: JSON has no
# infinity.
_LOWEST = -sys.float_info.max
_HIGHEST = sys.float_info.max


class PatchesFailed(RuntimeError):
    """Some patches failed; the others ran to completion. ``failures`` maps
    each failed patch id to its exception, in id order."""

    def __init__(self, failures: dict[int, BaseException]):
        self.failures = dict(sorted(failures.items()))
        first_id, first = next(iter(self.failures.items()))
        others = len(self.failures) - 1
        more = f" (and {others} other patch{'es' if others > 1 else ''})" if others else ""
        super().__init__(f"patch {first_id} failed: {type(first).__name__}: {first}{more}")


def load_plan(plan: PlanLike) -> Plan:
    return plan if isinstance(plan, Plan) else Plan.read(plan)


def patch_folder(out_dir: PathLike, patch_id: int) -> Path:
    return Path(out_dir) / str(patch_id)


def split_model(plan: PlanLike, out_dir: PathLike, *, ids: Iterable[int] | None = None,
                min_z: float | None = None, max_z: float | None = None,
                save_points: bool = True) -> dict[str, int]:
    """The plan's model cut into one COLMAP model per patch (its buffered
    rectangle, bounds included) in ``OUT_DIR/<id>``; the counts of
    ``split_cameras_json``."""
    plan = load_plan(plan)
    document = {
        "input_path": plan.model,
        "min_z": _LOWEST if min_z is None else min_z,
        "max_z": _HIGHEST if max_z is None else max_z,
        "save_points3d": save_points,
        "patches": [dict(patch.rect.to_dict(), output_path=os.fspath(patch_folder(out_dir, patch.id)))
                    for patch in plan.select(ids)],
    }
    return split_cameras_json(json.dumps(document, allow_nan=False))


def split_cloud(plan: PlanLike, cloud: PathLike, out_dir: PathLike, *,
                ids: Iterable[int] | None = None, sample: float = 100.0,
                min_z: float | None = None, max_z: float | None = None) -> dict[str, int]:
    """The points of a PLY cloud inside each patch's buffered rectangle, as
    ``OUT_DIR/<id>/points3D.bin``; the counts of ``split_ply``. A patch that
    receives no point gets no file."""
    plan = load_plan(plan)
    config = Config(os.fspath(cloud))
    config.sample_percentage = sample
    if min_z is not None:
        config.min_z = min_z
    if max_z is not None:
        config.max_z = max_z
    for patch in plan.select(ids):
        target = os.fspath(patch_folder(out_dir, patch.id) / "points3D.bin")
        r = patch.rect
        config.add_patch(Patch.with_bounds(target, r.min_x, r.min_y, r.max_x, r.max_y))
    return split_ply(config)


def clean_patch(plan: PlanLike, patch_id: int, trained: PathLike, points: PathLike | None,
                output: PathLike, *, radius: float = 0.1, min_neighbors: int = 10,
                max_scale: float | None = None, discarded: PathLike | None = None) -> None:
    """A trained patch cropped to its core (lower bounds included, upper
    excluded, so neighbouring cores share no splat), without splats that have
    fewer than ``min_neighbors`` COLMAP points within ``radius`` (when a
    points file is given) or a scale magnitude of ``max_scale`` or more."""
    core = load_plan(plan).patch(patch_id).core
    clean(trained, points, output, radius=radius, min_neighbors=min_neighbors,
          max_scale=max_scale, discarded=discarded,
          box=(core.min_x, core.min_y, core.max_x, core.max_y))


def clean(trained: PathLike, points: PathLike | None, output: PathLike, *, radius: float = 0.1,
          min_neighbors: int = 10, max_scale: float | None = None,
          discarded: PathLike | None = None,
          box: tuple[float, float, float, float] | None = None) -> None:
    """``cleanup_splats`` of one file, optionally cropped to (min_x, min_y,
    max_x, max_y)."""
    document: dict[str, Any] = {
        "input_file": os.fspath(trained),
        "output_file": os.fspath(output),
        "max_area": _HIGHEST if max_scale is None else max_scale,
        "radius": radius,
        "min_neighbors": min_neighbors,
    }
    if points is not None:
        document["colmap_points_file"] = os.fspath(points)
    if discarded is not None:
        document["discarded_file"] = os.fspath(discarded)
    if box is not None:
        document.update(zip(("min_x", "min_y", "max_x", "max_y"), box))
    cleanup_splats(json.dumps(document, allow_nan=False))


def split_model_patch(plan: PlanLike, patch_id: int, out_dir: PathLike,
                      **options: Any) -> dict[str, int]:
    """``split_model`` of one patch, for ``run``."""
    return split_model(plan, out_dir, ids=[patch_id], **options)


def split_cloud_patch(plan: PlanLike, patch_id: int, cloud: PathLike, out_dir: PathLike,
                      **options: Any) -> dict[str, int]:
    """``split_cloud`` of one patch, for ``run``."""
    return split_cloud(plan, cloud, out_dir, ids=[patch_id], **options)


def run(executor: Executor, step: Callable[..., T], plan: PlanLike,
        ids: Iterable[int] | None = None, **arguments: Any) -> dict[int, T]:
    """Runs ``step(plan, patch_id, **arguments)`` for every patch (or those in
    ``ids``) as one task each on the executor, and returns the results by
    patch id. In a string argument, "{id}" stands for the patch id
    ("train/{id}/point_cloud.ply"). Every task runs to completion; if any
    failed, raises PatchesFailed naming them. ``step`` must be picklable for
    a process pool or a cluster: a module-level function such as
    ``clean_patch``, ``split_model_patch`` or ``split_cloud_patch``."""
    plan = load_plan(plan)
    futures: dict[int, Future[T]] = {}
    for patch in plan.select(ids):
        futures[patch.id] = executor.submit(step, plan, patch.id,
                                            **_for_patch(arguments, patch.id))
    results: dict[int, T] = {}
    failures: dict[int, BaseException] = {}
    for patch_id, future in futures.items():
        error = future.exception()
        if error is None:
            results[patch_id] = future.result()
        else:
            failures[patch_id] = error
    if failures:
        error = PatchesFailed(failures)
        raise error from next(iter(error.failures.values()))
    return results


def _for_patch(arguments: dict[str, Any], patch_id: int) -> dict[str, Any]:
    def substitute(value: Any) -> Any:
        if isinstance(value, str):
            return value.replace("{id}", str(patch_id))
        if isinstance(value, os.PathLike):
            return Path(os.fspath(value).replace("{id}", str(patch_id)))
        return value

    return {name: substitute(value) for name, value in arguments.items()}
