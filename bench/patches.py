"""Benchmark of `patches` on generated city-block captures.

Cameras come in capture sessions: clusters strung along the streets of a
square city of 100 m blocks, scaled with the camera count so the density per
street stays alike. Each call uses target_bins 100, max_cameras 700 and the
default buffer. Printed from one run:

- the call's time on 100,000 and 1,000,000 cameras as a ratio to the same
  call on as many identical positions, which only converts the list and takes
  the single-point shortcut: the cost of reading the input (target: at most 3
  at 1,000,000 cameras);
- the whole call on 1,000,000 cameras given as a numpy (N, 2) float64 array,
  as a ratio to the same call given the list of tuples (target: at most 0.5),
  and whether the two plans agree.

Usage: python bench/patches.py
"""

from __future__ import annotations

import contextlib
import os
import random
import sys
import time

import numpy as np

from larkspan.splat import patches

TARGET_RATIO = 3.0
TARGET_ARRAY_RATIO = 0.5
BLOCK = 100.0


def city_cameras(n: int, seed: int) -> list[tuple[float, float]]:
    """n camera positions in capture sessions of 50 to 300 along the streets."""
    rng = random.Random(seed)
    blocks = max(2, round(n / 10_400))  # 96 blocks at 1,000,000: bins just under 100 m
    size = blocks * BLOCK
    origin_x, origin_y = 512_345.6, 4_321_098.7  # projected coordinates, as in real captures
    cameras: list[tuple[float, float]] = []
    while len(cameras) < n:
        session = min(n - len(cameras), rng.randint(50, 300))
        street = rng.randint(0, blocks) * BLOCK
        length = session * rng.uniform(0.6, 1.5)  # a photo every 0.6 to 1.5 m
        start = rng.uniform(0.0, size - length)
        along_x = rng.random() < 0.5
        for _ in range(session):
            along = start + rng.random() * length
            across = street + rng.uniform(-4.0, 4.0)
            x, y = (along, across) if along_x else (across, along)
            cameras.append((origin_x + x, origin_y + y))
    return cameras


@contextlib.contextmanager
def quiet_stdout():
    """The planner prints its summary on fd 1; keep it out of the figures."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def best_time(fn, repeats: int) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        with quiet_stdout():
            result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def as_tuples(boxes):
    return [(b.min_x, b.max_x, b.min_y, b.max_y) for b in boxes]


def main() -> int:
    settings = dict(max_cameras=700, buffer_meters=None, target_bins=100)
    ratios = {}
    plans = {}
    for n in (100_000, 1_000_000):
        cameras = city_cameras(n, seed=n)
        x, y = cameras[0]
        identical = [(x + 0.0, y + 0.0) for _ in range(n)]  # distinct objects, one point
        repeats = 7
        planned, boxes = best_time(lambda: patches(cameras, **settings), repeats)
        reading, _ = best_time(lambda: patches(identical, **settings), repeats)
        ratios[n] = planned / reading
        plans[n] = (cameras, boxes, planned)
        print(f"{n:>9,} cameras: {len(boxes)} patches in {planned * 1e3:8.1f} ms; "
              f"reading the input {reading * 1e3:7.1f} ms; ratio {ratios[n]:.2f}")

    verdict = "meets" if ratios[1_000_000] <= TARGET_RATIO else "MISSES"
    print(f"ratio at 1,000,000 cameras {ratios[1_000_000]:.2f} {verdict} the target of "
          f"at most {TARGET_RATIO:g}")

    cameras, boxes, from_list = plans[1_000_000]
    array = np.array(cameras, dtype=np.float64)
    from_array, array_boxes = best_time(lambda: patches(array, **settings), 7)
    array_ratio = from_array / from_list
    array_agrees = as_tuples(array_boxes) == as_tuples(boxes)
    array_verdict = "meets" if array_ratio <= TARGET_ARRAY_RATIO else "MISSES"
    print(f"1,000,000 cameras from a numpy array {from_array * 1e3:.1f} ms, from a list of "
          f"tuples {from_list * 1e3:.1f} ms: ratio {array_ratio:.2f} {array_verdict} the target "
          f"of at most {TARGET_ARRAY_RATIO:g}; plans {'equal' if array_agrees else 'DIFFER'}")
    return 0 if array_agrees and verdict == array_verdict == "meets" else 1


if __name__ == "__main__":
    sys.exit(main())
