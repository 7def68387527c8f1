#!/usr/bin/env python3
"""Advance Search on NTFS through `qvx analyze --mode advance`.

Generated volumes: the boot sector and its backup are zeroed in a copy, and
Advance Search over the whole copy must identify the file system and rebuild
its tree: every live folder that `fls -r -p` lists on the intact volume at
its path, every live file at its path with its size.

Corpus: on dftt/7-ntfs-undel, Advance Search over the whole image finds the
same live folders as Standard Search.

usage: check_advance_ntfs.py QVX IMAGES_DIR      generated volumes, zeroed boot sectors
       check_advance_ntfs.py QVX --corpus        the corpus comparison
"""
import gzip
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_ntfs_fls import CORPUS, SKIP, fls_entries, is_stream, live_failures  # noqa: E402


def qvx_items(qvx, image, sectors, mode):
    cmd = [qvx, "analyze", image, "--range", f"0:{sectors}", "--kind", "NTFS", "--mode", mode, "--json", "--quiet"]
    if mode == "advance":
        cmd += ["--fs", "1"]
    run = subprocess.run(cmd, capture_output=True)
    if run.returncode not in (0, 3):
        raise SystemExit(f"qvx failed ({run.returncode}): {run.stderr.decode(errors='replace')}")
    return [json.loads(line) for line in run.stdout.decode("utf-8").splitlines() if line.strip()]


def zeroed_copy(src, dst):
    shutil.copyfile(src, dst)
    sectors = os.path.getsize(dst) // 512
    with open(dst, "r+b") as f:
        for lba in (0, sectors - 1):
            f.seek(lba * 512)
            f.write(bytes(512))
    return sectors


def check_zeroed(qvx, path, label):
    fls = fls_entries(path, 0)
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, "zeroed.img")
        sectors = zeroed_copy(path, copy)
        items = qvx_items(qvx, copy, sectors, "advance")
    tree = {i["path"]: i for i in items}
    paths = {e["path"] for e in fls}
    # System files are left out: the raw scan finds the mirror's copies too.
    live = [e for e in fls
            if not (e["deleted"] or e["path"].startswith("$OrphanFiles") or is_stream(e, paths)
                    or e["path"].rsplit("/", 1)[-1].startswith("$"))]
    failures = live_failures(live, tree)
    compared = len(live)
    print(f"{label} (boot sectors zeroed): {compared} live entries compared: {'ok' if not failures else 'FAILED'}")
    for f in failures:
        print("  " + f)
    return not failures


def generated(qvx, images):
    if shutil.which("fls") is None:
        return SKIP
    volumes = [n for n in sorted(os.listdir(images)) if n.endswith(".img") and "ntfs" in n and n.startswith("vol-")]
    if not volumes:
        print("no generated NTFS volumes")
        return SKIP
    ok = True
    for name in volumes:
        ok &= check_zeroed(qvx, os.path.join(images, name), name)
    return 0 if ok else 1


def live_folders(items):
    return {i["path"] for i in items if i["type"] == "folder" and not i["deleted"]
            and not i["path"].startswith("QVX_Miscellaneous")}


def corpus(qvx):
    src = os.path.join(CORPUS, "dftt/7-ntfs-undel.dd.gz")
    if not os.path.exists(src):
        return SKIP
    with tempfile.TemporaryDirectory() as tmp:
        dst = os.path.join(tmp, "7-ntfs-undel.dd")
        with gzip.open(src, "rb") as fin, open(dst, "wb") as fout:
            shutil.copyfileobj(fin, fout, 1 << 20)
        sectors = os.path.getsize(dst) // 512
        standard = live_folders(qvx_items(qvx, dst, sectors, "standard"))
        advance = live_folders(qvx_items(qvx, dst, sectors, "advance"))
    ok = standard == advance and len(standard) > 0
    print(f"7-ntfs-undel: {len(standard)} live folders by Standard Search, {len(advance)} by Advance Search: "
          f"{'ok' if ok else 'FAILED'}")
    for p in sorted(standard - advance):
        print(f"  missing in Advance Search: {p}")
    for p in sorted(advance - standard):
        print(f"  only in Advance Search: {p}")
    return 0 if ok else 1


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    qvx = sys.argv[1]
    return corpus(qvx) if sys.argv[2] == "--corpus" else generated(qvx, sys.argv[2])


if __name__ == "__main__":
    sys.exit(main())
