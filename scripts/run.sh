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

BIN="$BUILD_DIR/bin/tolvara"

# LAN messages arrive on UDP port 138 and pings need raw ICMP: as Debian does for ping,
# the binary gets the two capabilities (a rebuild drops them, so each run grants them).
# It finds its agent library by an absolute path, which the loader's secure mode allows.
if [ "$(id -u)" -eq 0 ] && command -v setcap >/dev/null 2>&1; then
  setcap cap_net_bind_service,cap_net_raw=ep "$BIN"
  echo "run.sh: granted $BIN cap_net_bind_service and cap_net_raw" >&2
else
  echo "run.sh: not root: $BIN runs without capabilities (no LAN messages in, pings as far as ping sockets allow)" >&2
fi

mkdir -p "$data_dir"
cd "$data_dir"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset): starting Tolvara under xvfb-run -a in $PWD" >&2
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$BIN" "$@"
fi
echo "run.sh: starting Tolvara in $PWD" >&2
exec "$BIN" "$@"
