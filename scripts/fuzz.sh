#!/usr/bin/env bash
# Builds the libFuzzer harnesses of every reader with clang (ASan + UBSan) and
# runs each for SECONDS (default 30). Seed corpora are generated, never
# committed; findings are written to build/fuzz/findings/<harness>/.
# Usage: bash scripts/fuzz.sh [SECONDS] [HARNESS...]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

SECONDS_EACH="${1:-30}"
shift || true
bash scripts/setup.sh python3 .venv
PY="$(pwd)/.venv/bin/python"

FUZZ_PACKAGES=(clang-16 libclang-rt-16-dev)
missing=()
for package in "${FUZZ_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

BUILD=build/fuzz
"$PY" -m cmake -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$(pwd)/.venv/bin/ninja" \
  -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLARKSPAN_BUILD_MODULE=OFF -DLARKSPAN_FUZZ=ON -DPython_EXECUTABLE="$PY" >/dev/null
"$PY" -m cmake --build "$BUILD"

rm -rf "$BUILD/corpus"
"$PY" tests/fuzz/make_corpus.py "$BUILD/corpus"

harnesses=("$@")
if ((${#harnesses[@]} == 0)); then
  for source in tests/fuzz/fuzz_*.cpp; do harnesses+=("$(basename "$source" .cpp)"); done
fi

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
for harness in "${harnesses[@]}"; do
  findings="$BUILD/findings/$harness"
  rm -rf "$findings"  # what an earlier run found stays only until the next run
  mkdir -p "$findings" "$BUILD/corpus/$harness"
  echo "== $harness: ${SECONDS_EACH}s"
  # Inputs are small, so any single allocation beyond 64 MiB means a count
  # from the input was trusted.
  if ! "$BUILD/$harness" "$BUILD/corpus/$harness" -max_total_time="$SECONDS_EACH" \
      -malloc_limit_mb=64 -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$findings/" 2>"$BUILD/$harness.log"; then
    echo "FINDING in $harness (see $BUILD/$harness.log and $findings/)"
    tail -n 40 "$BUILD/$harness.log"
    status=1
  else
    grep -E "^Done|^stat::new_units_added|^stat::peak_rss_mb" "$BUILD/$harness.log" | sed 's/^/   /'
  fi
done
exit $status
