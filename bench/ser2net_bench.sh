#!/usr/bin/env bash
# Runs build/bin/ser2net_bench, the driver side by side with ser2net, after
# installing Debian's ser2net package when it is missing (with sudo unless
# run as root). ser2net is needed by this benchmark only, so it is not among
# the build's packages: ./test and CI never install it.
#
# Installing the package enables its system service, which would listen on
# localhost ports 2000-2001 and 3000-3001 and hand out /dev/ttyS0 and
# /dev/ttyS1 to whoever connects. The benchmark runs ser2net on a
# configuration of its own, so when this script is what installed the
# package it stops and disables that service again.
#
# Arguments go to ser2net_bench (see its --help). ORVENT_BUILD names another
# build folder than build/.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${ORVENT_BUILD:-build}
bench=$build/bin/ser2net_bench

if [ ! -x "$bench" ]; then
  echo "ser2net_bench.sh: no $bench; build it first:" >&2
  echo "  cmake -S . -B $build -G Ninja && cmake --build $build --target ser2net_bench" >&2
  exit 2
fi

if ! dpkg-query -W -f='${Status}' ser2net 2>/dev/null | grep -q "install ok installed"; then
  echo "== installing ser2net"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q ||
    ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends ser2net; then
    echo "ser2net_bench.sh: could not install ser2net" >&2
    exit 2
  fi
  if [ -d /run/systemd/system ]; then
    "${sudo[@]}" systemctl disable --now ser2net.service ||
      echo "ser2net_bench.sh: the ser2net service could not be stopped and disabled" >&2
  fi
fi

# Debian puts it in /usr/sbin, which a user's search path often lacks.
ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
exec "$bench" --ser2net "$ser2net" "$@"
