#!/usr/bin/env python3
"""Where the updater's start-up goes: reads Wine traces (+timestamp,+loaddll,+process)
of single starts and prints, per phase, the median milliseconds since the
program's image was mapped. A phase ends at the first trace line that marks it."""
import re
import statistics
import sys

MARKS = [
    ("imports loaded", "KestrelHidCoreLib.dll"),
    ("entry point", "set_entry_point"),
    ("window system up", "winex11.drv"),
    ("start hook: temporary folder", 'L"TMP"'),
    ("dialog: device source chosen", 'L"ORVANE_SIMMOUSE" 00000000'),
    ("payloads written, library loaded", "FWUpdater.dll"),
    ("first PNG decoded", "windowscodecs.dll"),
    ("window shown", "ImeSetActiveContext"),
]


def phases(path, program):
    start = tid = None
    seen = {}
    for line in open(path, errors="replace"):
        parts = line.split(":")
        if len(parts) < 3:
            continue
        if start is None:
            if re.search(r'Loaded L"Z:.*\\' + re.escape(program) + r'"', line):
                start, tid = float(parts[0]), parts[1]
            continue
        if parts[1] != tid:
            continue
        for name, key in MARKS:
            if name not in seen and key in line:
                seen[name] = (float(parts[0]) - start) * 1000
    return seen


def main():
    program, files = sys.argv[1], sys.argv[2:]
    runs = [phases(f, program) for f in files]
    prev = 0.0
    print("start-up phases of %s, median of %d traced starts (tracing slows every phase):" % (program, len(runs)))
    for name, _ in MARKS:
        values = [r[name] for r in runs if name in r]
        if not values:
            continue
        m = statistics.median(values)
        print("  %-36s at %5.0f ms  (+%4.0f)" % (name, m, m - prev))
        prev = m


if __name__ == "__main__":
    main()
