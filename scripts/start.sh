#!/usr/bin/env bash
# Sets up, builds, starts the projector simulator and the panel on it, and
# stops the simulator when the panel closes. Extra arguments go to the
# simulator (for example --trace, --no-reply, --warmup-ms 1000).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QM25_BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" >/dev/null

fifo="$(mktemp -u)"
mkfifo "$fifo"
sim=""
panel=""
xvfb=""
# Ends what this script started, however it ends: the panel's end, Ctrl+C,
# SIGTERM or SIGHUP. Under xvfb-run the panel and the X server are the
# children of xvfb-run, which ends itself (and removes its files) once they
# have: they are ended, not xvfb-run; it is ended outright only when it
# does not follow within 5 s.
cleanup() {
  if [ -n "$panel" ]; then
    for _ in $(seq 50); do
      kill -0 "$panel" 2>/dev/null || break
      if [ -n "$xvfb" ]; then
        kill $(pgrep -P "$panel") 2>/dev/null || true
      else
        kill "$panel" 2>/dev/null || true
      fi
      sleep 0.1
    done
    kill "$panel" 2>/dev/null || true
  fi
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -f "$fifo"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 129' HUP
trap 'exit 130' INT

"$build/qm25-sim" "$@" >"$fifo" &
sim=$!
read -r line <"$fifo" || { echo "start: the simulator did not start" >&2; exit 1; }
case "$line" in
  QM25_COM1=*) export QM25_COM1="${line#QM25_COM1=}" ;;
  *) echo "start: unexpected output from the simulator: $line" >&2; exit 1 ;;
esac
echo "start: projector simulator on $QM25_COM1 (COM1)"

# The panel runs in the background so that a signal to this script is
# handled at once: it ends the panel and the simulator.
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || [ "${QT_QPA_PLATFORM:-}" = offscreen ]; then
  "$build/qm25-control" &
else
  echo "start: no screen here; running the panel under a virtual X server (xvfb-run)"
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/qm25-control" &
  xvfb=1
fi
panel=$!
status=0
wait "$panel" || status=$?
panel=""
exit "$status"
