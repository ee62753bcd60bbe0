#!/usr/bin/env bash
# Hardening checks besides the normal build and tests:
#  1. the core library and the whole test suite built with AddressSanitizer
#     and UndefinedBehaviorSanitizer (halting on the first error, leaks
#     checked) in build-asan, and every test run there;
#  2. the libFuzzer targets built with clang in build-fuzz, replayed on their
#     seeds and on every input that once found a fault, then each run for a
#     short while (QM25_FUZZ_SECONDS, 45 by default).
# Build directories: $QM25_ASAN_DIR and $QM25_FUZZ_DIR (default build-asan
# and build-fuzz at the top of the tree).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
asan_dir="${QM25_ASAN_DIR:-$root/build-asan}"
fuzz_dir="${QM25_FUZZ_DIR:-$root/build-fuzz}"
fuzz_seconds="${QM25_FUZZ_SECONDS:-45}"
jobs=2
targets=(fuzz_render fuzz_reception fuzz_frames fuzz_pjlink fuzz_http fuzz_mqtt)

start=$SECONDS
stage_start=$SECONDS
passed=0
stage() { echo "== ci-hardening: $*"; stage_start=$SECONDS; }
done_stage() { echo "== ci-hardening: done in $((SECONDS - stage_start)) s"; }
passed_check() { passed=$((passed + 1)); done_stage; }
trap 'echo "ci-hardening: $passed passed, 1 failed (after $((SECONDS - start)) s)"' ERR

"$root/scripts/setup.sh"

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0"

# --- 1. sanitizer build and tests ----------------------------------------------
stage "sanitizer build (ASan + UBSan) in $asan_dir"
# Debug: quicker to build, and the assertions (ours and those in Qt's
# headers) stay in.
cmake -S "$root" -B "$asan_dir" -DCMAKE_BUILD_TYPE=Debug -DQM25_SANITIZE=ON -DQM25_BENCH=OFF \
      -DBUILD_TESTING=ON >/dev/null
cmake --build "$asan_dir" -j"$jobs"
done_stage

stage "tests under the sanitizers"
(cd "$asan_dir" && ctest --output-on-failure -j"$jobs" --timeout 600)
passed_check

# --- 2. fuzz targets --------------------------------------------------------------
stage "fuzz targets (clang, libFuzzer) in $fuzz_dir"
CC=clang CXX=clang++ cmake -S "$root" -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM25_FUZZ=ON \
      -DBUILD_TESTING=OFF -DQM25_BENCH=OFF >/dev/null
cmake --build "$fuzz_dir" -j"$jobs" --target qm25-fuzz
done_stage

fuzz_flags=(-max_len=4096 -rss_limit_mb=4096 -timeout=30 -print_final_stats=1)

stage "fuzz targets on their seeds and past findings"
for t in "${targets[@]}"; do
  name="${t#fuzz_}"
  inputs=("$root/fuzz/corpus/$name")
  [ -d "$root/fuzz/regressions/$name" ] && inputs+=("$root/fuzz/regressions/$name")
  "$fuzz_dir/fuzz/$t" "${fuzz_flags[@]}" -runs=0 "${inputs[@]}" 2>&1 | sed -n "s/^Done \([0-9]*\) runs.*/$t: \1 inputs replayed/p"
done
passed_check

for t in "${targets[@]}"; do
  name="${t#fuzz_}"
  stage "fuzzing $t for $fuzz_seconds s"
  work="$fuzz_dir/corpus-work/$name"
  artifacts="$fuzz_dir/artifacts/$name"
  mkdir -p "$work" "$artifacts"
  if ! "$fuzz_dir/fuzz/$t" "${fuzz_flags[@]}" -max_total_time="$fuzz_seconds" \
        -artifact_prefix="$artifacts/" "$work" "$root/fuzz/corpus/$name" >"$fuzz_dir/$t.log" 2>&1; then
    tail -n 60 "$fuzz_dir/$t.log"
    echo "ci-hardening: $t found a fault; the input is in $artifacts/." >&2
    echo "  Reproduce: $fuzz_dir/fuzz/$t $artifacts/<file>" >&2
    echo "  Keep it in fuzz/regressions/$name/ and add a test for it." >&2
    echo "ci-hardening: $passed passed, 1 failed (after $((SECONDS - start)) s)"
    exit 1
  fi
  grep -E '^(Done|stat::peak_rss_mb)' "$fuzz_dir/$t.log" || true
  passed_check
done

trap - ERR
echo "ci-hardening: took $((SECONDS - start)) s"
echo "ci-hardening: $passed passed, 0 failed"
