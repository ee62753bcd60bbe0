#!/usr/bin/env bash
# Builds the Debian package, installs it with apt, checks the documents and
# manual pages it installs, reads the installed simulator's power status with
# the installed qm25ctl and through the installed gateway qm25d, and starts
# the installed panel offscreen on the simulator's pseudo-terminal.
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

for f in /usr/bin/qm25-control /usr/bin/qm25-sim /usr/bin/qm25ctl /usr/bin/qm25d /usr/lib/systemd/system/qm25d@.service \
         /usr/lib/qm25-control/libqm25tcp.so \
         /usr/share/qm25-control/prometheus/qm25-alerts.yml /usr/share/qm25-control/prometheus/qm25-scrape.yml \
         /usr/share/applications/qm25-control.desktop \
         /usr/share/icons/hicolor/48x48/apps/qm25-control.png /usr/share/icons/hicolor/scalable/apps/qm25-control.svg; do
  [ -e "$f" ] || { echo "package: $f is missing" >&2; exit 1; }
done

# The README with the documents and pictures it links, beside it as in the
# source tree so that its links work; a manual page for each program.
doc=/usr/share/doc/qm25-control
for f in "$doc/README.md" $(grep -o 'docs/[A-Za-z0-9_.-]*\.\(md\|png\)' "$doc/README.md" | sort -u | sed "s|^|$doc/|") \
         /usr/share/man/man1/{qm25-control,qm25ctl,qm25d,qm25-sim}.1.gz; do
  [ -s "$f" ] || { echo "package: $f is missing" >&2; exit 1; }
done
for p in qm25-control qm25ctl qm25d qm25-sim; do
  zgrep -q "^\.TH ${p^^} .*$p [0-9]" "/usr/share/man/man1/$p.1.gz" || { echo "package: the manual page of $p has no version" >&2; exit 1; }
done
echo "package: README, $(ls "$doc/docs" | wc -l) documents and pictures it links, 4 manual pages"

# qm25ctl and qm25d run where there is no desktop: no GUI library may come with them.
for p in qm25ctl qm25d; do
  if ldd "/usr/bin/$p" | grep -E 'libQt6(Gui|Widgets)' >/dev/null; then
    echo "package: $p links a GUI library:" >&2
    ldd "/usr/bin/$p" >&2
    exit 1
  fi
done

# The gateway's user, able to reach serial ports, and its configuration folder.
id -nG qm25d | grep -qw dialout || { echo "package: no user qm25d in the group dialout" >&2; exit 1; }
[ "$(stat -c %U:%G:%a /etc/qm25d)" = root:qm25d:750 ] || { echo "package: /etc/qm25d is $(stat -c %U:%G:%a /etc/qm25d)" >&2; exit 1; }
echo "package: qm25d runs as user qm25d ($(id -nG qm25d))"

out="$(mktemp -d)"
trap 'kill "${panel:-}" "${gateway:-}" "${sim:-}" "${tcp:-}" 2>/dev/null || true; rm -rf "$out"' EXIT
/usr/bin/qm25-sim --trace-file "$out/trace" >"$out/sim.out" &
sim=$!
for _ in $(seq 50); do grep -q '^QM25_COM1=' "$out/sim.out" && break; sleep 0.1; done
export "$(grep -m1 '^QM25_COM1=' "$out/sim.out")"
status="$(/usr/bin/qm25ctl power)" || { echo "package: qm25ctl power failed" >&2; exit 1; }
[ "$status" = "power: Stand by" ] || { echo "package: qm25ctl power said \"$status\"" >&2; exit 1; }
echo "package: installed qm25ctl read \"$status\""
/usr/bin/qm25d --port "$QM25_COM1" --pjlink 127.0.0.1:0 2>"$out/qm25d.err" &
gateway=$!
for _ in $(seq 50); do grep -q 'line open' "$out/qm25d.err" && break; sleep 0.1; done
port="$(sed -n 's/.*PJLink on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out/qm25d.err")"
exec 3<>"/dev/tcp/127.0.0.1/${port:-0}" || { cat "$out/qm25d.err" >&2; exit 1; }
IFS= read -r -t 5 -d $'\r' greeting <&3 || true
printf '%%1POWR ?\r' >&3
IFS= read -r -t 5 -d $'\r' answer <&3 || true
exec 3<&-
[ "$greeting $answer" = "PJLINK 0 %1POWR=0" ] || { echo "package: qm25d said \"$greeting $answer\"" >&2; cat "$out/qm25d.err" >&2; exit 1; }
kill "$gateway"; wait "$gateway" 2>/dev/null || true
echo "package: installed qm25d answered \"$answer\""
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
