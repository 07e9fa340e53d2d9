#!/usr/bin/env bash
# Whole runs of build/kestrel against local kestrel-agent processes, each next
# to a local reference measured in the same run, with the ratios printed:
#   1. 1,000 trivial jobs on one agent and on two, against `xargs -P 2`;
#   2. one job moving 200 MiB in and 200 MiB out, against `tar -czf - | tar -xzf -`;
#   3. the client's peak RSS for 1 GiB in and out, and for 10,000 jobs;
#   4. kestrel's own src/ compiled on two agents and linked, against `ninja -j2`;
#   5. 1,000 trivial jobs over 200 machines against the same jobs on one, and
#      10,000 over 1,000 machines (time, peak RSS, peak open descriptors);
#   6. (section windows, not run by default) the trivial jobs and the 200 MiB
#      job through build-windows/kestrel.exe under Wine next to build/kestrel.
#   bench/runs/compare.sh [BUILD_DIR] [SECTION...]   (default: build, every section)
# Sections are named trivial, transfer, memory, build, machines and windows.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
sections=("$@")
[ ${#sections[@]} -eq 0 ] && sections=(trivial transfer memory build machines)
work=$(mktemp -d)
agent_pids=()
cleanup() {
  for pid in "${agent_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# start_agent NAME [OPTION...]: starts an agent with its own work area; sets port_NAME.
start_agent() {
  local name=$1
  shift
  mkdir -p "$work/agent-$name"
  "$build/kestrel-agent" --listen 127.0.0.1:0 --work-dir "$work/agent-$name" "$@" >"$work/agent-$name.out" \
    2>"$work/agent-$name.err" &
  agent_pids+=($!)
  for _ in $(seq 200); do grep -q "listening on" "$work/agent-$name.out" && break; sleep 0.05; done
  printf -v "port_$name" '%s' "$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/agent-$name.out")"
}
start_agent a
start_agent b

machines() {
  printf 'machine a\n    path\n        kv://127.0.0.1:%s\n' "$port_a"
  printf 'machine b\n    path\n        kv://127.0.0.1:%s\n' "$port_b"
}

# run_client DIR EXPECTED_SUCCEEDED: one plain-mode run of DIR/build.kv;
# prints "SECONDS PEAK_KIB". Fails loudly unless every job succeeded.
client=("$build/kestrel")
run_client() {
  (cd "$1" && /usr/bin/time -f "%e %M" -o "$work/time.txt" "${client[@]}" --automated build.kv >"$work/client.out" 2>&1) ||
    { tail -n 20 "$work/client.out" >&2; exit 1; }
  local succeeded
  succeeded=$(tr -d '\r' <"$work/client.out" | grep -c "^The job .* succeeded" || true)
  [ "$succeeded" = "$2" ] || { echo "expected $2 jobs to succeed, $succeeded did" >&2; tail -n 20 "$work/client.out" >&2; exit 1; }
  cat "$work/time.txt"
}

seconds_of() { local start=$1; echo "$(date +%s.%N) - $start" | bc; }

# trivial_script COUNT MACHINES...: COUNT jobs running /bin/true, spread over MACHINES in turn.
trivial_script() {
  local count=$1
  shift
  local names=("$@")
  machines
  for i in $(seq 0 $((count - 1))); do
    printf 'job t%d\n    machine\n        %s\n    command break on error\n        /bin/true\n' "$i" "${names[$((i % ${#names[@]}))]}"
  done
  printf 'project main\n    build\n'
  for i in $(seq 0 $((count - 1))); do printf '        t%d\n' "$i"; done
}

section_trivial() {
  echo "== 1,000 trivial jobs =="
  mkdir -p "$work/trivial"
  local start reference one two
  start=$(date +%s.%N)
  seq 1000 | xargs -P 2 -n 1 /bin/true
  reference=$(seconds_of "$start")
  trivial_script 1000 a >"$work/trivial/build.kv"
  one=$(run_client "$work/trivial" 1000 | cut -d' ' -f1)
  trivial_script 1000 a b >"$work/trivial/build.kv"
  two=$(run_client "$work/trivial" 1000 | cut -d' ' -f1)
  python3 - "$reference" "$one" "$two" <<'PY'
import sys
ref, one, two = map(float, sys.argv[1:])
for label, t in (("one agent ", one), ("two agents", two)):
    print(f"kestrel, {label}: {1000 / t:7.0f} jobs/s, {t:.3f} ms per job   "
          f"xargs -P 2: {1000 / ref:7.0f} jobs/s, {ref:.3f} ms per command   ratio {ref / t:.3f}")
PY
  rm -rf "$work/trivial"
}

# write_text_files DIR MIB FILES: compressible text, MIB in FILES files below DIR.
write_text_files() {
  python3 - "$@" <<'PY'
import os, sys
root, mib, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
os.makedirs(root, exist_ok=True)
size, line = (mib << 20) // files, 0
for f in range(files):
    with open(f"{root}/t{f}.txt", "w") as out:
        chunk, written = [], 0
        while written < size:
            text = f"line {line} of file {f}: value {line * 7919 % 104729} checksum {line * 104729 % 7919:05d}\n"
            chunk.append(text)
            written += len(text)
            line += 1
        out.write("".join(chunk))
PY
}

# copy_script DIR: one job sending every file of DIR/in, copying it to out/ and
# bringing out/ back.
copy_script() {
  machines
  printf 'job main\n    machine\n        a\n    input\n'
  (cd "$1" && find in -type f | sort | sed 's/^/        /')
  printf '    output\n'
  (cd "$1" && find in -type f | sort | sed 's/^in/        out/')
  printf '    command break on error\n        cp\n            -r\n            in\n            out\n'
}

# copy_run MIB FILES: prints "SECONDS PEAK_KIB REFERENCE_SECONDS" for one copy job
# and for the tar pipe over the same files, in and back out.
copy_run() {
  local dir="$work/copy$1"
  write_text_files "$dir/in" "$1" "$2"
  copy_script "$dir" >"$dir/build.kv"
  local start reference ours
  start=$(date +%s.%N)
  mkdir -p "$work/ref-agent" "$work/ref-back"
  (cd "$dir" && tar -czf - in | tar -xzf - -C "$work/ref-agent")
  (cd "$work/ref-agent" && tar -czf - in | tar -xzf - -C "$work/ref-back")
  reference=$(seconds_of "$start")
  rm -rf "$work/ref-agent" "$work/ref-back"
  ours=$(run_client "$dir" 1)
  cmp -s "$dir/in/t0.txt" "$dir/out/t0.txt" || { echo "the output differs from the input" >&2; exit 1; }
  rm -rf "$dir"
  echo "$ours $reference"
}

section_transfer() {
  echo "== 200 MiB in, 200 MiB out =="
  read -r seconds kib reference < <(copy_run 200 50)
  python3 - "$seconds" "$reference" "$kib" <<'PY'
import sys
ours, ref, kib = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
print(f"kestrel {ours:.2f} s (peak RSS {kib} KiB)   tar -czf - | tar -xzf -, in and out: {ref:.2f} s   "
      f"ratio {ref / ours:.2f}")
PY
}

# The same runs through the Windows client under Wine (a prefix of its own,
# its server kept up so that only the first start pays for Wine's services).
section_windows() {
  local exe="$root/build-windows/kestrel.exe"
  [ -f "$exe" ] || { echo "no $exe: build the Windows client first" >&2; exit 1; }
  export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  /usr/lib/wine/wineserver -p
  /usr/lib/wine/wine64 wineboot --init </dev/null >/dev/null 2>&1
  echo "== the Windows client under Wine, next to the Linux client =="
  mkdir -p "$work/trivial"
  trivial_script 1000 a >"$work/trivial/build.kv"
  local linux_trivial wine_trivial linux_copy wine_copy
  client=("$build/kestrel")
  linux_trivial=$(run_client "$work/trivial" 1000 | cut -d' ' -f1)
  client=(/usr/lib/wine/wine64 "$exe")
  wine_trivial=$(run_client "$work/trivial" 1000 | cut -d' ' -f1)
  client=("$build/kestrel")
  read -r linux_copy _ _ < <(copy_run 200 50)
  client=(/usr/lib/wine/wine64 "$exe")
  read -r wine_copy _ _ < <(copy_run 200 50)
  client=("$build/kestrel")
  /usr/lib/wine/wineserver -k || true
  python3 - "$linux_trivial" "$wine_trivial" "$linux_copy" "$wine_copy" <<'PY'
import sys
lt, wt, lc, wc = map(float, sys.argv[1:])
print(f"1,000 trivial jobs, one agent: Linux client {lt:.2f} s, kestrel.exe under Wine {wt:.2f} s   ratio {wt / lt:.2f}")
print(f"200 MiB in and out:            Linux client {lc:.2f} s, kestrel.exe under Wine {wc:.2f} s   ratio {wc / lc:.2f}")
PY
}

section_memory() {
  echo "== client peak RSS =="
  local small large
  read -r _ small _ < <(copy_run 64 16)
  read -r seconds large reference < <(copy_run 1024 64)
  echo "64 MiB in and out: ${small} KiB   1 GiB in and out: ${large} KiB ($seconds s; tar pipes $reference s)"
  mkdir -p "$work/many"
  trivial_script 10000 a >"$work/many/build.kv"
  read -r seconds kib < <(run_client "$work/many" 10000)
  echo "10,000 jobs on one connection: ${kib} KiB, $seconds s ($(echo "scale=3; $seconds / 10" | bc) ms per job)"
  rm -rf "$work/many"
}

# The compile jobs of every .cc below src/ (inputs: the source and the headers
# `g++ -MM` lists) and the link of kestrel from their objects.
build_script() {
  python3 - "$1" "$port_a" "$port_b" <<'PY'
import os, subprocess, sys
top, port_a, port_b = sys.argv[1], sys.argv[2], sys.argv[3]
flags = ["-std=c++20", "-O2", "-DNDEBUG", "-Isrc"]
sources = sorted(os.path.relpath(os.path.join(d, f), top)
                 for d, _, fs in os.walk(os.path.join(top, "src")) for f in fs if f.endswith(".cc"))
out = [f"machine a\n    path\n        kv://127.0.0.1:{port_a}\n",
       f"machine b\n    path\n        kv://127.0.0.1:{port_b}\n"]
inputs_of = {}
for source in sources:
    rule = subprocess.run(["g++", "-MM", *flags, source], cwd=top, check=True,
                          capture_output=True, text=True).stdout
    inputs_of[source] = rule.replace("\\\n", " ").split(":", 1)[1].split()
# Longest first onto the less loaded agent, the size of what a compile reads
# standing in for its time (ninja balances as it goes; a script fixes it up front).
load = {"a": 0, "b": 0}
machine_of = {}
for source in sorted(sources, key=lambda s: -sum(os.path.getsize(os.path.join(top, p)) for p in inputs_of[s])):
    machine_of[source] = min(load, key=load.get)
    load[machine_of[source]] += sum(os.path.getsize(os.path.join(top, p)) for p in inputs_of[source])
objects = []
for i, source in enumerate(sources):
    inputs = inputs_of[source]
    obj = "obj/" + source[:-3] + ".o"
    objects.append(obj)
    # Minimum concurrency takes a whole agent: one compile per agent, as ninja -j2 runs two.
    out.append(f"job cc{i}\n    machine\n        {machine_of[source]}\n    concurrency minimum\n    input\n")
    out += [f"        {path}\n" for path in sorted(set(inputs))]
    out.append(f"    output\n        {obj}\n")
    out.append(f"    command break on error\n        mkdir\n            -p\n            {os.path.dirname(obj)}\n")
    out.append("    command break on error\n        g++\n")
    out += [f"            {a}\n" for a in [*flags, "-c", source, "-o", obj]]
out.append("job link\n    machine\n        a\n    input\n")
out += [f"        {obj}\n" for obj in objects]
out.append("    output\n        kestrel-built\n    command break on error\n        g++\n")
out += [f"            {a}\n" for a in ["-o", "kestrel-built", *objects, "-lz", "-lcrypto", "-pthread"]]
out.append("project main\n    build\n")
out += [f"        cc{i}\n" for i in range(len(sources))] + ["        link\n"]
sys.stdout.write("".join(out))
print(len(sources) + 1, file=sys.stderr)
PY
}

section_build() {
  echo "== kestrel's src/ built on two agents =="
  local dir="$work/self"
  mkdir -p "$dir"
  cp -r "$root/src" "$dir/src"
  local jobs
  jobs=$(build_script "$dir" 2>&1 >"$dir/build.kv")
  local ours
  ours=$(run_client "$dir" "$jobs" | cut -d' ' -f1)
  "$dir/kestrel-built" >"$work/usage.txt" 2>&1 || true
  grep -q "^USAGE: kestrel" "$work/usage.txt" || { echo "the built kestrel printed no usage text" >&2; exit 1; }
  cmake -S "$root" -B "$work/ninja" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_TESTS=OFF -DKESTREL_BENCH=OFF \
    >/dev/null
  local start reference
  start=$(date +%s.%N)
  ninja -C "$work/ninja" -j2 kestrel >/dev/null
  reference=$(seconds_of "$start")
  python3 - "$ours" "$reference" "$jobs" <<'PY'
import sys
ours, ref, jobs = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
print(f"kestrel, {jobs} jobs on two agents: {ours:.1f} s (the binary prints its usage)   "
      f"ninja -j2: {ref:.1f} s   ratio {ref / ours:.2f}")
PY
  rm -rf "$dir" "$work/ninja"
}

# many_script MACHINES JOBS: JOBS trivial jobs spread over MACHINES machines,
# machine i a path to agent m(i mod 4).
many_script() {
  local machines=$1 jobs=$2 port
  for m in $(seq 0 $((machines - 1))); do
    port="port_m$((m % 4))"
    printf 'machine m%d\n    path\n        kv://127.0.0.1:%s\n' "$m" "${!port}"
  done
  for i in $(seq 0 $((jobs - 1))); do
    printf 'job t%d\n    machine\n        m%d\n    command break on error\n        /bin/true\n' "$i" $((i % machines))
  done
  printf 'project main\n    build\n'
  for i in $(seq 0 $((jobs - 1))); do printf '        t%d\n' "$i"; done
}

# many_run MACHINES JOBS: prints "SECONDS PEAK_KIB PEAK_DESCRIPTORS" of the run.
many_run() {
  local dir="$work/many-$1"
  mkdir -p "$dir"
  many_script "$1" "$2" >"$dir/build.kv"
  (cd "$dir" && exec /usr/bin/time -f "%e %M" -o "$work/time.txt" "$build/kestrel" --automated build.kv >"$work/client.out" 2>&1) &
  local runner=$! peak=0 count pid
  while kill -0 "$runner" 2>/dev/null; do
    pid=$(pgrep -n -f "^$build/kestrel --automated build.kv" || true)
    if [ -n "$pid" ]; then
      count=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l || true)
      if [ "$count" -gt "$peak" ]; then peak=$count; fi
    fi
    sleep 0.05
  done
  wait "$runner" || { echo "the run over $1 machines failed" >&2; tail -n 20 "$work/client.out" >&2; exit 1; }
  local succeeded
  succeeded=$(grep -c "^The job .* succeeded" "$work/client.out" || true)
  [ "$succeeded" = "$2" ] || { echo "expected $2 jobs to succeed, $succeeded did" >&2; exit 1; }
  echo "$(cat "$work/time.txt") $peak"
  rm -rf "$dir"
}

# Four agents stand in for every machine: each has the capacity of 255
# machines (the most one can announce), so that each path finds a whole
# machine's room as it would on a farm, and admits every connection at once.
section_machines() {
  echo "== many machines =="
  for a in 0 1 2 3; do start_agent "m$a" --capacity $((255 * 256)) --max-connections 4000 --max-pending-per-address 4000; done
  local one many farm
  mkdir -p "$work/trivial"
  trivial_script 1000 a >"$work/trivial/build.kv"
  one=$(run_client "$work/trivial" 1000 | cut -d' ' -f1)
  read -r many _ _ < <(many_run 200 1000)
  read -r farm kib fds < <(many_run 1000 10000)
  python3 - "$one" "$many" "$farm" "$kib" "$fds" <<'PY'
import sys
one, many, farm = map(float, sys.argv[1:4])
kib, fds = sys.argv[4:]
print(f"1,000 jobs: one machine {one:.2f} s, 200 machines {many:.2f} s   ratio {many / one:.2f}")
print(f"10,000 jobs over 1,000 machines: {farm:.2f} s, client peak RSS {kib} KiB, {fds} open descriptors at most")
PY
}

for section in "${sections[@]}"; do
  "section_$section"
done
