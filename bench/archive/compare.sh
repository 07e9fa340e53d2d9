#!/usr/bin/env bash
# Runs the archive benchmarks against the reference pipelines and prints the
# ratios (reference time / our time: above 1 means we are faster), then the
# peak memory of writing and reading archives of 256 MiB and 1 GiB of content.
#   bench/archive/compare.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
bench=$(find "$build" -name paxgz_bench -type f | head -n 1)
memory=$(find "$build" -name paxgz_memory -type f | head -n 1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bench" --benchmark_format=json --benchmark_out="$work/bench.json" --benchmark_out_format=json >/dev/null
python3 - "$work/bench.json" <<'PY'
import json, sys
times = {b["name"].split("/")[0]: b["real_time"] for b in json.load(open(sys.argv[1]))["benchmarks"]}
for ours, reference in (("WriteOurs", "WriteReference"), ("WriteOursEventLoop", "WriteReference"),
                        ("ReadOurs", "ReadReference")):
    print(f"{ours:20s} {times[ours]:9.0f} ms  {reference:15s} {times[reference]:9.0f} ms  "
          f"ratio {times[reference] / times[ours]:.2f}")
PY

for mib in 256 1024; do
  "$memory" generate "$work/tree$mib" "$mib"
  write=$("$memory" write "$work/tree$mib" "$work/archive$mib.tgz" | awk '/peak_rss_kib/ {print $2}')
  read=$("$memory" read "$work/archive$mib.tgz" "$work/out$mib" | awk '/peak_rss_kib/ {print $2}')
  cmp <(cd "$work/tree$mib" && find . -type f -exec md5sum {} + | sort) \
      <(cd "$work/out$mib" && find . -type f -exec md5sum {} + | sort) >/dev/null
  echo "content ${mib} MiB: archive $(stat -c %s "$work/archive$mib.tgz") bytes, peak RSS write ${write} KiB, read ${read} KiB"
  rm -rf "$work/tree$mib" "$work/out$mib" "$work/archive$mib.tgz"
done
