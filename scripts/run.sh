#!/usr/bin/env bash
# Installs what is missing, builds Tolvara and starts it.
#   bash scripts/run.sh [DATA_DIR] [program arguments...]
# DATA_DIR (or $TOLVARA_DATA_DIR) is the program's working directory, where
# TVENV.INI, the friend list and the daily logs go; default: the current
# directory. Without a display the program runs under xvfb-run.
set -euo pipefail

data_dir="${TOLVARA_DATA_DIR:-$PWD}"
if [ $# -gt 0 ]; then
  data_dir="$1"
  shift
fi

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
BUILD_DIR="$(abs_build_dir "${TOLVARA_BUILD_DIR:-build}")"

# Progress goes to stderr; stdout belongs to the program.
{
  section "Set-up"
  bash "$ROOT/scripts/setup.sh"
  section "Build ($BUILD_DIR, $BUILD_TYPE)"
  configure "$BUILD_DIR"
  cmake --build "$BUILD_DIR" -j"$JOBS" --target tolvara
} >&2

mkdir -p "$data_dir"
cd "$data_dir"
BIN="$BUILD_DIR/bin/tolvara"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset): starting Tolvara under xvfb-run -a in $PWD" >&2
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$BIN" "$@"
fi
echo "run.sh: starting Tolvara in $PWD" >&2
exec "$BIN" "$@"
