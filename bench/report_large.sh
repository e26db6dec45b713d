#!/usr/bin/env bash
# Times the HTML report of one conversation of 100,000 messages: writing it, and headless
# Chromium loading the page and drawing the thread (run from the repository, after a build).
set -euo pipefail
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
IBR_LARGE_CHATS=1 build/bench/make_large_backup "$work/backup" > /dev/null
/usr/bin/time -f "report written: %e s wall, %M KB peak" build/app/ibreader extract "$work/backup" --out "$work/out" \
  --format html --categories messages --no-deleted > /dev/null
ls -l "$work/out/report/messages.html" | awk '{printf "messages.html: %.1f MB\n", $5 / 1048576}'
/usr/bin/time -o "$work/time.txt" -f "page loaded and drawn in Chromium: %e s wall" chromium --headless --no-sandbox --disable-gpu \
  --dump-dom "file://$work/out/report/messages.html" > "$work/dom.html" 2> /dev/null
cat "$work/time.txt"
echo "message bubbles drawn: $(grep -o 'class="msg ' "$work/dom.html" | wc -l) (one page of the thread); $(grep -o '[0-9]* messages, page [0-9]* of [0-9]*' "$work/dom.html")"
