#!/usr/bin/env bash
# Installs what is missing, builds Tolvara and runs the whole test suite twice, a
# normal build in build/ and an AddressSanitizer + UBSan build in build-asan/, then
# the tests labelled "threads" once more under ThreadSanitizer in build-tsan/.
# Last, every fuzz target of fuzz/ (clang, libFuzzer) gets a short run in build-fuzz/.
# The builds are incremental, so a second run only rebuilds what changed.
#   TOLVARA_BUILD_DIR, TOLVARA_ASAN_BUILD_DIR, TOLVARA_TSAN_BUILD_DIR  other build folders
#   TOLVARA_ASAN=0, TOLVARA_TSAN=0             skip a sanitizer pass
#   TOLVARA_FUZZ=0                             skip the fuzz targets' short run
#   TOLVARA_FUZZ_BUILD_DIR                     other build folder for the fuzz targets
#   TOLVARA_WERROR=1                           compiler warnings fail the build (CI)
#   TOLVARA_CTEST_ARGS                         extra ctest arguments (e.g. "-R Settings")
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
BUILD_DIR="$(abs_build_dir "${TOLVARA_BUILD_DIR:-build}")"
ASAN_DIR="$(abs_build_dir "${TOLVARA_ASAN_BUILD_DIR:-build-asan}")"
TSAN_DIR="$(abs_build_dir "${TOLVARA_TSAN_BUILD_DIR:-build-tsan}")"
WERROR=OFF
[ "${TOLVARA_WERROR:-0}" = 1 ] && WERROR=ON
read -r -a CTEST_EXTRA <<<"${TOLVARA_CTEST_ARGS:-}"

failed=()

run_ctest() {
  # An empty suite is a broken build, not a pass.
  local dir="$1"
  shift
  ctest --test-dir "$dir" --output-on-failure -j2 --no-tests=error "$@" "${CTEST_EXTRA[@]}"
}

section "Set-up"
if ! bash "$ROOT/scripts/setup.sh"; then
  echo "test.sh: set-up failed" >&2
  exit 1
fi

# pass NAME DIR "BUILD ARGS" [ctest args...]: configure and build DIR, then run its
# tests; a failure is noted and the next pass still runs.
pass() {
  local name="$1" dir="$2" build_args="$3"
  shift 3
  local -a args
  read -r -a args <<<"$build_args"
  section "$name build ($dir)"
  if configure "$dir" -DTOLVARA_WERROR="$WERROR" "${args[@]}" && cmake --build "$dir" -j"$JOBS" ${BUILD_TARGET:+--target "$BUILD_TARGET"}; then
    section "$name tests ($dir)"
    run_ctest "$dir" "$@" || failed+=("tests in $dir")
  else
    failed+=("build in $dir")
  fi
}

pass "Normal ($BUILD_TYPE)" "$BUILD_DIR" ""

if [ "${TOLVARA_ASAN:-1}" != 0 ]; then
  # Leak checking stays on. The only leaks seen at exit come from system
  # libraries (libdbus under a real X display); those are suppressed by
  # library name in lsan.supp, so a leak in our own code still fails.
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:check_initialization_order=1}"
  export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
  pass "ASan + UBSan" "$ASAN_DIR" "-DTOLVARA_SANITIZER=address -DTOLVARA_BENCH=OFF"
fi

if [ "${TOLVARA_TSAN:-1}" != 0 ]; then
  # Only the tests that hand work between threads: the rest of the suite runs on the
  # window thread alone and has had its sanitizer pass above.
  export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/scripts/tsan.supp}"
  BUILD_TARGET=tolvara_thread_tests pass "ThreadSanitizer (tests labelled threads)" "$TSAN_DIR" \
    "-DTOLVARA_SANITIZER=thread -DTOLVARA_BENCH=OFF" -L threads
fi

if [ "${TOLVARA_FUZZ:-1}" != 0 ]; then
  # From the committed seeds only, with a fixed number of inputs each: a quick check
  # that no parser crashes, leaks or hits undefined behaviour on them or near them.
  # scripts/fuzz.sh runs them for longer.
  section "Fuzz targets (${TOLVARA_FUZZ_BUILD_DIR:-build-fuzz}, 20000 inputs each)"
  bash "$ROOT/scripts/fuzz.sh" --seeds-only runs=20000 || failed+=("fuzz targets")
fi

# On success the last lines are the last pass's own summary.
if [ ${#failed[@]} -ne 0 ]; then
  section "FAILED"
  for f in "${failed[@]}"; do echo "test.sh: failed: $f" >&2; done
  exit 1
fi
