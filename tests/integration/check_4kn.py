#!/usr/bin/env python3
"""Disks with 4096-byte logical sectors and disks over 2 TiB.

1. A 4Kn NTFS volume (mkntfs -s 4096, files written through ntfs-3g):
   every live entry `fls -r -p` lists is listed at its path, and
   `qvx recover` brings every file back byte for byte; the same holds for
   Advance Search over the volume's sectors (4096-byte FILE records), also
   with both boot sectors zeroed, and over the partition of the 4Kn disk.
2. A 4Kn GPT disk (sfdisk --sector-size 4096, or fdisk -b 4096) holding that NTFS volume, a
   FAT16 and a FAT32 volume made with mkfs.fat -S 4096: `qvx partitions`
   lists them as sfdisk made them (in 4096-byte sectors), the FAT volumes'
   trees match `fls -b 4096` and their files come back byte for byte, and
   the session log holds 4096-byte sector numbers.
3. A sparse 3 TiB GPT disk whose NTFS volume starts past 2^32 sectors: it
   and a FAT16 volume after it are listed with their 64-bit first sectors,
   analysed against fls and recovered byte for byte, and the
   session log's 32-bit parameter fields saturate at 0xFFFFFFFF while the
   64-bit range keeps the true first sector.

usage: check_4kn.py QVX
Needs root, mkntfs, ntfs-3g, mkfs.fat, mtools, sfdisk and fls; exit 77 otherwise.
"""
import hashlib
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_ntfs_fls  # noqa: E402

SKIP = 77
K = 4096
TOOLS = ("mkntfs", "ntfs-3g", "fusermount", "mkfs.fat", "mcopy", "mmd", "sfdisk", "fdisk", "fls")


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, check=True, **kw)


def qvx_json(qvx, args, codes=(0,)):
    r = subprocess.run([qvx] + args + ["--json", "--quiet"], capture_output=True)
    if r.returncode not in codes:
        raise SystemExit(f"qvx {' '.join(args)} exited {r.returncode}: {r.stderr.decode(errors='replace')}")
    return [json.loads(l) for l in r.stdout.decode().splitlines() if l.strip()]


def make_ntfs(path, size, sector_size, files):
    """An NTFS volume of size bytes filled through an ntfs-3g mount."""
    with open(path, "wb") as f:
        f.truncate(size)
    run(["mkntfs", "-F", "-q", "-f", "-s", str(sector_size), "-c", "4096", path])
    mnt = path + ".mnt"
    os.mkdir(mnt)
    if subprocess.run(["ntfs-3g", path, mnt], capture_output=True).returncode != 0:
        return False
    try:
        for rel, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(mnt, rel)), exist_ok=True)
            with open(os.path.join(mnt, rel), "wb") as f:
                f.write(data)
    finally:
        subprocess.run(["fusermount", "-u", mnt], check=False)
        os.rmdir(mnt)
    return True


def make_fat(path, size, bits, files, sector_size=K):
    with open(path, "wb") as f:
        f.truncate(size)
    run(["mkfs.fat", "-F", str(bits), "-S", str(sector_size), "-s", str(K // sector_size), path])
    for rel, data in files.items():
        parts = rel.split("/")
        for i in range(1, len(parts)):
            subprocess.run(["mmd", "-D", "s", "-i", path, "::/" + "/".join(parts[:i])], capture_output=True)
        local = path + ".tmp"
        with open(local, "wb") as f:
            f.write(data)
        run(["mcopy", "-i", path, local, "::/" + rel])
        os.unlink(local)


def place(disk, volume, byte_offset):
    with open(volume, "rb") as src, open(disk, "r+b") as dst:
        dst.seek(byte_offset)
        while True:
            block = src.read(1 << 20)
            if not block:
                break
            if block.count(0) == len(block):
                dst.seek(len(block), os.SEEK_CUR)
            else:
                dst.write(block)


def sample_files(seed):
    random.seed(seed)
    return {
        "top.txt": b"hello 4K sectors\n" * 100,
        "Dir/Sub/random.bin": random.randbytes(150001),
        "Dir/Sub/Deeper/small.txt": b"x",
        "Dir/empty.dat": b"",
        "Dir/multi.bin": bytes(range(256)) * 1200,
    }


def recovered_ok(qvx, args, out, files, label):
    qvx_json(qvx, ["recover"] + args[:1] + [out] + args[1:])
    bad = []
    for rel, data in files.items():
        target = os.path.join(out, rel)
        if not os.path.isfile(target):
            bad.append(f"{rel}: not written")
        else:
            with open(target, "rb") as f:
                if hashlib.sha256(f.read()).digest() != hashlib.sha256(data).digest():
                    bad.append(f"{rel}: contents differ")
    print(f"{label}: {len(files)} files recovered: {'ok' if not bad else 'FAILED'}")
    for b in bad:
        print("  " + b)
    return not bad


def fat_tree_ok(qvx, img, part, offset, files, label, sector_size=K):
    """Live paths of fls -b SIZE -o offset against qvx analyze -p part."""
    out = run(["fls", "-r", "-p", "-b", str(sector_size), "-o", str(offset), img]).stdout.decode()
    fls = set()
    for line in out.splitlines():
        head, _, path = line.partition("\t")
        if "*" in head or path.startswith("$"):
            continue
        fls.add(path)
    items = qvx_json(qvx, ["analyze", img, "-p", str(part)])
    listed = {i["path"] for i in items if not i["deleted"] and not i["path"].startswith("QVX_Miscellaneous")}
    sizes = {i["path"]: i["size"] for i in items if i["type"] == "file"}
    bad = [f"missing: {p}" for p in sorted(fls - listed)] + [f"extra: {p}" for p in sorted(listed - fls)]
    bad += [f"{p}: size {sizes.get(p)}" for p, d in files.items() if sizes.get(p) != len(d)]
    print(f"{label}: {len(fls)} fls entries compared: {'ok' if not bad else 'FAILED'}")
    for b in bad:
        print("  " + b)
    return not bad


def advance_ok(qvx, img, fls_image, fls_args, qvx_args, label):
    """Advance Search over a sector range against `fls -r -p` of the intact
    volume: every live folder and file at its path, files with their size."""
    live = []
    for e in check_ntfs_fls.fls_entries(fls_image, 0, fls_args):
        last = e["path"].rsplit("/", 1)[-1]
        # Deleted and orphan entries, streams and system files (the raw scan
        # also finds the mirror's copies of those) are not compared.
        if e["deleted"] or e["path"].startswith("$OrphanFiles") or ":" in last or last.startswith("$"):
            continue
        live.append(e)
    items = qvx_json(qvx, ["analyze", img, "--mode", "advance", "--fs", "1"] + qvx_args)
    tree = {i["path"]: i for i in items}
    bad = check_ntfs_fls.live_failures(live, tree)
    print(f"{label}, Advance Search: {len(live)} live fls entries compared: {'ok' if not bad else 'FAILED'}")
    for b in bad:
        print("  " + b)
    return not bad


def zeroed_boot_copy(src, dst):
    """A copy of a 4Kn NTFS volume without its boot sector and backup."""
    shutil.copyfile(src, dst)
    with open(dst, "r+b") as f:
        for at in (0, os.path.getsize(dst) - K):
            f.seek(at)
            f.write(bytes(K))


def partition_4kn(disk, parts):
    """A GPT in 4096-byte sectors; (start, end) of each partition as the
    partitioning tool reads its own table back."""
    if "--sector-size" in run(["sfdisk", "--help"]).stdout.decode():
        layout = "label: gpt\n" + "".join(f"start={a}, size={n}, type=linux\n" for a, n in parts)
        run(["sfdisk", "--sector-size", str(K), "-q", disk], input=layout.encode())
        table = json.loads(run(["sfdisk", "--sector-size", str(K), "-J", disk]).stdout)["partitiontable"]
        return [(p["start"], p["start"] + p["size"]) for p in table["partitions"]]
    # sfdisk before 2.39 takes the sector size from the device only.
    script = "g\n" + "".join(f"n\n{i + 1}\n{a}\n{a + n - 1}\n" for i, (a, n) in enumerate(parts)) + "w\n"
    run(["fdisk", "-b", str(K), disk], input=script.encode())
    out = run(["fdisk", "-b", str(K), "-l", "-o", "Device,Start,Sectors", disk]).stdout.decode()
    rows = [l.split() for l in out.splitlines() if l.startswith(disk)]
    return [(int(r[1]), int(r[1]) + int(r[2])) for r in rows]


def log_fields(path):
    """(range start, range end, 12 volume parameters) of a session log."""
    with open(path, "rb") as f:
        b = f.read()
    at = 13
    (n,) = struct.unpack_from("<I", b, at)
    at += 4 + n + 4
    at += 1 + b[at]
    at += 1 + b[at]
    start, end = struct.unpack_from("<QQ", b, at)
    params = struct.unpack_from("<12I", b, at + 16)
    return start, end, params


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    qvx = sys.argv[1]
    if os.geteuid() != 0 or not all(shutil.which(t) for t in TOOLS):
        print("needs root, " + ", ".join(TOOLS) + "; skipped")
        return SKIP
    ok = True
    with tempfile.TemporaryDirectory(prefix="qvx-4kn-") as work:
        # 1. The 4Kn NTFS volume on its own.
        ntfs_files = sample_files(1)
        vol = os.path.join(work, "ntfs4k.img")
        if not make_ntfs(vol, 16 << 20, K, ntfs_files):
            print("ntfs-3g cannot mount here; skipped")
            return SKIP
        listed = qvx_json(qvx, ["partitions", vol])
        if [(e["name"], e["first"], e["end"], e.get("sector_size")) for e in listed] != [("NTFS", 0, 4096, K)]:
            print(f"4Kn NTFS volume listed as {listed}: FAILED")
            ok = False
        ok &= check_ntfs_fls.check(qvx, vol, 0, 4096, False, "4Kn NTFS volume")
        ok &= recovered_ok(qvx, [vol], os.path.join(work, "out1"), ntfs_files, "4Kn NTFS volume")
        # Advance Search over the volume's sectors: 4096-byte FILE records,
        # found by the boot sector, then with both boot sectors zeroed by
        # the folders' index records alone.
        whole = ["--range", "0:4096", "--kind", "NTFS"]
        ok &= advance_ok(qvx, vol, vol, [], whole, "4Kn NTFS volume")
        ok &= recovered_ok(qvx, [vol, "--mode", "advance", "--fs", "1"] + whole, os.path.join(work, "out1a"),
                           ntfs_files, "4Kn NTFS volume, Advance Search")
        # Without boot sectors the file system is told by two folders whose
        # index records lie where one cluster size puts them: two folders
        # with enough entries to need index records.
        many_files = dict(ntfs_files)
        for folder in ("Dir", "Dir/Sub"):
            for n in range(40):
                many_files[f"{folder}/entry with a long name {n:03}.txt"] = f"{folder} {n}\n".encode()
        indexed = os.path.join(work, "ntfs4k-indexed.img")
        make_ntfs(indexed, 16 << 20, K, many_files)
        zeroed = os.path.join(work, "ntfs4k-zeroed.img")
        zeroed_boot_copy(indexed, zeroed)
        # Nothing tells the sector size of this image any more: its sectors
        # are counted in 512 bytes.
        whole = ["--range", f"0:{(16 << 20) // 512}", "--kind", "NTFS"]
        ok &= advance_ok(qvx, zeroed, indexed, [], whole, "4Kn NTFS volume without boot sectors")
        ok &= recovered_ok(qvx, [zeroed, "--mode", "advance", "--fs", "1"] + whole, os.path.join(work, "out1z"),
                           many_files, "4Kn NTFS volume without boot sectors, Advance Search")
        os.unlink(zeroed)
        os.unlink(indexed)

        # 2. A 4Kn GPT disk: the NTFS volume, a FAT16 and a FAT32 volume.
        disk = os.path.join(work, "gpt4k.img")
        with open(disk, "wb") as f:
            f.truncate(400 << 20)
        expected = partition_4kn(disk, [(256, 4096), (4608, 5120), (10240, 76800)])
        fat16_files = sample_files(2)
        fat32_files = sample_files(3)
        f16 = os.path.join(work, "f16.img")
        f32 = os.path.join(work, "f32.img")
        make_fat(f16, 5120 * K, 16, fat16_files)
        make_fat(f32, 76800 * K, 32, fat32_files)
        place(disk, vol, expected[0][0] * K)
        place(disk, f16, expected[1][0] * K)
        place(disk, f32, expected[2][0] * K)
        listed = qvx_json(qvx, ["partitions", disk])
        got = [(e["first"], e["end"]) for e in listed]
        names = [e["name"] for e in listed]
        if got != expected or names != ["NTFS", "FAT16", "FAT32"]:
            print(f"4Kn GPT disk: listed {list(zip(names, got))}, sfdisk made {expected}: FAILED")
            ok = False
        else:
            print(f"4Kn GPT disk: {len(got)} partitions as sfdisk made them: ok")
        ok &= fat_tree_ok(qvx, disk, 2, expected[1][0], fat16_files, "4Kn FAT16 partition")
        ok &= fat_tree_ok(qvx, disk, 3, expected[2][0], fat32_files, "4Kn FAT32 partition")
        items = qvx_json(qvx, ["analyze", disk, "-p", "3", "--mode", "advance"])
        found = {i["path"]: i["size"] for i in items if i["type"] == "file"}
        lost = [p for p, d in fat32_files.items() if found.get(p) != len(d)]
        print(f"4Kn FAT32 partition, Advance Search: {'ok' if not lost else 'FAILED'} {lost}")
        ok &= not lost
        ok &= recovered_ok(qvx, [disk, "-p", "1"], os.path.join(work, "out2"), ntfs_files, "4Kn GPT NTFS partition")
        ok &= advance_ok(qvx, disk, disk, ["-b", str(K), "-o", str(expected[0][0])], ["-p", "1"],
                         "4Kn GPT NTFS partition")
        ok &= recovered_ok(qvx, [disk, "-p", "1", "--mode", "advance", "--fs", "1"], os.path.join(work, "out2a"),
                           ntfs_files, "4Kn GPT NTFS partition, Advance Search")
        ok &= recovered_ok(qvx, [disk, "-p", "2"], os.path.join(work, "out3"), fat16_files, "4Kn GPT FAT16 partition")
        ok &= recovered_ok(qvx, [disk, "-p", "3"], os.path.join(work, "out4"), fat32_files, "4Kn GPT FAT32 partition")
        log = os.path.join(work, "ntfs4k.LGX")
        qvx_json(qvx, ["analyze", disk, "-p", "1", "--save-log", log])
        start, end, params = log_fields(log)
        # Range and MFT position in 4096-byte sectors; one sector per cluster
        # and per 4 KiB MFT record.
        if (start, end, params[1], params[10]) != (256, 256 + 4096 - 1, 1, 1) or params[8] != 256 + 4:
            print(f"4Kn session log: range {start}..{end}, parameters {params}: FAILED")
            ok = False
        else:
            print("4Kn session log: sectors of 4096 bytes: ok")
        os.unlink(disk)

        # 3. A sparse 3 TiB disk, its NTFS volume past 2^32 sectors.
        big = os.path.join(work, "big.img")
        with open(big, "wb") as f:
            f.truncate(3 << 40)
        first = (1 << 32) + 2048
        fat_first = first + 32768
        run(["sfdisk", "-q", big], input=(f"label: gpt\nstart={first}, size=32768, type=linux\n"
                                          f"start={fat_first}, size=40960, type=linux\n").encode())
        vol512 = os.path.join(work, "ntfs512.img")
        big_files = sample_files(4)
        make_ntfs(vol512, 16 << 20, 512, big_files)
        place(big, vol512, first * 512)
        fat512 = os.path.join(work, "fat512.img")
        fat_files = sample_files(5)
        make_fat(fat512, 40960 * 512, 16, fat_files, 512)
        place(big, fat512, fat_first * 512)
        listed = qvx_json(qvx, ["partitions", big])
        if [(e["name"], e["first"], e["end"]) for e in listed] != [("NTFS", first, first + 32768),
                                                                    ("FAT16", fat_first, fat_first + 40960)]:
            print(f"3 TiB disk listed as {listed}: FAILED")
            ok = False
        else:
            print("3 TiB disk: the volume past 2^32 sectors is listed: ok")
        ok &= check_ntfs_fls.check(qvx, big, first, first + 32768, False, "3 TiB disk NTFS volume")
        ok &= recovered_ok(qvx, [big, "-p", "1"], os.path.join(work, "out5"), big_files, "3 TiB disk NTFS volume")
        ok &= fat_tree_ok(qvx, big, 2, fat_first, fat_files, "3 TiB disk FAT16 volume", 512)
        ok &= recovered_ok(qvx, [big, "-p", "2"], os.path.join(work, "out6"), fat_files, "3 TiB disk FAT16 volume")
        log = os.path.join(work, "big.LGX")
        qvx_json(qvx, ["analyze", big, "-p", "1", "--save-log", log])
        start, end, params = log_fields(log)
        if start != first or end != first + 32768 - 1 or params[5] != 0xFFFFFFFF or params[8] != 0xFFFFFFFF:
            print(f"3 TiB session log: range {start}..{end}, parameters {params}: FAILED")
            ok = False
        else:
            print("3 TiB session log: 64-bit range, saturated 32-bit positions: ok")
    print("OK" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
