#!/usr/bin/env python3
"""FAT16 and FAT32 volumes with the hard cases, made here with mkfs.fat and
mtools, compared strictly with The Sleuth Kit (`fls -r -p -l`, both ways:
exact UTF-8 paths, sizes, deleted marks, nothing missing and nothing extra):

- directories grown in turns (one, then another, then the first again), so
  their cluster chains alternate and long names start in the previous
  cluster of the chain;
- Cyrillic, Greek, CJK and Latin Extended long names, two of them deleted;
- short names with the NT lower-case flags (mtools sets them for all-lower
  8.3 names).

Every live file is then recovered byte for byte under its name, and an
Advance Search of the volume with its boot sectors zeroed names every live
folder exactly.

usage: check_fat_hard.py QVX             generated volumes
       check_fat_hard.py QVX --corpus    the FAT volumes of the shared corpus, strictly
Needs mkfs.fat, mtools and fls; exit 77 otherwise.
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
MiB = 1 << 20
ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C.UTF-8")

WORDS = ["memo", "chapter", "car", "family", "server", "guide", "backup", "report", "draft", "photo", "budget"]
UNICODE = ["Документ о поездке.txt", "Ωmega φάκελος.txt", "一月 报告.txt", "Łódź žluťoučký kůň.txt",
           "Привет мир.doc", "αρχείο.log"]
DELETED_UNICODE = ["Удалённый файл.txt", "删除的文件.txt"]


def sha(data):
    return hashlib.sha256(data).hexdigest()


def mtools(*args):
    subprocess.run(list(args), check=True, capture_output=True, env=ENV)


def build(img, bits, size, work):
    """Returns ({path: sha256} of live files, set of deleted paths, set of live folders)."""
    with open(img, "wb") as f:
        f.truncate(size)
    subprocess.run(["mkfs.fat", "-F", str(bits), "-s", "1", "-n", f"HARD{bits}", "-i", "1234ABCD", img],
                   check=True, capture_output=True)
    random.seed(bits)
    live, deleted, folders = {}, set(), set()
    stage = os.path.join(work, f"stage{bits}")
    os.makedirs(stage, exist_ok=True)

    def put(path, data):
        local = os.path.join(stage, "f")
        with open(local, "wb") as f:
            f.write(data)
        mtools("mcopy", "-i", img, local, "::/" + path)
        live[path] = sha(data)

    dirs = ["Documents and Settings", "Backup Copies", "dir1", "Фото"]
    for d in dirs:
        mtools("mmd", "-i", img, "::/" + d)
        folders.add(d)
    # Grow the folders in turns so that their chains interleave.
    n = 0
    for turn in range(4):
        for d in dirs:
            for _ in range(6):
                n += 1
                name = " ".join(random.choice(WORDS) for _ in range(5)) + f" {n}.log"
                put(f"{d}/{name}", os.urandom(random.randint(0, 3000)))
            if turn == 1:
                sub = f"{d}/sub {turn}"
                mtools("mmd", "-i", img, "::/" + sub)
                folders.add(sub)
                put(f"{sub}/inner file with a long name {n}.txt", os.urandom(700))
    for name in UNICODE:
        put(f"Фото/{name}", name.encode() * 20)
    for name in ("mult2.dat", "readme.txt"):
        put(name, os.urandom(1234))
    for name in DELETED_UNICODE:
        put(f"dir1/{name}", b"gone" * 100)
    gone = {}
    for name in DELETED_UNICODE:
        mtools("mdel", "-i", img, f"::/dir1/{name}")
        gone[f"dir1/{name}"] = live.pop(f"dir1/{name}")
        deleted.add(f"dir1/{name}")
    build.gone = gone
    return live, deleted, folders


def fls_listing(img):
    out = subprocess.run(["fls", "-r", "-p", "-l", img], capture_output=True, check=True).stdout
    entries = []
    for line in out.decode("utf-8", "replace").splitlines():
        head, _, tail = line.partition(":\t")
        if not tail:
            continue
        kind = head.split()[0]
        if kind.startswith(("v/", "V/")):
            continue
        fields = tail.split("\t")
        path = fields[0]
        label = path.endswith(" (Volume Label Entry)")
        if label:
            # The label's 11 bytes, trailing blanks cut, as qvx names it.
            path = path[: -len(" (Volume Label Entry)")].rstrip()
        entries.append({"kind": "folder" if kind.startswith("d") else "file", "deleted": "*" in head.split()[1:],
                        "path": path, "size": None if label else (int(fields[5]) if len(fields) > 5 else None)})
    return entries


def analyze(qvx, img, kind, mode="standard"):
    sectors = os.path.getsize(img) // 512
    run = subprocess.run([qvx, "analyze", img, "--range", f"0:{sectors}", "--kind", kind, "--mode", mode, "--json",
                          "--quiet"], capture_output=True)
    items = [json.loads(l) for l in run.stdout.decode("utf-8").splitlines() if l.strip()]
    return run, items


def strict(label, entries, items, may_miss=()):
    failures = []
    listed = {}
    for i in items:
        listed.setdefault(i["path"], []).append(i)
    fls_paths = {e["path"] for e in entries}
    live = 0
    for e in entries:
        if e["path"].startswith("$OrphanFiles"):
            continue
        got = listed.get(e["path"])
        if not got and e["path"] in may_miss:
            continue
        if not got:
            failures.append(f"{'deleted ' if e['deleted'] else ''}{e['kind']} missing: {e['path']}")
            continue
        g = got[0]
        if g["type"] != e["kind"]:
            failures.append(f"{e['path']}: {g['type']}, fls says {e['kind']}")
        if g["deleted"] != e["deleted"]:
            failures.append(f"{e['path']}: deleted {g['deleted']}, fls says {e['deleted']}")
        if not e["deleted"]:
            live += 1
            if e["kind"] == "file" and e["size"] is not None and g["size"] != e["size"]:
                failures.append(f"{e['path']}: size {g['size']}, fls says {e['size']}")
    for i in items:
        if i["deleted"] or i["path"].startswith("QVX_Miscellaneous") or i["path"] in fls_paths:
            continue
        failures.append(f"listed but not on the volume: {i['path']}")
    print(f"{label}: {live} live entries compared strictly: {'FAILED' if failures else 'ok'}")
    for f in failures[:30]:
        print("  " + f)
    return not failures


def check_volume(qvx, work, bits, size):
    kind = f"FAT{bits}"
    img = os.path.join(work, f"hard{bits}.img")
    live, deleted, folders = build(img, bits, size, work)
    run, items = analyze(qvx, img, kind)
    ok = strict(f"{kind} fragmented + Unicode", fls_listing(img), items)
    paths = {i["path"]: i for i in items}
    for p in deleted:
        if p not in paths or not paths[p]["deleted"]:
            print(f"  deleted file not listed as deleted: {p}")
            ok = False
    out = os.path.join(work, f"out{bits}")
    sectors = os.path.getsize(img) // 512
    rec = subprocess.run([qvx, "recover", img, out, "--range", f"0:{sectors}", "--kind", kind, "--quiet"],
                         capture_output=True)
    bad = []
    # The deleted files too: nothing was written after them, so their
    # clusters still hold them.
    for path, digest in {**live, **build.gone}.items():
        target = os.path.join(out, path)
        if not os.path.isfile(target):
            bad.append(f"not recovered under its name: {path}")
        else:
            with open(target, "rb") as f:
                if sha(f.read()) != digest:
                    bad.append(f"{path}: contents differ")
    print(f"{kind}: {len(live)} live files recovered (exit {rec.returncode}): {'FAILED' if bad else 'ok'}")
    for b in bad[:20]:
        print("  " + b)
    # Advance Search without the boot sectors names every live folder.
    zeroed = os.path.join(work, f"zeroed{bits}.img")
    shutil.copyfile(img, zeroed)
    with open(zeroed, "r+b") as f:
        for s in (0, 6) if bits == 32 else (0,):
            f.seek(s * 512)
            f.write(bytes(512))
    _, adv = analyze(qvx, zeroed, kind, "advance")
    adv_folders = {i["path"] for i in adv if i["type"] == "folder"}
    missing = sorted(folders - adv_folders)
    print(f"{kind} Advance Search, boot sectors zeroed: {len(folders)} folders: "
          f"{'FAILED, missing ' + ', '.join(missing) if missing else 'ok'}")
    return ok and not bad and not missing


CORPUS = os.environ.get("QVX_CORPUS", os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "corpus")))
# (stored image, kind, entries fls lists that a folder-by-cluster search
# cannot: a folder whose only cluster another folder took over, and the
# folders of a ".." loop, which ends where it closes).
CORPUS_CASES = [
    ("dftt/6-fat-undel.dd.gz", "FAT16",
     {"System Volume Information/_restore{A25F48CA-6632-4143-8EF8-3586A84AB5AF}/_P1/frag3.dat"}),
    ("dftt/9-fat-label.dd.gz", "FAT16", set()),
    ("dfir_ntfs/fat_deleted_dir.raw.gz", "FAT32", set()),
    ("dfir_ntfs/fat_deleted_dir_2.raw.gz", "FAT16", set()),
    ("dfir_ntfs/fat32_loop.raw.gz", "FAT32", {"test_dir/n40/4/T1", "test_dir/n40/4/T1/4"}),
]


def corpus(qvx):
    import gzip
    if not os.path.isdir(CORPUS):
        return SKIP
    ok = True
    with tempfile.TemporaryDirectory(prefix="qvx-fat-corpus-") as work:
        for stored, kind, may_miss in CORPUS_CASES:
            src = os.path.join(CORPUS, stored)
            if not os.path.exists(src):
                continue
            img = os.path.join(work, os.path.basename(stored)[:-3])
            with gzip.open(src, "rb") as fin, open(img, "wb") as fout:
                shutil.copyfileobj(fin, fout)
            _, items = analyze(qvx, img, kind)
            ok &= strict(stored, fls_listing(img), items, may_miss)
    return 0 if ok else 1


def main():
    if len(sys.argv) == 3 and sys.argv[2] == "--corpus":
        return corpus(sys.argv[1]) if shutil.which("fls") else SKIP
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if not all(shutil.which(t) for t in ("mkfs.fat", "mcopy", "mmd", "mdel", "fls")):
        print("needs mkfs.fat, mtools and fls; skipped")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="qvx-fat-hard-") as work:
        results = [check_volume(sys.argv[1], work, 32, 48 * MiB), check_volume(sys.argv[1], work, 16, 24 * MiB)]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
