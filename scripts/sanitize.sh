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
echo "== AddressSanitizer build and tests: $SECONDS s"

# Two harnesses at a time, one per core: each still runs its full time, the whole takes half.
fuzz_one() {
  local f=$1 name=$2 out=$3 work seeds=""
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && seeds="fuzz/corpus/$name"
  # A fixed seed keeps the run repeatable; the time bound keeps it short.
  local rc=0
  "$f" -seed=1 -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work-" "$work" $seeds > "$out.log" 2>&1 || rc=$?
  echo "$rc" > "$out.rc"
  rm -rf "$work"
}
fuzzlogs=$(mktemp -d)
names=()
for f in build-asan/fuzz/fuzz_*; do
  [ -f "$f" ] && [ -x "$f" ] || continue
  name=$(basename "$f"); name=${name#fuzz_}
  names+=("$name")
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
  echo "fuzzing $name for ${FUZZ_SECONDS}s"
  fuzz_one "$f" "$name" "$fuzzlogs/$name" &
done
wait
failed=0
for name in "${names[@]}"; do
  if [ "$(cat "$fuzzlogs/$name.rc")" != 0 ]; then
    echo "fuzzing $name failed:"; tail -n 60 "$fuzzlogs/$name.log"; failed=1
  else
    echo "$name:"; tail -n 3 "$fuzzlogs/$name.log"
  fi
done
rm -rf "$fuzzlogs"
[ "$failed" = 0 ] || exit 1
echo "== fuzzing done: $SECONDS s"

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DIBR_SANITIZE=thread -DIBR_BUILD_BENCH=OFF "${WERROR[@]}" >/dev/null
ninja -C build-tsan test_catalogue test_sqlitecarve
./build-tsan/tests/test_catalogue --gtest_brief=1
./build-tsan/tests/test_sqlitecarve --gtest_brief=1
