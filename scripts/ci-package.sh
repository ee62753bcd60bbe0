#!/usr/bin/env bash
# Builds the Debian package, installs it with apt, reads the installed
# simulator's power status with the installed qm25ctl and starts the
# installed panel offscreen on the simulator's pseudo-terminal.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QM25_BUILD_DIR:-$root/build}"

(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls -t "$build"/qm25-control_*.deb | head -n1)"
echo "package: $(basename "$deb")"
dpkg-deb -f "$deb" Depends
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$deb" >/dev/null

for f in /usr/bin/qm25-control /usr/bin/qm25-sim /usr/bin/qm25ctl /usr/lib/qm25-control/libqm25tcp.so \
         /usr/share/applications/qm25-control.desktop \
         /usr/share/icons/hicolor/48x48/apps/qm25-control.png /usr/share/icons/hicolor/scalable/apps/qm25-control.svg; do
  [ -e "$f" ] || { echo "package: $f is missing" >&2; exit 1; }
done

# qm25ctl runs where there is no desktop: no GUI library may come with it.
if ldd /usr/bin/qm25ctl | grep -E 'libQt6(Gui|Widgets)' >/dev/null; then
  echo "package: qm25ctl links a GUI library:" >&2
  ldd /usr/bin/qm25ctl >&2
  exit 1
fi

out="$(mktemp -d)"
trap 'kill "${panel:-}" "${sim:-}" "${tcp:-}" 2>/dev/null || true; rm -rf "$out"' EXIT
/usr/bin/qm25-sim --trace-file "$out/trace" >"$out/sim.out" &
sim=$!
for _ in $(seq 50); do grep -q '^QM25_COM1=' "$out/sim.out" && break; sleep 0.1; done
export "$(grep -m1 '^QM25_COM1=' "$out/sim.out")"
status="$(/usr/bin/qm25ctl power)" || { echo "package: qm25ctl power failed" >&2; exit 1; }
[ "$status" = "power: Stand by" ] || { echo "package: qm25ctl power said \"$status\"" >&2; exit 1; }
echo "package: installed qm25ctl read \"$status\""
# A device server: the installed programs find their network module.
/usr/bin/qm25-sim --tcp 0 >"$out/tcp.out" &
tcp=$!
for _ in $(seq 50); do grep -q '^QM25_COM1=' "$out/tcp.out" && break; sleep 0.1; done
status="$(/usr/bin/qm25ctl --port "$(sed -n 's/^QM25_COM1=//p' "$out/tcp.out")" power)" || status="failed"
kill "$tcp"; wait "$tcp" 2>/dev/null || true
[ "$status" = "power: Stand by" ] || { echo "package: qm25ctl power over TCP said \"$status\"" >&2; exit 1; }
echo "package: installed qm25ctl read \"$status\" from a device server"
QT_QPA_PLATFORM=offscreen /usr/bin/qm25-control 2>"$out/panel.err" &
panel=$!
sleep 2
if ! kill -0 "$panel" 2>/dev/null; then
  echo "package: the installed panel did not stay up:" >&2
  cat "$out/panel.err" >&2
  exit 1
fi
kill "$panel"; wait "$panel" 2>/dev/null || true
kill "$sim"; wait "$sim" 2>/dev/null || true
echo "package: installed panel started on $QM25_COM1 and ran"
