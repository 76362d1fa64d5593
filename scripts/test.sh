#!/usr/bin/env bash
# Installs what is missing, builds Tolvara and runs the whole test suite twice:
# a normal build in build/ and an AddressSanitizer + UBSan build in build-asan/.
# Both builds are incremental, so a second run only rebuilds what changed.
#   TOLVARA_BUILD_DIR, TOLVARA_ASAN_BUILD_DIR  other build folders
#   TOLVARA_ASAN=0                             skip the sanitizer pass
#   TOLVARA_CTEST_ARGS                         extra ctest arguments (e.g. "-R Settings")
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
BUILD_DIR="$(abs_build_dir "${TOLVARA_BUILD_DIR:-build}")"
ASAN_DIR="$(abs_build_dir "${TOLVARA_ASAN_BUILD_DIR:-build-asan}")"
read -r -a CTEST_EXTRA <<<"${TOLVARA_CTEST_ARGS:-}"

failed=()

run_ctest() {
  # An empty suite is a broken build, not a pass.
  ctest --test-dir "$1" --output-on-failure -j2 --no-tests=error "${CTEST_EXTRA[@]}"
}

section "Set-up"
if ! bash "$ROOT/scripts/setup.sh"; then
  echo "test.sh: set-up failed" >&2
  exit 1
fi

section "Build ($BUILD_DIR, $BUILD_TYPE)"
if configure "$BUILD_DIR" && cmake --build "$BUILD_DIR" -j"$JOBS"; then
  section "Tests ($BUILD_DIR)"
  run_ctest "$BUILD_DIR" || failed+=("tests in $BUILD_DIR")
else
  failed+=("build in $BUILD_DIR")
fi

if [ "${TOLVARA_ASAN:-1}" != 0 ]; then
  # Leak checking stays on. The only leaks seen at exit come from system
  # libraries (libdbus under a real X display); those are suppressed by
  # library name in lsan.supp, so a leak in our own code still fails.
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:check_initialization_order=1}"
  export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

  section "Sanitizer build ($ASAN_DIR, ASan + UBSan)"
  if configure "$ASAN_DIR" -DTOLVARA_SANITIZE=ON -DTOLVARA_BENCH=OFF &&
    cmake --build "$ASAN_DIR" -j"$JOBS"; then
    section "Sanitizer tests ($ASAN_DIR)"
    run_ctest "$ASAN_DIR" || failed+=("tests in $ASAN_DIR")
  else
    failed+=("build in $ASAN_DIR")
  fi
fi

# On success the last lines are CTest's own summary.
if [ ${#failed[@]} -ne 0 ]; then
  section "FAILED"
  for f in "${failed[@]}"; do echo "test.sh: failed: $f" >&2; done
  exit 1
fi
