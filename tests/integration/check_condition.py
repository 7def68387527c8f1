#!/usr/bin/env python3
"""The condition of deleted files' data, where items were found, and the
type of what was saved.

  check_condition.py QVX            a FAT16 volume (mkfs.fat, mtools) and an
                                    NTFS volume (mkntfs, ntfs-3g) filled to
                                    the brim; one file deleted and left alone
                                    must be "intact" and come back byte for
                                    byte; another, deleted and then taken by
                                    a live file growing into its clusters,
                                    must be (partly) overwritten and name that
                                    file; --skip-overwritten leaves it out.
  check_condition.py QVX --corpus   dftt 6 and 7: every deleted file whose
                                    published MD5 comes back is "intact";
                                    dftt 8: the JPEGs with other extensions
                                    are type mismatches, the others are not.
Exit 77 when the tools or the corpus are missing.
"""
import gzip
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
CORPUS = os.environ.get("QVX_CORPUS", os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "corpus")))


def md5(data):
    return hashlib.md5(data).hexdigest()


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip().startswith("{")]


def analyze(qvx, img, kind, sectors):
    run = subprocess.run([qvx, "analyze", img, "--range", f"0:{sectors}", "--kind", kind, "--json", "--quiet"],
                         capture_output=True, text=True)
    if run.returncode != 0:
        raise RuntimeError(f"analyze exited {run.returncode}: {run.stderr}")
    return json_lines(run.stdout)


def recover(qvx, img, kind, sectors, out, *extra):
    run = subprocess.run([qvx, "recover", img, out, "--range", f"0:{sectors}", "--kind", kind, "--json",
                          "--quiet", *extra], capture_output=True, text=True)
    if run.returncode not in (0, 1):  # 1: some file incomplete, which overwritten ones are
        raise RuntimeError(f"recover exited {run.returncode}: {run.stderr}")
    return {e["path"]: e for e in json_lines(run.stdout)}


def check_volume(label, qvx, img, kind, sectors, kept, taken, taker, failures):
    """kept/taken: (size, md5) of the file left alone and of the one reused;
    taker: the name of the live file that grew into the latter's clusters."""
    rows = analyze(qvx, img, kind, sectors)
    deleted = [r for r in rows if r["deleted"] and r["type"] == "file"]
    by_size = {r["size"]: r for r in deleted}
    for r in rows:
        if "found" not in r or "parent_by" not in r:
            if r["path"] != "QVX_Miscellaneous":
                failures.append(f"{label}: {r['path']}: no provenance")
        if not r["deleted"] and "condition" in r:
            failures.append(f"{label}: live {r['path']} has a condition")
    a, b = by_size.get(kept[0]), by_size.get(taken[0])
    if a is None or b is None:
        failures.append(f"{label}: deleted files not listed: {[(r['path'], r['size']) for r in deleted]}")
        return
    if a.get("condition") != "intact":
        failures.append(f"{label}: {a['path']} is {a.get('condition')}, not intact")
    if b.get("condition") not in ("overwritten", "partly overwritten"):
        failures.append(f"{label}: {b['path']} is {b.get('condition')}, not overwritten")
    elif not b.get("reused_clusters") or b["reused_clusters"] > b["total_clusters"]:
        failures.append(f"{label}: {b['path']}: reused {b.get('reused_clusters')} of {b.get('total_clusters')}")
    if not any(p.endswith(taker) for p in b.get("reused_by", [])):
        failures.append(f"{label}: {b['path']} reused_by {b.get('reused_by')} does not name {taker}")
    with tempfile.TemporaryDirectory(prefix="qvx-cond-out-") as out:
        report = recover(qvx, img, kind, sectors, out, "--deleted-only")
        ea, eb = report.get(a["path"]), report.get(b["path"])
        if ea is None or ea.get("md5") != kept[1] or ea.get("condition") != "intact":
            failures.append(f"{label}: {a['path']} not recovered byte for byte as intact: {ea}")
        if eb is None or eb.get("condition") != b.get("condition") or "found" not in eb:
            failures.append(f"{label}: report of {b['path']} lacks its condition: {eb}")
        with open(os.path.join(out, "recovery-report.json")) as f:
            files = {e["path"]: e for e in json.load(f)["files"]}
        if files.get(a["path"], {}).get("condition") != "intact" or "content_type" not in files.get(a["path"], {}):
            failures.append(f"{label}: recovery-report.json lacks condition or content type of {a['path']}")
    with tempfile.TemporaryDirectory(prefix="qvx-cond-skip-") as out:
        report = recover(qvx, img, kind, sectors, out, "--deleted-only", "--skip-overwritten")
        if a["path"] not in report:
            failures.append(f"{label}: --skip-overwritten left out the intact {a['path']}")
        if b.get("condition") == "overwritten" and b["path"] in report:
            failures.append(f"{label}: --skip-overwritten wrote the overwritten {b['path']}")
    print(f"{label}: {a['path']} {a.get('condition')}; {b['path']} {b.get('condition')} "
          f"({b.get('reused_clusters')} of {b.get('total_clusters')}) by {b.get('reused_by')}")


def fat16(qvx, work, failures):
    if not all(shutil.which(t) for t in ("mkfs.fat", "mcopy", "mdel", "mdir", "mmd")):
        print("FAT16: mkfs.fat or mtools missing; skipped")
        return False
    img = os.path.join(work, "fat16.img")
    size = 16 << 20
    with open(img, "wb") as f:
        f.truncate(size)
    subprocess.run(["mkfs.fat", "-F", "16", "-s", "4", "-n", "COND", img], check=True, capture_output=True)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    rnd = random.Random(21)
    kept = rnd.randbytes(20 * 1024 + 123)
    taken = rnd.randbytes(30 * 1024 + 7)

    def put(name, data):
        path = os.path.join(work, "src.bin")
        with open(path, "wb") as f:
            f.write(data)
        subprocess.run(["mcopy", "-i", img, path, "::" + name], check=True, env=env, capture_output=True)

    def free_bytes():
        out = subprocess.run(["mdir", "-i", img, "::"], check=True, env=env, capture_output=True, text=True).stdout
        return int(re.search(r"([\d ]+) bytes free", out).group(1).replace(" ", ""))

    subprocess.run(["mmd", "-i", img, "::OLD"], check=True, env=env, capture_output=True)
    put("KEPT.BIN", kept)
    put("OLD/TAKEN.BIN", taken)
    put("FILLER.BIN", b"F" * free_bytes())
    if free_bytes() != 0:
        failures.append("FAT16: the volume is not full")
    # The second file's clusters are the only free ones when the live file
    # is written; its entry is in another folder, so the entry survives.
    subprocess.run(["mdel", "-i", img, "::OLD/TAKEN.BIN"], check=True, env=env, capture_output=True)
    put("LATER.BIN", b"L" * len(taken))
    subprocess.run(["mdel", "-i", img, "::KEPT.BIN"], check=True, env=env, capture_output=True)
    check_volume("FAT16", qvx, img, "FAT16", size // 512, (len(kept), md5(kept)), (len(taken), md5(taken)),
                 "LATER.BIN", failures)
    return True


def ntfs(qvx, work, failures):
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("mkntfs", "ntfs-3g", "fusermount")):
        print("NTFS: needs root, mkntfs and ntfs-3g; skipped")
        return False
    img = os.path.join(work, "ntfs.img")
    mnt = os.path.join(work, "m")
    os.mkdir(mnt)
    size = 24 << 20
    with open(img, "wb") as f:
        f.truncate(size)
    subprocess.run(["mkntfs", "-F", "-q", "-f", "-c", "4096", img], check=True, capture_output=True)
    rnd = random.Random(22)
    kept = rnd.randbytes(200 * 1024 + 11)
    taken = rnd.randbytes(300 * 1024 + 5)

    def mount():
        return subprocess.run(["ntfs-3g", img, mnt], capture_output=True).returncode == 0

    def fill(path, append):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | (os.O_APPEND if append else os.O_TRUNC))
        try:
            # Large writes first, then single clusters for the last ones.
            for chunk in (1 << 20, 4096):
                try:
                    while os.write(fd, b"G" * chunk) > 0:
                        pass
                except OSError:
                    pass
        finally:
            os.close(fd)

    if not mount():
        print("NTFS: ntfs-3g cannot mount here; skipped")
        return False
    try:
        # The file that will grow exists from the start (resident, in its
        # own record), so no new record takes the deleted file's.
        with open(os.path.join(mnt, "later.bin"), "wb") as f:
            f.write(b"L" * 100)
        for name, data in (("kept.bin", kept), ("taken.bin", taken)):
            with open(os.path.join(mnt, name), "wb") as f:
                f.write(data)
        fill(os.path.join(mnt, "filler.bin"), False)
        os.sync()
    finally:
        subprocess.run(["fusermount", "-u", mnt], check=False)
    if not mount():
        failures.append("NTFS: remount failed")
        return True
    try:
        os.unlink(os.path.join(mnt, "taken.bin"))
        os.sync()
        fill(os.path.join(mnt, "later.bin"), True)
        os.sync()
    finally:
        subprocess.run(["fusermount", "-u", mnt], check=False)
    if not mount():
        failures.append("NTFS: remount failed")
        return True
    try:
        os.unlink(os.path.join(mnt, "kept.bin"))
    finally:
        subprocess.run(["fusermount", "-u", mnt], check=False)
    check_volume("NTFS", qvx, img, "NTFS", size // 512, (len(kept), md5(kept)), (len(taken), md5(taken)),
                 "later.bin", failures)
    return True


def published_md5s(docs):
    """{md5} of the files the image's answer key lists, without the
    'incorrect' ones a naive recovery gives."""
    text = re.sub(r"<[^>]*>", " ", open(os.path.join(docs, "index.html"), errors="replace").read())
    good = text.split("Incorrect MD5")[0]
    return set(re.findall(r"\b[0-9a-f]{32}\b", good))


def unpack(stored, work):
    img = os.path.join(work, os.path.basename(stored)[:-3])
    with gzip.open(stored, "rb") as fin, open(img, "wb") as fout:
        shutil.copyfileobj(fin, fout)
    return img


def corpus(qvx):
    base = os.path.join(CORPUS, "dftt")
    if not os.path.isdir(base):
        return SKIP
    failures = []
    with tempfile.TemporaryDirectory(prefix="qvx-cond-corpus-") as work:
        for name, kind in (("6-fat-undel", "FAT16"), ("7-ntfs-undel", "NTFS")):
            img = unpack(os.path.join(base, name + ".dd.gz"), work)
            sectors = os.path.getsize(img) // 512
            published = published_md5s(os.path.join(base, name + ".docs"))
            out = os.path.join(work, "out-" + name)
            report = recover(qvx, img, kind, sectors, out, "--deleted-only")
            matched = 0
            for path, e in report.items():
                if e.get("md5") in published:
                    matched += 1
                    if e.get("condition") != "intact":
                        failures.append(f"{name}: {path} reproduces its MD5 but is {e.get('condition')}")
            if matched < 3:
                failures.append(f"{name}: only {matched} deleted files reproduce their published MD5")
            print(f"{name}: {matched} deleted files reproduce their published MD5, all checked intact")
        img = unpack(os.path.join(base, "8-jpeg-search.dd.gz"), work)
        report = recover(qvx, img, "NTFS", os.path.getsize(img) // 512, os.path.join(work, "out-8"))
        expect = {"alloc/file2.dat": True, "del2/file7.hmm": True, "alloc/file1.jpg": False,
                  "del1/file6.jpg": False, "misc/file12.doc": False, "archive/file8.zip": False}
        for path, mismatch in expect.items():
            e = report.get(path)
            if e is None or e.get("type_mismatch") is not mismatch:
                failures.append(f"8-jpeg-search: {path}: type_mismatch {None if e is None else e.get('type_mismatch')}"
                                f" ({None if e is None else e.get('content_type')}), expected {mismatch}")
        print("8-jpeg-search: " + ", ".join(f"{p} {report.get(p, {}).get('content_type')}" for p in expect))
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


def main():
    if len(sys.argv) == 3 and sys.argv[2] == "--corpus":
        return corpus(sys.argv[1])
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    failures = []
    with tempfile.TemporaryDirectory(prefix="qvx-cond-") as work:
        ran = fat16(sys.argv[1], work, failures)
        ran = ntfs(sys.argv[1], work, failures) or ran
    for f in failures:
        print("FAIL", f)
    if not ran:
        return SKIP
    print("FAILED" if failures else "OK")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
