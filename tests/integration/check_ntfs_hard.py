#!/usr/bin/env python3
"""NTFS volumes with the hard cases, made here with mkntfs and ntfs-3g and
compared strictly with The Sleuth Kit (`fls -r -p -l`, both ways: nothing
missing, nothing extra, exact UTF-8 paths, sizes of files and streams):

1. names: Cyrillic, Greek, CJK, Latin Extended and non-BMP names, some
   given DOS names with setfattr (Win32 + DOS pairs), two deleted files; a
   file whose $FILE_NAME moved to an extension record (many streams), a file
   with long hard links filling extension records, a large folder. Every
   file, stream and deleted file is then recovered byte for byte under its
   UTF-8 name.
2. odd MFT runs: 512-byte clusters, 1 KiB records, the $MFT rewritten into
   runs of odd cluster counts out of order (tools/ntfs_craft.py), so records
   straddle runs; every record must still be listed.
3. a torn record and an unreadable stretch: reported on stderr, the walk
   goes on.

usage: check_ntfs_hard.py QVX
Needs root, mkntfs, ntfs-3g, setfattr and fls; exit 77 otherwise.
"""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import check_ntfs_fls  # noqa: E402
import ntfs_craft  # noqa: E402

SKIP = 77
MiB = 1 << 20


def sha(data):
    return hashlib.sha256(data).hexdigest()


def mkntfs(path, size, cluster=None):
    with open(path, "wb") as f:
        f.truncate(size)
    cmd = ["mkntfs", "-F", "-q", "-f"]
    if cluster:
        cmd += ["-c", str(cluster)]
    subprocess.run(cmd + [path], check=True, capture_output=True)


class Mount:
    def __init__(self, image, where, options=()):
        self.where = where
        os.makedirs(where, exist_ok=True)
        cmd = ["ntfs-3g"] + [a for o in options for a in ("-o", o)] + [image, where]
        self.ok = subprocess.run(cmd, capture_output=True).returncode == 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        subprocess.run(["fusermount", "-u", self.where], check=False)


def populate_names(m):
    """Returns ({path: sha256} of live files and streams, {path: sha256} of deleted files)."""
    live, deleted = {}, {}

    def put(path, data, bucket=live, dos=None):
        full = os.path.join(m, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        if dos:
            subprocess.run(["setfattr", "-h", "-n", "system.ntfs_dos_name", "-v", dos, full], check=True)
        bucket[path] = sha(data)

    put("Документы/Отчёт за март.txt", "отчёт\n".encode() * 300, dos="OTCHET~1.TXT")
    put("Документы/Письмо.doc", b"letter" * 100)
    put("Ωmega φάκελος/αρχείο.txt", "αρχείο".encode() * 50)
    put("Ωmega.txt", b"omega" * 33, dos="OMEGA~1.TXT")
    put("入乡随俗 海外春节别样过法.txt", "春节".encode() * 1000)
    put("中文目录/一月.txt", b"january" * 7)
    put("Łódź/žluťoučký kůň.txt", "kůň".encode() * 77, dos="ZLUTOU~1.TXT")
    put("emoji 😀 𝄞.txt", b"\xf0\x9f\x98\x80" * 10)
    put("Документы/удалённый.txt", b"gone cyrillic" * 40, deleted)
    put("删除的文件.txt", b"gone cjk" * 90, deleted)
    # Many streams push the file name into an extension record.
    put("Ext/many streams.txt", b"A" * 580)
    for i in range(40):
        value = f"stream value {i:02d} ".encode() * 3
        subprocess.run(["setfattr", "-n", f"user.поток{i:02d}", "-v", value.decode(),
                        os.path.join(m, "Ext/many streams.txt")], check=True)
        live[f"Ext/many streams.txt:поток{i:02d}"] = sha(value)
    # Long hard links fill the record with file names.
    put("Ext/SetupLoan", b"B" * 580)
    for i in range(6):
        link = f"Ext/SetupLoan link {i} with a long name that fills the record quickly.txt"
        os.link(os.path.join(m, "Ext/SetupLoan"), os.path.join(m, link))
        live[link] = live["Ext/SetupLoan"]
    for i in range(300):
        put(f"Большая папка/файл {i:03d}.txt", f"{i}".encode() * (i + 1))
    subprocess.run(["sync"], check=False)
    for path in deleted:
        os.unlink(os.path.join(m, path))
    return live, deleted


def analyze(qvx, image, sectors):
    run = subprocess.run([qvx, "analyze", image, "--range", f"0:{sectors}", "--kind", "NTFS", "--json", "--quiet"],
                         capture_output=True)
    return run


def check_names(qvx, work):
    img = os.path.join(work, "names.img")
    mkntfs(img, 48 * MiB)
    with Mount(img, os.path.join(work, "m1"), ["streams_interface=xattr"]) as mnt:
        if not mnt.ok:
            return None
        live, deleted = populate_names(mnt.where)
    sectors = os.path.getsize(img) // 512
    ok = check_ntfs_fls.check(qvx, img, 0, sectors, True, "names volume")
    items = [json.loads(l) for l in analyze(qvx, img, sectors).stdout.decode().splitlines() if l.strip()]
    paths = {i["path"]: i for i in items}
    failures = []
    for p in deleted:
        if p not in paths or not paths[p]["deleted"]:
            failures.append(f"deleted file not listed as deleted at its path: {p}")
    out = os.path.join(work, "out")
    run = subprocess.run([qvx, "recover", img, out, "--range", f"0:{sectors}", "--kind", "NTFS", "--quiet"],
                         capture_output=True)
    if run.returncode != 0:
        failures.append(f"qvx recover exited {run.returncode}: {run.stderr.decode(errors='replace')}")
    for path, digest in {**live, **deleted}.items():
        target = os.path.join(out, path)
        if not os.path.isfile(target):
            failures.append(f"not recovered under its name: {path}")
            continue
        with open(target, "rb") as f:
            if sha(f.read()) != digest:
                failures.append(f"{path}: contents differ")
    # --path names a non-Latin folder exactly as the listing prints it.
    sub = os.path.join(work, "sub")
    run = subprocess.run([qvx, "recover", img, sub, "--range", f"0:{sectors}", "--kind", "NTFS", "--quiet",
                          "--path", "Документы"], capture_output=True)
    want = sorted(p for p in live if p.startswith("Документы/"))
    got = sorted(os.path.relpath(os.path.join(r, n), sub) for r, _, ns in os.walk(sub) for n in ns
                 if n != "recovery-report.json" and not n.startswith("recovery-report"))
    if run.returncode != 0 or not set(want) <= set(got) or any(not g.startswith("Документы/") for g in got):
        failures.append(f"--path Документы wrote {got}, want {want} (exit {run.returncode})")
    for f in failures:
        print("  " + f)
    print(f"names volume: {len(live)} live files and streams, {len(deleted)} deleted recovered: "
          f"{'FAILED' if failures else 'ok'}")
    return ok and not failures


def check_odd_runs(qvx, work):
    img = os.path.join(work, "odd.img")
    mkntfs(img, 16 * MiB, cluster=512)
    with Mount(img, os.path.join(work, "m2")) as mnt:
        if not mnt.ok:
            return None
        for d in range(12):
            os.mkdir(os.path.join(mnt.where, f"folder {d:02d}"))
            for i in range(14):
                with open(os.path.join(mnt.where, f"folder {d:02d}", f"f{i}.txt"), "w") as f:
                    f.write(f"file {d} {i}\n" * (i + 1))
    runs = ntfs_craft.fragment_mft(img)
    print(f"odd runs: $MFT in {len(runs)} runs: " + ", ".join(str(n) for n, _ in runs))
    return check_ntfs_fls.check(qvx, img, 0, os.path.getsize(img) // 512, False, "odd MFT runs")


def check_damage(qvx, work):
    """A torn record and records past a truncated image's end are named."""
    img = os.path.join(work, "odd.img")
    v = ntfs_craft.Volume(img)
    torn = ntfs_craft.record_offset(v, 70)  # a user record; the MFT's runs are out of order
    rec = bytearray(v.read(torn, v.record))
    rec[1022] ^= 0xFF  # the second stride's check value no longer matches
    v.write(torn, bytes(rec))
    run = analyze(qvx, img, os.path.getsize(img) // 512)
    err = run.stderr.decode(errors="replace")
    ok = run.returncode == 0 and "torn" in err
    # Cut the image inside the MFT: the records beyond cannot be read.
    cut = os.path.join(work, "cut.img")
    shutil.copyfile(img, cut)
    with open(cut, "r+b") as f:
        f.truncate(40 * v.cluster + v.mft_lcn * v.cluster)
    # The volume (sector 0 holds its boot sector) claims more sectors than
    # the image has.
    run2 = subprocess.run([qvx, "analyze", cut, "-p", "1", "--json", "--quiet"], capture_output=True)
    err2 = run2.stderr.decode(errors="replace")
    ok2 = run2.returncode in (0, 3) and "could not be read" in err2 and run2.stdout.strip() != b""
    print(f"damage: torn record reported: {'ok' if ok else 'FAILED: ' + err.strip()}; "
          f"unreadable records reported: {'ok' if ok2 else 'FAILED: ' + err2.strip()}")
    return ok and ok2


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    qvx = sys.argv[1]
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("mkntfs", "ntfs-3g", "setfattr", "fusermount", "fls")):
        print("needs root, mkntfs, ntfs-3g, setfattr and fls; skipped")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="qvx-ntfs-hard-") as work:
        results = [check_names(qvx, work), check_odd_runs(qvx, work)]
        if None in results:
            print("ntfs-3g cannot mount here; skipped")
            return SKIP
        results.append(check_damage(qvx, work))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
