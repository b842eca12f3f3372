#!/usr/bin/env bash
# Everything a fresh machine needs for development: the Debian package of the
# C++ unit tests, a virtual environment with the build requirements of
# pyproject.toml (oneTBB and nlohmann/json from PyPI) and the test tools, and
# the package itself. Safe to run again: each step is skipped when already
# done.
# Usage: bash scripts/setup.sh [python-executable] [venv-dir] [--with-tests]
# --with-tests also builds the C++ unit tests (native_tests) and the probe
# module of the Python tests, in the same CMake folder as the module
# (build/<wheel tag>), so they share its compiled code.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

PYTHON="${1:-${LARKSPAN_PYTHON:-python3}}"
VENV="${2:-.venv}"
BUILD_TESTS=OFF
[ "${3:-}" = "--with-tests" ] && BUILD_TESTS=ON
DEBIAN_PACKAGES=(libgtest-dev)

missing=()
for package in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing Debian packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The COLMAP program reads the COLMAP models the tests split, where the system
# offers it; without it the tests skip that check.
if ! command -v colmap >/dev/null && command -v apt-get >/dev/null \
  && apt-cache show colmap >/dev/null 2>&1; then
  echo "Installing the Debian package colmap"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq colmap >/dev/null \
    || echo "colmap could not be installed; the tests will skip reading patches with it"
fi

if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
# The build requirements as pyproject.toml lists them, with the tools.
"$VENV/bin/python" -c 'import tomllib, sys
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))' \
  >"$VENV/build-requirements.txt"
"$VENV/bin/python" -m pip install -q -r requirements-dev.txt -r "$VENV/build-requirements.txt"
# The build tools are in the environment, so the build needs no isolated
# environment of its own; build/ keeps the CMake tree between runs.
"$VENV/bin/python" -m pip install -q --no-build-isolation \
  -C cmake.define.LARKSPAN_BUILD_TESTS="$BUILD_TESTS" .
