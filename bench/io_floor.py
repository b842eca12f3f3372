"""The I/O floor the PLY benchmarks compare each tool with: one read of each
input in 16 MiB reads, then files of the tool's output sizes written with
1 MiB writes. No tool producing those outputs from those inputs can do less."""

from __future__ import annotations

import os

MiB = 1 << 20


AnyPath = str | os.PathLike[str]


def io_floor(inputs: AnyPath | list[AnyPath], outputs: list[tuple[AnyPath, int]]) -> None:
    """Reads each of `inputs` (one path or a list) once, then writes each
    (path, size) of `outputs`, creating missing folders."""
    for input_path in inputs if isinstance(inputs, list) else [inputs]:
        with open(input_path, "rb", buffering=0) as f:
            while f.read(16 * MiB):
                pass
    block = b"\0" * MiB
    for path, size in outputs:
        os.makedirs(os.path.dirname(os.fspath(path)) or ".", exist_ok=True)
        with open(path, "wb", buffering=0) as f:
            while size > 0:
                size -= f.write(block[: min(size, MiB)])
