#!/usr/bin/env bash
# Builds the benchmarks and runs them. Prints one table and writes the same
# figures as JSON to build/bench-results.json (or $QM25_BENCH_JSON); then
# the gateway under 50 PJLink clients, qm25-bench-gateway, as it is and with
# replies held 5 ms as on a real line, and PJLink Class 2's notifications and
# search answers, its figures in build/bench-results-gateway*.json; then the web panel under 20 watching and
# 5 posting browsers, qm25-bench-web, its figures in build/bench-results-web.json; then qm25d under
# clients that attack it (answers and pongs never read, passwords guessed), qm25-bench-abuse, its
# figures in build/bench-results-abuse.json; then the fleet drill, 100 gateways on one Mosquitto,
# qm25-bench-mqtt, its figures in build/bench-results-mqtt.json; then Prometheus's scrapes of
# /metrics, qm25-bench-web --scrapes, in build/bench-results-scrapes.json.
# Arguments go to qm25-bench, for example:
#   scripts/bench.sh --quick                 a short smoke run
#   scripts/bench.sh --only click,reply      some parts only ("gateway", "web",
#                                            "mqtt" and "scrapes" name the gateway's parts)
# QM25_BENCH_LOAD_S sets the length of each streaming run (default 60 s).
# Timings are only as quiet as the machine: run it with nothing else busy.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QM25_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM25_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target qm25-bench qm25-bench-gateway qm25-bench-web qm25-bench-abuse qm25-bench-mqtt >/dev/null
json="${QM25_BENCH_JSON:-$build/bench-results.json}"
export QT_QPA_PLATFORM=offscreen
export QT_LOGGING_RULES="${QT_LOGGING_RULES:-qt.qpa.*=false}"

gateway=yes web=yes mqtt=yes scrapes=yes panel=yes quick=()
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --quick) quick=(--quick) ;;
    --only)
      [[ ",${args[i + 1]:-}," == *,gateway,* ]] || gateway=no
      [[ ",${args[i + 1]:-}," == *,web,* ]] || web=no
      [[ ",${args[i + 1]:-}," == *,mqtt,* ]] || mqtt=no
      [[ ",${args[i + 1]:-}," == *,scrapes,* ]] || scrapes=no
      [[ ",${args[i + 1]:-}," =~ ^,(gateway,|web,|mqtt,|scrapes,)*$ ]] && panel=no ;;
  esac
done
[ "$panel" = no ] || "$build/bench/qm25-bench" --json "$json" "$@"
if [ "$gateway" = yes ]; then
  "$build/bench/qm25-bench-gateway" "${quick[@]}" --json "${json%.json}-gateway.json"
  "$build/bench/qm25-bench-gateway" "${quick[@]}" --reply-delay 5 --json "${json%.json}-gateway-5ms.json"
  "$build/bench/qm25-bench-gateway" "${quick[@]}" --class2 --json "${json%.json}-gateway-class2.json"
fi
if [ "$web" = yes ]; then
  "$build/bench/qm25-bench-web" "${quick[@]}" --json "${json%.json}-web.json"
  "$build/bench/qm25-bench-abuse" "${quick[@]}" --json "${json%.json}-abuse.json"
fi
if [ "$mqtt" = yes ]; then
  "$build/bench/qm25-bench-mqtt" "${quick[@]}" --json "${json%.json}-mqtt.json"
fi
if [ "$scrapes" = yes ]; then
  "$build/bench/qm25-bench-web" "${quick[@]}" --scrapes --json "${json%.json}-scrapes.json"
fi
