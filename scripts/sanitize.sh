#!/usr/bin/env bash
# Builds _core with AddressSanitizer and UndefinedBehaviorSanitizer, for this
# machine's own instruction set (so the suite also runs where the compiler
# could fuse multiplies and adds, which the results must not show), and runs
# the whole pytest suite against it: the interpreter runs with the sanitizer
# runtime preloaded, Python's allocator switched to malloc so every
# allocation is checked, and the interpreter's own lifetime allocations kept
# out of the leak report. Any finding fails the run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh python3 .venv
PY="$(pwd)/.venv/bin/python"
BUILD=build/sanitize

"$PY" -m cmake -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$(pwd)/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKSPAN_SANITIZE=ON -DLARKSPAN_BUILD_TESTS=ON \
  -DCMAKE_CXX_FLAGS="-march=native" \
  -DPython_EXECUTABLE="$PY" >/dev/null
"$PY" -m cmake --build "$BUILD"

# A package tree holding the sanitized module in place of the installed one.
STAGE="$BUILD/stage"
rm -rf "$STAGE" && mkdir -p "$STAGE/larkspan/splat"
cp src/larkspan/splat/*.py "$STAGE/larkspan/splat/"
cp src/larkspan/splat/*.pyi src/larkspan/splat/py.typed "$STAGE/larkspan/splat/" 2>/dev/null || true
cp "$BUILD"/_core*.so "$BUILD"/_inspect*.so "$STAGE/larkspan/splat/"

"$BUILD/native_tests" --gtest_brief=1

# Only the interpreter runs with the runtime preloaded (not the shell tools
# of this script).
# libstdc++ is preloaded too: the runtime resolves its C++ exception
# interceptor at start-up, before any module has loaded libstdc++.
SANITIZED=(env LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)")
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$(pwd)/tests/sanitizer/lsan.supp:print_suppressions=0"
# Allocation stacks only this deep: suppressions then match the frames
# nearest an allocation, never the interpreter frames every call runs under.
export ASAN_OPTIONS="$ASAN_OPTIONS:malloc_context_size=4"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONPATH="$(pwd)/$STAGE"
export LARKSPAN_PROBE_DIR="$(pwd)/$BUILD"
export LARKSPAN_SANITIZED=1
# The sanitized module must be the one under test, not the installed one.
# LeakSanitizer stops the process's threads with a tracer at exit; on this
# sandboxed kernel the tracer itself sometimes crashes ("LeakSanitizer has
# encountered a fatal error") without having examined anything. Such a run
# proves nothing either way and is repeated; any real report (a leak, a memory
# error, undefined behaviour, a failed test) fails at once.
run_checked() {
  local log attempt
  log="$(mktemp)"
  for attempt in 1 2 3; do
    set +e
    "$@" 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    set -e
    if [ "$status" -eq 0 ]; then rm -f "$log"; return 0; fi
    if grep -q "LeakSanitizer has encountered a fatal error" "$log" \
      && ! grep -qE "ERROR: (AddressSanitizer|LeakSanitizer: detected)|runtime error:| failed|[0-9]+ error" "$log"; then
      echo "(the leak checker's tracer crashed; running again, attempt $((attempt + 1)) of 3)"
      continue
    fi
    rm -f "$log"
    return "$status"
  done
  rm -f "$log"
  return 1
}

run_checked "${SANITIZED[@]}" "$PY" -c "import larkspan.splat._core as m; assert '$STAGE' in m.__file__, m.__file__"
run_checked "${SANITIZED[@]}" "$PY" -m pytest -q -p no:cacheprovider "$@"
