#!/usr/bin/env python3
"""Advance Search on FAT volumes: `qvx analyze --mode advance` against the
Standard Search of the same, intact volume.

  check_advance_fat.py QVX IMAGES_DIR     generated FAT32/FAT16 volumes
  check_advance_fat.py QVX --corpus       dftt/6-fat-undel of the shared corpus

Cases:
- vol-fat32 and vol-fat16 with the boot sector and its backup zeroed: the
  file system is identified from its directories alone and every live
  folder and file the Standard Search lists on the intact volume is listed
  at the same path;
- vol-fat32 intact followed by a copy without boot sectors: two file
  systems, the first through its boot sector, the second derived, each
  listed as "File System N - FAT32" and each giving the full tree;
- a range without any FAT structure: the advisory and exit code 3;
- the corpus volume: the live folders of the Standard Search.
Exit 77 skips (image or corpus missing).
"""
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import json

SKIP = 77
CORPUS = os.environ.get("QVX_CORPUS", os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "corpus")))
NO_FS = "No file system could be identified. Recovery is not possible in Advance Search mode."
FS_LINE = re.compile(r"^File System (\d+) - (FAT16|FAT32|NTFS)  start (\d+)  sectors per cluster (\d+)$")


def run(qvx, image, kind, mode, first=0, end=None, fs=None):
    if end is None:
        end = os.path.getsize(image) // 512
    cmd = [qvx, "analyze", image, "--range", f"{first}:{end}", "--kind", kind, "--mode", mode, "--json", "-q"]
    if fs is not None:
        cmd += ["--fs", str(fs)]
    res = subprocess.run(cmd, capture_output=True, timeout=600)
    rows = [json.loads(line) for line in res.stdout.decode("utf-8").splitlines() if line.strip()]
    systems = []
    for line in res.stderr.decode("utf-8", errors="replace").splitlines():
        m = FS_LINE.match(line)
        if m:
            systems.append((int(m.group(1)), m.group(2), int(m.group(3)), int(m.group(4))))
    return res.returncode, rows, systems, res.stderr.decode("utf-8", errors="replace")


def live(rows, kind=None):
    return {r["path"] for r in rows if not r["deleted"] and (kind is None or r["type"] == kind)}


def zeroed_copy(src, dst, sectors=(0, 6)):
    shutil.copyfile(src, dst)
    with open(dst, "r+b") as f:
        for s in sectors:
            f.seek(s * 512)
            f.write(bytes(512))


def expect_same_live(label, standard, advance, problems, files=True):
    want = live(standard, "folder")
    got = live(advance, "folder")
    if len(want) < 3 or want - got:
        problems.append(f"{label}: folders missing: {sorted(want - got)[:20]} (of {len(want)})")
    if files:
        missing = live(standard, "file") - live(advance, "file")
        if missing:
            problems.append(f"{label}: files missing: {sorted(missing)[:20]}")


def generated(qvx, images):
    problems = []
    work = tempfile.mkdtemp(prefix="qvx-advfat-")
    try:
        for name, kind in (("vol-fat32.img", "FAT32"), ("vol-fat16.img", "FAT16")):
            image = os.path.join(images, name)
            if not os.path.exists(image):
                print(f"skip: {image} missing")
                return SKIP
            rc, standard, _, _ = run(qvx, image, kind, "standard")
            if rc != 0:
                problems.append(f"{name}: standard search exit {rc}")
            copy = os.path.join(work, name)
            zeroed_copy(image, copy)
            rc, advance, systems, err = run(qvx, copy, kind, "advance")
            if rc != 0 or len(systems) != 1 or systems[0][:2] != (1, kind):
                problems.append(f"{name} zeroed: exit {rc}, file systems {systems}: {err.strip()[:300]}")
            expect_same_live(f"{name} zeroed", standard, advance, problems)
            print(f"{name} zeroed: {systems}, {len(advance)} rows")

        # Two FAT32 volumes in one range: the first keeps its boot sector.
        image = os.path.join(images, "vol-fat32.img")
        sectors = os.path.getsize(image) // 512
        _, standard, _, _ = run(qvx, image, "FAT32", "standard")
        _, _, alone, _ = run(qvx, image, "FAT32", "advance")
        pair = os.path.join(work, "pair.img")
        second = os.path.join(work, "second.img")
        zeroed_copy(image, second)
        with open(pair, "wb") as out:
            for part in (image, second):
                with open(part, "rb") as f:
                    shutil.copyfileobj(f, out)
        for number in (1, 2):
            rc, advance, systems, err = run(qvx, pair, "FAT32", "advance", fs=number)
            if rc != 0 or [s[:2] for s in systems] != [(1, "FAT32"), (2, "FAT32")]:
                problems.append(f"pair --fs {number}: exit {rc}, file systems {systems}: {err.strip()[:300]}")
                continue
            # File system 1 is the one with a boot sector (phase 1); file
            # system 2 lies one volume further and was derived (phase 2).
            if alone and (systems[0][2] != alone[0][2] or systems[1][2] != alone[0][2] + sectors
                          or systems[0][3] != systems[1][3]):
                problems.append(f"pair: file systems {systems}, the volume alone {alone}")
            expect_same_live(f"pair --fs {number}", standard, advance, problems)
        print(f"pair: {systems}")

        # Nothing to find.
        empty = os.path.join(work, "empty.img")
        with open(empty, "wb") as f:
            f.truncate(4096 * 512)
        rc, rows, systems, err = run(qvx, empty, "FAT32", "advance")
        if rc != 3 or NO_FS not in err or systems or rows:
            problems.append(f"empty range: exit {rc}, {systems}, {err.strip()[:200]}")
        rc, _, _, _ = run(qvx, image, "FAT32", "advance", fs=9)
        if rc != 2:
            problems.append(f"--fs 9 of one file system: exit {rc}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for p in problems:
        print("  " + p)
    return 0 if not problems else 1


def corpus(qvx):
    archive = os.path.join(CORPUS, "dftt", "6-fat-undel.dd.gz")
    if not os.path.exists(archive):
        print(f"skip: {archive} missing")
        return SKIP
    problems = []
    work = tempfile.mkdtemp(prefix="qvx-advfat-corpus-")
    try:
        image = os.path.join(work, "6-fat-undel.dd")
        with gzip.open(archive, "rb") as src, open(image, "wb") as dst:
            shutil.copyfileobj(src, dst)
        rc, standard, _, _ = run(qvx, image, "FAT16", "standard")
        rc2, advance, systems, err = run(qvx, image, "FAT16", "advance")
        if rc2 != 0 or not systems:
            problems.append(f"advance: exit {rc2}, {systems}: {err.strip()[:300]}")
        want, got = live(standard, "folder"), live(advance, "folder")
        if not want or want != got:
            problems.append(f"live folders differ: {sorted(want ^ got)}")
        # Deleted folders whose directory clusters survive are found by both.
        every = {r["path"] for r in standard if r["type"] == "folder"}
        found = {r["path"] for r in advance if r["type"] == "folder"}
        if every != found:
            problems.append(f"folders differ: {sorted(every ^ found)}")
        if live(standard, "file") != live(advance, "file"):
            problems.append(f"live files differ: {sorted(live(standard, 'file') ^ live(advance, 'file'))[:20]}")
        print(f"6-fat-undel: {systems}, {len(every)} folders (standard), {len(found)} (advance)")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for p in problems:
        print("  " + p)
    return 0 if not problems else 1


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    qvx = sys.argv[1]
    if sys.argv[2] == "--corpus":
        return corpus(qvx)
    return generated(qvx, sys.argv[2])


if __name__ == "__main__":
    sys.exit(main())
