#!/usr/bin/env bash
# Hardening stage of CI. Builds the fuzz harnesses with clang, libFuzzer and the address and
# undefined-behaviour sanitizers and runs each for a bounded time from its seed corpus; then
# runs the concurrency tests under ThreadSanitizer. Fails on any crash or sanitizer report.
# (The whole suite already ran under the address and undefined-behaviour sanitizers.)
#   ZRTMASK_FUZZ_SECONDS   seconds per harness (default 60)
#   ZRTMASK_HARDENING_DIR  build and work directory (default build-hardening in the tree)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${ZRTMASK_HARDENING_DIR:-$root/build-hardening}"
fuzz_seconds="${ZRTMASK_FUZZ_SECONDS:-60}"
harnesses=(scan_fuzzer rewrite_fuzzer render_fuzzer)

step() { printf '\n== hardening: %s\n' "$*"; }

if ! command -v clang++-14 >/dev/null ||
   ! compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null; then
  echo "hardening: needs clang-14 and libclang-rt-14-dev (installed by .ci/run)" >&2
  exit 1
fi

rm -rf "$work"
mkdir -p "$work"

step "fuzz build (clang 14, libFuzzer, address and undefined-behaviour sanitizers)"
cmake -S "$root" -B "$work/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DZRTMASK_BUILD_FUZZERS=ON -DZRTMASK_BUILD_TESTS=OFF \
  -DZRTMASK_BUILD_TOOLS=OFF -DZRTMASK_WERROR=ON >"$work/fuzz-configure.log"
cmake --build "$work/fuzz" --target "${harnesses[@]}"

# A harness uses one thread: the three run side by side, sharing the cores, rather than one after
# another.
fuzz() {  # $1: the harness; its output goes to its log
  local harness=$1 corpus="$work/corpus/$1" artifacts="$work/artifacts/$1"
  mkdir -p "$corpus" "$artifacts"
  # New inputs go to the work corpus; the seeds in the tree stay as they are.
  "$work/fuzz/fuzz/$harness" -max_total_time="$fuzz_seconds" -timeout=10 \
    -rss_limit_mb=2048 -dict="$root/fuzz/html.dict" -artifact_prefix="$artifacts/" \
    -print_final_stats=1 "$corpus" "$root/fuzz/corpus/$harness" >"$work/$harness.log" 2>&1
}
step "fuzzing ${harnesses[*]} for ${fuzz_seconds}s each, side by side"
pids=()
for harness in "${harnesses[@]}"; do
  fuzz "$harness" &
  pids+=($!)
done
failed=0
for i in "${!harnesses[@]}"; do
  harness=${harnesses[$i]}
  if ! wait "${pids[$i]}"; then
    tail -n 60 "$work/$harness.log"
    echo "hardening: $harness failed; reproducer(s) in $work/artifacts/$harness:" >&2
    ls -l "$work/artifacts/$harness" >&2
    failed=1
  fi
  echo "$harness:"
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$harness.log" || true
done
[ "$failed" = 0 ] || exit 1

step "concurrency tests under ThreadSanitizer"
cmake -S "$root" -B "$work/tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZRTMASK_SANITIZE=thread -DZRTMASK_BUILD_TOOLS=OFF >"$work/tsan-configure.log"
cmake --build "$work/tsan" --target zrtmask_tests
(cd "$work/tsan" && TSAN_OPTIONS=halt_on_error=1 ./tests/zrtmask_tests --gtest_brief=1 \
  --gtest_filter='ConcurrencyTest.*:RenderTest.PublishesWholePagesAtomically:RenderTest.OverlappingSitePublishesNeverTearAPage')

step "passed"
