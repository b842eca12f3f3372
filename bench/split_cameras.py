"""Benchmark of split_cameras_json on a generated COLMAP model.

The model: 1,000 images of 8,000 keypoints each on a 40 x 25 grid of camera
centres, 1,000,000 points with 5-element tracks (about 280 MB on disk), split
into a 4 x 4 grid of 16 overlapping patches with save_points3d true.

Printed, from one run:
- the whole split_cameras_json call as a ratio to pycolmap reading the same
  model alone (pycolmap.Reconstruction(path)), in this process; target <= 1.0;
- the split phase (the call minus a call with no patches, which only loads)
  with one worker vs with the pool, each measured in a fresh process (the
  one-worker process is pinned to one CPU, so the pool it starts has one
  thread); target speed-up >= 1.5 on 2 cores;
- the peak RSS of a fresh process making one whole call, as a ratio to the
  model's size on disk; target <= 2.5.

The figures are wall-clock times on a machine that may be shared: run it when
the machine is otherwise idle, or the pool has no second core to use.

Usage: python bench/split_cameras.py [--keep DIR] [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

N_IMAGES, GRID_X, GRID_Y, SPACING = 1_000, 40, 25, 10.0
KEYPOINTS = 8_000
N_POINTS, TRACK = 1_000_000, 5
PATCH_GRID, PATCH_BUFFER = 4, 10.0



def generate_model(directory: Path, seed: int = 1) -> None:
    """Writes the model's three files into `directory`."""
    import numpy as np  # here only: the measuring processes do without it

    keypoint_type = np.dtype([("x", "<f8"), ("y", "<f8"), ("point3d_id", "<i8")])
    point_type = np.dtype([("id", "<u8"), ("xyz", "<f8", 3), ("rgb", "u1", 3), ("error", "<f8"),
                           ("track_length", "<u8"), ("track", "<u4", (TRACK, 2))])
    rng = np.random.default_rng(seed)
    directory.mkdir(parents=True, exist_ok=True)
    grid = np.arange(N_IMAGES)
    centres = np.stack([(grid % GRID_X) * SPACING, (grid // GRID_X) * SPACING], axis=1)

    # Every point is seen from the image it lies under and 4 of that image's
    # 8 grid neighbours (wrapping at the edges).
    home = rng.integers(0, N_IMAGES, N_POINTS)
    offsets = np.array([(dx, dy) for dx in (-1, 0, 1) for dy in (-1, 0, 1) if dx or dy])
    chosen = offsets[np.argsort(rng.random((N_POINTS, 8)), axis=1)[:, :TRACK - 1]]
    gx = (home % GRID_X)[:, None] + chosen[..., 0]
    gy = (home // GRID_X)[:, None] + chosen[..., 1]
    seen_by = np.concatenate([home[:, None], (gy % GRID_Y) * GRID_X + gx % GRID_X], axis=1)

    # Each observation takes the next free keypoint slot of its image, in a
    # random order.
    obs_image = seen_by.ravel()
    order = rng.permutation(obs_image.size)
    by_image = order[np.argsort(obs_image[order], kind="stable")]
    per_image = np.bincount(obs_image, minlength=N_IMAGES)
    assert per_image.max() <= KEYPOINTS
    slot = np.empty(obs_image.size, dtype=np.int64)
    slot[by_image] = np.arange(obs_image.size) - np.repeat(np.cumsum(per_image) - per_image, per_image)

    point_ids = np.arange(1, N_POINTS + 1, dtype=np.int64)
    keypoint_ids = np.full((N_IMAGES, KEYPOINTS), -1, dtype=np.int64)
    keypoint_ids[obs_image, slot] = np.repeat(point_ids, TRACK)

    points = np.zeros(N_POINTS, dtype=point_type)
    points["id"] = point_ids
    points["xyz"][:, :2] = centres[home] + rng.uniform(-SPACING / 2, SPACING / 2, (N_POINTS, 2))
    points["xyz"][:, 2] = rng.uniform(-2, 2, N_POINTS)
    points["rgb"] = rng.integers(0, 256, (N_POINTS, 3))
    points["error"] = rng.random(N_POINTS)
    points["track_length"] = TRACK
    points["track"][..., 0] = seen_by + 1
    points["track"][..., 1] = slot.reshape(N_POINTS, TRACK)
    with open(directory / "points3D.bin", "wb") as f:
        f.write(struct.pack("<Q", N_POINTS))
        f.write(points.tobytes())

    with open(directory / "cameras.bin", "wb") as f:
        f.write(struct.pack("<Q", 4))
        for camera_id in range(1, 5):
            f.write(struct.pack("<IIQQ4d", camera_id, 1, 4000, 3000, 3000.0, 3000.0, 2000.0, 1500.0))

    with open(directory / "images.bin", "wb") as f:
        f.write(struct.pack("<Q", N_IMAGES))
        keypoints = np.zeros(KEYPOINTS, dtype=keypoint_type)
        for i in range(N_IMAGES):
            # Identity rotation: the centre is -tvec.
            cx, cy = centres[i]
            f.write(struct.pack("<I4d3dI", i + 1, 1.0, 0.0, 0.0, 0.0, -cx, -cy, -30.0, i % 4 + 1))
            f.write(f"frame_{i:05d}.jpg".encode() + b"\0" + struct.pack("<Q", KEYPOINTS))
            keypoints["x"] = rng.uniform(0, 4000, KEYPOINTS)
            keypoints["y"] = rng.uniform(0, 3000, KEYPOINTS)
            keypoints["point3d_id"] = keypoint_ids[i]
            f.write(keypoints.tobytes())


def config(model: Path, out: Path, with_patches: bool = True) -> str:
    width = (GRID_X - 1) * SPACING / PATCH_GRID
    height = (GRID_Y - 1) * SPACING / PATCH_GRID
    patches = [{"min_x": i * width - PATCH_BUFFER, "min_y": j * height - PATCH_BUFFER,
                "max_x": (i + 1) * width + PATCH_BUFFER, "max_y": (j + 1) * height + PATCH_BUFFER,
                "output_path": str(out / f"patch_{i}_{j}")}
               for j in range(PATCH_GRID) for i in range(PATCH_GRID)]
    return json.dumps({"input_path": str(model), "min_z": -100.0, "max_z": 100.0,
                       "save_points3d": True, "patches": patches if with_patches else []})


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def cpu_seconds() -> float:
    """CPU time of this process so far, every thread included."""
    t = os.times()
    return t.user + t.system


def best_split(model: Path, out: Path, repeat: int, with_patches: bool = True):
    """(wall seconds, CPU seconds, counts) of the fastest of `repeat` calls."""
    from larkspan.splat import split_cameras_json

    runs = []
    for _ in range(repeat):
        shutil.rmtree(out, ignore_errors=True)
        document = config(model, out, with_patches)
        start, cpu = time.perf_counter(), cpu_seconds()
        counts = split_cameras_json(document)
        runs.append((time.perf_counter() - start, cpu_seconds() - cpu, counts))
    return fastest(runs)


def fastest(runs):
    return min(runs, key=lambda run: run[0])


def peak_rss() -> int:
    """This process's peak resident set in bytes. Not getrusage's ru_maxrss,
    which a child inherits from its parent across fork and exec."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def child(model: Path, out: Path, repeat: int, one_worker: bool) -> None:
    """Runs in a fresh process: the peak RSS of one whole call (as a user's
    process makes it), then the best load-only and whole-call times."""
    if one_worker:
        # Before the pool starts: it sizes itself from the CPUs it may use.
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    fulls = [best_split(model, out, 1)]
    peak = peak_rss()
    loads = []
    for _ in range(repeat):  # interleaved, so both see the same machine
        loads.append(best_split(model, out, 1, with_patches=False))
        fulls.append(best_split(model, out, 1))
    load, full = fastest(loads), fastest(fulls)
    print(json.dumps({"load": load[0], "load_cpu": load[1], "full": full[0], "full_cpu": full[1],
                      "peak_rss": peak}))


def run_child(model: Path, out: Path, repeat: int, one_worker: bool) -> dict:
    args = [sys.executable, __file__, "--child", str(model), str(out), "--repeat", str(repeat)]
    if one_worker:
        args.append("--one-worker")
    result = subprocess.run(args, check=True, capture_output=True, text=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", type=Path,
                        help="keep the model in this directory (and reuse one already there)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement; the best counts")
    parser.add_argument("--child", nargs=2, type=Path, metavar=("MODEL", "OUT"), help=argparse.SUPPRESS)
    parser.add_argument("--one-worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child, args.repeat, args.one_worker)
        return 0

    import pycolmap

    work = args.keep or Path(tempfile.mkdtemp(prefix="bench_split_cameras_"))
    model, out = work / "model", work / "out"
    try:
        names = ("cameras.bin", "images.bin", "points3D.bin")
        if args.keep is None or not all((model / name).exists() for name in names):
            print("generating the model...", flush=True)
            start = time.perf_counter()
            generate_model(model)
            print(f"  done in {time.perf_counter() - start:.1f}s", flush=True)
        size = sum((model / name).stat().st_size for name in names)

        pycolmap_times, our_times = [], []
        for _ in range(args.repeat):
            pycolmap_times.append(timed(lambda: pycolmap.Reconstruction(str(model))))
            ours, _, counts = best_split(model, out, 1)
            our_times.append(ours)
        pycolmap_time, ours = min(pycolmap_times), min(our_times)
        print(f"split_cameras_json: {ours:.3f}s  pycolmap.Reconstruction: {pycolmap_time:.3f}s")
        print(f"  counts: {counts}")

        pools, singles = [], []
        for _ in range(2):  # alternating, so both see the same machine
            pools.append(run_child(model, out, args.repeat, one_worker=False))
            singles.append(run_child(model, out, args.repeat, one_worker=True))
        pool = {key: min(run[key] for run in pools) for key in pools[0]}
        single = {key: min(run[key] for run in singles) for key in singles[0]}
        split_pool = pool["full"] - pool["load"]
        split_single = single["full"] - single["load"]
        cpu_pool = pool["full_cpu"] - pool["load_cpu"]
        cpu_single = single["full_cpu"] - single["load_cpu"]
        print(f"split phase: pool {split_pool:.3f}s ({cpu_pool:.3f} CPU-s), "
              f"one worker {split_single:.3f}s ({cpu_single:.3f} CPU-s); "
              f"load {pool['load']:.3f}s / {single['load']:.3f}s")
        print(f"  the pool kept {cpu_pool / split_pool:.2f} of {os.cpu_count()} CPUs busy: "
              "well under 2 means other work shared the machine")
        print(f"peak RSS: {pool['peak_rss'] / 1e6:.0f} MB for a {size / 1e6:.0f} MB model")

        ratios = [
            ("whole call / pycolmap read", ours / pycolmap_time, "<=", 1.0),
            ("split phase speed-up, pool vs one worker", split_single / split_pool, ">=", 1.5),
            ("peak RSS / model size on disk", pool["peak_rss"] / size, "<=", 2.5),
        ]
        print()
        for name, value, relation, target in ratios:
            met = value <= target if relation == "<=" else value >= target
            print(f"{name:45s} {value:6.2f}  (target {relation} {target}) {'ok' if met else 'MISSED'}")
    finally:
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
