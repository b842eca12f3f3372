"""Writes the seed corpora of the fuzz harnesses: small valid inputs of each
kind, from which the fuzzer mutates. Usage: python make_corpus.py OUT_DIR"""

import json
import struct
import sys
from pathlib import Path


def ply(count, properties, body=b"", fmt="binary_little_endian 1.0", eol="\n"):
    lines = ["ply", f"format {fmt}", "comment seed", f"element vertex {count}"]
    lines += [f"property {t} {n}" for t, n in properties]
    lines.append("end_header")
    return (eol.join(lines) + eol).encode() + body


SPLAT = [("float", n) for n in ("x", "y", "z", "scale_0", "scale_1", "scale_2", "opacity")]
CLOUD = [("double", "x"), ("double", "y"), ("double", "z"),
         ("uchar", "red"), ("uchar", "green"), ("uchar", "blue")]


def ply_seeds():
    splat_body = b"".join(struct.pack("<7f", i, -i, 0.5 * i, -3, -3, -3, 1) for i in range(3))
    cloud_body = b"".join(struct.pack("<3d3B", i, i, i, 1, 2, 3) for i in range(3))
    return {
        "splats": ply(3, SPLAT, splat_body),
        "cloud": ply(3, CLOUD, cloud_body),
        "crlf": ply(3, SPLAT, splat_body, eol="\r\n"),
        "plus_count": ply(3, SPLAT, splat_body).replace(b"vertex 3", b"vertex +3"),
        "list_property": ply(1, [("list", "uchar int vertex_indices")] + SPLAT),
        "ascii": ply(1, SPLAT, b"1 2 3 4 5 6 7\n", fmt="ascii 1.0"),
        "no_end": b"ply\nelement vertex 2\nproperty float x\n",
    }


def json_seeds():
    merge = {"input_files": ["a.ply", "b.ply"], "output_file": "out.ply"}
    return {
        # The first byte picks the record decoded by the harness.
        "merge": b"\x00" + json.dumps(merge).encode(),
        "merge_array": b"\x00" + json.dumps([["a"], "o"]).encode(),
        "merge_extra": b"\x00" + json.dumps({**merge, "x": [1, {"y": None}]}, indent=2).encode(),
    }


HARNESS_SEEDS = {
    "fuzz_ply_header": ply_seeds,
    "fuzz_json_configs": json_seeds,
}


def main(out_dir):
    out = Path(out_dir)
    for harness, seeds in HARNESS_SEEDS.items():
        directory = out / harness
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds().items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main(sys.argv[1])
