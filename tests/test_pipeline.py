"""Per-patch steps over executors: a process pool and a dask cluster give the
same files as the command line run patch by patch."""

import multiprocessing
from concurrent.futures import ProcessPoolExecutor

import pytest

from support.colmap import grid_model, parse_images
from support.ply import splat_row, write_ply
from larkspan.splat import cli, pipeline
from larkspan.splat.manifest import PlanParameters, make_plan

@pytest.fixture
def planned(tmp_path):
    plan = make_plan(grid_model(tmp_path / "model"), PlanParameters(max_cameras=8, buffer_meters=2.0))
    plan.write(tmp_path / "PLAN.json")
    rows = [splat_row(x + 0.5, y + 0.5, 0.0) for x in range(-4, 80, 3) for y in range(-4, 40, 3)]
    for patch in plan.patches:
        write_ply(tmp_path / f"trained_{patch.id}.ply", rows)
    return tmp_path, plan

def test_process_pool_matches_the_command_line_and_names_failed_patches(planned, capfd):
    root, plan = planned
    (root / "trained_1.ply").unlink()
    with open(root / "trained_2.ply", "r+b") as f:
        f.truncate(f.seek(0, 2) - 1)  # a body shorter than the header announces
    # Fresh workers: a forked copy of a process whose tools have run holds the
    # thread pool's state without its threads.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool, \
            pytest.raises(pipeline.PatchesFailed) as raised:
        pipeline.run(pool, pipeline.clean_patch, root / "PLAN.json", trained=str(root / "trained_{id}.ply"),
                     points=None, output=str(root / "clean_{id}.ply"), min_neighbors=0)
    assert sorted(raised.value.failures) == [1, 2]
    assert str(raised.value) == ("patch 1 failed: OSError: No such file or directory "
                                 "(os error 2) (and 1 other patch)")
    done = [p.id for p in plan.patches if p.id not in (1, 2)]
    assert sorted(int(p.stem.split("_")[1]) for p in root.glob("clean_*.ply")) == done
    for i in done:
        assert cli.main(["cleanup", str(root / f"trained_{i}.ply"), str(root / "model" / "points3D.bin"),
                         "-o", str(root / "cli.ply"), "--plan", str(root / "PLAN.json"),
                         "--patch", str(i), "--min-neighbors", "0"]) == 0
        assert (root / f"clean_{i}.ply").read_bytes() == (root / "cli.ply").read_bytes()

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
