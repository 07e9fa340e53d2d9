#!/usr/bin/env bash
# A generated build of 10,000 jobs and about 100,000 files in which every
# output is up to date: the time kestrel takes from reading the script to
# "All output is already made", against a no-op ninja on the same build
# (build.ninja with the same files and edges). Prints the median of several
# runs of each, taken in turn after one warm-up run of each, and the ratio
# (kestrel / ninja: above 1 means we are slower).
#   bench/scheduler/compare.sh [BUILD_DIR] [JOBS] [RUNS]   (default: build, 10000, 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
jobs=${2:-10000}
runs=${3:-5}
bench=$(find "$build" -name scheduler_bench -type f | head -n 1)
kestrel=$build/kestrel
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bench" generate "$work" "$jobs"
# ninja keeps a log of what it built; without one every output is dirty. One
# real build (each command touches its outputs, in dependency order) writes
# it, and leaves every output newer than its inputs for kestrel as well.
(cd "$work" && ninja -j 2 >/dev/null)
if ! (cd "$work" && ninja -n | grep -q "no work to do"); then
  echo "ninja still has work to do" >&2
  exit 1
fi

python3 - "$work" "$kestrel" "$runs" <<'PY'
import statistics, subprocess, sys, time
work, kestrel, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])

def timed(argv, expected):
    start = time.perf_counter()
    result = subprocess.run(argv, cwd=work, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if result.returncode != 0 or expected not in result.stdout:
        sys.exit(f"{argv[0]} failed ({result.returncode}): {result.stdout}{result.stderr}")
    return elapsed

# One run of each first, unmeasured: the tree was just written, and the first
# runs meet its files and directories still settling in the caches.
timed([kestrel, "--automated", "--job", "all", "build.txt"], "All output is already made")
timed(["ninja"], "no work to do")
ours, theirs = [], []
for _ in range(runs):
    ours.append(timed([kestrel, "--automated", "--job", "all", "build.txt"], "All output is already made"))
    theirs.append(timed(["ninja"], "no work to do"))
k, n = statistics.median(ours), statistics.median(theirs)
print(f"kestrel  median {k * 1000:9.1f} ms  (runs: {', '.join(f'{t * 1000:.0f}' for t in ours)})")
print(f"ninja    median {n * 1000:9.1f} ms  (runs: {', '.join(f'{t * 1000:.0f}' for t in theirs)})")
print(f"ratio kestrel / ninja {k / n:.2f}")
PY
