#!/usr/bin/env bash
# Installs the Debian packages that building the driver, its tests and its
# benchmarks needs, skipping those already installed. Uses sudo unless run as
# root. Shared by ./test and ./demo. xvfb is for the end-to-end test that runs
# the driver on a display and takes the display away; Qt's xcb platform plugin
# and the libraries it loads come with qt6-base-dev (libqt6gui6). The Debian
# packages and their tests: dpkg-dev (dpkg-shlibdeps) and file for CPack,
# systemd (systemd-analyze, systemd-sysusers), logrotate, desktop-file-utils
# and lintian. The Windows build: mingw-w64 (the cross compilers), googletest
# (GoogleTest's sources, compiled for Windows) and wine64 to run its tests;
# wixl and msitools (msibuild, msiinfo) build and read its installer.
# imagemagick (import) saves the Windows window's pages from the Xvfb display;
# fonts-dejavu-core gives Wine, through fontconfig, the Cyrillic it draws them in.
set -uo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev libgl-dev xvfb
  dpkg-dev file systemd logrotate desktop-file-utils lintian
  mingw-w64 googletest wine64 wixl msitools imagemagick fonts-dejavu-core)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
echo "== installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
