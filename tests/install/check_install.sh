#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the example against the installed package
# with find_package(ibreader), and runs it on backups the installed command writes.
set -euo pipefail
build="$1"; source="$2"
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
cmake -S "$source/examples/backup_summary" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/configure.log"
cmake --build "$work/example" > "$work/build.log"
"$work/prefix/bin/ibreader" demo --out "$work/backups/one" > /dev/null
"$work/prefix/bin/ibreader" demo --ios 17 --out "$work/backups/two" > /dev/null
out="$("$work/example/backup_summary" "$work/backups" 2>/dev/null)"
echo "$out"
[ "$(echo "$out" | wc -l)" -eq 2 ]
echo "$out" | grep -q $'Demo iPhone\tiPhone 5S\tiOS 8.4.1\t9 contacts\t5 conversations'
echo "$out" | grep -q $'Demo iPhone\tiPhone 15\tiOS 17.6.1\t9 contacts\t5 conversations'
