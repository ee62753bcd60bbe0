#!/usr/bin/env bash
# The README's first command as a new user runs it: scripts/start.sh brings up
# the simulator and the panel on it (offscreen here), both stay up, and a
# signal to the script ends them both.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(mktemp -d)"
trap 'kill "${script:-}" 2>/dev/null || true; rm -rf "$out"' EXIT
QT_QPA_PLATFORM=offscreen QM25_COM1= "$root/scripts/start.sh" --trace >"$out/out" 2>"$out/err" &
script=$!
for _ in $(seq 600); do grep -q '^start: projector simulator on /dev/pts/' "$out/out" && break; sleep 0.2; done
sleep 2
fail() { echo "ci-start: $*" >&2; cat "$out/out" "$out/err" >&2; exit 1; }
kill -0 "$script" 2>/dev/null || fail "start.sh ended early"
pgrep -f "$root/build/qm25-control" >/dev/null || fail "no panel running"
grep -q 'serving on /dev/pts/' "$out/err" || fail "the simulator did not serve"
! grep -q 'Cannot open' "$out/err" || fail "the panel could not open its port"
kill -TERM "$script"
wait "$script" 2>/dev/null || true
for _ in $(seq 50); do pgrep -f "$root/build/qm25-(control|sim)" >/dev/null || break; sleep 0.2; done
! pgrep -f "$root/build/qm25-(control|sim)" >/dev/null || fail "the panel or the simulator outlived the script"
echo "ci-start: start.sh brought up the simulator and the panel and took them down again"
