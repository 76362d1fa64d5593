#!/usr/bin/env bash
# The installed program with cap_net_bind_service,cap_net_raw started by an unprivileged
# user in a network namespace of the test's own: once its window is up it holds no
# capability, yet it has port 138 bound and its ping of a friend on 127.0.0.1 is sent
# and answered; Qt's VNC platform asked for port 81 is refused.
#   capabilities_test.sh BUILD_DIR CMAKE     (exit 77: skipped)
set -euo pipefail
build=$1 cmake=$2
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || skip "needs root to grant capabilities and make a network namespace"
for tool in ip nft ss setcap setpriv Xvfb xdotool xwininfo; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

tmp=$(mktemp -d) ns=tv-caps-$$ pids=()
trap 'set +e; for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done; ip netns del "$ns" 2>/dev/null; rm -rf "$tmp"' EXIT
chmod 755 "$tmp"
prefix=$tmp/prefix program=$tmp/prefix/libexec/tolvara/tolvara
"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || fail "install: $(cat "$tmp/install.log")"
setcap cap_net_bind_service,cap_net_raw=ep "$program" 2>/dev/null || skip "no file capabilities on $tmp's filesystem"

# The user's data folder holds one friend. No ping socket is allowed in the namespace,
# so an echo request can only come from the raw socket opened before the drop.
mkdir -p "$tmp/home/tolvara" && printf '127.0.0.1\n' >"$tmp/home/tolvara/FRIEND.INI"
chown -R nobody "$tmp/home" && chmod 700 "$tmp/home/tolvara"
ip netns add "$ns" && ip -n "$ns" link set lo up
ip netns exec "$ns" sysctl -qw net.ipv4.ping_group_range="1 0"
ip netns exec "$ns" nft -f - <<'EOF'
table ip t {
  chain out { type filter hook output priority 0; ip daddr 127.0.0.1 icmp type echo-request counter; }
  chain in { type filter hook input priority 0; ip saddr 127.0.0.1 icmp type echo-reply counter; }
}
EOF

# start ENV...: the launcher as nobody in the namespace; its pid is the program's.
start() {
  ip netns exec "$ns" setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
    env HOME="$tmp/home" XDG_DATA_HOME="$tmp/home" "$@" "$prefix/bin/tolvara" >"$tmp/out" 2>&1 &
  pid=$! && pids+=("$pid")
}
wait_for() {  # wait_for COMMAND...: up to 15 s, while the program runs
  for _ in $(seq 150); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || fail "program ended: $(cat "$tmp/out")"
    sleep 0.1
  done
  return 1
}
# With capabilities kept, Qt's VNC platform would serve on port 81.
start QT_QPA_PLATFORM=vnc:port=81
wait_for grep -q "QVncServer could not connect" "$tmp/out" || fail "VNC server not refused: $(cat "$tmp/out")"
[ -z "$(ip netns exec "$ns" ss -tlnH 'sport = :81')" ] || fail "port 81 bound"
kill "$pid" && wait "$pid" || true

Xvfb -displayfd 5 -nolisten tcp -screen 0 1024x768x24 5>"$tmp/display" 2>"$tmp/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$tmp/display")
start QT_QPA_PLATFORM=xcb
window=
shown() { window=$(xdotool search --name '^Tolvara v1.0 Beta$' | head -1) && xwininfo -id "$window" | grep -q IsViewable; }
wait_for shown || fail "no window: $(cat "$tmp/out")"
[ "$(readlink "/proc/$pid/exe")" = "$program" ] || fail "not the installed program: $(readlink "/proc/$pid/exe")"
grep -q "^Uid:.*\b$(id -u nobody)\b" "/proc/$pid/status" || fail "not running as nobody"
for set in CapPrm CapEff CapInh CapAmb; do
  grep -qx "$set:[[:space:]]*0000000000000000" "/proc/$pid/status" || fail "$(grep "^$set" "/proc/$pid/status")"
done
bound_138() { ip netns exec "$ns" ss -uapnH 'sport = :138' | grep -q "pid=$pid,"; }
wait_for bound_138 || fail "port 138 not bound: $(ip netns exec "$ns" ss -uapn)"

# Enter pings the friends, as the user would. The reply reaches the program's raw
# socket, the namespace's only one, and is read off it.
xdotool windowfocus --sync "$window" key Return
counted() { ip netns exec "$ns" nft list chain ip t "$1" | grep -q "counter packets 1 "; }
wait_for counted out || fail "no echo request sent: $(cat "$tmp/out")"
wait_for counted in || fail "no echo reply"
read_off() { ip netns exec "$ns" ss -wapnH | grep "pid=$pid," | awk '{ exit $2 != 0 }'; }
wait_for read_off || fail "reply left unread: $(ip netns exec "$ns" ss -wapn)"
echo "capabilities test passed"
