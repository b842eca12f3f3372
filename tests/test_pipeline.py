"""Per-patch steps over executors: a process pool and a dask cluster give the
same files as the command line run patch by patch."""

import multiprocessing
from concurrent.futures import ProcessPoolExecutor

import pytest

from support.colmap import parse_images
from support.ply import splat_row, write_ply
from larkspan.splat import cli, pipeline
from larkspan.splat.manifest import PlanParameters, make_plan
from support.colmap import grid_model


@pytest.fixture
def planned(tmp_path):
    model = grid_model(tmp_path / "model")
    plan = make_plan(model, PlanParameters(max_cameras=12, buffer_meters=2.0))
    plan.write(tmp_path / "PLAN.json")
    rows = [splat_row(x + 0.5, y + 0.5, 0.0) for x in range(-4, 80, 3) for y in range(-4, 40, 3)]
    for patch in plan.patches:
        write_ply(tmp_path / f"trained_{patch.id}.ply", rows)
    return tmp_path, plan


# Fresh workers, as the pipeline recommends: forking a process whose tools
# have started the thread pool copies the pool's state without its threads.
SPAWN = multiprocessing.get_context("spawn")


def clean_all(executor, root, plan, **extra):
    return pipeline.run(executor, pipeline.clean_patch, root / "PLAN.json",
                        trained=str(root / "trained_{id}.ply"), points=None,
                        output=str(root / "clean_{id}.ply"), min_neighbors=0, **extra)


def test_process_pool_matches_the_command_line(planned, capfd):
    root, plan = planned
    with ProcessPoolExecutor(2, mp_context=SPAWN) as pool:
        assert clean_all(pool, root, plan) == {p.id: None for p in plan.patches}
    for patch in plan.patches:
        assert cli.main(["cleanup", str(root / f"trained_{patch.id}.ply"),
                         str(root / "model" / "points3D.bin"), "-o", str(root / "cli.ply"),
                         "--plan", str(root / "PLAN.json"), "--patch", str(patch.id),
                         "--min-neighbors", "0"]) == 0
        assert (root / f"clean_{patch.id}.ply").read_bytes() == (root / "cli.ply").read_bytes()


def test_failed_patches_are_named_and_the_others_finish(planned):
    root, plan = planned
    (root / "trained_1.ply").unlink()
    write_ply(root / "trained_2.ply", [splat_row(0, 0, 0)])
    with open(root / "trained_2.ply", "r+b") as f:
        f.truncate(f.seek(0, 2) - 1)  # a body shorter than the header announces
    with ProcessPoolExecutor(2, mp_context=SPAWN) as pool, pytest.raises(pipeline.PatchesFailed) as raised:
        clean_all(pool, root, plan)
    assert sorted(raised.value.failures) == [1, 2]
    assert str(raised.value) == ("patch 1 failed: OSError: No such file or directory "
                                 "(os error 2) (and 1 other patch)")
    done = {p.id for p in plan.patches} - {1, 2}
    assert {int(p.stem.split("_")[1]) for p in root.glob("clean_*.ply")} == done


def test_dask_cluster(planned):
    distributed = pytest.importorskip("distributed")
    root, plan = planned
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        counts = pipeline.run(client.get_executor(), pipeline.split_model_patch, plan,
                              out_dir=root / "patches")
    assert sorted(counts) == [p.id for p in plan.patches]
    for patch in plan.patches:
        assert counts[patch.id]["total_images_written"] == patch.cameras
        images = parse_images((root / "patches" / str(patch.id) / "images.bin").read_bytes())
        assert len(images) == patch.cameras
