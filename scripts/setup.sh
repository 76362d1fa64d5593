#!/usr/bin/env bash
# Installs the Debian packages Tolvara needs to build, run and test.
# Only what is missing is installed, so a second run takes a moment and does
# not touch the network.
set -euo pipefail

# The one list of packages. Add new needs here.
PACKAGES=(
  # toolchain and build
  build-essential cmake pkg-config
  # Qt 6 Widgets and the GL headers its CMake files insist on; Qt's own texts in Korean
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
  # tests
  libgtest-dev googletest
  # fuzz targets: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # Korean faces for the dialogs (Gulim maps to Baekmuk Gulim, NanumGothic as fall-back)
  fonts-baekmuk fonts-nanum
  # headless display, tray host and the tools the desktop tests drive it with
  xvfb xauth trayer openbox xdotool x11-apps imagemagick x11-utils
  # a session bus of the tests' own, a notification server on it and the monitor
  # that watches the program's calls
  dbus-daemon dbus-bin dunst
  # the MIB-II agent is checked against a real SNMP daemon and client
  snmpd snmp
  # tests that build their own network namespaces and hosts in them, filter and
  # capture their traffic, and decode it with a real dissector
  iproute2 util-linux nftables tshark dnsmasq-base
  # file capabilities for the built program (port 138, raw ICMP)
  libcap2-bin
  # installation and the Debian package: the icon renderer, the menu-entry and
  # AppStream validators, what CPack runs for package dependencies, and the package
  # checker
  librsvg2-bin desktop-file-utils appstream dpkg-dev file lintian
)

log() { printf 'setup: %s\n' "$*" >&2; }

installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

# missing_of NAME...: prints the names not installed, one a line
missing_of() {
  local p
  for p in "$@"; do installed "$p" || printf '%s\n' "$p"; done
}

mapfile -t missing < <(missing_of "${PACKAGES[@]}")

if [ ${#missing[@]} -eq 0 ]; then
  log "all ${#PACKAGES[@]} packages already installed"
  exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    log "missing packages: ${missing[*]}"
    log "not root and no sudo: install them as root, then run this again"
    exit 1
  fi
fi

log "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive

# Installing snmpd normally starts the system's own daemon. The tests run
# their own snmpd on a loopback port, so keep the packaged service from
# starting while we install (unless the machine already has a policy in place).
POLICY=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$POLICY" ]; then
  printf '#!/bin/sh\n# temporary, from Tolvara scripts/setup.sh\nexit 101\n' |
    "${SUDO[@]}" tee "$POLICY" >/dev/null
  "${SUDO[@]}" chmod 755 "$POLICY"
  own_policy=1
fi
remove_policy() {
  if [ "$own_policy" = 1 ]; then "${SUDO[@]}" rm -f "$POLICY"; fi
}
trap remove_policy EXIT

"${SUDO[@]}" apt-get update -q
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
  -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
  "${missing[@]}" </dev/null

remove_policy
own_policy=0

# If a machine's policy let the freshly installed daemon start anyway, stop it
# and keep it from coming back at boot: it is ours, installed only for tests.
for p in "${missing[@]}"; do
  [ "$p" = snmpd ] || continue
  if [ -d /run/systemd/system ] && command -v systemctl >/dev/null 2>&1; then
    "${SUDO[@]}" systemctl disable --now snmpd >/dev/null 2>&1 || true
  elif [ -e /run/snmpd.pid ]; then
    "${SUDO[@]}" service snmpd stop >/dev/null 2>&1 || true
  fi
done

mapfile -t still < <(missing_of "${missing[@]}")
if [ ${#still[@]} -ne 0 ]; then
  log "still missing after install: ${still[*]}"
  exit 1
fi
log "done"
