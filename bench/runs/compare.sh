#!/usr/bin/env bash
# Whole runs of build/kestrel against local kestrel-agent processes, each next
# to a local reference measured in the same run, with the ratios printed:
#   1. 1,000 trivial jobs on one agent and on two, against `xargs -P 2`;
#   2. one job moving 200 MiB in and 200 MiB out, against `tar -czf - | tar -xzf -`;
#   3. the client's peak RSS for 1 GiB in and out, and for 10,000 jobs;
#   4. kestrel's own src/ built from one list of compile commands and link line
#      three ways, in ROUNDS (default 5) rounds that alternate them: local
#      `ninja -j2`, distcc through one `distccd --jobs 2` on 127.0.0.1 (ninja
#      -j2), and kestrel through one agent running two jobs at a time; prints
#      each round and the median ratios kestrel/ninja and kestrel/distcc
#      (SELFBUILD_KEEP=DIR keeps the last round's build_log.xml, the script and
#      the agent's, distccd's and ninja's logs);
#   5. 1,000 trivial jobs over 200 machines against the same jobs on one, and
#      10,000 over 1,000 machines (time, peak RSS, peak open descriptors);
#   6. (section windows, not run by default) the trivial jobs and the 200 MiB
#      job through build-windows/kestrel.exe under Wine next to build/kestrel.
#   bench/runs/compare.sh [BUILD_DIR] [SECTION...]   (default: build, every section)
# Sections are named trivial, transfer, memory, selfbuild, machines and windows.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
sections=("$@")
[ ${#sections[@]} -eq 0 ] && sections=(trivial transfer memory selfbuild machines)
work=$(mktemp -d)
server_pids=()
cleanup() {
  # distccd ends on the signal itself, so its wait reports the signal.
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null && { wait "$pid" 2>/dev/null || true; }; done
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
  server_pids+=($!)
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

# selfbuild_scripts DIR PORT: from one list of commands (every .cc below src/
# but the Windows implementations, compiled with the same flags into obj/, then
# the link) writes into DIR
# build.ninja (the commands as they are), build-distcc.ninja (the compiles
# through distcc, the link local as distcc leaves it) and build.kv (a job per
# compile and one for the link, on the agent at PORT; concurrency low takes half
# the machine, so two run at once; inputs: the source and the headers `g++ -MM`
# lists). Prints the number of jobs.
selfbuild_scripts() {
  python3 - "$1" "$2" <<'PY'
import os, shlex, subprocess, sys
top, port = sys.argv[1], sys.argv[2]
flags = ["-std=c++20", "-O2", "-DNDEBUG", "-Isrc"]
sources = [os.path.relpath(os.path.join(d, f), top)
           for d, _, fs in os.walk(os.path.join(top, "src")) for f in fs
           if f.endswith(".cc") and not f.endswith("_win32.cc")]
inputs_of = {}
for source in sources:
    rule = subprocess.run(["g++", "-MM", *flags, source], cwd=top, check=True,
                          capture_output=True, text=True).stdout
    inputs_of[source] = sorted(set(rule.replace("\\\n", " ").split(":", 1)[1].split()))
# Longest first in all three, the size of what a compile reads standing in for
# its time, so that no build ends on a long compile started last.
size = {s: sum(os.path.getsize(os.path.join(top, p)) for p in inputs_of[s]) for s in sources}
sources.sort(key=lambda s: (-size[s], s))
objects = ["obj/" + s[:-3] + ".o" for s in sources]
compiles = [["g++", *flags, "-c", s, "-o", o] for s, o in zip(sources, objects)]
link = ["g++", "-o", "kestrel-built", *objects, "-lz", "-lcrypto", "-pthread"]

# ninja 1.11 starts the edges that are ready in the order they are written.
def write_ninja(name, wrapper):
    text = ["rule run\n  command = $cmd\n"]
    for source, obj, command in zip(sources, objects, compiles):
        text.append(f"build {obj}: run {source}\n  cmd = {shlex.join(wrapper + command)}\n")
    text.append(f"build kestrel-built: run {' '.join(objects)}\n  cmd = {shlex.join(link)}\n")
    with open(os.path.join(top, name), "w") as out:
        out.write("".join(text))

def kv_command(argv):
    return ("    command break on error\n        " + argv[0] + "\n" +
            "".join(f"            {a}\n" for a in argv[1:]))

write_ninja("build.ninja", [])
write_ninja("build-distcc.ninja", ["distcc"])
kv = [f"machine self\n    path\n        kv://127.0.0.1:{port}\n"]
for i, (source, obj, command) in enumerate(zip(sources, objects, compiles)):
    kv.append(f"job cc{i}\n    machine\n        self\n    concurrency low\n    input\n")
    kv += [f"        {path}\n" for path in inputs_of[source]]
    kv.append(f"    output\n        {obj}\n")
    # The work area holds only the inputs; ninja makes the folder itself.
    kv.append(kv_command(["mkdir", "-p", os.path.dirname(obj)]))
    kv.append(kv_command(command))
kv.append("job link\n    machine\n        self\n    concurrency low\n    input\n")
kv += [f"        {obj}\n" for obj in objects]
kv.append("    output\n        kestrel-built\n")
kv.append(kv_command(link))
kv.append("project main\n    build\n")
kv += [f"        cc{i}\n" for i in range(len(sources))] + ["        link\n"]
with open(os.path.join(top, "build.kv"), "w") as out:
    out.write("".join(kv))
print(len(sources) + 1)
PY
}

# start_distccd: one distcc daemon serving two compiles at a time on a free port
# of 127.0.0.1 and logging each one; sets distcc_port. Run as root it drops to
# its own user, so its log and temporary folder are open to everyone.
start_distccd() {
  distcc_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  chmod a+x "$work"
  mkdir -m 1777 "$work/distccd"
  TMPDIR="$work/distccd" distccd --daemon --no-detach --jobs 2 --allow 127.0.0.1 --listen 127.0.0.1 \
    --port "$distcc_port" --log-file "$work/distccd/log" --log-level info &
  server_pids+=($!)
  for _ in $(seq 200); do grep -qs "listening on" "$work/distccd/log" && break; sleep 0.05; done
  grep -qs "listening on" "$work/distccd/log" || { echo "distccd did not start" >&2; exit 1; }
}

# selfbuild_clean DIR: an empty object folder and no program, ninja's log gone.
selfbuild_clean() {
  rm -rf "$1/obj" "$1/kestrel-built" "$1/.ninja_log" "$1/.ninja_deps" "$1/build_log.xml"
}

# selfbuild_check DIR NAME: the program built in DIR prints its usage.
selfbuild_check() {
  "$1/kestrel-built" >"$work/usage.txt" 2>&1 || true
  grep -q "^USAGE: kestrel" "$work/usage.txt" || { echo "the kestrel built by $2 printed no usage text" >&2; exit 1; }
}

# selfbuild_ninja DIR FILE: prints the seconds of `ninja -j2` building FILE.
selfbuild_ninja() {
  selfbuild_clean "$1"
  local start
  start=$(date +%s.%N)
  ninja -C "$1" -f "$2" -j2 >"$work/ninja.out" 2>&1 || { tail -n 20 "$work/ninja.out" >&2; exit 1; }
  seconds_of "$start"
}

# selfbuild_distcc DIR COMPILES: prints the seconds of the distcc build; fails
# unless distccd compiled every source (distcc may not fall back to local).
selfbuild_distcc() {
  local served_before served
  served_before=$(grep -c "COMPILE_OK" "$work/distccd/log" || true)
  DISTCC_HOSTS="127.0.0.1:$distcc_port/2" DISTCC_DIR="$work/distcc" DISTCC_FALLBACK=0 DISTCC_SKIP_LOCAL_RETRY=1 \
    selfbuild_ninja "$1" build-distcc.ninja
  served=$(($(grep -c "COMPILE_OK" "$work/distccd/log" || true) - served_before))
  [ "$served" = "$2" ] || { echo "distccd compiled $served of $2 sources" >&2; exit 1; }
}

# selfbuild_overheads DIR...: for each build folder, its wall time less half the
# time of its compiles (ninja's log, or the g++ commands of kestrel's build
# log): what the tool adds over two busy slots, which other load on the machine
# moves much less than the wall time.
selfbuild_overheads() {
  python3 - "$@" <<'PY'
import os, re, sys
for folder in sys.argv[1:]:
    kestrel_log = os.path.join(folder, "build_log.xml")
    if os.path.exists(kestrel_log):
        text = open(kestrel_log).read()
        wall = float(re.search(r'<kv:BuildLog [^>]*RunningTime="([0-9.]+)"', text).group(1))
        commands = re.findall(r'executable="g\+\+">.*?<kv:return value="0" elapsed="([0-9.]+)"', text, re.S)
        compiles = sum(map(float, commands[:-1]))
    else:
        rows = [line.split("\t") for line in open(os.path.join(folder, ".ninja_log")) if not line.startswith("#")]
        wall = max(int(r[1]) for r in rows) / 1000
        compiles = sum(int(r[1]) - int(r[0]) for r in rows if r[3].endswith(".o")) / 1000
    print(f"{wall - compiles / 2:.2f}", end=" ")
print()
PY
}

# selfbuild_breakdown KESTREL_BUILD_LOG NINJA_LOG DISTCC_NINJA_LOG: where the
# time of one round went: each compile job's g++ time against its whole time,
# the idle time of the two slots between jobs, the link's phases, and ninja's
# compile times and idle slots next to them.
selfbuild_breakdown() {
  python3 - "$@" <<'PY'
import datetime, sys
from xml.etree import ElementTree as ET

def seconds(text):
    return datetime.datetime.fromisoformat(text).timestamp()

def kestrel_jobs(path):
    root = ET.parse(path).getroot()
    ns = {"kv": root.tag[1:].split("}")[0]}
    begin, jobs = seconds(root.get("StartTime")), {}
    for job in root.findall("kv:job", ns):
        start = seconds(job.get("StartTime")) - begin
        commands = {c.get("executable"): float(c.find("kv:return", ns).get("elapsed"))
                    for c in job.findall("kv:command", ns)}
        jobs[job.get("name")] = (start, start + float(job.get("RunningTime")), commands)
    return float(root.get("RunningTime")), jobs

def ninja_edges(path):
    rows = [line.split("\t") for line in open(path) if not line.startswith("#")]
    return {r[3]: (int(r[0]) / 1000, int(r[1]) / 1000) for r in rows}

# Two slots filled in order of start: the gaps a slot sat idle between jobs.
def slots(intervals):
    ends, gaps = [0.0, 0.0], [[], []]
    for start, end in sorted(intervals):
        slot = min((0, 1), key=lambda k: ends[k])
        gaps[slot].append(max(0.0, start - ends[slot]))
        ends[slot] = max(ends[slot], end)
    return "; ".join(f"slot {k}: {len(g)} compiles, idle {sum(g):.2f} s in {len(g)} gaps "
                     f"({1000 * sorted(g)[len(g) // 2]:.0f} ms median), done at {ends[k]:.2f} s"
                     for k, g in enumerate(gaps))

wall, jobs = kestrel_jobs(sys.argv[1])
compiles = {name: job for name, job in jobs.items() if name != "link"}
link_start, link_end, link_commands = jobs["link"]
whole = sum(end - start for start, end, _ in compiles.values())
gxx = sum(c["g++"] for _, _, c in compiles.values())
mkdir = sum(c["mkdir"] for _, _, c in compiles.values())
rest = whole - gxx - mkdir
last = max(end for _, end, _ in compiles.values())
print(f"kestrel, last round: {wall:.2f} s; {len(compiles)} compile jobs {whole:.2f} s = g++ {gxx:.2f} s + mkdir "
      f"{mkdir:.2f} s + {rest:.2f} s of job start, inputs, polls, object back and end "
      f"({1000 * rest / len(compiles):.1f} ms a job)")
print(f"  {slots([(s, e) for s, e, _ in compiles.values()])}")
print(f"  link job starts {max(0.0, link_start - last):.3f} s after the last compile, takes {link_end - link_start:.3f} s: "
      f"g++ {link_commands['g++']:.3f} s, objects up and program back {link_end - link_start - link_commands['g++']:.3f} s; "
      f"the run ends {wall - link_end:.3f} s later")
for label, path in (("ninja -j2", sys.argv[2]), ("distcc", sys.argv[3])):
    edges = ninja_edges(path)
    link = edges.pop("kestrel-built")
    print(f"{label}, last round: {link[1]:.2f} s; compiles {sum(e - s for s, e in edges.values()):.2f} s; link "
          f"{link[1] - link[0]:.3f} s, {link[0] - max(e for _, e in edges.values()):.3f} s after the last compile")
    print(f"  {slots(edges.values())}")
PY
}

# kestrel's own src/ built from one list of commands three ways: locally with
# ninja -j2, through one distccd with two jobs (ninja -j2), and through one
# agent running two jobs at a time. Each round starts from empty object folders
# and runs the three in a turning order. ROUNDS (default 5) rounds.
section_selfbuild() {
  local rounds=${ROUNDS:-5}
  start_agent self --capacity 256
  start_distccd
  mkdir -p "$work/distcc"
  local jobs tool
  mkdir -p "$work/self-ninja"
  cp -r "$root/src" "$work/self-ninja/src"
  jobs=$(selfbuild_scripts "$work/self-ninja" "$port_self")
  cp -r "$work/self-ninja" "$work/self-distcc"
  cp -r "$work/self-ninja" "$work/self-kestrel"
  echo "== kestrel's src/ built with the same $((jobs - 1)) compiles and link: ninja -j2, distcc (one distccd --jobs 2), kestrel (one agent, two jobs at a time) =="
  local order=(ninja distcc kestrel) times=() round seconds i spare_ninja spare_distcc spare_kestrel
  local -A took
  for round in $(seq "$rounds"); do
    for i in 0 1 2; do
      tool=${order[$(((round - 1 + i) % 3))]}
      case $tool in
        ninja) seconds=$(selfbuild_ninja "$work/self-ninja" build.ninja) ;;
        distcc) seconds=$(selfbuild_distcc "$work/self-distcc" $((jobs - 1))) ;;
        kestrel)
          selfbuild_clean "$work/self-kestrel"
          seconds=$(run_client "$work/self-kestrel" "$jobs" | cut -d' ' -f1) ;;
      esac
      selfbuild_check "$work/self-$tool" "$tool"
      took[$tool]=$seconds
    done
    read -r spare_ninja spare_distcc spare_kestrel < <(selfbuild_overheads "$work/self-ninja" "$work/self-distcc" \
      "$work/self-kestrel")
    printf 'round %d: ninja -j2 %.2f s, distcc %.2f s, kestrel %.2f s   (less half the compiles: %s, %s, %s s)\n' \
      "$round" "${took[ninja]}" "${took[distcc]}" "${took[kestrel]}" "$spare_ninja" "$spare_distcc" "$spare_kestrel"
    times+=("${took[ninja]}" "${took[distcc]}" "${took[kestrel]}" "$spare_ninja" "$spare_distcc" "$spare_kestrel")
  done
  if [ -n "${SELFBUILD_KEEP:-}" ]; then
    mkdir -p "$SELFBUILD_KEEP"
    cp "$work/self-kestrel/build_log.xml" "$work/self-kestrel/build.kv" "$work/agent-self.out" "$work/agent-self.err" \
      "$work/distccd/log" "$SELFBUILD_KEEP/"
    cp "$work/self-ninja/.ninja_log" "$SELFBUILD_KEEP/ninja.log"
    cp "$work/self-distcc/.ninja_log" "$SELFBUILD_KEEP/distcc-ninja.log"
  fi
  python3 - "${times[@]}" <<'PY'
import statistics, sys
t = list(map(float, sys.argv[1:]))
rounds = [t[i:i + 6] for i in range(0, len(t), 6)]
ninja, distcc, ours = (statistics.median(r[k] for r in rounds) for k in range(3))
over_ninja = statistics.median(r[2] / r[0] for r in rounds)
over_distcc = statistics.median(r[2] / r[1] for r in rounds)
met = sum(r[2] <= r[1] and r[2] <= 1.10 * r[0] for r in rounds)
print(f"medians of {len(rounds)} rounds: ninja -j2 {ninja:.2f} s, distcc {distcc:.2f} s, kestrel {ours:.2f} s")
spare = [statistics.median(r[k] for r in rounds) for k in range(3, 6)]
print(f"medians less half the compiles: ninja -j2 {spare[0]:.2f} s, distcc {spare[1]:.2f} s, kestrel {spare[2]:.2f} s")
print(f"kestrel/ninja {over_ninja:.3f}   kestrel/distcc {over_distcc:.3f} (medians of the rounds' ratios); "
      f"{met} of {len(rounds)} rounds within distcc's time and 1.10 of ninja's")
PY
  selfbuild_breakdown "$work/self-kestrel/build_log.xml" "$work/self-ninja/.ninja_log" "$work/self-distcc/.ninja_log"
  rm -rf "$work/self-ninja" "$work/self-distcc" "$work/self-kestrel"
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
