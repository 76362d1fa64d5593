#!/usr/bin/env bash
# The installed program: `cmake --install` into a temporary prefix, the desktop files
# as the desktop's own validators see them, the launcher starting the installed
# program in a fresh data folder and leaving a second start to the running copy, the
# autostart switch, and the Debian package as lintian sees it.
#   install_test.sh BUILD_DIR CMAKE CPACK
set -euo pipefail
build=$1 cmake=$2 cpack=$3
id=io.github.tolvara.Tolvara
tmp=$(cd "$(mktemp -d)" && pwd -P)
pid=
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

expected_files() {  # every file of an installation, relative to its prefix
  printf '%s\n' bin/tolvara bin/tolvara-autostart libexec/tolvara/tolvara libexec/tolvara/libinetmib1.so \
    "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" "share/icons/hicolor/scalable/apps/$id.svg" \
    share/man/man1/tolvara.1.gz share/man/man1/tolvara-autostart.1.gz \
    share/doc/tolvara/copyright share/doc/tolvara/changelog.Debian.gz
  for s in 16 22 24 32 48 64 128 256; do echo "share/icons/hicolor/${s}x$s/apps/$id.png"; done
}

prefix=$tmp/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || fail "install: $(cat "$tmp/install.log")"
diff <(expected_files | sort) <(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort) || fail "installed files"
for s in 16 256; do
  file "$prefix/share/icons/hicolor/${s}x$s/apps/$id.png" | grep -q "PNG image data, $s x $s," || fail "icon $s"
done
desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "menu entry"
# Docks and task bars match the window to the entry by the class Qt gives it.
grep -qx 'StartupWMClass=Tolvara' "$prefix/share/applications/$id.desktop" || fail "StartupWMClass"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" >/dev/null || fail "AppStream data"

# The launcher makes a fresh data folder (a space on the way), starts the installed
# program there, and the program loads the installed agent. Started as the menu starts
# it (no arguments) with no copy running, it starts the program.
data="$tmp/fresh home/data/tolvara"
export XDG_RUNTIME_DIR=$tmp/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
XDG_DATA_HOME="$tmp/fresh home/data" QT_QPA_PLATFORM=offscreen "$prefix/bin/tolvara" >"$tmp/out" 2>&1 &
pid=$!
for _ in $(seq 300); do
  grep -q "$prefix/libexec/tolvara/libinetmib1.so" "/proc/$pid/maps" 2>/dev/null && break
  readlink "/proc/$pid/exe" >/dev/null || fail "program ended: $(cat "$tmp/out")"
  sleep 0.05
done
grep -q "$prefix/libexec/tolvara/libinetmib1.so" "/proc/$pid/maps" || fail "agent not loaded"
[ "$(readlink "/proc/$pid/exe")" = "$prefix/libexec/tolvara/tolvara" ] || fail "program $(readlink "/proc/$pid/exe")"
[ "$(readlink "/proc/$pid/cwd")" = "$data" ] || fail "working directory $(readlink "/proc/$pid/cwd")"
[ "$(stat -c %a "$data")" = 700 ] || fail "data folder mode $(stat -c %a "$data")"
# A second start from the menu leaves it to the running copy and ends at once (a second
# program would run until killed).
status=0
XDG_DATA_HOME="$tmp/fresh home/data" QT_QPA_PLATFORM=offscreen timeout 20 "$prefix/bin/tolvara" >"$tmp/out2" 2>&1 ||
  status=$?
[ "$status" = 0 ] || fail "second start: status $status: $(cat "$tmp/out2")"
readlink "/proc/$pid/exe" >/dev/null || fail "the running copy ended"
# With arguments the launcher hands them on and starts the program whatever runs.
env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$tmp/fresh home/data" \
  "$prefix/bin/tolvara" -platform offscreen >"$tmp/out3" 2>&1 &
pid2=$!
for _ in $(seq 100); do
  [ "$(readlink "/proc/$pid2/exe")" = "$prefix/libexec/tolvara/tolvara" ] && sleep 1 && break
  sleep 0.05
done
readlink "/proc/$pid2/exe" >/dev/null || fail "the started copy ended: $(cat "$tmp/out3")"
kill -TERM "$pid2"
wait "$pid2" || fail "the copy started with arguments: $(cat "$tmp/out3")"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" = 0 ] || fail "exit status $status after SIGTERM: $(cat "$tmp/out")"

# A file in the data folder's place: refused, and said so.
mkdir "$tmp/blocked" && touch "$tmp/blocked/tolvara"
if out=$(XDG_DATA_HOME=$tmp/blocked "$prefix/bin/tolvara" 2>&1); then fail "launcher accepted a file"; fi
[[ "$out" == *"tolvara: cannot use $tmp/blocked/tolvara as the data folder" ]] || fail "launcher said: $out"

# Autostart for one user; a system-wide entry is switched off by a hidden copy.
entry=$prefix/share/applications/$id.desktop user=$tmp/config/autostart/$id.desktop system=$tmp/xdg/autostart/$id.desktop
autostart() { XDG_CONFIG_HOME=$tmp/config XDG_CONFIG_DIRS=relative:$tmp/xdg "$prefix/bin/tolvara-autostart" "$@"; }
expect() { [ "$1" = "$2" ] || fail "expected \"$2\", got \"$1\""; }
expect "$(autostart status)" "off: no autostart entry"
expect "$(autostart on)" "on: copied $entry to $user"
cmp -s "$entry" "$user" || fail "user copy differs from the entry"
expect "$(autostart status)" "on: $user"
expect "$(autostart off)" "off: removed $user"
mkdir -p "$tmp/xdg/autostart" && cp "$entry" "$system"
expect "$(autostart status)" "on: system-wide $system"
expect "$(autostart off)" "off: wrote $user with Hidden=true, which switches the system-wide $system off for you"
expect "$(sed -n 2p "$user")" "Hidden=true"
desktop-file-validate "$user" || fail "hidden copy"
expect "$(autostart status)" "off: switched off by $user (Hidden=true)"
autostart on >/dev/null
cmp -s "$entry" "$user" || fail "user copy differs from the entry after on"
if autostart maybe 2>/dev/null; then fail "autostart took a wrong argument"; fi

# The package: the same files under /usr, the libraries' packages and setcap as
# dependencies, a post-install step and no removal step (with one, dpkg -r would keep
# the package's record until a purge).
(cd "$build" && "$cpack" -G DEB -B "$tmp/package" >"$tmp/cpack.log" 2>&1) || fail "cpack: $(cat "$tmp/cpack.log")"
deb=$(echo "$tmp"/package/*.deb)
diff <(expected_files | sed 's|^|./usr/|' | sort) <(dpkg-deb -c "$deb" | grep -v '^d' | sed 's|.* \./|./|' | sort) ||
  fail "packaged files"
depends=$(dpkg-deb -f "$deb" Depends)
for p in libcap2-bin libc6 libqt6core6 libqt6gui6 libqt6widgets6 qt6-translations-l10n \
  'fonts-nanum | fonts-baekmuk | fonts-noto-cjk'; do
  [[ "$depends" == *"$p"* ]] || fail "$p not in Depends: $depends"
done
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1 || fail "lintian: $(cat "$tmp/lintian.log")"
  ! grep '^E:' "$tmp/lintian.log" || fail "lintian errors"
else
  echo "lintian is not installed: the package's checks are skipped" >&2
fi
dpkg-deb -e "$deb" "$tmp/control"
expect "$(find "$tmp/control" -type f -printf '%f ' | xargs -n1 | sort | xargs)" "control md5sums postinst"

# The post-install step against a stand-in setcap: it grants the two capabilities,
# and where they cannot be granted it warns and lets the installation finish.
mkdir "$tmp/bin"
postinst() {
  printf '#!/bin/sh\n%s\n' "$1" >"$tmp/bin/setcap" && chmod +x "$tmp/bin/setcap"
  PATH=$tmp/bin:/usr/bin:/bin sh "$tmp/control/postinst" configure 2>&1
}
expect "$(postinst "echo \"\$@\" >$tmp/setcap.args")" ""
expect "$(cat "$tmp/setcap.args")" "cap_net_bind_service,cap_net_raw=ep /usr/libexec/tolvara/tolvara"
out=$(postinst "echo 'Failed to set capabilities' >&2; exit 1") || fail "post-install failed with setcap"
[[ "$out" == *"warning: could not grant /usr/libexec/tolvara/tolvara"* ]] || fail "post-install said: $out"
echo "install test passed"
