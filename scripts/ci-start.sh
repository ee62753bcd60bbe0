#!/usr/bin/env bash
# The README's first command as a new user runs it: scripts/start.sh brings up
# the simulator and the panel on it, both stay up, and a signal to the script
# ends everything it started. Offscreen, ended by SIGTERM; and as on a
# machine without a screen, where the panel runs under xvfb-run, ended by
# SIGTERM and by SIGHUP: the X server and xvfb-run go too.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(mktemp -d)"
script=""
trap 'kill "${script:-}" 2>/dev/null || true; rm -rf "$out"' EXIT
fail() { echo "ci-start: $*" >&2; cat "$out/out" "$out/err" >&2; exit 1; }

# The processes below one, all generations.
descendants() {
  local kid
  for kid in $(pgrep -P "$1" || true); do
    echo "$kid"
    descendants "$kid"
  done
}
names() { [ -z "$1" ] || ps -o comm= -p "$(echo $1 | tr ' ' ,)" || true; }

run() {  # offscreen|xvfb, and the signal that ends the script
  local mode=$1 signal=$2 started="" alive=""
  if [ "$mode" = offscreen ]; then
    QT_QPA_PLATFORM=offscreen QM25_COM1= "$root/scripts/start.sh" --trace >"$out/out" 2>"$out/err" &
  else
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM QM25_COM1= "$root/scripts/start.sh" --trace \
      >"$out/out" 2>"$out/err" &
  fi
  script=$!
  for _ in $(seq 600); do
    started="$(descendants "$script")"
    names "$started" | grep -qx qm25-control && break
    kill -0 "$script" 2>/dev/null || fail "$mode: start.sh ended early"
    sleep 0.2
  done
  sleep 2
  started="$(descendants "$script")"
  kill -0 "$script" 2>/dev/null || fail "$mode: start.sh ended early"
  names "$started" | grep -qx qm25-control || fail "$mode: no panel running"
  [ "$mode" = offscreen ] || names "$started" | grep -qx Xvfb || fail "$mode: no virtual X server running"
  grep -q 'serving on /dev/pts/' "$out/err" || fail "$mode: the simulator did not serve"
  ! grep -q 'Cannot open' "$out/err" || fail "$mode: the panel could not open its port"
  local list
  list="$(names "$started" | sort | tr '\n' ' ')"
  kill -"$signal" "$script"
  wait "$script" 2>/dev/null || true
  for _ in $(seq 50); do
    alive="$(for p in $started; do kill -0 "$p" 2>/dev/null && echo "$p"; done; true)"
    [ -z "$alive" ] && break
    sleep 0.2
  done
  [ -z "$alive" ] || fail "$mode, SIG$signal: these outlived the script: $(names "$alive" | tr '\n' ' ')"
  echo "ci-start: $mode: start.sh brought up ${list}and SIG$signal ended them all"
}

run offscreen TERM
run xvfb TERM
run xvfb HUP
