"""Merge throughput against `cat`, and merge memory against input size.

Generates eight splat files of 248-byte records (2 GiB in all by default),
then alternates a merge and a `cat` of the same files into a new file, and
prints the median ratio merge / cat (target: at most 1.1). The two run in one
order in even pairs and in the reverse order in odd ones, over an even number
of pairs, and each starts after a sync: the freshly generated inputs would
otherwise go out to disk during the first pairs, and a run would share the
disk with writeback the run before it began, whichever side it is. `cat` is
the I/O floor of a merge: one read of every input and one write of every byte.
Peak resident memory of a merge is measured in child processes at two input
sizes: it must not grow with the input. The generated data is deleted
afterwards.

    python bench/merge.py [--total-mib 2048] [--pairs 6] [--dir DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

RECORD_SIZE = 248  # 62 float properties
FILES = 8


def header(count: int) -> bytes:
    lines = ["ply", "format binary_little_endian 1.0", f"element vertex {count}"]
    lines += [f"property float p{i}" for i in range(RECORD_SIZE // 4)]
    lines.append("end_header")
    return ("\n".join(lines) + "\n").encode()


def generate(directory: Path, total_bytes: int) -> list[Path]:
    per_file = total_bytes // FILES // RECORD_SIZE
    block = os.urandom(RECORD_SIZE * 4096)
    paths = []
    for i in range(FILES):
        path = directory / f"input_{i}.ply"
        with open(path, "wb") as f:
            f.write(header(per_file))
            remaining = per_file * RECORD_SIZE
            while remaining:
                chunk = block[: min(len(block), remaining)]
                f.write(chunk)
                remaining -= len(chunk)
        paths.append(path)
    return paths


def merge_config(inputs: list[Path], output: Path) -> str:
    return json.dumps({"input_files": [str(p) for p in inputs], "output_file": str(output)})


def time_merge(inputs: list[Path], output: Path) -> float:
    from larkspan.splat import merge_ply_files_py

    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    os.dup2(devnull, 1)  # the stage lines go to fd 1
    try:
        start = time.perf_counter()
        merge_ply_files_py(merge_config(inputs, output))
        return time.perf_counter() - start
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def time_cat(inputs: list[Path], output: Path) -> float:
    start = time.perf_counter()
    with open(output, "wb") as out:
        subprocess.run(["cat", *map(str, inputs)], stdout=out, check=True)
    return time.perf_counter() - start


def peak_rss_of_merge(inputs: list[Path], output: Path) -> int:
    """Peak resident set of a child process that only imports and merges, KiB."""
    # VmHWM, not getrusage: a child's ru_maxrss starts from its parent's.
    code = (
        "import os, re, sys\n"
        "from larkspan.splat import merge_ply_files_py\n"
        "os.dup2(os.open(os.devnull, os.O_WRONLY), 1)\n"
        "merge_ply_files_py(sys.argv[1])\n"
        "status = open('/proc/self/status').read()\n"
        "sys.stderr.write(re.search(r'VmHWM:\\s+(\\d+) kB', status).group(1))\n"
    )
    done = subprocess.run([sys.executable, "-c", code, merge_config(inputs, output)],
                          capture_output=True, text=True, check=True)
    return int(done.stderr.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--total-mib", type=int, default=2048)
    parser.add_argument("--pairs", type=int, default=6, help="rounded up to an even number")
    parser.add_argument("--dir", type=Path, default=None)
    args = parser.parse_args()
    args.pairs += args.pairs % 2
    if args.dir is not None:
        args.dir.mkdir(parents=True, exist_ok=True)

    directory = Path(tempfile.mkdtemp(prefix="merge-bench-", dir=args.dir))
    try:
        print(f"generating {FILES} files, {args.total_mib} MiB in all, in {directory}")
        inputs = generate(directory, args.total_mib << 20)
        output = directory / "merged.ply"
        ratios = []
        for pair in range(args.pairs):
            seconds = {}
            for name in ("merge", "cat") if pair % 2 == 0 else ("cat", "merge"):
                os.sync()
                seconds[name] = (time_merge if name == "merge" else time_cat)(inputs, output)
                output.unlink()
            merge_s, cat_s = seconds["merge"], seconds["cat"]
            ratios.append(merge_s / cat_s)
            print(f"  pair {pair + 1}: merge {merge_s:.3f}s  cat {cat_s:.3f}s  ratio {ratios[-1]:.3f}")
        ratio = statistics.median(ratios)
        print(f"median merge / cat (the I/O floor): {ratio:.3f} (target <= 1.1) "
              f"{'ok' if ratio <= 1.1 else 'MISSED'}; load average "
              + ", ".join(f"{v:.2f}" for v in os.getloadavg()))

        small = peak_rss_of_merge(inputs[:1], output)
        output.unlink()
        large = peak_rss_of_merge(inputs, output)
        output.unlink()
        print(f"peak RSS: {small / 1024:.1f} MiB merging 1 file, {large / 1024:.1f} MiB merging "
              f"{FILES} files (ratio {large / small:.2f}; must not grow with input size)")
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
