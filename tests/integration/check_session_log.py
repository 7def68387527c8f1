#!/usr/bin/env python3
"""Session logs through the qvx binary on the generated volumes.

  check_session_log.py QVX IMAGES_DIR

For vol-ntfs, vol-ntfs-names, vol-fat16, vol-fat32 and every partition of
demo.img: `qvx analyze --save-log` then `qvx load-log` must print exactly
the same tree (JSON Lines and text). Also: a log saved for a disk whose
model text differs by one character or by case is refused with the load
message and exit code 2; truncated or extended logs are refused; a changed
marker still loads; the chosen path is written exactly as given; a write
that fails part way (file-size limit) exits 2, names the cause and leaves
no file. Exit 77 skips (images missing).
"""
import json
import os
import resource
import signal
import subprocess
import sys
import tempfile

SKIP = 77
LOAD_FAILED = ("Either the selected log file is corrupted or you have selected "
               "the wrong disk for recovery.")
VOLUMES = [("vol-ntfs.img", "NTFS"), ("vol-ntfs-names.img", "NTFS"),
           ("vol-fat16.img", "FAT16"), ("vol-fat32.img", "FAT32")]
failures = []


def run(cmd, preexec=None):
    return subprocess.run(cmd, capture_output=True, timeout=600, preexec_fn=preexec)


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def analyze_args(image, kind, partition):
    if partition is not None:
        return [image, "--partition", str(partition)]
    sectors = os.path.getsize(image) // 512
    return [image, "--range", f"0:{sectors}", "--kind", kind]


# A session log keeps one date per NTFS file (its $FILE_NAME creation,
# shown as "date" and "time"), not the times of the volume's records.
LOG_LACKS = ("created", "modified", "accessed", "changed")


def comparable(out, fmt):
    """The output as load-log can give it back: NTFS JSON rows (those with
    "changed") without the times a session log does not keep; FAT rows are
    read from the disk again and stay whole."""
    if fmt != ["--json"]:
        return out
    rows = []
    for line in out.decode("utf-8").splitlines():
        row = json.loads(line)
        if "changed" in row:
            for key in LOG_LACKS:
                row.pop(key, None)
        rows.append(row)
    return rows


def round_trip(qvx, work, image, kind, partition=None, advance=False):
    label = f"{os.path.basename(image)}" + (f" -p {partition}" if partition else "") + (" advance" if advance else "")
    mode = ["--mode", "advance"] if advance else []
    # In text mode an Advance Search also lists the file systems it found,
    # which a loaded session does not: compare its JSON trees only.
    for fmt in (["--json"],) if advance else (["--json"], []):
        log = os.path.join(work, "trip.lgx")
        if os.path.exists(log):
            os.remove(log)
        a = run([qvx, "analyze", *analyze_args(image, kind, partition), *mode, *fmt, "-q", "--save-log", log])
        check(a.returncode in (0, 3), f"{label}: analyze exit {a.returncode}: {a.stderr.decode(errors='replace')}")
        check(os.path.isfile(log), f"{label}: no log written")
        if not os.path.isfile(log):
            continue
        b = run([qvx, "load-log", log, image, *fmt, "-q"])
        check(b.returncode == 0, f"{label}: load-log exit {b.returncode}: {b.stderr.decode(errors='replace')}")
        check(comparable(a.stdout, fmt) == comparable(b.stdout, fmt),
              f"{label} {fmt}: load-log prints a different tree")
        check(len(a.stdout.splitlines()) > 2, f"{label} {fmt}: the tree is empty")


def refused(result):
    return result.returncode == 2 and LOAD_FAILED in result.stderr.decode(errors="replace") and not result.stdout


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    qvx, images = sys.argv[1], os.path.abspath(sys.argv[2])
    needed = [os.path.join(images, name) for name, _ in VOLUMES] + [os.path.join(images, "demo.img")]
    if not all(os.path.isfile(p) for p in needed):
        print("generated images missing; skipped")
        return SKIP

    with tempfile.TemporaryDirectory() as work:
        for name, kind in VOLUMES:
            round_trip(qvx, work, os.path.join(images, name), kind)
            round_trip(qvx, work, os.path.join(images, name), kind, advance=True)
        demo = os.path.join(images, "demo.img")
        listing = run([qvx, "partitions", demo]).stdout.decode()
        count = sum(1 for line in listing.splitlines() if line.startswith("Partition - "))
        check(count >= 2, "demo.img lists too few partitions")
        for p in range(1, count + 1):
            round_trip(qvx, work, demo, None, p)

        # The model text of an image is "Disk Image " + its file name; links
        # with other names stand for other disks.
        source = os.path.join(work, "disk-a.img")
        os.symlink(os.path.join(images, "vol-fat16.img"), source)
        log = os.path.join(work, "Chosen.Name")
        a = run([qvx, "analyze", *analyze_args(source, "FAT16", None), "--json", "-q", "--save-log", log])
        check(a.returncode == 0, "analyze of the linked image failed")
        check(os.path.isfile(log) and not os.path.exists(log + ".LGX")
              and not os.path.exists(os.path.join(work, "CHOSEN.NAME")),
              "--save-log does not write exactly the chosen path")
        for other in ("disk-b.img", "Disk-a.img", "disk-a.IMG"):
            link = os.path.join(work, other)
            os.symlink(os.path.join(images, "vol-fat16.img"), link)
            check(refused(run([qvx, "load-log", log, link, "--json", "-q"])),
                  f"a log of disk-a.img is not refused for {other}")
        good = run([qvx, "load-log", log, source, "--json", "-q"])
        check(good.returncode == 0 and good.stdout == a.stdout, "the log does not load on its own disk")

        data = open(log, "rb").read()
        damaged = os.path.join(work, "damaged.lgx")
        for variant, what in ((data[:-1], "one byte short"), (data[:len(data) // 2], "half"),
                              (data + b"\0", "one byte extra"), (b"", "empty")):
            with open(damaged, "wb") as f:
                f.write(variant)
            check(refused(run([qvx, "load-log", damaged, source, "--json", "-q"])), f"a log cut to {what} loads")
        with open(damaged, "wb") as f:
            f.write(b"X" * 13 + data[13:])
        other_marker = run([qvx, "load-log", damaged, source, "--json", "-q"])
        check(other_marker.returncode == 0 and other_marker.stdout == a.stdout,
              "a log with another marker does not load")
        check(refused(run([qvx, "load-log", os.path.join(work, "missing.lgx"), source, "-q"])),
              "a missing log is not refused with the message")

        def small_file_limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (64, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))

        full = os.path.join(work, "full.lgx")
        res = run([qvx, "analyze", *analyze_args(source, "FAT16", None), "--json", "-q", "--save-log", full],
                  preexec=small_file_limit)
        err = res.stderr.decode(errors="replace")
        check(res.returncode == 2, f"a failed save exits {res.returncode}, not 2")
        check("Unable to write" in err and full in err, f"a failed save does not name the cause: {err!r}")
        check(not os.path.exists(full), "a failed save leaves a partial file")

    if failures:
        print(f"{len(failures)} failure(s)")
        return 1
    print("session logs ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
