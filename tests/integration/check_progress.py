#!/usr/bin/env python3
"""The progress of qvx on stderr, and --quiet.

    check_progress.py QVX IMAGES_DIR

- stderr not a terminal: no progress unless --progress is given; with it,
  plain lines "qvx: P%  DONE of TOTAL ..." whose done never exceeds the
  total, ending with the last state;
- stderr a terminal (through script(1)): the line is redrawn in place and
  its counts never exceed their totals;
- recover --quiet prints nothing on stderr (no errors here), on a terminal
  or not.
Exit 0 pass, 1 fail, 77 skipped.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

UNITS = {"B": 1, "KiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30, "TiB": 1 << 40}
AMOUNT = re.compile(r"(\d+)%  (?:([\d.]+) (B|KiB|MiB|GiB|TiB) of ([\d.]+) (B|KiB|MiB|GiB|TiB)|(\d+) of (\d+) \w+)")
COUNT = re.compile(r"(\d+)(?: / | of )(\d+)")


def bounded(text, label, problems):
    """Every percentage, amount and count in text stays within its total."""
    for m in AMOUNT.finditer(text):
        if int(m.group(1)) > 100:
            problems.append(f"{label}: percentage above 100: {m.group(0)}")
        if m.group(2):
            done = float(m.group(2)) * UNITS[m.group(3)]
            total = float(m.group(4)) * UNITS[m.group(5)]
            if done > total * 1.001:
                problems.append(f"{label}: done above total: {m.group(0)}")
    for m in COUNT.finditer(text):
        if int(m.group(1)) > int(m.group(2)):
            problems.append(f"{label}: count above its total: {m.group(0)}")


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    qvx, images = argv[1], argv[2]
    image = os.path.join(images, "vol-ntfs.img")
    demo = os.path.join(images, "demo.img")
    if not (os.path.exists(image) and os.path.exists(demo)):
        print(f"SKIP: {image} or {demo} missing")
        return 77
    problems = []
    with tempfile.TemporaryDirectory() as tmp:
        def recover(*extra, dest):
            return subprocess.run([qvx, "recover", image, os.path.join(tmp, dest), *extra],
                                  capture_output=True, text=True, timeout=120)

        plain = recover(dest="plain")
        if plain.returncode != 0 or "%" in plain.stderr or "\x1b[" in plain.stderr:
            problems.append(f"without --progress and a terminal: exit {plain.returncode}, stderr {plain.stderr!r}")

        shown = recover("--progress", dest="shown")
        lines = [l for l in shown.stderr.splitlines() if AMOUNT.search(l)]
        if shown.returncode != 0 or not lines or "\r" in shown.stderr:
            problems.append(f"--progress without a terminal: exit {shown.returncode}, stderr {shown.stderr!r}")
        elif not re.search(r"100%  [\d.]+ \w+ of [\d.]+ \w+", lines[-1]):
            problems.append(f"--progress: the last line is not the end state: {lines[-1]!r}")
        bounded(shown.stderr, "--progress", problems)
        # The same on the analysis of a partitioned disk with its search passes.
        scan = subprocess.run([qvx, "--progress", "analyze", demo, "-p", "1", "--mode", "advance"],
                              capture_output=True, text=True, timeout=120)
        bounded(scan.stderr, "analyze --mode advance --progress", problems)

        quiet = recover("--quiet", dest="quiet")
        if quiet.returncode != 0 or quiet.stderr:
            problems.append(f"--quiet: exit {quiet.returncode}, stderr {quiet.stderr!r}")

        if shutil.which("script"):
            def on_tty(*args):
                cmd = " ".join(shlex.quote(a) for a in args)
                run = subprocess.run(["script", "-qec", cmd, "/dev/null"], capture_output=True, timeout=120)
                run.stdout = run.stdout.decode(errors="replace")  # keeps "\r" as it is
                return run
            tty = on_tty(qvx, "recover", image, os.path.join(tmp, "tty"))
            if tty.returncode != 0 or "\r\x1b[K" not in tty.stdout:
                problems.append(f"on a terminal: exit {tty.returncode}, no line redrawn: {tty.stdout[:300]!r}")
            bounded(tty.stdout, "on a terminal", problems)
            quiet_tty = on_tty(qvx, "recover", image, os.path.join(tmp, "tty-quiet"), "-q")
            if quiet_tty.returncode != 0 or quiet_tty.stdout.strip():
                problems.append(f"--quiet on a terminal: exit {quiet_tty.returncode}, {quiet_tty.stdout[:300]!r}")
    for p in problems:
        print("FAIL", p)
    if not problems:
        print("ok   progress shown as asked, bounded by its totals; --quiet is quiet")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
