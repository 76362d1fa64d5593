# Shared by run.sh and test.sh; sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_TYPE="${TOLVARA_BUILD_TYPE:-RelWithDebInfo}"
JOBS="$(nproc 2>/dev/null || echo 2)"

# Build folders are relative to the repository root unless given absolute.
abs_build_dir() {
  case "$1" in
    /*) printf '%s\n' "$1" ;;
    *) printf '%s\n' "$ROOT/$1" ;;
  esac
}

START_SECONDS=$SECONDS
section() {
  local t=$((SECONDS - START_SECONDS))
  printf '\n==== %s  [%dm%02ds]\n' "$*" $((t / 60)) $((t % 60))
}

# configure DIR [cmake options...]: re-running is cheap once the cache exists.
configure() {
  local dir="$1"
  shift
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" "$@"
}
