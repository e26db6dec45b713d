#!/usr/bin/env bash
# Configures and builds into ./build (Release with debug info). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
# CI holds the tree to no warnings at all.
WERROR=()
if [ -n "${CI:-}" ]; then WERROR=(-DCMAKE_COMPILE_WARNING_AS_ERROR=ON); fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${WERROR[@]}" "$@" >/dev/null
ninja -C build
