"""The I/O floor the PLY benchmarks compare each tool with: one read of the
input in 16 MiB reads, then files of the tool's output sizes written with
1 MiB writes. No tool producing those outputs can do less."""

from __future__ import annotations

import os

MiB = 1 << 20


def io_floor(input_path: str | os.PathLike[str],
             outputs: list[tuple[str | os.PathLike[str], int]]) -> None:
    """Reads `input_path` once, then writes each (path, size) of `outputs`,
    creating missing folders."""
    with open(input_path, "rb", buffering=0) as f:
        while f.read(16 * MiB):
            pass
    block = b"\0" * MiB
    for path, size in outputs:
        os.makedirs(os.path.dirname(os.fspath(path)) or ".", exist_ok=True)
        with open(path, "wb", buffering=0) as f:
            while size > 0:
                size -= f.write(block[: min(size, MiB)])
