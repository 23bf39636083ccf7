#!/usr/bin/env bash
# Takes the README's pictures of the window, docs/page-default.png and
# docs/page-setup.png: the window program on its own Xvfb display between
# receiver-sim and msgserver-sim, in a fresh working folder. Two alarms reach
# the server, then the server goes away and three more wait in the spool, so
# the state page shows a backlog; then the settings page is opened.
#
#   docs/screenshots.sh [BUILD_DIR]     (default: build; the programs must be built)
#
# Needs Xvfb, and ImageMagick's import and xdotool, which it installs when
# they are missing (as root). Every wait is bounded.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=$root/${1:-build}/bin
out=$root/docs

for program in orvent-driver receiver-sim msgserver-sim; do
  [ -x "$bin/$program" ] || { echo "screenshots: $bin/$program is not built" >&2; exit 1; }
done
missing=()
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v import >/dev/null || missing+=(imagemagick)
command -v xdotool >/dev/null || missing+=(xdotool)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y --no-install-recommends "${missing[@]}" || exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvent-screenshots-XXXXXX") || exit 1
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  done
  [ -n "${feed:-}" ] && exec {feed}>&-
  rm -rf "$work"
}
trap cleanup EXIT

# wait_for SECONDS WHAT COMMAND...: polls COMMAND every 0.1 s.
wait_for() {
  local limit=$1 what=$2 i
  shift 2
  for ((i = 0; i < limit * 10; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  echo "screenshots: gave up waiting for $what" >&2
  exit 1
}
received_at_least() { [ "$(cat "$work/events.jsonl" 2>/dev/null | wc -l)" -ge "$1" ]; }
acked_at_least() { [ "$(grep -c ' ack_ms ' "$work/receiver.out" 2>/dev/null)" -ge "$1" ]; }
spooled_at_least() { [ "$(find "$work" -maxdepth 1 -name '*.dd8' | wc -l)" -ge "$1" ]; }
alarm() { printf '5011 18%04d1130%02d%03d\n' $((1000 + $1 * 7)) $((1 + $1 % 8)) $((1 + $1 * 13 % 999)) >&"$feed"; }

# A display of its own, without a window manager: the picture is the window
# itself, without a frame.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.out" 2>&1 &
pids+=($!)
read -r -t 10 display <>"$work/display" || { echo "screenshots: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$display XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"

"$bin/msgserver-sim" --port 0 --events "$work/events.jsonl" >"$work/server.out" 2>&1 &
server_pid=$!
pids+=("$server_pid")
wait_for 10 "the message server" grep -qs '^listening ' "$work/server.out"
port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out" | head -n 1)

mkfifo "$work/lines"
"$bin/receiver-sim" --stdin <"$work/lines" >"$work/receiver.out" 2>&1 &
pids+=($!)
exec {feed}>"$work/lines"
wait_for 10 "the receiver's pseudo-terminal" grep -qs '^device ' "$work/receiver.out"
device=$(sed -n 's/^device //p' "$work/receiver.out" | head -n 1)

printf '[main]\nComPort=%s\n\n[ServerHost]\nAddress=127.0.0.1\nPort=%s\n' "$device" "$port" >"$work/kelmora.ini"
(cd "$work" && exec "$bin/orvent-driver" {feed}>&-) >"$work/driver.out" 2>&1 &
pids+=($!)
wait_for 10 "the driver's link to the server" grep -qs 'Соединение установлено' "$work/driver.out"

alarm 0
alarm 1
wait_for 10 "two alarms at the server" received_at_least 2
sleep 0.5  # the server's confirmations reach the window
kill -TERM "$server_pid"
wait "$server_pid" 2>/dev/null
wait_for 10 "the driver to see the server go" grep -qs 'Соединение не удалось' "$work/driver.out"
alarm 2
alarm 3
alarm 4
wait_for 10 "three alarms in the spool" spooled_at_least 3
sleep 1  # the view reaches the window within 100 ms; the picture's bar settles

window=$(xdotool search --onlyvisible --name '^Драйвер ORVENT$' | head -n 1)
[ -n "$window" ] || { echo "screenshots: no window" >&2; exit 1; }
import -window "$window" "$out/page-default.png" || exit 1
# The page button "Настройки", the second in the band under the 57-pixel
# header: x 119 falls on it while the first button is at most 108 pixels wide.
xdotool mousemove --window "$window" 119 97 click 1
sleep 0.5
import -window "$window" "$out/page-setup.png" || exit 1
echo "screenshots: $out/page-default.png, $out/page-setup.png"
