#!/usr/bin/env python3
"""Checks `qvx recover` against known file contents.

Generated volumes (tools/mkimages.sh manifests): every live file is written
at its path byte for byte; every deleted file the report calls complete or
unverified matches what was written before the deletion.

Corpus (--corpus): the published MD5s of dftt #6 (FAT) and #7 (NTFS), the
compressed file of velociraptor/test.ntfs.dd, and every file `tsk_recover -e`
writes must be written by qvx with identical contents.

usage: check_recover.py QVX IMAGES_DIR
       check_recover.py QVX --corpus
Exit 77 when the images or the corpus are absent.
"""
import gzip
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
CORPUS = os.environ.get("QVX_CORPUS",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "corpus"))
TRUSTED = ("complete", "unverified")


def digest(path, algo="sha256"):
    h = hashlib.new(algo)
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def recover(qvx, image, first, end, kind, dest, extra=()):
    cmd = [qvx, "recover", image, dest, "--range", f"{first}:{end}", "--kind", kind, "--quiet", "--json", *extra]
    run = subprocess.run(cmd, capture_output=True)
    if run.returncode not in (0, 1):
        raise SystemExit(f"{' '.join(cmd)} failed ({run.returncode}): {run.stderr.decode(errors='replace')}")
    lines = [json.loads(l) for l in run.stdout.decode().splitlines() if l.strip()]
    with open(os.path.join(dest, "recovery-report.json"), encoding="utf-8") as f:
        report = json.load(f)
    if len(report["files"]) != len(lines):
        raise SystemExit(f"{image}: report lists {len(report['files'])} files, --json printed {len(lines)}")
    return run.returncode, report


def fat_deleted_names(path):
    """A deleted FAT short entry loses its first character."""
    head, _, base = path.rpartition("/")
    return {path.lower()} | {(head + "/" if head else "") + c + base[1:].lower() for c in "_?"}


def check_manifest(qvx, manifest, work):
    failures = []
    image = manifest[: -len(".manifest")]
    volumes, files = {}, []
    with open(manifest, encoding="utf-8") as f:
        for line in f:
            parts = line.rstrip("\n").split(" ", 5)
            if parts[0] == "volume":
                volumes[int(parts[1])] = (parts[2], int(parts[3]), int(parts[4]))
            elif parts[0] in ("file", "ads"):
                # An alternate data stream is written as "file:stream".
                files.append((int(parts[1]), parts[2], int(parts[3]), parts[4], parts[5].lstrip("/")))
    checked = 0
    for n, (kind, first, end) in volumes.items():
        if kind not in ("NTFS", "FAT16", "FAT32"):
            continue
        with open(image, "rb") as f:
            f.seek(first * 512 + 54)
            if f.read(5) == b"FAT12":
                continue  # a FAT12 volume in a FAT16 slot: not a volume kind qvx reads
        dest = os.path.join(work, f"{os.path.basename(image)}-{n}")
        _, report = recover(qvx, image, first, end, kind, dest)
        by_path = {e["path"].lower(): e for e in report["files"]}
        if shutil.which("tsk_recover"):
            failures += compare_tsk(image, dest, report, work, listed_only=True, offset=first)
        for vol, state, size, sha, path in files:
            if vol != n:
                continue
            label = f"{os.path.basename(image)} vol {n} {state} {path}"
            if state == "live":
                target = os.path.join(dest, path)
                if not os.path.isfile(target):
                    failures.append(f"{label}: not written")
                elif digest(target) != sha:
                    failures.append(f"{label}: contents differ")
                else:
                    checked += 1
                continue
            names = fat_deleted_names(path) if kind != "NTFS" else {path.lower()}
            entry = next((by_path[p] for p in names if p in by_path), None)
            if entry is None or entry["status"] not in TRUSTED:
                continue
            target = os.path.join(dest, entry["written"])
            if digest(target) != sha:
                failures.append(f"{label}: reported {entry['status']} but contents differ")
            else:
                checked += 1
    return failures, checked


def unpack(stored, work):
    out = os.path.join(work, os.path.basename(stored)[: -len(".gz")])
    with gzip.open(stored, "rb") as src, open(out, "wb") as dst:
        shutil.copyfileobj(src, dst)
    return out


def md5_of(dest, report, wanted_name):
    """MD5 of the written file whose listed name is wanted_name (case-insensitive)."""
    for e in report["files"]:
        if e["path"].rsplit("/", 1)[-1].lower() == wanted_name.lower() and e["written"]:
            return digest(os.path.join(dest, e["written"]), "md5")
    return None


def check_corpus(qvx, work):
    failures = []
    dftt = os.path.join(CORPUS, "dftt")
    # dftt #7: every published MD5 (the ADS aside: only unnamed data is recovered).
    img = unpack(os.path.join(dftt, "7-ntfs-undel.dd.gz"), work)
    dest = os.path.join(work, "dftt7")
    _, report = recover(qvx, img, 0, os.path.getsize(img) // 512, "NTFS", dest)
    ntfs = {"res1.dat": "9036637712b491904cd0bfbdbe648453", "sing1.dat": "59b20779f69ff9f0ac5fcd2c38835a79",
            "mult1.dat": "ffd27bd782bdce67750b6b9ee069d2ef", "frag1.dat": "7a3bc5b763bef201202108f4ba128149",
            "frag2.dat": "0e80ab84ef0087e60dfc67b88a1cf13e", "mult2.dat": "59cf0e9cd107bc1e75afb7374f6e05bb",
            "frag3.dat": "21121699487f3fbbdb9a4b3391b6d3e0", "sing2.dat": "c229626f6a71b167ad7e50c4f2fccdb1"}
    for name, md5 in ntfs.items():
        got = md5_of(dest, report, name)
        if got != md5:
            failures.append(f"dftt7 {name}: {got or 'not written'} != {md5}")
    if shutil.which("tsk_recover"):
        failures += compare_tsk(img, dest, report, work)

    # dftt #8: JPEGs hidden in alternate data streams.
    img = unpack(os.path.join(dftt, "8-jpeg-search.dd.gz"), work)
    dest = os.path.join(work, "dftt8")
    _, report = recover(qvx, img, 0, os.path.getsize(img) // 512, "NTFS", dest)
    failures += check_streams(img, dest, report, "dftt8")

    # dftt #6: the contiguous files match their MD5s; the fragmented ones
    # give exactly the published "contiguous recovery" MD5s, since their
    # clusters are interleaved with other deleted files' free clusters.
    img = unpack(os.path.join(dftt, "6-fat-undel.dd.gz"), work)
    dest = os.path.join(work, "dftt6")
    _, report = recover(qvx, img, 0, os.path.getsize(img) // 512, "FAT16", dest)
    fat = {"_ING.DAT": "59b20779f69ff9f0ac5fcd2c38835a79", "_ULT1.DAT": "ffd27bd782bdce67750b6b9ee069d2ef",
           "MULT2.DAT": "59cf0e9cd107bc1e75afb7374f6e05bb", "_RAG1.DAT": "c4f3b9a0f17d464f4fc61b94ecf6cc21",
           "_RAG2.DAT": "965370acfa85aa7e26ab04bbd45cdcae", "FRAG3.DAT": "a7a14ac62f79fdea4056ed5e8bcf97ef"}
    for name, md5 in fat.items():
        got = md5_of(dest, report, name)
        if got != md5:
            failures.append(f"dftt6 {name}: {got or 'not written'} != {md5}")
    if shutil.which("tsk_recover"):
        failures += compare_tsk(img, dest, report, work, listed_only=True)

    # velociraptor: the LZNT1-compressed file whose data spans three records.
    stored = os.path.join(CORPUS, "velociraptor", "test.ntfs.dd.gz")
    if os.path.exists(stored):
        img = unpack(stored, work)
        dest = os.path.join(work, "velo")
        _, report = recover(qvx, img, 0, os.path.getsize(img) // 512, "NTFS", dest)
        ones = [e for e in report["files"] if e["path"] == "ones.bin"]
        if not ones or ones[0]["outcome"] != "complete" or ones[0]["bytesWritten"] != 2949120:
            failures.append(f"velociraptor ones.bin (compressed, three records) not recovered whole: {ones}")
        failures += check_streams(img, dest, report, "velociraptor")
        if shutil.which("tsk_recover"):
            failures += compare_tsk(img, dest, report, work)
    return failures


def check_streams(img, dest, report, label):
    """Every alternate data stream fls lists (system files aside) is written
    as "file:stream" with the bytes icat gives for it."""
    failures, compared = [], 0
    out = subprocess.run(["fls", "-r", "-p", img], capture_output=True, check=True).stdout.decode("utf-8", "replace")
    written = {e["path"]: e for e in report["files"]}
    for line in out.splitlines():
        m = re.match(r"^\S/\S\s+(\*\s+)?(\d+-\d+-\d+):\t(.*)$", line)
        if not m or m.group(1) or ":" not in m.group(3).rsplit("/", 1)[-1] or m.group(3).startswith("$"):
            continue
        address, path = m.group(2), m.group(3)
        want = subprocess.run(["icat", img, address], capture_output=True, check=True).stdout
        entry = written.get(path)
        if entry is None or not entry["written"]:
            failures.append(f"{label}: stream {path} not written")
            continue
        with open(os.path.join(dest, entry["written"]), "rb") as f:
            if f.read() != want:
                failures.append(f"{label}: stream {path} differs from icat ({len(want)} bytes)")
            else:
                compared += 1
    if compared == 0:
        failures.append(f"{label}: no stream compared")
    return failures


def compare_tsk(img, dest, report, work, listed_only=False, offset=0):
    """Every file tsk_recover -e writes, qvx writes with the same contents.

    Paths are compared without case: FAT short names are shown in capitals
    in the tree but written with the case their entry asks for. With
    listed_only, a file whose folder the tree does not show is only noted
    (the listing, not the recovery, misses it)."""
    failures = []
    tsk = os.path.join(work, f"tsk-{os.path.basename(img)}-{offset}")
    subprocess.run(["tsk_recover", "-e", "-o", str(offset), img, tsk], capture_output=True, check=True)
    ours = {e["written"].lower(): e for e in report["files"] if e["written"]}
    listed = {e["path"].lower().rsplit("/", 1)[0] for e in report["files"]}
    compared = 0
    for root, _, names in os.walk(tsk):
        for name in names:
            rel = os.path.relpath(os.path.join(root, name), tsk)
            if ":" in name or rel.startswith("$OrphanFiles"):
                continue  # streams and orphans: named differently
            entry = ours.get(rel.lower())
            if entry is None:
                folder = rel.lower().rsplit("/", 1)[0] if "/" in rel else ""
                message = f"{os.path.basename(img)}: tsk_recover wrote {rel}, qvx did not"
                if listed_only and folder and folder not in listed:
                    print("NOTE", message, "(its folder is not in the tree)")
                else:
                    failures.append(message)
            elif digest(os.path.join(tsk, rel)) != digest(os.path.join(dest, entry["written"])):
                failures.append(f"{os.path.basename(img)}: {rel} differs from tsk_recover's")
            else:
                compared += 1
    if compared == 0:
        failures.append(f"{os.path.basename(img)}: nothing compared with tsk_recover")
    return failures


def check_advance(qvx, images, work):
    """Advance Search results recover too: with the boot sector and its
    backup zeroed, every live file comes back byte for byte."""
    failures, checked = [], 0
    for name, zeroed in (("vol-fat32.img", lambda end: (0, 6)), ("vol-ntfs.img", lambda end: (0, end - 1))):
        manifest = os.path.join(images, name + ".manifest")
        if not os.path.isfile(manifest):
            continue
        volumes, files = {}, []
        with open(manifest, encoding="utf-8") as f:
            for line in f:
                parts = line.rstrip("\n").split(" ", 5)
                if parts[0] == "volume":
                    volumes[int(parts[1])] = (parts[2], int(parts[3]), int(parts[4]))
                elif parts[0] == "file" and parts[2] == "live":
                    files.append((int(parts[1]), parts[4], parts[5].lstrip("/")))
        (n, (kind, first, end)), = volumes.items()
        copy = os.path.join(work, "zeroed-" + name)
        shutil.copyfile(os.path.join(images, name), copy)
        with open(copy, "r+b") as f:
            for sector in zeroed(end - first):
                f.seek((first + sector) * 512)
                f.write(bytes(512))
        dest = os.path.join(work, "advance-" + name)
        recover(qvx, copy, first, end, kind, dest, ("--mode", "advance"))
        for vol, sha, path in files:
            target = os.path.join(dest, path)
            if not os.path.isfile(target):
                failures.append(f"{name} zeroed, advance: {path} not written")
            elif digest(target) != sha:
                failures.append(f"{name} zeroed, advance: {path} contents differ")
            else:
                checked += 1
    return failures, checked


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    qvx = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="qvx-recover-") as work:
        if sys.argv[2] == "--corpus":
            if not os.path.isdir(os.path.join(CORPUS, "dftt")):
                print("corpus not found; skipped")
                return SKIP
            failures = check_corpus(qvx, work)
            checked = "corpus"
        else:
            manifests = sorted(f for f in os.listdir(sys.argv[2]) if f.endswith(".manifest")) \
                if os.path.isdir(sys.argv[2]) else []
            if not manifests:
                print("no generated images; skipped")
                return SKIP
            failures, checked = [], 0
            for m in manifests:
                f, c = check_manifest(qvx, os.path.join(sys.argv[2], m), work)
                failures += f
                checked += c
            f, c = check_advance(qvx, sys.argv[2], work)
            failures += f
            checked += c
    for f in failures:
        print("FAIL", f)
    print(f"{'FAILED' if failures else 'OK'}: {checked} files checked")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
