#!/usr/bin/env bash
# kestrel-report on a generated build log: time and peak memory of the page
# and of the trace, and how long the page takes to open in headless Chromium.
# usage: bench/report/run.sh [BUILD_DIR] [JOBS] [LINES]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
jobs=${2:-10000}
lines=${3:-1000000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$root/bench/report/make_log.py" "$work/build_log.xml" "$jobs" "$lines"
echo "build log: $jobs jobs, $lines output lines, $(du -m "$work/build_log.xml" | cut -f1) MB"

measure() {
  /usr/bin/time -v "$@" 2>"$work/time.txt" >/dev/null
  local seconds kb
  seconds=$(grep 'Elapsed (wall clock)' "$work/time.txt" | awk '{print $NF}')
  kb=$(grep 'Maximum resident set size' "$work/time.txt" | awk '{print $NF}')
  echo "$seconds wall, peak memory $((kb / 1024)) MB"
}
echo "page:  $(measure "$build/kestrel-report" "$work/build_log.xml"), $(du -m "$work/build_log.html" | cut -f1) MB"
echo "trace: $(measure "$build/kestrel-report" --trace "$work/build_log.xml")"

# The page's own clock: from the start of navigation to the end of its script
# (the HTML parsed, the failed jobs, timeline and table drawn).
profile="$work/profile"
start=$(date +%s.%N)
dom=$(chromium --headless --no-sandbox --disable-gpu --user-data-dir="$profile" --window-size=1280,900 \
  --dump-dom "file://$work/build_log.html" 2>/dev/null)
finish=$(date +%s.%N)
ready=$(grep -o 'data-ready-after-ms="[0-9]*"' <<<"$dom" | grep -o '[0-9]*')
bars=$(grep -o 'class="bar ' <<<"$dom" | wc -l)
echo "page in Chromium: ready after ${ready} ms (navigation to end of script), $bars bars drawn," \
  "$(echo "$finish - $start" | bc) s for the whole headless run"
