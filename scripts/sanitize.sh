#!/usr/bin/env bash
# Builds (with clang) and runs the tests under AddressSanitizer + UndefinedBehaviorSanitizer, runs
# each libFuzzer harness from the same build for a bounded time, then the catalogue's and the
# carver's threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-20}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_odr_violation=0
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export IBREADER_LOG_LEVEL=-1
WERROR=()
if [ -n "${CI:-}" ]; then WERROR=(-DCMAKE_COMPILE_WARNING_AS_ERROR=ON); fi
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
  -DIBR_SANITIZE=address,undefined -DIBR_BUILD_FUZZ=ON -DIBR_BUILD_BENCH=OFF "${WERROR[@]}" >/dev/null
ninja -C build-asan
ctest --test-dir build-asan --output-on-failure -j2

for f in build-asan/fuzz/fuzz_*; do
  [ -f "$f" ] && [ -x "$f" ] || continue
  name=$(basename "$f"); name=${name#fuzz_}
  work=$(mktemp -d)
  seeds=""
  [ -d "fuzz/corpus/$name" ] && seeds="fuzz/corpus/$name"
  echo "fuzzing $name for ${FUZZ_SECONDS}s"
  # A fixed seed keeps the run repeatable; the time bound keeps it short.
  "$f" -seed=1 -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work-" "$work" $seeds > "$work.log" 2>&1 || { tail -n 60 "$work.log"; exit 1; }
  tail -n 3 "$work.log"
  rm -rf "$work" "$work.log"
done

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DIBR_SANITIZE=thread -DIBR_BUILD_BENCH=OFF "${WERROR[@]}" >/dev/null
ninja -C build-tsan test_catalogue test_sqlitecarve
./build-tsan/tests/test_catalogue --gtest_brief=1
./build-tsan/tests/test_sqlitecarve --gtest_brief=1
