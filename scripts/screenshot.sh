#!/usr/bin/env bash
# Takes screenshots of the panel under a virtual X server, talking to the
# projector simulator: the window as it starts, and at full height after
# Ctrl+H and a double-click on the picture; and the device chooser as it
# comes up when the adapter remembered for COM1 is not plugged in. Writes
# docs/*.png.
# Usage: scripts/screenshot.sh [scale]     (scale: QT_SCALE_FACTOR, default 1)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QM25_BUILD_DIR:-$root/build}"
scale="${1:-1}"
"$root/scripts/setup.sh"
for p in xdotool imagemagick; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
done
if [ -n "${need[*]:-}" ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
"$root/scripts/build.sh" >/dev/null

display=:$((90 + RANDOM % 100))
work="$(mktemp -d)"
Xvfb "$display" -screen 0 1600x1200x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill ${panel:-} ${sim:-} $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT
export DISPLAY=$display
sleep 1

"$build/qm25-sim" --warmup-ms 500 >"$work/sim.out" &
sim=$!
for _ in $(seq 50); do grep -q '^QM25_COM1=' "$work/sim.out" && break; sleep 0.1; done
export "$(grep -m1 '^QM25_COM1=' "$work/sim.out")"

# The first window whose title matches, waited for (bounded).
find_window() {
  local found=""
  for _ in $(seq 50); do
    found="$(xdotool search --name "$1" 2>/dev/null | head -n1 || true)"
    [ -n "$found" ] && break
    sleep 0.1
  done
  [ -n "$found" ] || { echo "screenshot: the $2 did not appear" >&2; exit 1; }
  echo "$found"
}

QT_SCALE_FACTOR="$scale" "$build/qm25-control" &
panel=$!
win="$(find_window 'RUNO   QM25' window)"
sleep 0.5
suffix=""
[ "$scale" = 1 ] || suffix="-x$scale"
import -window "$win" "$root/docs/window-start$suffix.png"

# Power on, read the status, then open the whole window.
xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus "$win"
xdotool key --window "$win" ctrl+h
sleep 0.3
eval "$(xdotool getwindowgeometry --shell "$win")"
# The picture sits at 8160,120 twips (544,8 pixels) and is 80 x 26 pixels.
xdotool mousemove --window "$win" "$(awk "BEGIN{print int(584*$scale)}")" "$(awk "BEGIN{print int(20*$scale)}")" click --repeat 2 --delay 80 1
sleep 0.3
xdotool mousemove --window "$win" "$(awk "BEGIN{print int(463*$scale)}")" "$(awk "BEGIN{print int(382*$scale)}")" click 1
sleep 0.3
import -window "$win" "$root/docs/window-full$suffix.png"

# The device chooser: COM1 is an adapter, remembered by its stable name,
# that is not plugged in.
kill "$panel"; wait "$panel" 2>/dev/null || true
mkdir -p "$work/config/qm25-control"
printf '[devices]\nCOM1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n' \
  >"$work/config/qm25-control/qm25-control.conf"
XDG_CONFIG_HOME="$work/config" QM25_COM1= QT_SCALE_FACTOR="$scale" "$build/qm25-control" &
panel=$!
chooser="$(find_window 'device for COM1' 'device chooser')"
sleep 0.5
import -window "$chooser" "$root/docs/device-chooser$suffix.png"
echo "screenshot: docs/window-start$suffix.png docs/window-full$suffix.png docs/device-chooser$suffix.png"
