#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own Wine prefix, so that a
# test run neither needs nor touches the user's ~/.wine.
#   wine_run.sh WINE PREFIX PROGRAM [ARGS...]   run PROGRAM
#   wine_run.sh WINE PREFIX --start             make the prefix, keep a Wine server up
#   wine_run.sh WINE PREFIX --stop              end that server
# Wine's own messages are off (WINEDEBUG=-all); set WINEDEBUG to see them.
set -uo pipefail
wine=$1
export WINEPREFIX=$2
shift 2
export WINEDEBUG=${WINEDEBUG:--all}
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)

case "${1:-}" in
  --start)
    mkdir -p "$WINEPREFIX"
    # A server kept up spares every later program the start of the server
    # and of Wine's own background programs, which would otherwise come with
    # the first test program and hold its output open (and ctest waiting)
    # until the server ends. Only a server not yet running can be started so:
    # one that is up (a previous run's) ends a few seconds after its last
    # program. One that is still up after the wait is kept already.
    for _ in $(seq 100); do
      "$wineserver" -p >/dev/null 2>&1 && break
      sleep 0.1
    done
    # The first start makes the prefix (several seconds); the background
    # programs start here, under the server kept up, with no test's output.
    # Not "wineboot --init": Wine's first program has started the service
    # manager already, and --init starts a second one beside it; the two
    # keep services of their own and answer service calls by turns.
    "$wine" wineboot >/dev/null 2>&1
    exit 0
    ;;
  --stop)
    "$wineserver" -k >/dev/null 2>&1
    exit 0
    ;;
esac
exec "$wine" "$@"
