#!/usr/bin/env python3
"""Compares `qvx analyze --json` on NTFS volumes with The Sleuth Kit.

Every live file, folder and alternate data stream that `fls -r -p -l` lists
must appear at the same path (exact UTF-8) with the same kind and (files and
streams) the same size; $OrphanFiles and names found only in index slack
(inode 0) aside. Every deleted entry fls lists with an MFT record must appear
marked deleted, at its fls path or under QVX_Miscellaneous. Nothing extra:
every live item QVX lists outside QVX_Miscellaneous is one fls lists.

usage: check_ntfs_fls.py QVX IMAGES_DIR          generated volumes
       check_ntfs_fls.py QVX --corpus            the shared corpus volumes
"""
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
CORPUS = os.environ.get("QVX_CORPUS", os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "corpus")))
CORPUS_IMAGES = [
    # (stored file, volume offset in sectors, deleted entries that must be found)
    ("dftt/7-ntfs-undel.dd.gz", 0, True),
    ("dftt/8-jpeg-search.dd.gz", 0, False),
    ("velociraptor/test.ntfs.dd.gz", 0, False),
    ("dfvfs/windows_volume.raw.gz", 0, False),
    # Cyrillic names with 8.3 aliases, Windows Server 2003 (a sparse tar).
    ("dfir_ntfs/vss_2003.tgz", 63, True),
    # A truncated image: CJK name, streams on a file and on a folder.
    ("grr/ntfs_img.dd.gz", 63, False),
    # Long names in a non-resident $I30, 2 KiB clusters.
    ("dfir_ntfs/ntfs_index.raw.gz", 128, False),
    # Windows-made GPT, fragmented $MFT.
    ("velociraptor/test-vhdx-gpt.raw.gz", 128, False),
]
LINE = re.compile(r"^(\S)/(\S)\s+(\*\s+)?(\d+)(?:-\d+-\d+)?(\(realloc\))?:\t(.*)$")


def fls_entries(image, offset, extra=()):
    cmd = ["fls", "-r", "-p", "-l", *extra]
    if offset:
        cmd += ["-o", str(offset)]
    out = subprocess.run(cmd + [image], capture_output=True, check=True).stdout
    entries = []
    for raw in out.decode("utf-8", "replace").splitlines():
        m = LINE.match(raw)
        if not m:
            continue
        name_type, meta_type, star, inode, realloc, rest = m.groups()
        fields = rest.split("\t")
        path = fields[0]
        size = int(fields[5]) if len(fields) > 5 and fields[5].isdigit() else None
        entries.append({
            "kind": "folder" if "d" in (name_type, meta_type) and meta_type != "r" else "file",
            "deleted": bool(star),
            "inode": int(inode),
            "realloc": bool(realloc),
            "path": path,
            "size": size,
        })
    return entries


def is_stream(entry, names):
    """An alternate data stream or named index of a listed file ("a.txt:s")."""
    last = entry["path"].rsplit("/", 1)[-1]
    if ":" not in last:
        return False
    base = entry["path"].rsplit(":", 1)[0]
    return base in names or last.startswith("$") or base.endswith("/.")


def live_failures(entries, tree):
    """What a qvx tree (path -> JSON item) lacks of the given live fls
    entries: each at its path as a folder or file, files with fls's size."""
    failures = []
    for e in entries:
        got = tree.get(e["path"])
        if got is None:
            failures.append(f"live {e['kind']} missing: {e['path']}")
        elif got["type"] != e["kind"]:
            failures.append(f"{e['path']}: type {got['type']}, fls says {e['kind']}")
        elif e["kind"] == "file" and e["size"] is not None and got["size"] != e["size"]:
            failures.append(f"{e['path']}: size {got['size']}, fls says {e['size']}")
    if not entries:
        failures.append("nothing compared")
    return failures


def qvx_tree(qvx, image, offset, sectors):
    cmd = [qvx, "analyze", image, "--range", f"{offset}:{sectors}", "--kind", "NTFS", "--json", "--quiet"]
    run = subprocess.run(cmd, capture_output=True)
    if run.returncode not in (0, 3):
        raise SystemExit(f"qvx failed ({run.returncode}): {run.stderr.decode(errors='replace')}")
    items = [json.loads(line) for line in run.stdout.decode("utf-8").splitlines() if line.strip()]
    tree = {}
    for item in items:
        tree.setdefault(item["path"], []).append(item)
    return tree, items


def check(qvx, image, offset, sectors, need_deleted, label):
    fls = fls_entries(image, offset)
    tree, items = qvx_tree(qvx, image, offset, sectors)
    paths = {e["path"] for e in fls}
    failures = []
    live = deleted = 0
    for e in fls:
        if e["path"].startswith("$OrphanFiles"):
            continue
        if not e["deleted"]:
            live += 1
            # Two entries may share a path (a stream "a:s" beside a file named
            # "a:s"): the one with the same record answers.
            same = tree.get(e["path"], [])
            got = next((i for i in same if i["self"] == e["inode"]), same[0] if same else None)
            if got is None:
                failures.append(f"live {e['kind']} missing: {e['path']}")
            elif got["type"] != e["kind"] and not e["path"].rsplit("/", 1)[-1].startswith("$"):
                # System folders under $Extend carry record flags beyond the
                # folder bit and are listed as files.
                failures.append(f"{e['path']}: type {got['type']}, fls says {e['kind']}")
            elif got["deleted"]:
                failures.append(f"{e['path']}: marked deleted but live")
            elif e["kind"] == "file" and e["size"] is not None and got["size"] != e["size"]:
                failures.append(f"{e['path']}: size {got['size']}, fls says {e['size']}")
        elif e["inode"] != 0 and not e["realloc"]:
            deleted += 1
            name = e["path"].rsplit("/", 1)[-1]
            same = tree.get(e["path"], [])
            got = next((i for i in same if i["self"] == e["inode"]), same[0] if same else None)
            if got is None:
                got = next((i for i in items if i["path"].startswith("QVX_Miscellaneous/")
                            and i["name"] == name and i["self"] == e["inode"]), None)
            if got is None:
                failures.append(f"deleted {e['kind']} missing: {e['path']}")
            elif not got["deleted"]:
                failures.append(f"{e['path']}: deleted but not marked deleted")
    for item in items:
        if item["deleted"] or item["path"].startswith("QVX_Miscellaneous"):
            continue
        if item["path"] not in paths:
            failures.append(f"listed but not on the volume: {item['path']}")
    if need_deleted and deleted == 0:
        failures.append("no deleted entries were compared")
    if "QVX_Miscellaneous" not in tree:
        failures.append("QVX_Miscellaneous missing")
    status = "ok" if not failures else "FAILED"
    print(f"{label}: {live} live and {deleted} deleted entries compared: {status}")
    for f in failures:
        print("  " + f)
    return not failures


def sectors_of(path):
    return os.path.getsize(path) // 512


def generated(qvx, images):
    if shutil.which("fls") is None:
        return SKIP
    volumes = [n for n in sorted(os.listdir(images)) if n.endswith(".img") and "ntfs" in n and n.startswith("vol-")]
    if not volumes:
        print("no generated NTFS volumes")
        return SKIP
    ok = True
    for name in volumes:
        path = os.path.join(images, name)
        ok &= check(qvx, path, 0, sectors_of(path), True, name)
    return 0 if ok else 1


def extract(src, tmp):
    """The image of a stored .gz or (sparse) .tgz, uncompressed into tmp."""
    if src.endswith(".tgz") or src.endswith(".tar.gz"):
        before = set(os.listdir(tmp))
        subprocess.run(["tar", "xzf", src, "-C", tmp], check=True)
        (name,) = set(os.listdir(tmp)) - before
        return os.path.join(tmp, name)
    dst = os.path.join(tmp, os.path.basename(src)[:-3])
    with gzip.open(src, "rb") as fin, open(dst, "wb") as fout:
        while True:
            block = fin.read(1 << 20)
            if not block:
                break
            # Mostly zeros: keep the copy sparse.
            if block.count(0) == len(block):
                fout.seek(len(block), os.SEEK_CUR)
            else:
                fout.write(block)
        fout.truncate()
    return dst


def corpus(qvx):
    if shutil.which("fls") is None or not os.path.isdir(CORPUS):
        return SKIP
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        for stored, offset, need_deleted in CORPUS_IMAGES:
            src = os.path.join(CORPUS, stored)
            if not os.path.exists(src):
                print(f"{stored}: not present, skipped")
                continue
            dst = extract(src, tmp)
            ok &= check(qvx, dst, offset, sectors_of(dst), need_deleted, stored)
            os.unlink(dst)
    return 0 if ok else 1


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    qvx = sys.argv[1]
    return corpus(qvx) if sys.argv[2] == "--corpus" else generated(qvx, sys.argv[2])


if __name__ == "__main__":
    sys.exit(main())
