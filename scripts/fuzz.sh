#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in their own build folder and runs
# each one in turn, then prints a line per target: executions, seconds, corpus size
# and whether it stayed clean.
#   bash scripts/fuzz.sh 60                      60 seconds for each target
#   bash scripts/fuzz.sh runs=1000000            a million executions for each
#   bash scripts/fuzz.sh 600 services netbios    only the targets named
#   bash scripts/fuzz.sh --seeds-only runs=20000 start from the seeds alone, keep nothing
# What a run finds is kept in <build>/corpus/<target> (the seeds in fuzz/corpus/ are
# only read) and a crashing input in <build>/artifacts/. Exits non-zero when the build
# fails or any target crashes.
#   TOLVARA_FUZZ_BUILD_DIR   build folder (default build-fuzz)
#   TOLVARA_WERROR=1         compiler warnings fail the build
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
FUZZ_DIR="$(abs_build_dir "${TOLVARA_FUZZ_BUILD_DIR:-build-fuzz}")"
WERROR=OFF
[ "${TOLVARA_WERROR:-0}" = 1 ] && WERROR=ON

usage() {
  awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "${BASH_SOURCE[0]}" >&2
  exit 2
}

seeds_only=0
if [ "${1:-}" = --seeds-only ]; then
  seeds_only=1
  shift
fi
[ $# -ge 1 ] || usage
case "$1" in
  runs=[0-9]*) limit=(-runs="${1#runs=}") ;;
  [0-9]*) limit=(-max_total_time="$1") ;;
  *) usage ;;
esac
shift

all_targets=()
for f in "$ROOT"/fuzz/*_fuzz.cpp; do
  name="$(basename "$f" _fuzz.cpp)"
  all_targets+=("$name")
done
targets=("${all_targets[@]}")
if [ $# -gt 0 ]; then
  for t in "$@"; do
    [ -f "$ROOT/fuzz/${t}_fuzz.cpp" ] || { echo "fuzz.sh: no target $t" >&2; exit 2; }
  done
  targets=("$@")
fi

# The fuzzers count a UB report or a leak as a crash, like any other failure.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

if ! cmake -S "$ROOT" -B "$FUZZ_DIR" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTOLVARA_FUZZ=ON \
  -DTOLVARA_TESTS=OFF -DTOLVARA_BENCH=OFF -DTOLVARA_WERROR="$WERROR" >/dev/null ||
  ! cmake --build "$FUZZ_DIR" -j"$JOBS" --target tolvara_fuzzers; then
  echo "fuzz.sh: build in $FUZZ_DIR failed" >&2
  exit 1
fi

work=""
if [ "$seeds_only" = 1 ]; then
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$FUZZ_DIR/artifacts"

failed=()
for t in "${targets[@]}"; do
  corpus="$FUZZ_DIR/corpus/$t"
  [ "$seeds_only" = 1 ] && corpus="$work/$t"
  mkdir -p "$corpus"
  log="$FUZZ_DIR/artifacts/$t.log"
  start=$SECONDS
  # A hang of ten seconds on one input is a finding too.
  "$FUZZ_DIR/bin/${t}_fuzz" "${limit[@]}" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$FUZZ_DIR/artifacts/$t-" "$corpus" "$ROOT/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  files="$(find "$corpus" -type f | wc -l)"
  line="$(printf '%-18s %10s runs %5ds  corpus %5s files' "$t" "${runs:-?}" $((SECONDS - start)) "$files")"
  if [ "$rc" -ne 0 ]; then
    failed+=("$t")
    line+="  FAILED (exit $rc, $log)"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|check failed|.*runtime error)' "$log" | head -5 >&2
  fi
  echo "$line"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz.sh: failed: ${failed[*]}" >&2
  exit 1
fi
