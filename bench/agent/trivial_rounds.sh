#!/usr/bin/env bash
# 1,000 trivial jobs (/bin/true) through BUILD_DIR/kestrel on one local agent,
# alternated with `seq 1000 | xargs -P 2 -n 1 /bin/true` starting the same
# program, ROUNDS times (5); prints each round and the medians, with the load
# average before and after (the machine may be shared).
#   bench/agent/trivial_rounds.sh BUILD_DIR [ROUNDS]
# KESTREL_CLIENT and KESTREL_AGENT name other binaries to run (the same
# client for measurements of two agents).
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-5}
client=${KESTREL_CLIENT:-$build/kestrel}
agent=${KESTREL_AGENT:-$build/kestrel-agent}
work=$(mktemp -d)
agent_pid=
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/agent" "$work/trivial"
"$agent" --listen 127.0.0.1:0 --work-dir "$work/agent" >"$work/agent.out" 2>"$work/agent.err" &
agent_pid=$!
for _ in $(seq 200); do grep -q "listening on" "$work/agent.out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/agent.out")

{
  printf 'machine a\n    path\n        kv://127.0.0.1:%s\n' "$port"
  for i in $(seq 0 999); do printf 'job t%d\n    machine\n        a\n    command break on error\n        /bin/true\n' "$i"; done
  printf 'project main\n    build\n'
  for i in $(seq 0 999); do printf '        t%d\n' "$i"; done
} >"$work/trivial/build.kv"

now() { date +%s.%N; }
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
results=()
for round in $(seq "$rounds"); do
  start=$(now)
  seq 1000 | xargs -P 2 -n 1 /bin/true
  reference=$(echo "$(now) - $start" | bc)
  start=$(now)
  (cd "$work/trivial" && "$client" --automated build.kv >"$work/client.out" 2>&1) ||
    { tail -n 20 "$work/client.out" >&2; exit 1; }
  ours=$(echo "$(now) - $start" | bc)
  succeeded=$(grep -c "^The job .* succeeded" "$work/client.out" || true)
  [ "$succeeded" = 1000 ] || { echo "round $round: $succeeded of 1000 jobs succeeded" >&2; exit 1; }
  printf 'round %d: kestrel %.3f s   xargs -P 2 %.3f s   ratio %.2f\n' "$round" "$ours" "$reference" \
    "$(echo "$ours / $reference" | bc -l)"
  results+=("$ours $reference")
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%s\n' "${results[@]}" | python3 -c '
import statistics, sys
rows = [tuple(map(float, line.split())) for line in sys.stdin]
ours = statistics.median(r[0] for r in rows)
ref = statistics.median(r[1] for r in rows)
ratios = statistics.median(r[0] / r[1] for r in rows)
print(f"median: kestrel {ours:.3f} s   xargs -P 2 {ref:.3f} s   ratio of medians {ours / ref:.2f}   median ratio {ratios:.2f}")
'
