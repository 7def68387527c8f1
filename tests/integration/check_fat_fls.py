#!/usr/bin/env python3
"""Compares `qvx analyze --json` on FAT volumes with The Sleuth Kit's
`fls -r -p` listing of the same volume.

  check_fat_fls.py QVX IMAGES_DIR            generated vol-fat16/vol-fat32 images
                                             and the FAT partitions of demo.img
  check_fat_fls.py QVX IMAGES_DIR --zeroed   the same with boot sector and backup zeroed
  check_fat_fls.py QVX --corpus              the FAT volumes of the shared corpus

Every live entry fls lists must be listed at the same path, as a folder or
a file as fls says, with fls's size and modification date and minute; the
deleted entries fls lists must be listed too (on the generated images and
where a corpus volume calls for it). Short names are compared without
regard to case: fls applies the lower-case flags of the entry, qvx shows the
8.3 name as stored. Exit 77 skips (tool or image missing).
"""
import gzip
import json
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
MONTHS = ["JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"]
CORPUS = os.environ.get("QVX_CORPUS", os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "corpus")))

# A folder is found by its directory cluster, so a cluster that two entries
# name is listed once. 6-fat-undel: _P1's only cluster now holds the
# directory of _ir1/dir2, listed as _ir1/dir2.
CORPUS_CASES = [
    # (path, kind, check deleted entries, deleted paths that may be missing)
    ("dftt/6-fat-undel.dd", "FAT16", True,
     {"System Volume Information/_restore{A25F48CA-6632-4143-8EF8-3586A84AB5AF}/_P1",
      "System Volume Information/_restore{A25F48CA-6632-4143-8EF8-3586A84AB5AF}/_P1/frag3.dat"}),
    ("dftt/9-fat-label.dd", "FAT16", False, set()),
    ("dfir_ntfs/fat_deleted_dir.raw", "FAT32", False, set()),
    # test_dir/4 is a deleted entry for the cluster that test_dir/n40/4 uses
    # now; n40/4/T1 names n40's own cluster: the loop, which ends there.
    ("dfir_ntfs/fat32_loop.raw", "FAT32", True,
     {"test_dir/4", "test_dir/n40/4/T1", "test_dir/n40/4/T1/4"}),
]


def run_qvx(qvx, image, kind, partition=None):
    sectors = os.path.getsize(image) // 512
    if partition is None:
        cmd = [qvx, "analyze", image, "--range", f"0:{sectors}", "--kind", kind, "--json", "-q"]
    else:
        cmd = [qvx, "analyze", image, "--partition", str(partition), "--json", "-q"]
    res = subprocess.run(cmd, capture_output=True, timeout=600)
    if res.returncode not in (0, 3, 4):
        raise SystemExit(f"qvx failed ({res.returncode}): {res.stderr.decode(errors='replace')}")
    rows = [json.loads(line) for line in res.stdout.decode("utf-8").splitlines() if line.strip()]
    return {r["path"].lower(): r for r in rows}


def parse_fls_line(line):
    """(kind, deleted, path, rest) of one `fls -r -p [-l]` line, or None."""
    head, _, tail = line.partition(":\t")
    if not tail:
        return None
    kind = head.split()[0]
    deleted = "*" in head.split()[1:]
    fields = tail.rstrip("\n").split("\t")
    path = fields[0]
    if kind.startswith("v/") or kind.startswith("V/") or path.startswith("$OrphanFiles"):
        return None
    if path.endswith("(Volume Label Entry)"):
        return None
    return kind, deleted, path, fields[1:]


def fls_entries(image, long_format, offset=0):
    cmd = ["fls", "-r", "-p", "-o", str(offset)] + (["-l", "-z", "UTC"] if long_format else []) + [image]
    res = subprocess.run(cmd, capture_output=True, timeout=600)
    if res.returncode != 0:
        raise SystemExit(f"fls failed: {res.stderr.decode(errors='replace')}")
    out = []
    for line in res.stdout.decode("utf-8", errors="replace").splitlines():
        e = parse_fls_line(line)
        if e:
            out.append(e)
    return out


def qvx_date_time(fls_time):
    """'2026-12-07 21:03:52 (UTC)' as qvx shows it: ('07-DEC-2026', '21:03')."""
    date, clock = fls_time.split()[:2]
    y, m, d = date.split("-")
    month = MONTHS[int(m) - 1] if 1 <= int(m) <= 12 else "ERR"
    return f"{d}-{month}-{y}", clock[:5]


def compare(image, kind, listed, entries, check_deleted, may_miss, details):
    problems = []
    for fkind, deleted, path, rest in entries:
        if deleted and not check_deleted:
            continue
        if path in may_miss:
            continue
        row = listed.get(path.lower())
        if row is None:
            problems.append(f"missing {'deleted ' if deleted else ''}{fkind} {path}")
            continue
        want = "folder" if fkind.startswith("d") else "file"
        if row["type"] != want:
            problems.append(f"{path}: qvx says {row['type']}, fls {fkind}")
        if details and not deleted and rest:
            if want == "file" and str(row["size"]) != rest[4]:
                problems.append(f"{path}: size {row['size']} != {rest[4]}")
            date, minute = qvx_date_time(rest[0])
            if want == "file" and (row["date"], row["time"]) != (date, minute):
                problems.append(f"{path}: {row['date']} {row['time']} != {date} {minute}")
    print(f"{os.path.basename(image)} ({kind}): {len(entries)} fls entries, {len(listed)} qvx rows, "
          f"{len(problems)} problems")
    for p in problems[:40]:
        print("  " + p)
    return not problems


def generated(qvx, images, zeroed):
    ok = True
    work = tempfile.mkdtemp(prefix="qvx-fat-")
    try:
        for name, kind in (("vol-fat16.img", "FAT16"), ("vol-fat32.img", "FAT32")):
            image = os.path.join(images, name)
            if not os.path.exists(image):
                print(f"skip: {image} missing")
                return SKIP
            entries = fls_entries(image, long_format=True)
            if zeroed:
                intact = run_qvx(qvx, image, kind)
                copy = os.path.join(work, name)
                shutil.copyfile(image, copy)
                with open(copy, "r+b") as f:
                    for sector in (0, 6):
                        f.seek(sector * 512)
                        f.write(bytes(512))
                listed = run_qvx(qvx, copy, kind)
                folders = {p for p, r in intact.items() if r["type"] == "folder"}
                rebuilt = {p for p, r in listed.items() if r["type"] == "folder"}
                if folders != rebuilt or len(folders) < 5:
                    print(f"{name} zeroed: folders differ: {sorted(folders ^ rebuilt)}")
                    ok = False
                ok = compare(copy, kind, listed, entries, True, set(), True) and ok
            else:
                listed = run_qvx(qvx, image, kind)
                ok = compare(image, kind, listed, entries, True, set(), True) and ok
        # The FAT partitions of the demo disk, found through its partition table.
        demo = os.path.join(images, "demo.img")
        if os.path.exists(demo + ".manifest") and not zeroed:
            with open(demo + ".manifest") as f:
                volumes = [line.split() for line in f if line.startswith("volume ")]
            for _, number, kind, first, _end in volumes:
                if kind not in ("FAT16", "FAT32"):
                    continue
                entries = fls_entries(demo, long_format=True, offset=int(first))
                listed = run_qvx(qvx, demo, kind, partition=int(number))
                ok = compare(f"{demo} partition {number}", kind, listed, entries, True, set(), True) and ok
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


def corpus(qvx):
    if not os.path.isdir(CORPUS):
        print(f"skip: {CORPUS} missing")
        return SKIP
    ok = True
    work = tempfile.mkdtemp(prefix="qvx-fat-corpus-")
    try:
        for rel, kind, check_deleted, may_miss in CORPUS_CASES:
            archive = os.path.join(CORPUS, rel + ".gz")
            if not os.path.exists(archive):
                print(f"skip: {archive} missing")
                continue
            image = os.path.join(work, os.path.basename(rel))
            with gzip.open(archive, "rb") as src, open(image, "wb") as dst:
                while True:
                    block = src.read(1 << 20)
                    if not block:
                        break
                    if block.count(0) == len(block):
                        dst.seek(len(block), os.SEEK_CUR)
                    else:
                        dst.write(block)
                dst.truncate()
            entries = []
            for listing in (".fls.txt", ".fls-deleted.txt"):
                with open(os.path.join(CORPUS, rel + listing), encoding="utf-8", errors="replace") as f:
                    for line in f:
                        e = parse_fls_line(line)
                        if e and e not in entries:
                            entries.append(e)
            listed = run_qvx(qvx, image, kind)
            ok = compare(image, kind, listed, entries, check_deleted, may_miss, False) and ok
            os.remove(image)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


def main():
    args = sys.argv[1:]
    if len(args) < 2:
        print(__doc__)
        return 2
    if shutil.which("fls") is None and "--corpus" not in args:
        print("skip: fls not installed")
        return SKIP
    qvx = args[0]
    if args[1] == "--corpus":
        return corpus(qvx)
    return generated(qvx, args[1], "--zeroed" in args[2:])


if __name__ == "__main__":
    sys.exit(main())
