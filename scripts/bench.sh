#!/usr/bin/env bash
# Builds the benchmarks and runs them. Prints one table and writes the same
# figures as JSON to build/bench-results.json (or $QM25_BENCH_JSON); then
# the gateway under 50 PJLink clients, qm25-bench-gateway, as it is and with
# replies held 5 ms as on a real line, its figures in
# build/bench-results-gateway*.json.
# Arguments go to qm25-bench, for example:
#   scripts/bench.sh --quick                 a short smoke run
#   scripts/bench.sh --only click,reply      some parts only ("gateway" names
#                                            the gateway's part)
# QM25_BENCH_LOAD_S sets the length of each streaming run (default 60 s).
# Timings are only as quiet as the machine: run it with nothing else busy.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QM25_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM25_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target qm25-bench qm25-bench-gateway >/dev/null
json="${QM25_BENCH_JSON:-$build/bench-results.json}"
export QT_QPA_PLATFORM=offscreen
export QT_LOGGING_RULES="${QT_LOGGING_RULES:-qt.qpa.*=false}"

gateway=yes quick=()
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --quick) quick=(--quick) ;;
    --only) [[ ",${args[i + 1]:-}," == *,gateway,* ]] || gateway=no ;;
  esac
done
"$build/bench/qm25-bench" --json "$json" "$@"
if [ "$gateway" = yes ]; then
  "$build/bench/qm25-bench-gateway" "${quick[@]}" --json "${json%.json}-gateway.json"
  "$build/bench/qm25-bench-gateway" "${quick[@]}" --reply-delay 5 --json "${json%.json}-gateway-5ms.json"
fi
