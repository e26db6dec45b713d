#!/usr/bin/env bash
# Times `recover-db --json` on the 240 MB, one-million-row message database of bench_carver
# (built into build/bench-cache on first use) beside reading the file once, three runs each
# (run from the repository, after a build).
set -euo pipefail
db=build/bench-cache/million-messages/generic.db
[ -f "$db" ] || IBR_BENCH_LARGE=1 build/bench/bench_carver --benchmark_filter=Million > /dev/null
mb=$(( $(stat -c %s "$db") / 1048576 ))
cat "$db" > /dev/null
for run in 1 2 3; do
  /usr/bin/time -f "cat: %e s wall" cat "$db" > /dev/null
  /usr/bin/time -f "recover-db --json ($mb MB): %e s wall, %U s user, %S s system, %M KB peak" \
    build/app/ibreader recover-db "$db" --json > /dev/null
done
