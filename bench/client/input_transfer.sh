#!/usr/bin/env bash
# The input transfer through the real client and a local kestrel-agent,
# against `tar -cf - | gzip -6` on the same files in the same run (best of
# three each), then the client's peak RSS with 256 MiB and 1 GiB of inputs
# (with one timing of each against the reference too).
#   bench/client/input_transfer.sh [BUILD_DIR] [MIB]   (defaults: build, 200)
# The throughput inputs are random bytes (MIB in 50 files); the RSS inputs
# are compressible text, so that the larger runs stay short.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
mib=${2:-200}
work=$(mktemp -d)
agent_pid=
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/agent"
"$build/kestrel-agent" --listen 127.0.0.1:0 --work-dir "$work/agent" >"$work/agent.out" 2>"$work/agent.err" &
agent_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$work/agent.out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/agent.out")

# build.txt in $1 listing every file below $1/in as an input.
write_script() {
  {
    printf 'machine m\n  path\n    kv://127.0.0.1:%s\njob main\n  machine\n    m\n  input\n' "$port"
    (cd "$1" && find in -type f | sort | sed 's/^/    /')
    printf '  command break on error\n    /bin/true\n'
  } >"$1/build.txt"
}

# Seconds and peak RSS (KiB) of one client run, as "SECONDS KIB".
run_client() {
  (cd "$1" && /usr/bin/time -f "%e %M" -o "$work/time.txt" "$build/kestrel" --automated build.txt >"$work/client.out" 2>&1) ||
    { cat "$work/client.out" >&2; exit 1; }
  grep -q "The job main succeeded" "$work/client.out" || { cat "$work/client.out" >&2; exit 1; }
  cat "$work/time.txt"
}

run_reference() {
  local start end
  start=$(date +%s.%N)
  (cd "$1" && tar -cf - in | gzip -6 >/dev/null)
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

best() { printf '%s\n' "$@" | sort -g | head -n 1; }

# Throughput on random files.
mkdir -p "$work/random/in"
for i in $(seq 0 49); do
  mkdir -p "$work/random/in/d$((i % 5))"
  head -c $((mib * 1048576 / 50)) /dev/urandom >"$work/random/in/d$((i % 5))/f$i.bin"
done
write_script "$work/random"
ours=() reference=()
for _ in 1 2 3; do
  reference+=("$(run_reference "$work/random")")
  ours+=("$(run_client "$work/random" | cut -d' ' -f1)")
done
ours_best=$(best "${ours[@]}")
reference_best=$(best "${reference[@]}")
python3 - "$mib" "$ours_best" "$reference_best" <<'PY'
import sys
mib, ours, ref = float(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
print(f"{mib:.0f} MiB random: client {mib * 1.048576 / ours:7.1f} MB/s ({ours:.2f} s)   "
      f"tar | gzip -6 {mib * 1.048576 / ref:7.1f} MB/s ({ref:.2f} s)   ratio {ref / ours:.2f}")
PY
rm -rf "$work/random" "$work/agent"/*

# Peak RSS with compressible inputs of two sizes.
for size in 256 1024; do
  mkdir -p "$work/text$size/in"
  python3 - "$work/text$size/in" "$size" <<'PY'
import os, sys
root, mib = sys.argv[1], int(sys.argv[2])
line = 0
for f in range(mib // 4):
    os.makedirs(f"{root}/d{f % 16}", exist_ok=True)
    with open(f"{root}/d{f % 16}/t{f}.log", "w") as out:
        chunk = []
        written = 0
        while written < 4 << 20:
            text = f"line {line} of input file {f}, value {line * 7919 % 104729}\n"
            chunk.append(text)
            written += len(text)
            line += 1
        out.write("".join(chunk))
PY
  write_script "$work/text$size"
  read -r seconds kib < <(run_client "$work/text$size")
  reference_seconds=$(run_reference "$work/text$size")
  python3 - "$size" "$seconds" "$reference_seconds" "$kib" <<'PY'
import sys
mib, ours, ref, kib = float(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
print(f"{mib:.0f} MiB text: client peak RSS {kib} KiB, {mib * 1.048576 / ours:7.1f} MB/s ({ours:.2f} s)   "
      f"tar | gzip -6 {mib * 1.048576 / ref:7.1f} MB/s ({ref:.2f} s)   ratio {ref / ours:.2f}")
PY
  rm -rf "$work/text$size" "$work/agent"/*
done
