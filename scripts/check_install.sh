#!/usr/bin/env bash
# Proves the two ways users install, on this machine as it would be without
# root and without any Debian development package (scripts/without_dev_packages.py
# hides them, and the system's oneTBB library, in a private mount namespace):
#
# 1. `pip install .` into a fresh virtual environment builds with the build
#    requirements of pyproject.toml from PyPI, and the example pipeline runs,
#    the module finding the tbb package's library by itself (no
#    LD_LIBRARY_PATH);
# 2. the wheel of scripts/wheel.sh, repaired by auditwheel, carries a
#    manylinux tag and runs the example pipeline in another fresh virtual
#    environment that holds nothing but it and numpy.
#
# Both run as the unprivileged user nobody. Needs root (for the namespace);
# elsewhere it says so and stops without failing.
# Usage: bash scripts/check_install.sh [python-executable]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [ "${1:-}" = "--inside" ]; then
  PY="$2" WORK="$3"
  SOURCE="$(pwd)"
  echo "== without Debian development packages, as $(id -un)"
  if "$PY" -c 'import ctypes; ctypes.CDLL("libtbb.so.12")' 2>/dev/null; then
    echo "the system's oneTBB library is still visible" >&2
    exit 1
  fi
  for dev_file in /usr/include/oneapi/tbb.h /usr/include/nlohmann/json.hpp \
      /usr/lib/x86_64-linux-gnu/cmake/TBB/TBBConfig.cmake /usr/include/openssl/rand.h; do
    if [ -s "$dev_file" ]; then
      echo "$dev_file is still visible" >&2
      exit 1
    fi
  done

  # Every oneTBB library the process loaded must come from FOLDER (its own
  # map of files says where each came from).
  tbb_from() {
    "$1" - "$2" <<'PY'
import re, sys
import larkspan.splat._core
loaded = sorted(set(re.findall(r"\S*/libtbb[^/\s]*", open("/proc/self/maps").read())))
print("oneTBB in use:", *loaded)
sys.exit(0 if loaded and all(path.startswith(sys.argv[1]) for path in loaded) else
         f"oneTBB should come from {sys.argv[1]}")
PY
  }

  # The example pipeline on its own output folder; its last line is the verdict.
  example() {
    "$1" "$SOURCE/examples/pipeline.py" "$2" >"$2.log" 2>&1 || { cat "$2.log"; return 1; }
    tail -n 1 "$2.log"
  }

  echo "== 1. pip install . into a fresh virtual environment"
  "$PY" -m venv "$WORK/venv-source"
  "$WORK/venv-source/bin/python" -m pip install -q -C build-dir="$WORK/cmake-source" "$SOURCE" numpy
  tbb_from "$WORK/venv-source/bin/python" "$WORK/venv-source/lib/"
  example "$WORK/venv-source/bin/python" "$WORK/example-source"

  echo "== 2. the repaired wheel"
  bash "$SOURCE/scripts/wheel.sh" "$PY" "$WORK/dist" "$WORK/wheel" >"$WORK/wheel.log" 2>&1 || {
    cat "$WORK/wheel.log"; exit 1; }
  wheel="$(tail -n 1 "$WORK/wheel.log")"
  echo "$(basename "$wheel")"
  # auditwheel show: "... is consistent with the following platform tag: "manylinux_2_34_x86_64"."
  grep -E -o "following platform tag: \"manylinux_[^\"]+\"" "$WORK/wheel.log" || {
    cat "$WORK/wheel.log"; echo "auditwheel show reports no manylinux tag" >&2; exit 1; }
  "$PY" -m venv "$WORK/venv-wheel"
  "$WORK/venv-wheel/bin/python" -m pip install -q numpy
  "$WORK/venv-wheel/bin/python" -m pip install -q --no-deps "$wheel"
  tbb_from "$WORK/venv-wheel/bin/python" "$("$WORK/venv-wheel/bin/python" -c 'import sysconfig
print(sysconfig.get_paths()["platlib"])')/larkspan_splat.libs/"
  example "$WORK/venv-wheel/bin/python" "$WORK/example-wheel"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "check_install.sh: needs root for a private mount namespace; skipped"
  exit 0
fi
PY="$(realpath "$("${1:-python3}" -c 'import sys; print(sys.executable)')")"
PREFIX="$("$PY" -c 'import sys; print(sys.base_prefix)')"
WORK="$(pwd)/build/check-install-$("$PY" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
HOME_DIR="$(pwd)/build/check-install-home"  # kept between runs: pip's cache
rm -rf "$WORK"
mkdir -p "$WORK" "$HOME_DIR"
chown nobody: "$WORK" "$HOME_DIR"
"$PY" scripts/without_dev_packages.py --user nobody --home "$HOME_DIR" \
  --keep "$PREFIX" --keep "$(pwd)" -- bash scripts/check_install.sh --inside "$PY" "$WORK"
