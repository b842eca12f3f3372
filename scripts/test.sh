#!/usr/bin/env bash
# Sets up a fresh machine and runs every test:
# - on every supported Python the machine has (3.11, 3.12, 3.13; python3 and
#   pyenv's), in a virtual environment of its own: the module, the C++ unit
#   tests and the probe module built together, then the whole pytest suite;
# - the C++ unit tests and the type stubs (stubtest), with python3;
# - scripts/check_install.sh: `pip install .` and the repaired manylinux
#   wheel, each running the example pipeline on this machine as it would be
#   without root and without Debian development packages.
# The suites of the other Pythons and the install check run side by side
# with python3's; each job's output is shown when it ends, and the run fails
# if any job fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

SUPPORTED=(3.11 3.12 3.13)
START=$SECONDS

# An interpreter of version $1 (python3.X on the path, else pyenv's), or nothing.
find_python() {
  local candidate
  for candidate in "$(command -v "python$1" || true)" \
      "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/"$1".*/bin/python"$1"; do
    if [ -x "$candidate" ] && "$candidate" -c "import sys; sys.exit(sys.version[:${#1}+1] != '$1.')" 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
}

# The CMake folder scikit-build-core keeps for the environment's Python.
build_dir() {
  local tag
  tag="$("$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
  ls -d "build/$tag-$tag-"*/ | head -n 1
}

# Sets up VENV with PYTHON and runs the whole suite there.
suite() {
  local python="$1" venv="$2"
  bash scripts/setup.sh "$python" "$venv" --with-tests
  LARKSPAN_PROBE_DIR="$(pwd)/$(build_dir "$venv/bin/python")" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider
}

mkdir -p build/test-logs
jobs=() names=()
start_job() {
  local name="$1"
  shift
  ("$@") >"build/test-logs/$name.log" 2>&1 &
  jobs+=($!)
  names+=("$name")
}

# The install check needs nothing of the set-up below: it starts first.
start_job install-check bash scripts/check_install.sh python3

# The Debian packages are installed here, before any other job starts.
bash scripts/setup.sh python3 .venv --with-tests
PY="$(pwd)/.venv/bin/python"
MAIN_VERSION="$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
echo "== set-up with Python $MAIN_VERSION: $((SECONDS - START))s"

for version in "${SUPPORTED[@]}"; do
  [ "$version" = "$MAIN_VERSION" ] && continue
  python="$(find_python "$version")"
  if [ -z "$python" ]; then
    echo "== Python $version not found: its suite does not run"
    continue
  fi
  start_job "python-$version" suite "$python" ".venv${version/./}"
done

status=0
native="$(build_dir "$PY")native_tests"
"$native" --gtest_brief=1 || status=1
LARKSPAN_PROBE_DIR="$(pwd)/$(build_dir "$PY")" "$PY" -m pytest -q -p no:cacheprovider || status=1
# The type stubs against the built module.
(cd build && "$PY" -m mypy.stubtest larkspan.splat) || status=1
echo "== Python $MAIN_VERSION: $((SECONDS - START))s"

for i in "${!jobs[@]}"; do
  if wait "${jobs[$i]}"; then
    echo "== ${names[$i]}: passed ($((SECONDS - START))s)"
    tail -n 8 "build/test-logs/${names[$i]}.log"
  else
    echo "== ${names[$i]}: FAILED ($((SECONDS - START))s)"
    tail -n 80 "build/test-logs/${names[$i]}.log"
    status=1
  fi
done
echo "== all tests: $((SECONDS - START))s"
exit $status
