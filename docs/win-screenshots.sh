#!/usr/bin/env bash
# Takes the pictures of the Windows window, docs/win-page-default.png and
# docs/win-page-setup.png: the Linux build's window test under Wine
# (WindowUnderWine, label wine) runs orvent-driver.exe on its own Xvfb
# display between receiver-sim and msgserver-sim and saves both pages in
# BUILD_DIR/wine-artefacts/; this copies them here.
#
#   docs/win-screenshots.sh [BUILD_DIR]   (default: build, configured with
#                                          ORVENT_WINDOWS_BUILD_DIR and built)
#
# Needs Xvfb, Wine and ImageMagick's import (tools/install-deps.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -x "$build/tests/e2e_wine_window_tests" ] || {
  echo "win-screenshots: $build/tests/e2e_wine_window_tests is not built" >&2
  exit 1
}
# The first case takes the pictures; the fixture makes the Wine prefix.
ctest --test-dir "$build" -R "^(wine\.start|WindowUnderWine\.Acknowledges.*|wine\.stop)$" --output-on-failure ||
  exit 1
for page in default setup; do
  cp "$build/wine-artefacts/page-$page.png" "docs/win-page-$page.png" || exit 1
done
echo "docs/win-page-default.png docs/win-page-setup.png"
