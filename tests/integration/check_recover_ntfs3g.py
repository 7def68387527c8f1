#!/usr/bin/env python3
"""qvx recover on an NTFS volume made here with mkntfs and filled through an
ntfs-3g mount: LZNT1-compressed files (a folder with the compressed flag),
sparse files, a compressed file with a hole, names outside Latin-1, files
written interleaved (fragmented), a file whose names fill extension records
(61 hard links: a non-resident attribute list), and deleted compressed,
sparse and fragmented files. Every file must come back byte for byte, the
deleted ones included (nothing was written after they were deleted).

usage: check_recover_ntfs3g.py QVX
Needs root, mkntfs, ntfs-3g and setfattr; exit 77 otherwise.
"""
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


def sha(data):
    return hashlib.sha256(data).hexdigest()


def populate(m):
    """Writes the files; returns {path: sha256} of live and of deleted files."""
    random.seed(5)
    live, deleted = {}, {}

    def put(path, data, bucket):
        with open(os.path.join(m, path), "wb") as f:
            f.write(data)
        bucket[path] = sha(data)

    os.mkdir(os.path.join(m, "Comp"))
    os.mkdir(os.path.join(m, "Юникод"))
    subprocess.run(["setfattr", "-h", "-v", "0x00000800", "-n", "system.ntfs_attrib_be", os.path.join(m, "Comp")],
                   check=True)
    put("Comp/text.txt", b"The quick brown fox jumps over the lazy dog. " * 40000, live)
    mixed = bytearray()
    for i in range(300):
        mixed += random.randbytes(4096) if i % 3 == 0 else (b"ABCD%d" % i) * 800
    put("Comp/mixed.bin", bytes(mixed), live)
    put("Comp/gone.txt", b"deleted but compressed " * 20000, deleted)
    put("Юникод/Жук 🐞.txt", "жук\n".encode() * 500, live)
    put("Юникод/日本語.txt", b"x" * 12345, live)
    for name, holeAt, bucket in (("Comp/sparse_comp.bin", 5 << 20, live), ("sparse.bin", 8 << 20, live),
                                 ("gone_sparse.bin", 3 << 20, deleted)):
        with open(os.path.join(m, name), "wb") as f:
            f.write(b"head" * 1000)
            f.seek(holeAt)
            f.write(b"tail" * 1000)
        bucket[name] = sha(b"head" * 1000 + bytes(holeAt - 4000) + b"tail" * 1000)
    parts = {"fragA.bin": [], "fragB.bin": [], "gone_frag.bin": []}
    handles = {n: open(os.path.join(m, n), "wb") for n in parts}
    for i in range(64):
        for k, n in enumerate(parts):
            block = bytes([(i * 3 + k) & 0xFF]) * 8192
            handles[n].write(block)
            handles[n].flush()
            os.fsync(handles[n].fileno())
            parts[n].append(block)
    for n, h in handles.items():
        h.close()
        (deleted if n.startswith("gone") else live)[n] = sha(b"".join(parts[n]))
    for i in range(60):
        os.link(os.path.join(m, "fragA.bin"), os.path.join(m, "Comp", f"link{i:02d}_with_a_long_name_to_fill_records.bin"))
    for n in deleted:
        os.unlink(os.path.join(m, n))
    return live, deleted


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    qvx = sys.argv[1]
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("mkntfs", "ntfs-3g", "setfattr", "fusermount")):
        print("needs root, mkntfs, ntfs-3g and setfattr; skipped")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="qvx-ntfs3g-") as work:
        img = os.path.join(work, "v.img")
        mnt = os.path.join(work, "m")
        os.mkdir(mnt)
        with open(img, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(["mkntfs", "-F", "-q", "-f", "-c", "4096", img], check=True, capture_output=True)
        if subprocess.run(["ntfs-3g", "-o", "compression", img, mnt], capture_output=True).returncode != 0:
            print("ntfs-3g cannot mount here; skipped")
            return SKIP
        try:
            live, deleted = populate(mnt)
        finally:
            subprocess.run(["fusermount", "-u", mnt], check=False)
        out = os.path.join(work, "out")
        run = subprocess.run([qvx, "recover", img, out, "--range", f"0:{(64 << 20) // 512}", "--kind", "NTFS",
                              "--quiet", "--json"], capture_output=True)
        if run.returncode != 0:
            print(f"qvx recover exited {run.returncode}: {run.stderr.decode(errors='replace')}")
            return 1
        report = {e["path"]: e for e in (json.loads(l) for l in run.stdout.decode().splitlines() if l.strip())}
        failures = []
        for path, digest in {**live, **deleted}.items():
            target = os.path.join(out, path)
            if not os.path.isfile(target):
                failures.append(f"{path}: not written")
                continue
            with open(target, "rb") as f:
                if sha(f.read()) != digest:
                    failures.append(f"{path}: contents differ")
        names = [p for p in report if p.startswith("Comp/link")]
        if len(names) == 0:
            failures.append("no hard-link names listed")
        for f in failures:
            print("FAIL", f)
        print(f"{'FAILED' if failures else 'OK'}: {len(live)} live and {len(deleted)} deleted files checked")
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
