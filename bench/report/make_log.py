#!/usr/bin/env python3
"""Writes a build log of JOBS jobs with LINES output lines in all, spread over
four connections (two machines, two paths each) with eight jobs at a time on
each, as build/kestrel writes them: usage: make_log.py OUT JOBS LINES."""
import sys

out_path, jobs, lines = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
NS = "https://kestrel.build/Kestrelvane/BuildLog/1.0/"
connections = [("alpha", 0), ("alpha", 1), ("beta", 0), ("beta", 1)]
per_job = lines // jobs
SLOTS = 8


def stamp(ms):
    seconds, millis = divmod(ms, 1000)
    minutes, seconds = divmod(seconds, 60)
    hours, minutes = divmod(minutes, 60)
    return "2024-01-13T%02d:%02d:%02d.%03d+01:00" % (9 + hours, minutes, seconds, millis)


# Each connection's slots run jobs back to back; job i runs 0.5 to 3 s.
records = []
free_at = {(c, s): 0 for c in range(len(connections)) for s in range(SLOTS)}
for i in range(jobs):
    slot = min(free_at, key=free_at.get)
    start = free_at[slot] + 5
    running = 500 + (i * 7919) % 2500
    free_at[slot] = start + running
    records.append((start, running, slot[0], i))
records.sort()
end = max(s + r for s, r, _, _ in records)

with open(out_path, "w", encoding="utf-8") as out:
    w = out.write
    w('<?xml version="1.0" encoding="UTF-8"?>\n')
    w('<kv:BuildLog xmlns:kv="%s" version="0.1.2024" StartTime="%s" BuildHost="bench" RunningTime="%d.%03d">\n'
      % (NS, stamp(0), end // 1000, end % 1000))
    for name, path in connections:
        w('  <kv:machine name="%s" PathID="%d">\n    <kv:hop url="kv://%s-%d:5017/" to="192.0.2.1:5017"/>\n'
          '  </kv:machine>\n' % (name, path, name, path))
    for start, running, conn, i in records:
        name, path = connections[conn]
        status = "failed" if i % 997 == 13 else "succeeded"
        w('  <kv:job name="obj/unit%05d.o" machine="%s" PathID="%d" status="%s" StartTime="%s" '
          'RunningTime="%d.%03d" concurrency="medium">\n' % (i, name, path, status, stamp(start),
                                                          running // 1000, running % 1000))
        w('    <kv:command directory="src" executable="cc">\n')
        w('      <kv:parameter xml:space="preserve" value="-c"/>\n')
        w('      <kv:parameter xml:space="preserve" value="unit%05d.c"/>\n' % i)
        offset = 0
        for line in range(per_job):
            text = "unit%05d.c:%d: note: compiling line %d of the unit" % (i, line + 1, line)
            w('      <kv:out offset="%d" EOL="NL" xml:space="preserve">%s</kv:out>\n' % (offset, text))
            offset += len(text) + 1
        if status == "failed":
            w('      <kv:err offset="0" EOL="NL" xml:space="preserve">unit%05d.c:1: error: it broke</kv:err>\n' % i)
        w('      <kv:return value="%d" elapsed="%d.%03d"/>\n' % (1 if status == "failed" else 0,
                                                              running // 1000, running % 1000))
        w('    </kv:command>\n    <kv:output>obj/unit%05d.o</kv:output>\n  </kv:job>\n' % i)
    w('</kv:BuildLog>\n')
