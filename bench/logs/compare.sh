#!/usr/bin/env bash
# One job whose command printed 100 MB in one million lines: how long
# build_log.xml takes to generate and how much memory that needs, next to
# xmllint reading the same document.
#   bench/logs/compare.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
bench=$(find "$build" -name build_log_bench -type f | head -n 1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

TMPDIR="$work" "$bench" "$work/build_log.xml" | tee "$work/ours.txt"
echo "temporary_files_left $(find "$work" -name 'KVLOG.*' | wc -l)"
/usr/bin/time -o "$work/time.txt" -f "xmllint_noout_seconds %e
xmllint_noout_peak_rss_kib %M" xmllint --noout "$work/build_log.xml"
cat "$work/time.txt"
/usr/bin/time -o "$work/time.txt" -f "xmllint_stream_seconds %e
xmllint_stream_peak_rss_kib %M" xmllint --noout --stream "$work/build_log.xml"
cat "$work/time.txt"
