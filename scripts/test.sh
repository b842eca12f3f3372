#!/usr/bin/env bash
# Sets up a fresh machine and runs every test: the C++ units, the pytest suite
# against the installed package, and the module tests on Python 3.13 where the
# machine has it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh python3 .venv
PY="$(pwd)/.venv/bin/python"

# C++ unit tests, and the probe module the Python tests use to reach the
# binding layer's internal-failure path.
"$PY" -m cmake -S . -B build/native-tests -G Ninja -DCMAKE_MAKE_PROGRAM="$(pwd)/.venv/bin/ninja" \
  -DLARKSPAN_BUILD_MODULE=OFF -DLARKSPAN_BUILD_TESTS=ON -DPython_EXECUTABLE="$PY" >/dev/null
"$PY" -m cmake --build build/native-tests
build/native-tests/native_tests --gtest_brief=1

LARKSPAN_PROBE_DIR="$(pwd)/build/native-tests" "$PY" -m pytest -q

# The type stubs against the built module.
(cd build && "$PY" -m mypy.stubtest larkspan.splat)

# The module spine again on Python 3.13, whose import machinery differs.
PY313="$(ls "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/3.13*/bin/python3.13 2>/dev/null | head -n 1 || true)"
if [ -n "$PY313" ]; then
  bash scripts/setup.sh "$PY313" .venv313
  .venv313/bin/python -m pytest -q tests/test_module.py
else
  echo "Python 3.13 not found; module tests ran on $("$PY" --version) only"
fi
