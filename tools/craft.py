#!/usr/bin/env python3
"""Crafts small hostile disk images for tests.

Volumes are made by the real tools (mkfs.fat + mtools, mkntfs + an ntfs-3g
mount) and then patched in place: a FAT boot sector's sector count, the
parent reference of an NTFS $FILE_NAME attribute (with the record's update
sequence fixups kept right), names with control bytes.

Used as a module by tests/integration/check_hostile.py, or from the shell:

  craft.py fat IMAGE SIZE_MB [--fat 16|32] [--file PATH=SIZE|PATH=@SRC]... [--dir PATH]...
  craft.py fat-total-sectors IMAGE VALUE
  craft.py fat-deep IMAGE SIZE_MB DEPTH
  craft.py fat-wide IMAGE SIZE_MB COUNT
  craft.py ntfs IMAGE SIZE_MB [--dir PATH]... [--file PATH=SIZE]...   (root, /dev/fuse)
  craft.py ntfs-record IMAGE NAME            prints the MFT record number of a file name
  craft.py ntfs-set-parent IMAGE RECORD PARENT
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

SECTOR = 512


def run(cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)


def _pattern(size, seed):
    """Deterministic, non-repeating-looking contents of size bytes."""
    block = bytes((seed * 31 + i * 7 + (i >> 8)) & 0xFF for i in range(4096))
    return (block * (size // len(block) + 1))[:size]


# ---------------------------------------------------------------- FAT

def fat_image(path, size_mb, fat=16, dirs=(), files=None, label="CRAFT"):
    """A FAT volume (no partition table) holding dirs and files.

    files maps a volume path to bytes or to an int size (pattern contents)."""
    with open(path, "wb") as f:
        f.truncate(size_mb << 20)
    spc = ["-s", "1"] if size_mb < 64 else []
    run(["mkfs.fat", "-F", str(fat), *spc, "-n", label, path])
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    made = set()

    def mkdirs(p):
        parts = [x for x in p.split("/") if x]
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d not in made:
                run(["mmd", "-i", path, "::/" + d], env=env)
                made.add(d)

    for d in dirs:
        mkdirs(d)
    with tempfile.TemporaryDirectory() as tmp:
        for n, (name, content) in enumerate((files or {}).items()):
            if "/" in name:
                mkdirs(name.rsplit("/", 1)[0])
            data = _pattern(content, n) if isinstance(content, int) else content
            src = os.path.join(tmp, "f%d" % n)
            with open(src, "wb") as f:
                f.write(data)
            run(["mcopy", "-i", path, src, "::/" + name], env=env)
    return path


def fat_set_total_sectors(path, value):
    """Writes value as the boot sector's sector count (the 16-bit field is
    zeroed so the 32-bit one counts), in the boot sector and, on FAT32, in
    its backup at sector 6."""
    with open(path, "r+b") as f:
        boot = bytearray(f.read(SECTOR))
        struct.pack_into("<H", boot, 0x13, 0)
        struct.pack_into("<I", boot, 0x20, value & 0xFFFFFFFF)
        f.seek(0)
        f.write(boot)
        fat32 = struct.unpack_from("<H", boot, 0x16)[0] == 0
        if fat32:
            f.seek(6 * SECTOR)
            f.write(boot)


def fat_deep(path, size_mb, depth, fat=32):
    """A chain of depth nested folders D/D/D/... with one file at the bottom,
    written straight into the directory clusters (mtools would take minutes).
    Each folder takes one cluster."""
    with open(path, "wb") as f:
        f.truncate(size_mb << 20)
    run(["mkfs.fat", "-F", str(fat), "-s", "1", "-n", "DEEP", path])
    with open(path, "r+b") as f:
        g = _geometry(f)
        if g["fat32"] is False:
            raise SystemExit("fat_deep needs FAT32")
        clusters = list(range(3, 3 + depth + 1))  # the folders, then the file's cluster
        if clusters[-1] >= g["clusters"] + 2:
            raise SystemExit("volume too small for that depth")
        fat = {}
        parent = g["root"]
        for i, c in enumerate(clusters[:-1]):
            fat[c] = 0x0FFFFFFF
            # entry of folder c in its parent's cluster
            _write_entry(f, g, parent, 0 if parent != g["root"] else 0, b"D          ", 0x10, c, 0,
                         slot=2 if parent != g["root"] else 0)
            # . and .. of c
            _write_entry(f, g, c, 0, b".          ", 0x10, c, 0, slot=0)
            _write_entry(f, g, c, 0, b"..         ", 0x10, 0 if parent == g["root"] else parent, 0, slot=1)
            parent = c
        data = clusters[-1]
        fat[data] = 0x0FFFFFFF
        _write_entry(f, g, parent, 0, b"LEAF    TXT", 0x20, data, 5, slot=2)
        f.seek(_cluster_offset(g, data))
        f.write(b"leaf\n")
        _write_fat(f, g, fat)


def fat_wide(path, size_mb, count, fat=32):
    """One folder W holding count one-cluster files, written straight into
    the directory (mtools is quadratic itself)."""
    with open(path, "wb") as f:
        f.truncate(size_mb << 20)
    run(["mkfs.fat", "-F", str(fat), "-s", "1", "-n", "WIDE", path])
    with open(path, "r+b") as f:
        g = _geometry(f)
        per_cluster = g["cluster_bytes"] // 32
        dir_clusters = (count + 2 + per_cluster - 1) // per_cluster
        first_dir = 3
        first_file = first_dir + dir_clusters
        if first_file + count >= g["clusters"] + 2:
            raise SystemExit("volume too small for that many files")
        fat = {}
        for i in range(dir_clusters):
            c = first_dir + i
            fat[c] = c + 1 if i + 1 < dir_clusters else 0x0FFFFFFF
            f.seek(_cluster_offset(g, c))
            f.write(bytes(g["cluster_bytes"]))
        _write_entry(f, g, g["root"], 0, b"W          ", 0x10, first_dir, 0, slot=0)
        entries = [(b".          ", 0x10, first_dir, 0), (b"..         ", 0x10, 0, 0)]
        for i in range(count):
            entries.append((b"F%07d" % i + b"TXT", 0x20, first_file + i, 8))
            fat[first_file + i] = 0x0FFFFFFF
        for n, (name, attr, cl, size) in enumerate(entries):
            c = first_dir + n // per_cluster
            _write_entry(f, g, c, 0, name, attr, cl, size, slot=n % per_cluster)
        for i in range(count):
            f.seek(_cluster_offset(g, first_file + i))
            f.write(b"%07d\n" % i)
        _write_fat(f, g, fat)


def _geometry(f):
    f.seek(0)
    b = f.read(SECTOR)
    bps, spc, reserved, nfats = struct.unpack_from("<HBHB", b, 11)
    root_entries = struct.unpack_from("<H", b, 17)[0]
    total = struct.unpack_from("<H", b, 19)[0] or struct.unpack_from("<I", b, 32)[0]
    fatsz = struct.unpack_from("<H", b, 22)[0]
    fat32 = fatsz == 0
    if fat32:
        fatsz = struct.unpack_from("<I", b, 36)[0]
    root_sectors = (root_entries * 32 + bps - 1) // bps
    data = reserved + nfats * fatsz + root_sectors
    return dict(bps=bps, spc=spc, reserved=reserved, nfats=nfats, fatsz=fatsz, fat32=fat32, data=data,
                clusters=(total - data) // spc, cluster_bytes=bps * spc,
                root=struct.unpack_from("<I", b, 44)[0] if fat32 else 0)


def _cluster_offset(g, c):
    return (g["data"] + (c - 2) * g["spc"]) * g["bps"]


def _write_entry(f, g, cluster, _unused, name11, attr, first, size, slot):
    e = bytearray(32)
    e[0:11] = name11
    e[11] = attr
    struct.pack_into("<H", e, 20, (first >> 16) & 0xFFFF)
    struct.pack_into("<H", e, 26, first & 0xFFFF)
    struct.pack_into("<HH", e, 22, 0x6000, 0x5A21)  # 12:00, 2025-01-01
    struct.pack_into("<I", e, 28, size)
    f.seek(_cluster_offset(g, cluster) + slot * 32)
    f.write(e)


def _write_fat(f, g, entries):
    for copy in range(g["nfats"]):
        base = (g["reserved"] + copy * g["fatsz"]) * g["bps"]
        for c, v in entries.items():
            f.seek(base + c * 4)
            f.write(struct.pack("<I", v))


# ---------------------------------------------------------------- NTFS

def ntfs_image(path, size_mb, dirs=(), files=None, label="CRAFT"):
    """An NTFS volume made by mkntfs and filled through an ntfs-3g mount
    (needs root and /dev/fuse)."""
    with open(path, "wb") as f:
        f.truncate(size_mb << 20)
    run(["mkntfs", "-F", "-Q", "-q", "-L", label, path])
    mnt = tempfile.mkdtemp(prefix="qvx-craft-")
    run(["ntfs-3g", path, mnt])
    try:
        for d in dirs:
            os.makedirs(os.path.join(mnt, d), exist_ok=True)
        for n, (name, content) in enumerate((files or {}).items()):
            full = os.path.join(mnt, name)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(_pattern(content, n) if isinstance(content, int) else content)
    finally:
        subprocess.run(["umount", mnt], check=False)
        subprocess.run(["fusermount", "-u", mnt], check=False, stderr=subprocess.DEVNULL)
        os.rmdir(mnt)
    return path


def _ntfs_geometry(f):
    f.seek(0)
    b = f.read(SECTOR)
    bps = struct.unpack_from("<H", b, 11)[0]
    spc = b[13]
    mft_lcn = struct.unpack_from("<Q", b, 48)[0]
    raw = struct.unpack_from("<b", b, 64)[0]
    rec = (1 << -raw) if raw < 0 else raw * spc * bps
    return bps * spc, mft_lcn, rec


def _unfix(rec):
    """Puts the saved bytes of the update sequence array back at the end of
    each 512-byte stride; returns the array's offset and count."""
    usa, count = struct.unpack_from("<HH", rec, 4)
    for i in range(1, count):
        end = i * SECTOR - 2
        rec[end:end + 2] = rec[usa + 2 * i:usa + 2 * i + 2]
    return usa, count


def _fix(rec, usa, count):
    """Saves the last 2 bytes of each stride in the array and writes the
    sequence number there instead."""
    seq = rec[usa:usa + 2]
    for i in range(1, count):
        end = i * SECTOR - 2
        rec[usa + 2 * i:usa + 2 * i + 2] = rec[end:end + 2]
        rec[end:end + 2] = seq


def _records(f):
    """(record number, offset, bytes) of the first $MFT extent's records."""
    cluster, mft_lcn, size = _ntfs_geometry(f)
    f.seek(mft_lcn * cluster)
    rec0 = bytearray(f.read(size))
    _unfix(rec0)
    # the $MFT's own $DATA run list gives the extent; the first run is enough here
    off = struct.unpack_from("<H", rec0, 20)[0]
    count = 0
    while off + 8 <= len(rec0):
        atype, alen = struct.unpack_from("<II", rec0, off)
        if atype == 0xFFFFFFFF or alen == 0:
            break
        if atype == 0x80 and rec0[off + 8]:
            count = struct.unpack_from("<Q", rec0, off + 48)[0] // size
            break
        off += alen
    for n in range(min(count, 4096)):
        f.seek(mft_lcn * cluster + n * size)
        yield n, mft_lcn * cluster + n * size, bytearray(f.read(size))


def _file_names(rec):
    """(offset of the $FILE_NAME value, name) of every $FILE_NAME attribute."""
    off = struct.unpack_from("<H", rec, 20)[0]
    while off + 24 <= len(rec):
        atype, alen = struct.unpack_from("<II", rec, off)
        if atype == 0xFFFFFFFF or alen == 0:
            break
        if atype == 0x30 and rec[off + 8] == 0:
            voff = off + struct.unpack_from("<H", rec, off + 20)[0]
            nlen = rec[voff + 64]
            yield voff, rec[voff + 66:voff + 66 + 2 * nlen].decode("utf-16-le", "replace")
        off += alen


def ntfs_record_of(path, name):
    with open(path, "rb") as f:
        for n, _, rec in _records(f):
            if rec[:4] != b"FILE":
                continue
            _unfix(rec)
            for _, nm in _file_names(rec):
                if nm == name:
                    return n
    raise SystemExit("no record named %s" % name)


def ntfs_set_parent(path, record, parent):
    """Points every $FILE_NAME of record at parent (its sequence number is
    taken from the parent's record header)."""
    with open(path, "r+b") as f:
        recs = {n: (o, r) for n, o, r in _records(f)}
        po, pr = recs[parent]
        pseq = struct.unpack_from("<H", pr, 16)[0]
        o, rec = recs[record]
        usa, count = _unfix(rec)
        for voff, _ in _file_names(rec):
            struct.pack_into("<IHH", rec, voff, parent & 0xFFFFFFFF, (parent >> 32) & 0xFFFF, pseq)
        _fix(rec, usa, count)
        f.seek(o)
        f.write(rec)


# ---------------------------------------------------------------- CLI

def _files(specs):
    out = {}
    for s in specs or ():
        name, _, value = s.partition("=")
        if value.startswith("@"):
            with open(value[1:], "rb") as f:
                out[name] = f.read()
        else:
            out[name] = int(value or 0)
    return out


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    a = sub.add_parser("fat")
    a.add_argument("image")
    a.add_argument("size_mb", type=int)
    a.add_argument("--fat", type=int, default=16)
    a.add_argument("--file", action="append")
    a.add_argument("--dir", action="append", default=[])
    a = sub.add_parser("fat-total-sectors")
    a.add_argument("image")
    a.add_argument("value", type=lambda v: int(v, 0))
    for name in ("fat-deep", "fat-wide"):
        a = sub.add_parser(name)
        a.add_argument("image")
        a.add_argument("size_mb", type=int)
        a.add_argument("count", type=int)
    a = sub.add_parser("ntfs")
    a.add_argument("image")
    a.add_argument("size_mb", type=int)
    a.add_argument("--file", action="append")
    a.add_argument("--dir", action="append", default=[])
    a = sub.add_parser("ntfs-record")
    a.add_argument("image")
    a.add_argument("name")
    a = sub.add_parser("ntfs-set-parent")
    a.add_argument("image")
    a.add_argument("record", type=int)
    a.add_argument("parent", type=int)
    o = p.parse_args(argv)
    if o.cmd == "fat":
        fat_image(o.image, o.size_mb, o.fat, o.dir, _files(o.file))
    elif o.cmd == "fat-total-sectors":
        fat_set_total_sectors(o.image, o.value)
    elif o.cmd == "fat-deep":
        fat_deep(o.image, o.size_mb, o.count)
    elif o.cmd == "fat-wide":
        fat_wide(o.image, o.size_mb, o.count)
    elif o.cmd == "ntfs":
        ntfs_image(o.image, o.size_mb, o.dir, _files(o.file))
    elif o.cmd == "ntfs-record":
        print(ntfs_record_of(o.image, o.name))
    elif o.cmd == "ntfs-set-parent":
        ntfs_set_parent(o.image, o.record, o.parent)


if __name__ == "__main__":
    main(sys.argv[1:])
