#!/usr/bin/env bash
# scripts/run.sh over a stand-in program (set-up and build stubbed out): an argument
# that starts with "-" is the program's, a first one that does not is the data folder,
# and SIGTERM to run.sh under xvfb-run ends the program, Xvfb and run.sh itself.
#   run_script_test.sh SOURCE_DIR     (exit 77: skipped)
set -euo pipefail
src=$1
fail() { echo "FAILED: $*" >&2; exit 1; }

tmp=$(mktemp -d) session=
trap 'set +e; [ -z "$session" ] || pkill -KILL -s "$session"; rm -rf "$tmp"' EXIT
mkdir -p "$tmp/repo/scripts" "$tmp/repo/build/bin" "$tmp/stubs" "$tmp/here"
cp "$src/scripts/run.sh" "$src/scripts/common.sh" "$tmp/repo/scripts/"
printf 'exit 0\n' >"$tmp/repo/scripts/setup.sh"
printf '#!/bin/sh\nexit 0\n' >"$tmp/stubs/cmake"
# The stand-in says where it runs and with what, and ends on SIGTERM.
cat >"$tmp/repo/build/bin/tolvara" <<'EOF'
#!/bin/bash
trap 'echo TERM >>"$RECORD"; exit 0' TERM
printf '%s|%s|%s\n' "$PWD" "$*" "${DISPLAY:-}" >>"$RECORD"
while :; do sleep 0.1; done
EOF
chmod +x "$tmp/stubs/cmake" "$tmp/repo/build/bin/tolvara"
export PATH="$tmp/stubs:$PATH" RECORD="$tmp/record"
unset SUDO_USER TOLVARA_DATA_DIR TOLVARA_BUILD_DIR WAYLAND_DISPLAY

# run ARGS...: run.sh on a display, stopped once the stand-in has said its line.
run() {
  rm -f "$RECORD"
  (cd "$tmp/here" && DISPLAY=:99 exec bash "$tmp/repo/scripts/run.sh" "$@" 2>"$tmp/err") &
  local pid=$!
  for _ in $(seq 100); do [ -s "$RECORD" ] && break; sleep 0.1; done
  kill -TERM "$pid" 2>/dev/null && wait "$pid" || true
  head -n1 "$RECORD" 2>/dev/null || cat "$tmp/err" >&2
}

got=$(run -platform offscreen)
[ "$got" = "$tmp/here|-platform offscreen|:99" ] || fail "no folder: $got"
got=$(run "$tmp/data dir" -platform offscreen)
[ "$got" = "$tmp/data dir|-platform offscreen|:99" ] || fail "with a folder: $got"

command -v xvfb-run >/dev/null && command -v Xvfb >/dev/null || { echo "SKIPPED: xvfb-run is missing"; exit 77; }
rm -f "$RECORD"
(unset DISPLAY && cd "$tmp/here" && exec setsid bash "$tmp/repo/scripts/run.sh" -x 2>"$tmp/err") &
pid=$! session=$!
for _ in $(seq 300); do [ -s "$RECORD" ] && break; sleep 0.1; done
grep -q "^$tmp/here|-x|:[0-9]" "$RECORD" || fail "not started under xvfb-run: $(cat "$tmp/err")"
kill -TERM "$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "run.sh still runs 10 s after SIGTERM"
wait "$pid" || fail "run.sh ended with status $?: $(cat "$tmp/err")"
grep -qx TERM "$RECORD" || fail "the program was not told to end"
for _ in $(seq 50); do pgrep -s "$session" >/dev/null || break; sleep 0.1; done
left=$(ps -o pid=,args= -s "$session" || true)
[ -z "$left" ] || fail "left running: $left"
session=
echo "passed"
