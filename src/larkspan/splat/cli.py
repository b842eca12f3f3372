"""The ``larkspan-splat`` command line: the whole workflow from a shell, one
patch per job on a cluster.

Exit status: 0 on success; 1 when a step fails, with one line on standard
error naming what failed; 2 for a usage error; 130 on Ctrl-C (143 on
SIGTERM), after which no output is reported as complete.
"""

from __future__ import annotations

import json
import math
import os
import signal
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any, NoReturn

import click

from . import __version__, _inspect, pipeline
from ._core import OrthoCells, merge_ply_files_py
from .manifest import Plan, PlanParameters, plan_over, read_camera_positions, write_atomically

PROG = "larkspan-splat"

# Far more cells than any viewer tiles a scene into: a cell size this small
# is a typing error, refused before anything is written.
MAX_CELLS = 1_000_000


class StepFailed(click.ClickException):
    """A step of a command failed: exit status 1, one line on stderr."""

    exit_code = 1

    def show(self, file: Any = None) -> None:
        click.echo(f"{PROG}: {self.message}", err=True)


@contextmanager
def step(what: str) -> Iterator[None]:
    """Turns any failure of the step into one line naming it. Interrupts pass."""
    try:
        yield
    except (click.ClickException, click.exceptions.Exit):
        raise
    except Exception as error:
        raise StepFailed(f"{what}: {_one_line(error)}") from error
    except BaseException as error:
        if type(error).__name__ == "PanicException":  # an internal failure of a tool
            raise StepFailed(f"{what}: internal error: {_one_line(error)}") from error
        raise


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


class FiniteFloat(click.ParamType):
    """A finite number, optionally above a lower bound."""

    name = "number"

    def __init__(self, above: float | None = None, at_least: float | None = None):
        self.above = above
        self.at_least = at_least

    def convert(self, value: Any, param: Any, ctx: Any) -> float:
        try:
            number = float(value)
        except (TypeError, ValueError):
            self.fail(f"{value!r} is not a number", param, ctx)
        if not math.isfinite(number):
            self.fail(f"{value!r} is not a finite number", param, ctx)
        if self.above is not None and not number > self.above:
            self.fail(f"{value!r} must be greater than {self.above:g}", param, ctx)
        if self.at_least is not None and number < self.at_least:
            self.fail(f"{value!r} must be at least {self.at_least:g}", param, ctx)
        return number


EXISTING_FILE = click.Path(exists=True, dir_okay=False)
EXISTING_DIR = click.Path(exists=True, file_okay=False)
NEW_FILE = click.Path(dir_okay=False)
NEW_DIR = click.Path(file_okay=False)


def read_plan(path: str) -> Plan:
    with step("reading the plan"):
        return Plan.read(path)


def selected_ids(plan: Plan, ids: Sequence[int], plan_path: str) -> list[int] | None:
    """The --patch ids, each checked against the plan; None for all."""
    for patch_id in ids:
        if all(patch.id != patch_id for patch in plan.patches):
            raise click.BadParameter(
                f"{plan_path} has no patch {patch_id} (its ids are {plan.id_range()})",
                param_hint="'--patch'")
    return list(dict.fromkeys(ids)) if ids else None


def make_parents(*paths: str | None) -> None:
    """Creates the folders outputs go into, so a job needs no mkdir first."""
    for path in paths:
        if path is not None:
            Path(path).parent.mkdir(parents=True, exist_ok=True)


def done(text: str) -> None:
    click.echo(text)


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(__version__, prog_name=PROG)
def cli() -> None:
    """Cut a COLMAP model and its point cloud into patches, train each patch
    on its own, then clean, merge and re-cut the trained splats.

    \b
      larkspan-splat plan sparse/0 -o PLAN.json
      larkspan-splat split-model PLAN.json patches --no-points
      larkspan-splat split-cloud PLAN.json cloud.ply patches
      (train each patch: patches/ID holds its model and points)
      larkspan-splat cleanup trained/ID.ply patches/ID/points3D.bin \\
          -o clean/ID.ply --plan PLAN.json --patch ID
      larkspan-splat merge scene.ply clean/*.ply
      larkspan-splat cells scene.ply --size 50 -o cells

    Every per-patch step takes --patch, so a cluster runs one patch per job.
    """


@cli.command()
@click.argument("model_dir", type=EXISTING_DIR)
@click.option("-o", "--output", required=True, type=NEW_FILE, help="The manifest to write.")
@click.option("--max-cameras", type=click.IntRange(min=1), default=700, show_default=True,
              help="Most cameras one buffered patch may hold.")
@click.option("--buffer", type=FiniteFloat(at_least=0), default=1.5, show_default=True,
              help="Metres each patch reaches into its neighbours.")
@click.option("--bins", type=click.IntRange(min=1), default=100, show_default=True,
              help="Grid cells per axis the planner works on.")
@click.option("--png", type=NEW_FILE, help="Also draw cameras and patches (needs matplotlib).")
def plan(model_dir: str, output: str, max_cameras: int, buffer: float, bins: int,
         png: str | None) -> None:
    """Plan patches over the camera centres of the COLMAP model in MODEL_DIR
    and write them as a manifest."""
    if png is not None:
        _require_matplotlib()
    model = os.path.abspath(model_dir)
    with step(f"reading the camera centres of {model_dir}"):
        centres = read_camera_positions(model)
    with step(f"planning patches over {len(centres)} cameras"):
        result = plan_over(model, centres, PlanParameters(max_cameras, buffer, bins))
    if png is not None:
        with step(f"drawing the plan as {png}"):
            draw_plan(Path(png), centres, result)
    with step(f"writing the plan {output}"):
        result.write(output)
    done(f"{output}: {len(result.patches)} patches over {len(centres)} cameras, "
         f"at most {max(p.cameras for p in result.patches)} in one patch")


@cli.command("split-model")
@click.argument("plan_path", metavar="PLAN.json", type=EXISTING_FILE)
@click.argument("out_dir", type=NEW_DIR)
@click.option("--min-z", type=FiniteFloat(), help="Lowest camera and point height kept.")
@click.option("--max-z", type=FiniteFloat(), help="Highest camera and point height kept.")
@click.option("--no-points", is_flag=True,
              help="Write no points3D.bin (for points from split-cloud instead).")
@click.option("--patch", "ids", type=int, multiple=True, metavar="ID",
              help="Only this patch (repeatable); all patches when not given.")
def split_model(plan_path: str, out_dir: str, min_z: float | None, max_z: float | None,
                no_points: bool, ids: tuple[int, ...]) -> None:
    """Cut the plan's COLMAP model into one model per patch, in OUT_DIR/ID."""
    plan = read_plan(plan_path)
    selected = selected_ids(plan, ids, plan_path)
    with step(f"splitting the model {plan.model}"):
        counts = pipeline.split_model(plan, out_dir, ids=selected, min_z=min_z, max_z=max_z,
                                      save_points=not no_points)
    done(f"{out_dir}: {counts['patches_written']} patch models, "
         f"{counts['total_images_written']} images and "
         f"{counts['total_points3d_written']} points in all")


@cli.command("split-cloud")
@click.argument("plan_path", metavar="PLAN.json", type=EXISTING_FILE)
@click.argument("cloud", metavar="CLOUD.ply", type=EXISTING_FILE)
@click.argument("out_dir", type=NEW_DIR)
@click.option("--sample", type=FiniteFloat(at_least=0), default=100.0, show_default=True,
              metavar="PCT", help="Share of the points to keep, in percent.")
@click.option("--min-z", type=FiniteFloat(), help="Lowest point height kept (included).")
@click.option("--max-z", type=FiniteFloat(), help="Height from which points are dropped.")
@click.option("--patch", "ids", type=int, multiple=True, metavar="ID",
              help="Only this patch (repeatable); all patches when not given.")
def split_cloud(plan_path: str, cloud: str, out_dir: str, sample: float, min_z: float | None,
                max_z: float | None, ids: tuple[int, ...]) -> None:
    """Cut a PLY point cloud into the plan's patches, as OUT_DIR/ID/points3D.bin."""
    plan = read_plan(plan_path)
    selected = selected_ids(plan, ids, plan_path)
    with step(f"splitting the cloud {cloud}"):
        counts = pipeline.split_cloud(plan, cloud, out_dir, ids=selected, sample=sample,
                                      min_z=min_z, max_z=max_z)
    done(f"{out_dir}: {counts['total_points_written']} points written to "
         f"{counts['patches_written']} patches")


@cli.command()
@click.argument("trained", metavar="TRAINED.ply", type=EXISTING_FILE)
@click.argument("points", metavar="POINTS3D.bin", type=EXISTING_FILE)
@click.option("-o", "--output", required=True, type=NEW_FILE, help="The kept splats.")
@click.option("--plan", "plan_path", metavar="PLAN.json", type=EXISTING_FILE,
              help="With --patch: crop to that patch's core.")
@click.option("--patch", "patch_id", type=int, metavar="ID", help="The patch TRAINED.ply is.")
@click.option("--radius", type=FiniteFloat(above=0), default=0.1, show_default=True,
              help="Neighbourhood radius for the COLMAP point count.")
@click.option("--min-neighbors", type=click.IntRange(min=0), default=10, show_default=True,
              help="COLMAP points a splat needs within the radius.")
@click.option("--max-scale", type=FiniteFloat(above=0),
              help="Drop splats whose scale magnitude reaches this (no limit when not given).")
@click.option("--discarded", type=NEW_FILE, help="Also write the dropped splats here.")
def cleanup(trained: str, points: str, output: str, plan_path: str | None, patch_id: int | None,
            radius: float, min_neighbors: int, max_scale: float | None,
            discarded: str | None) -> None:
    """Drop floaters and oversized splats from a trained splat file; with a
    plan and a patch id, also crop it to the patch's core, so neighbouring
    patches meet without overlap."""
    if (plan_path is None) != (patch_id is None):
        raise click.UsageError("--plan and --patch go together")
    options: dict[str, Any] = dict(radius=radius, min_neighbors=min_neighbors,
                                   max_scale=max_scale, discarded=discarded)
    if plan_path is not None and patch_id is not None:
        plan = read_plan(plan_path)
        selected_ids(plan, [patch_id], plan_path)
        with step(f"cleaning patch {patch_id} ({trained})"):
            make_parents(output, discarded)
            pipeline.clean_patch(plan, patch_id, trained, points, output, **options)
    else:
        with step(f"cleaning {trained}"):
            make_parents(output, discarded)
            pipeline.clean(trained, points, output, **options)
    done(f"{output}: cleaned")


@cli.command()
@click.argument("output", metavar="OUT.ply", type=NEW_FILE)
@click.argument("inputs", metavar="IN.ply...", nargs=-1, required=True, type=EXISTING_FILE)
def merge(output: str, inputs: tuple[str, ...]) -> None:
    """Join PLY splat files of one layout into OUT.ply."""
    with step(f"merging {len(inputs)} files into {output}"):
        make_parents(output)
        merge_ply_files_py(json.dumps({"input_files": list(inputs), "output_file": output}))
    done(f"{output}: {len(inputs)} files merged")


@cli.command()
@click.argument("source", metavar="IN.ply", type=EXISTING_FILE)
@click.option("--size", required=True, type=FiniteFloat(above=0), metavar="METRES",
              help="Side of the square cells.")
@click.option("-o", "--output", required=True, type=NEW_DIR, help="Folder of the cell files.")
def cells(source: str, size: float, output: str) -> None:
    """Cut a splat file into square cells over its extent, one file per cell
    that holds splats: OUTPUT/cell_COLUMN_ROW.ply, column 0 and row 0 at the
    smallest x and y. A splat on an edge between cells goes into both."""
    # A cell that holds no splat writes no file, so a cell file left by an
    # earlier run would pass for part of this one.
    stale = sorted(Path(output).glob("cell_*.ply")) if os.path.isdir(output) else []
    if stale:
        raise click.BadParameter(f"{output} already holds cell files ({stale[0].name}, ...): "
                                 "choose an empty folder or remove them", param_hint="'-o'")
    with step(f"loading {source}"):
        ortho = OrthoCells(source)
        min_x, max_x, min_y, max_y, _ = ortho.get_bounds()
    if not all(math.isfinite(v) for v in (min_x, max_x, min_y, max_y)):
        raise StepFailed(f"{source} holds no splat with a finite position")
    columns = max(1, math.ceil((max_x - min_x) / size))
    rows = max(1, math.ceil((max_y - min_y) / size))
    if columns * rows > MAX_CELLS:
        raise click.BadParameter(f"{columns} x {rows} cells over the extent of {source}; "
                                 f"at most {MAX_CELLS} are made", param_hint="'--size'")
    # The last edge is the extent's own maximum, so rounding loses no splat.
    xs = [min_x + i * size for i in range(columns)] + [max_x]
    ys = [min_y + j * size for j in range(rows)] + [max_y]
    folder = Path(output)
    names = {(i, j): os.fspath(folder / f"cell_{i}_{j}.ply")
             for i in range(columns) for j in range(rows)}
    with step(f"writing cells of {source} to {output}"):
        folder.mkdir(parents=True, exist_ok=True)
        ortho.extract_all_cells([(xs[i], xs[i + 1], ys[j], ys[j + 1], name)
                                 for (i, j), name in names.items()])
    written = sum(1 for name in names.values() if os.path.exists(name))
    done(f"{output}: {written} of {columns} x {rows} cells of {size:g} m hold splats")


@cli.command()
@click.argument("path", type=click.Path(exists=True))
@click.option("--json", "as_json", is_flag=True, help="Print the summary as JSON.")
def info(path: str, as_json: bool) -> None:
    """Summarise a PLY file (counts, properties, extent), a COLMAP model
    folder (counts, camera models, extents) or a plan (its patch ids, for a
    job array)."""
    if os.path.isdir(path):
        summary, lines = _model_info(path)
    elif _is_json_object(path):
        summary, lines = _plan_info(path)
    else:
        summary, lines = _ply_info(path)
    if as_json:
        for key in ("extent", "camera_extent", "point_extent"):
            if summary.get(key) is not None:
                summary[key] = dict(zip(("min_x", "max_x", "min_y", "max_y", "min_z", "max_z"),
                                        summary[key]))
        click.echo(json.dumps(summary, indent=2))
    else:
        click.echo("\n".join(lines))


def _is_json_object(path: str) -> bool:
    with step(f"reading {path}"), open(path, "rb") as f:
        return f.read(256).lstrip().startswith(b"{")


def _model_info(path: str) -> tuple[dict[str, Any], list[str]]:
    with step(f"reading the COLMAP model {path}"):
        summary = _inspect.model_summary(path)
    models = ", ".join(f"{k} {v}" for k, v in summary["camera_models"].items()) or "none"
    rigs = ([] if summary["rigs"] is None else
            [f"  rigs: {summary['rigs']}, frames: {summary['frames']}"])
    return summary, [
        f"COLMAP model {path} ({summary['form']})",
        f"  cameras: {summary['cameras']} ({models})",
        f"  images: {summary['images']}",
        *rigs,
        f"  points3D: {summary['points3d']} ({summary['observations']} observations)",
        f"  camera centres: {_extent_text(summary['camera_extent'])}",
        f"  points: {_extent_text(summary['point_extent'])}"]


def _ply_info(path: str) -> tuple[dict[str, Any], list[str]]:
    with step(f"reading the PLY file {path}"):
        summary = _inspect.ply_summary(path)
    summary["properties"] = [{"type": t, "name": n} for t, n in summary["properties"]]
    return summary, [
        f"PLY file {path}",
        f"  format: {summary['format'] or 'not stated (read as binary_little_endian)'}",
        f"  vertices: {summary['vertex_count']} of {summary['vertex_size']} bytes "
        f"(header {summary['header_size']} bytes)" if summary["refused"] is None else
        f"  vertices: {summary['vertex_count']}; the tools refuse them: {summary['refused']}",
        "  properties: " + ", ".join(f"{p['type']} {p['name']}" for p in summary["properties"]),
        f"  extent: {_extent_text(summary['extent'])}"]


def _plan_info(path: str) -> tuple[dict[str, Any], list[str]]:
    plan = read_plan(path)
    p = plan.parameters
    cameras = [patch.cameras for patch in plan.patches]
    spread = f", {min(cameras)} to {max(cameras)} cameras each" if cameras else ""
    return json.loads(plan.to_json()), [
        f"plan {path}",
        f"  model: {plan.model}",
        f"  parameters: max_cameras {p.max_cameras}, buffer_meters {p.buffer_meters:g}, "
        f"target_bins {p.target_bins}",
        f"  patches: {len(plan.patches)} (ids {plan.id_range()}){spread}"]


def _extent_text(extent: tuple[float, ...] | None) -> str:
    if extent is None:
        return "none"
    min_x, max_x, min_y, max_y, min_z, max_z = extent
    return f"x {min_x:.3f} .. {max_x:.3f}, y {min_y:.3f} .. {max_y:.3f}, z {min_z:.3f} .. {max_z:.3f}"


def _require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise click.UsageError("--png needs matplotlib: pip install 'larkspan-splat[plot]'")


def draw_plan(path: Path, centres: Sequence[tuple[float, float]], plan: Plan) -> None:
    """Camera centres as dots, buffered patches as outlines labelled with their ids."""
    import io

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Rectangle

    figure, axes = plt.subplots(figsize=(9, 9))
    axes.scatter([x for x, _ in centres], [y for _, y in centres], s=0.5, color="0.35",
                 linewidths=0)
    colours = plt.get_cmap("tab10")
    for patch in plan.patches:
        r = patch.rect
        axes.add_patch(Rectangle((r.min_x, r.min_y), r.max_x - r.min_x, r.max_y - r.min_y,
                                 fill=False, linewidth=0.8, edgecolor=colours(patch.id % 10)))
        axes.annotate(str(patch.id), ((patch.core.min_x + patch.core.max_x) / 2,
                                      (patch.core.min_y + patch.core.max_y) / 2),
                      ha="center", va="center", fontsize=7, color=colours(patch.id % 10))
    axes.set_aspect("equal")
    axes.set_title(f"{len(plan.patches)} patches over {len(centres):,} cameras")
    axes.set_xlabel("x (m)")
    axes.set_ylabel("y (m)")
    image = io.BytesIO()
    figure.savefig(image, format="png", dpi=150, bbox_inches="tight")
    plt.close(figure)
    write_atomically(path, image.getvalue())


# ---- process entry ----

_signal_status: int | None = None


def _on_signal(number: int, frame: Any) -> NoReturn:
    global _signal_status
    _signal_status = 128 + number
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line and returns its exit status."""
    global _signal_status
    _signal_status = None
    previous = {number: signal.signal(number, _on_signal)
                for number in (signal.SIGINT, signal.SIGTERM)}
    try:
        status = cli.main(args=list(argv) if argv is not None else None, prog_name=PROG,
                          standalone_mode=False)
        return status if isinstance(status, int) else 0
    except (KeyboardInterrupt, click.exceptions.Abort, StepFailed) as error:
        if _signal_status is not None or not isinstance(error, StepFailed):
            # A tool may report an interrupt as its own failure; the signal decides.
            click.echo(f"{PROG}: interrupted", err=True)
            return _signal_status or 130
        error.show()
        return error.exit_code
    except click.ClickException as error:
        error.show()
        return error.exit_code
    except Exception as error:  # a fault of the command line itself: still one line
        click.echo(f"{PROG}: internal error: {type(error).__name__}: {_one_line(error)}",
                   err=True)
        return 1
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        sys.stdout.flush()


def run() -> NoReturn:
    """The console script."""
    sys.exit(main())
