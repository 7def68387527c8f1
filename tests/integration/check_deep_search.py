#!/usr/bin/env python3
"""`qvx partitions --search deep` on disks whose partition table is gone.

A sparse 2 GiB disk with a zeroed table holds copies of the generated
volumes at sectors no probe lands on: NTFS at sector 1,000,000, FAT32 at an
odd sector, and an NTFS and a FAT32 volume whose first sector is zeroed, so
that only their backup boot sectors (NTFS: the volume's last sector; FAT32:
+6) find them. The deep search must list exactly these four, each once, in
disk order, with the ends their boot sectors give, as "table": "search";
every one must analyse exactly as the volume image it was copied from. The
probing search must not find the volume at sector 1,000,000. Ctrl-C during a
deep search of a huge sparse disk keeps what was found (exit 1).

usage: check_deep_search.py QVX IMAGES_DIR
Exit 77 when the volume images are absent.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SECTOR = 512
DISK_SECTORS = 4 * 1024 * 1024  # 2 GiB


class Checks:
    def __init__(self):
        self.failures = 0

    def expect(self, cond, what):
        print(("ok   " if cond else "FAIL ") + what)
        if not cond:
            self.failures += 1
        return cond


def boot_size(volume, kind):
    with open(volume, "rb") as f:
        boot = f.read(SECTOR)
    if kind == "NTFS":
        return int.from_bytes(boot[40:48], "little")
    return int.from_bytes(boot[32:36], "little") or int.from_bytes(boot[19:21], "little")


def place(disk, volume, lba, zero_first=False):
    with open(volume, "rb") as src, open(disk, "r+b") as dst:
        dst.seek(lba * SECTOR)
        shutil.copyfileobj(src, dst, 1 << 20)
        if zero_first:
            dst.seek(lba * SECTOR)
            dst.write(bytes(SECTOR))


def partitions(qvx, image, *flags):
    p = subprocess.run([qvx, "partitions", image, "--json", "-q", *flags], capture_output=True, text=True)
    return p.returncode, [json.loads(l) for l in p.stdout.splitlines() if l.strip()], p.stderr


def analyze(qvx, image, *args):
    p = subprocess.run([qvx, "analyze", image, "--json", "-q", *args], capture_output=True)
    return p.returncode, p.stdout


def check_lost_volumes(qvx, images, tmp, c):
    ntfs = os.path.join(images, "vol-ntfs.img")
    fat32 = os.path.join(images, "vol-fat32.img")
    disk = os.path.join(tmp, "lost.img")
    with open(disk, "wb") as f:
        f.truncate(DISK_SECTORS * SECTOR)  # sparse; sector 0 (the table) stays zero
    layout = [("NTFS", ntfs, 1_000_000, False),
              ("FAT32", fat32, 1_234_567, False),
              ("NTFS", ntfs, 2_000_001, True),     # found by the backup in its last sector
              ("FAT32", fat32, 3_000_003, True)]   # found by the backup at +6
    for kind, volume, lba, zero in layout:
        place(disk, volume, lba, zero)
    # NTFS entries cover the backup boot sector after the size field's sectors.
    want = [{"name": kind, "first": lba, "end": lba + boot_size(volume, kind) + (kind == "NTFS"), "table": "search"}
            for kind, volume, lba, _ in layout]

    rc, got, err = partitions(qvx, disk, "--search", "deep")
    trimmed = [{k: g[k] for k in ("name", "first", "end", "table")} for g in got]
    c.expect(rc == 0 and trimmed == want and [g["number"] for g in got] == [1, 2, 3, 4],
             f"deep search lists the four volumes once each, in disk order: {trimmed} {err.strip()}")

    rc, probed, _ = partitions(qvx, disk, "--search")
    # Nothing found lists "Unknown Partition" and exits 3.
    c.expect(rc in (0, 3) and not any(g["first"] == 1_000_000 for g in probed),
             f"the probing search does not reach sector 1,000,000: {[(g['name'], g['first']) for g in probed]}")

    def relative(listing, base):
        # Where an item was found is a sector of the disk: the same volume
        # further in has the same places, base sectors later.
        rows = []
        for line in listing.splitlines():
            obj = json.loads(line)
            for key in ("record", "found"):
                if isinstance(obj.get(key), dict) and "sector" in obj[key]:
                    obj[key]["sector"] -= base
            rows.append(obj)
        return rows

    for kind, volume, lba, zero in layout:
        size = boot_size(volume, kind) + (kind == "NTFS")
        rc1, found = analyze(qvx, disk, "--range", f"{lba}:{lba + size}", "--kind", kind)
        rc2, original = analyze(qvx, volume, "--range", f"0:{size}", "--kind", kind)
        how = "its backup boot sector" if zero else "its boot sector"
        rows = found.count(b"\n")
        c.expect(rc1 == rc2 == 0 and relative(found, lba) == relative(original, 0) and rows > 5,
                 f"{kind} at {lba} (found by {how}) analyses as the original volume ({rows} rows)")


def check_interrupt(qvx, tmp, c):
    image = os.path.join(tmp, "huge.img")
    with open(image, "wb") as f:
        f.truncate(8 << 40)  # 8 TiB, sparse: hours of reading
        f.seek(1001 * SECTOR)
        boot = bytearray(SECTOR)
        boot[3:11] = b"NTFS    "
        boot[11:13] = (512).to_bytes(2, "little")
        boot[13] = 8
        boot[40:48] = (20000).to_bytes(8, "little")
        boot[510:512] = b"\x55\xaa"
        f.write(boot)
    p = subprocess.Popen([qvx, "partitions", image, "--json", "--search", "deep"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)
    if p.poll() is not None:
        c.expect(False, "the deep search of an 8 TiB disk was still running after 1.5 s")
        return
    p.send_signal(signal.SIGINT)
    try:
        out, _ = p.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        c.expect(False, "Ctrl-C ends the deep search within 30 s")
        return
    got = [json.loads(line) for line in out.splitlines() if line.strip()]
    c.expect(p.returncode == 1 and got == [{"number": 1, "name": "NTFS", "first": 1001, "end": 21002,
                                            "size_mb": 9, "table": "search"}],
             f"Ctrl-C stops the deep search: exit {p.returncode}, prints what was found {got}")


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    qvx, images = argv[1], argv[2]
    missing = [n for n in ("vol-ntfs.img", "vol-fat32.img") if not os.path.exists(os.path.join(images, n))]
    if missing:
        print(f"SKIP images missing: {missing}")
        return 77
    c = Checks()
    tmp = tempfile.mkdtemp(prefix="qvx-deep-", dir=images)
    try:
        check_lost_volumes(qvx, images, tmp, c)
        check_interrupt(qvx, tmp, c)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
