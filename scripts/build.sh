#!/usr/bin/env bash
# Configures and builds into ./build (optimised, with line tables for backtraces). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
# CI holds the tree to no warnings at all.
WERROR=()
if [ -n "${CI:-}" ]; then WERROR=(-DCMAKE_COMPILE_WARNING_AS_ERROR=ON); fi
# Line tables (-g1) are enough for backtraces and a debugger's stepping; full debug info costs
# about a third of the build time.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  "${WERROR[@]}" "$@" >/dev/null
ninja -C build
