#!/usr/bin/env bash
# Builds and runs the tests under AddressSanitizer + UndefinedBehaviorSanitizer, the catalogue's
# threading tests under ThreadSanitizer, and each fuzzer for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_odr_violation=0
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DIBR_SANITIZE=address,undefined \
  -DIBR_BUILD_BENCH=OFF >/dev/null
ninja -C build-asan
ctest --test-dir build-asan --output-on-failure -j2

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DIBR_SANITIZE=thread -DIBR_BUILD_BENCH=OFF >/dev/null
if ninja -C build-tsan -t targets all | grep -q '^test_catalogue:'; then
  ninja -C build-tsan test_catalogue
  ./build-tsan/tests/test_catalogue --gtest_brief=1
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIBR_BUILD_FUZZ=ON \
  -DIBR_BUILD_TESTS=OFF -DIBR_BUILD_BENCH=OFF -DIBR_SANITIZE=address,undefined >/dev/null
ninja -C build-fuzz $(ninja -C build-fuzz -t targets all | grep -o '^fuzz_[a-z_]*' | sort -u)
for f in build-fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f"); name=${name#fuzz_}
  work=$(mktemp -d)
  seeds=fuzz/corpus/$name
  [ -d "$seeds" ] || seeds=""
  echo "fuzzing $name for ${FUZZ_SECONDS}s"
  "$f" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "$work" $seeds 2>&1 | tail -n 4
  rm -rf "$work"
done
