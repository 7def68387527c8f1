#!/usr/bin/env python3
"""Compares `qvx analyze --format bodyfile` with `fls -r -m /` (TZ=UTC, and
for the generated FAT volumes also TZ=Europe/Berlin).

Both are read as sets of body-file lines (the order differs) and compared
in the name, the inode (RECORD-TYPE-ID on NTFS, The Sleuth Kit's entry
number on FAT), the mode, the size and the four times, for live and
deleted items. MD5 is 0 on both sides. UID and GID are left out: for a
short (NTFS 1.2) $STANDARD_INFORMATION fls reads the owner id past the end
of the value, where the next attribute's type (48) lies.

What fls prints that is no item of the volume is left out of its side:
  - the virtual files $MBR, $FAT1, $FAT2 and the folder $OrphanFiles;
  - "$OrphanFiles/OrphanFile-N": MFT records without any $FILE_NAME (the
    unused reserved records 16-23 and the like), which have no name to
    list.
Files fls shows under $OrphanFiles (a deleted file whose folder is gone)
are listed by qvx under QVX_Miscellaneous; their names are compared with
that folder in place of $OrphanFiles, and as QVX_Miscellaneous is no
entry of the volume, qvx writes no line for the folder itself.

Where qvx lists less than fls, and only there (qvx never lists more):
  - names found only in the slack of an NTFS index (inode 0, no metadata:
    "r/----------"), which qvx does not recover;
  - a FAT entry fls lists at two paths, because a deleted folder's
    directory cluster was reused by a later folder and fls lists that
    cluster under both; qvx lists it under one of them (the line must be
    there with the same inode, mode, size and times).
  - a FAT entry fls can only show under $OrphanFiles: fls reads one
    cluster of a deleted folder, so the entries in its further clusters
    lose their folder; qvx reads them in that folder and lists them there.
    Such a line is paired with the qvx line of the same entry number, size,
    times and file name at the folder's path.
The name type (the letter before "/" in the mode) of a deleted NTFS entry
is not compared: fls takes it from the parent's index entry when the index
still holds the name ("r/r"), and writes "-/r" when the name is known only
from the MFT record; qvx, which reads the records, always writes "-".
Nothing else may differ, either way.

usage: check_bodyfile.py QVX IMAGES_DIR [--corpus]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
CORPUS = os.environ.get("QVX_CORPUS", os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "corpus")))
# Generated volumes (tools/mkimages.sh): NTFS with and without non-Latin
# and DOS names, FAT16, FAT32 with long names and deleted items.
GENERATED = [("vol-ntfs.img", "NTFS"), ("vol-ntfs-names.img", "NTFS"),
             ("vol-fat16.img", "FAT16"), ("vol-fat32.img", "FAT32")]
# (stored image, volume offset in sectors, file system)
CORPUS_REQUIRED = [("dftt/7-ntfs-undel.dd.gz", 0, "NTFS")]
CORPUS_MORE = [
    ("dftt/8-jpeg-search.dd.gz", 0, "NTFS"),
    ("velociraptor/test.ntfs.dd.gz", 0, "NTFS"),
    ("dfvfs/windows_volume.raw.gz", 0, "NTFS"),
    ("grr/ntfs_img.dd.gz", 63, "NTFS"),
    ("dfir_ntfs/ntfs_index.raw.gz", 128, "NTFS"),
    ("velociraptor/test-vhdx-gpt.raw.gz", 128, "NTFS"),
    ("dftt/6-fat-undel.dd.gz", 0, "FAT16"),
    # Mass deletion inside a deleted folder of several clusters.
    ("dfir_ntfs/fat_deleted_dir.raw.gz", 0, "FAT32"),
    # Cyrillic names with 8.3 aliases and many deletions (a sparse tar).
    ("dfir_ntfs/vss_2003.tgz", 63, "NTFS"),
]
ORPHAN_PLACEHOLDER = re.compile(r"^/\$OrphanFiles/OrphanFile-\d+( \(deleted\))?$")


def key(line, ntfs):
    """(name, inode, mode, size, atime, mtime, ctime, crtime) of a line."""
    f = line.split("|")
    if len(f) != 11:
        raise SystemExit(f"not a body-file line: {line!r}")
    mode = f[3]
    if ntfs and f[1].endswith(" (deleted)") and f[2] != "0":
        mode = "-" + mode[1:]
    return (f[1], f[2], mode, f[6], f[7], f[8], f[9], f[10])


def fls_lines(image, offset, kind, env):
    cmd = ["fls", "-r", "-m", "/"]
    if offset:
        cmd += ["-o", str(offset)]
    out = subprocess.run(cmd + [image], capture_output=True, check=True, env=env).stdout
    lines = set()
    for raw in out.decode("utf-8", "replace").splitlines():
        k = key(raw, kind == "NTFS")
        name, mode = k[0], k[2]
        if mode.startswith(("v/v", "V/V")) or ORPHAN_PLACEHOLDER.match(name):
            continue
        if name.startswith("/$OrphanFiles/"):
            k = ("/QVX_Miscellaneous/" + name[len("/$OrphanFiles/"):],) + k[1:]
        lines.add(k)
    return lines


def qvx_lines(qvx, image, offset, sectors, kind, env):
    cmd = [qvx, "analyze", image, "--range", f"{offset}:{sectors}", "--kind", kind, "--format", "bodyfile", "--quiet"]
    run = subprocess.run(cmd, capture_output=True, env=env)
    if run.returncode not in (0, 3):
        raise SystemExit(f"qvx failed ({run.returncode}): {run.stderr.decode(errors='replace')}")
    text = run.stdout.decode("utf-8")
    # Comment lines ("# {...}": the condition and provenance of deleted
    # items) are not part of the body-file format; mactime skips them.
    lines = [key(l, kind == "NTFS") for l in text.splitlines() if l and not l.startswith("#")]
    dupes = len(lines) - len(set(lines))
    if dupes:
        print(f"  {dupes} lines written twice")
    return set(lines), dupes


def check(qvx, image, offset, kind, label, zone="UTC"):
    env = dict(os.environ, TZ=zone)
    sectors = os.path.getsize(image) // 512
    theirs = fls_lines(image, offset, kind, env)
    ours, dupes = qvx_lines(qvx, image, offset, sectors, kind, env)
    missing = sorted(theirs - ours)
    extra = sorted(ours - theirs)
    elsewhere = {k[1:] for k in ours}
    allowed = [k for k in missing
               if (k[1] == "0" and k[2].endswith("/----------")) or (kind != "NTFS" and k[1:] in elsewhere)]
    for k in allowed:
        print(f"{label}: fls only (allowed): {'|'.join(k)}")
    missing = [k for k in missing if k not in allowed]
    if kind != "NTFS":
        by_entry = {}
        for k in extra:
            by_entry.setdefault((k[0].rsplit("/", 1)[-1],) + k[1:2] + k[3:], []).append(k)
        paired = []
        for k in missing:
            if not k[0].startswith("/QVX_Miscellaneous/"):
                continue
            found = by_entry.get((k[0].rsplit("/", 1)[-1],) + k[1:2] + k[3:])
            if found:
                other = found.pop()
                paired.append(k)
                extra.remove(other)
                print(f"{label}: fls orphan, qvx in its folder (allowed): {other[0]}|{other[1]}")
        missing = [k for k in missing if k not in paired]
    for k in missing:
        print(f"{label}: fls only: {'|'.join(k)}")
    for k in extra:
        print(f"{label}: qvx only: {'|'.join(k)}")
    deleted = sum(1 for k in theirs if "(deleted" in k[0])
    ok = not missing and not extra and not dupes
    print(f"{label}: {len(theirs)} lines ({deleted} deleted) {'equal' if ok else 'DIFFER'}")
    return ok


# The corpus images are unpacked as the fls comparison of NTFS trees does.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_ntfs_fls import extract  # noqa: E402


def main():
    args = sys.argv[1:]
    if len(args) not in (2, 3) or (len(args) == 3 and args[2] != "--corpus"):
        print(__doc__)
        return 2
    qvx, images = args[0], args[1]
    if shutil.which("fls") is None:
        return SKIP
    ok = True
    checked = 0
    for name, kind in GENERATED:
        path = os.path.join(images, name)
        if os.path.exists(path):
            ok &= check(qvx, path, 0, kind, name)
            checked += 1
            # FAT keeps local wall-clock times: both read them in the zone
            # of TZ, daylight saving included.
            if kind != "NTFS" and os.path.exists("/usr/share/zoneinfo/Europe/Berlin"):
                ok &= check(qvx, path, 0, kind, name + " (TZ=Europe/Berlin)", "Europe/Berlin")
    cases = CORPUS_REQUIRED + (CORPUS_MORE if len(args) == 3 else [])
    with tempfile.TemporaryDirectory() as tmp:
        for stored, offset, kind in cases:
            src = os.path.join(CORPUS, stored)
            if not os.path.exists(src):
                print(f"{stored}: not present, skipped")
                continue
            dst = extract(src, tmp)
            ok &= check(qvx, dst, offset, kind, stored)
            checked += 1
            os.unlink(dst)
    if checked == 0:
        return SKIP
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
