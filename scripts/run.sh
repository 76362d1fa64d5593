#!/usr/bin/env bash
# Installs what is missing, builds Tolvara and starts it.
#   bash scripts/run.sh [DATA_DIR] [program arguments...]
# DATA_DIR (or $TOLVARA_DATA_DIR) is the program's working directory, where
# TVENV.INI, the friend list and the daily logs go; default: the current
# directory. A first argument that starts with "-" is the program's, not a
# folder (name such a folder ./-x). Without a display the program runs under
# xvfb-run; SIGTERM, SIGINT and SIGHUP end both.
set -euo pipefail

data_dir="${TOLVARA_DATA_DIR:-$PWD}"
if [ $# -gt 0 ] && [[ $1 != -* ]]; then
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
AGENT="$BUILD_DIR/bin/libinetmib1.so"
CAPS=cap_net_bind_service,cap_net_raw

# unsafe_for_capabilities FILE: why FILE may not carry capabilities (it, or a folder
# above it, is not root's or may be written by group or others), or nothing. Whoever
# may change the program, its agent or what they are found through could run code with
# the capabilities.
unsafe_for_capabilities() {
  local p owner mode
  p=$(readlink -e -- "$1") || { echo "$1 is missing"; return; }
  while :; do
    read -r owner mode < <(stat -c '%u %a' -- "$p")
    [ "$owner" = 0 ] || { echo "$p is not owned by root"; return; }
    (( (8#$mode & 8#022) == 0 )) || { echo "$p may be written by group or others"; return; }
    [ "$p" = / ] && return
    p=$(dirname -- "$p")
  done
}

# LAN messages arrive on UDP port 138 and pings need raw ICMP: as Debian does for ping,
# the binary gets the two capabilities (a rebuild drops them, so each run grants them).
# The program opens those two sockets and gives every capability up before it reads
# its environment or arguments.
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  why=$(unsafe_for_capabilities "$BIN")
  [ -n "$why" ] || why=$(unsafe_for_capabilities "$AGENT")
  if ! command -v setcap >/dev/null 2>&1; then
    echo "run.sh: setcap is missing: $BIN runs without capabilities" >&2
  elif [ -z "$why" ]; then
    setcap "$CAPS=ep" "$BIN"
    echo "run.sh: granted $BIN cap_net_bind_service and cap_net_raw" >&2
  else
    echo "run.sh: $why: $BIN runs without capabilities (no LAN messages in, pings as far as ping sockets allow)" >&2
    # A grant from an earlier run would be just as open.
    if [ -n "$(getcap "$BIN" 2>/dev/null)" ]; then
      setcap -r "$BIN"
      echo "run.sh: removed the capabilities an earlier run granted $BIN" >&2
    fi
  fi
  if [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] && id -u "$SUDO_USER" >/dev/null 2>&1; then
    home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
    as_user=(setpriv --reuid="$SUDO_USER" --regid="$(id -g "$SUDO_USER")" --init-groups --
      env HOME="$home" USER="$SUDO_USER" LOGNAME="$SUDO_USER")
    echo "run.sh: running as root through sudo: Tolvara starts as $SUDO_USER" >&2
  else
    echo "run.sh: running as root: Tolvara starts as root (with no capability once its sockets are open)" >&2
  fi
else
  echo "run.sh: not root: no capabilities granted to $BIN (no LAN messages in, pings as far as ping sockets allow)" >&2
fi

# The data folder belongs to whoever runs the program.
if ! "${as_user[@]}" mkdir -p -- "$data_dir" || ! "${as_user[@]}" test -w "$data_dir" -a -x "$data_dir"; then
  echo "run.sh: $data_dir cannot be used as the data folder${SUDO_USER:+ by $SUDO_USER}" >&2
  exit 1
fi
cd -- "$data_dir"
if [ ${#as_user[@]} -gt 0 ]; then
  others=$(find . -maxdepth 1 -type f \( -name TVENV.INI -o -name FRIEND.INI -o -name '*_tolvara.log' \) \
    ! -user "$SUDO_USER" -printf '%f ')
  [ -z "$others" ] || echo "run.sh: not $SUDO_USER's, so Tolvara cannot change them: $others" >&2
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset): starting Tolvara under xvfb-run -a in $PWD" >&2
  # xvfb-run's shell dies of a signal without stopping what it started, so a signal
  # goes to the program instead: xvfb-run then stops Xvfb and cleans up as after any
  # end. Before the program runs, the signal ends xvfb-run's whole process group.
  set -m
  "${as_user[@]}" xvfb-run -a -s "-screen 0 1280x1024x24" "$BIN" "$@" &
  xvfb_run=$!
  set +m
  signalled=
  forward() {
    signalled=1
    pkill -"$1" -P "$xvfb_run" -x "$(basename -- "$BIN")" || kill -"$1" -- -"$xvfb_run" 2>/dev/null || true
  }
  for sig in TERM INT HUP; do trap "forward $sig" "$sig"; done
  # A signal ends the wait early; the next one gives xvfb-run's status.
  while :; do
    signalled=
    status=0
    wait "$xvfb_run" || status=$?
    [ -n "$signalled" ] || break
  done
  exit "$status"
fi
echo "run.sh: starting Tolvara in $PWD" >&2
exec "${as_user[@]}" "$BIN" "$@"
