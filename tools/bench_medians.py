#!/usr/bin/env python3
"""Times two commands against each other on one machine.

    bench_medians.py COMMAND_A... -- COMMAND_B...

Runs each three times, in turn (A, B, A, B, A, B) so both see the same load,
output (and diagnostics) discarded, and prints "seconds peak_kib seconds peak_kib": the median
wall time and median peak memory (ru_maxrss of that run alone) of A, then B.
"""
import os
import statistics
import subprocess
import sys
import time


def main():
    args = sys.argv[1:]
    if "--" not in args:
        sys.exit(__doc__)
    cut = args.index("--")
    cmds = [args[:cut], args[cut + 1:]]
    runs = [[], []]
    for _ in range(3):
        for i, cmd in enumerate(cmds):
            t0 = time.monotonic()
            p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            _, status, usage = os.wait4(p.pid, 0)
            elapsed = time.monotonic() - t0
            if status != 0:
                sys.exit(f"{cmd[0]} failed")
            runs[i].append((elapsed, usage.ru_maxrss))
    out = []
    for r in runs:
        out += [f"{statistics.median(x[0] for x in r):.3f}", str(int(statistics.median(x[1] for x in r)))]
    print(" ".join(out))


if __name__ == "__main__":
    main()
