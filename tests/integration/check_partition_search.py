#!/usr/bin/env python3
"""GUID partition tables and the lost partition search, end to end.

    check_partition_search.py QVX IMAGES_DIR

On the images tools/mkimages.sh builds:
- gpt-nopri.img (primary GPT header zeroed) lists what gpt.img lists, from
  the backup header at the disk's last sector;
- gpt-lost.img (MBR and both GPT headers zeroed): the search, with or
  without --search, finds the three volumes at the 1 MiB boundaries where
  gpt.img's entries start, each ending where its boot sector says;
- lost-mbr.img (MBR sector zeroed, volumes at 63 + k * 16065): the search
  finds both at their cylinder probes, end = first + the boot sector's size
  (NTFS: one sector short of the old partition);
- Standard Search (`qvx analyze -p N`) on every volume these images list
  finds the live files their manifests record, at the same path (FAT short
  names upper case) and size;
and on disks made here:
- an all-zero disk gives the single "Unknown Partition" covering the disk;
- demo.img cut in half: the failed read starts the search, and the
  partitions the table lists are not listed a second time by it;
- Ctrl-C (SIGINT) during the search of an 8 TiB sparse disk ends it with
  exit code 1 and prints what was found until then.

Exit 0 pass, 1 fail, 77 skipped (images missing).
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
CYLINDER = 255 * 63
MIB = 2048


def qvx_partitions(qvx, image, *flags, timeout=300):
    p = subprocess.run([qvx, "partitions", image, "--json", *flags], capture_output=True,
                       text=True, timeout=timeout)
    entries = [json.loads(line) for line in p.stdout.splitlines() if line.strip()]
    return p.returncode, entries, p.stderr


def boot_sector_size(image, lba, name):
    with open(image, "rb") as f:
        f.seek(lba * SECTOR)
        boot = f.read(SECTOR)
    if name == "NTFS":
        return int.from_bytes(boot[40:48], "little") & 0xFFFFFFFF
    size = int.from_bytes(boot[32:36], "little")
    return size or int.from_bytes(boot[19:21], "little")


class Checks:
    def __init__(self):
        self.failures = 0

    def expect(self, cond, what):
        print(("ok   " if cond else "FAIL ") + what)
        if not cond:
            self.failures += 1
        return cond


def check_backup_header(qvx, images, c):
    rc, full, _ = qvx_partitions(qvx, os.path.join(images, "gpt.img"))
    rc2, backup, err = qvx_partitions(qvx, os.path.join(images, "gpt-nopri.img"))
    c.expect(rc == 0 and len(full) == 3 and all(e["table"] == "gpt" for e in full),
             f"gpt.img lists three GPT volumes: {full}")
    c.expect(rc2 == 0 and backup == full, f"gpt-nopri.img lists the same from the backup header: {backup}")
    c.expect("backup header" in err, "the use of the backup header is reported on stderr")


def check_gpt_lost(qvx, images, c):
    _, table, _ = qvx_partitions(qvx, os.path.join(images, "gpt.img"))
    image = os.path.join(images, "gpt-lost.img")
    for flags in ((), ("--search",)):
        rc, got, _ = qvx_partitions(qvx, image, *flags)
        want = [{"number": e["number"], "name": e["name"], "first": e["first"],
                 "end": e["first"] + boot_sector_size(image, e["first"], e["name"]),
                 "table": "search"} for e in table]
        trimmed = [{k: g[k] for k in ("number", "name", "first", "end", "table")} for g in got]
        c.expect(rc == 0 and trimmed == want and all(g["first"] % MIB == 0 for g in got),
                 f"gpt-lost.img {' '.join(flags) or '(no flag)'}: the 1 MiB-aligned volumes {trimmed}")
    ntfs = [g for g in got if g["name"] == "NTFS"]
    c.expect(len(ntfs) == 1 and ntfs[0]["end"] == table[0]["end"] - 1,
             "gpt-lost.img: the NTFS volume ends one sector short of its old partition")


def check_lost_mbr(qvx, images, c):
    image = os.path.join(images, "lost-mbr.img")
    for flags in ((), ("--search",)):
        rc, got, _ = qvx_partitions(qvx, image, *flags)
        ok = rc == 0 and [g["name"] for g in got] == ["NTFS", "FAT32"]
        for g in got:
            ok &= (g["first"] - 63) % CYLINDER == 0 and g["table"] == "search"
            ok &= g["end"] == g["first"] + boot_sector_size(image, g["first"], g["name"])
        c.expect(ok, f"lost-mbr.img {' '.join(flags) or '(no flag)'}: both volumes at cylinder probes {got}")


def check_standard_search(qvx, images, c):
    for name in ("gpt.img", "gpt-nopri.img", "gpt-lost.img", "lost-mbr.img"):
        image = os.path.join(images, name)
        files = {}
        with open(image + ".manifest", encoding="utf-8") as f:
            for line in f:
                w = line.rstrip("\n").split(" ", 5)
                if w[0] == "file" and w[2] == "live" and w[5].isascii():
                    files.setdefault(int(w[1]), []).append((w[5].lstrip("/"), int(w[3])))
        for number, want in sorted(files.items()):
            if number <= 0:
                continue
            p = subprocess.run([qvx, "analyze", image, "-p", str(number), "--json", "-q"],
                               capture_output=True, text=True, timeout=300)
            rows = [json.loads(x) for x in p.stdout.splitlines() if x.strip()]
            # FAT names without a long-name entry read back as their upper-case
            # short names.
            got = {(r["path"].upper(), r["size"]) for r in rows
                   if r.get("type") == "file" and not r.get("deleted")}
            missing = [w for w in want if (w[0].upper(), w[1]) not in got]
            c.expect(p.returncode == 0 and not missing,
                     f"{name} partition {number}: Standard Search finds its {len(want)} live files"
                     + (f", missing {missing[:3]}" if missing else ""))


def check_unknown(qvx, tmp, c):
    image = os.path.join(tmp, "blank.img")
    sectors = 64 * MIB
    with open(image, "wb") as f:
        f.truncate(sectors * SECTOR)
    rc, got, _ = qvx_partitions(qvx, image)
    c.expect(rc == 3 and got == [{"number": 1, "name": "Unknown Partition", "first": 0, "end": sectors,
                                  "size_mb": 64, "table": "search"}],
             f"a disk without boot sectors gives the single Unknown Partition and exit 3: {rc} {got}")


def check_truncated(qvx, images, tmp, c):
    """demo.img cut in half: the read failure starts the search, which must
    not list the table's partitions again (NTFS boot sectors count one
    sector fewer than the slot)."""
    image = os.path.join(tmp, "truncated.img")
    with open(os.path.join(images, "demo.img"), "rb") as src, open(image, "wb") as dst:
        size = os.path.getsize(src.name) // 2 // SECTOR * SECTOR
        while dst.tell() < size:
            block = src.read(min(1 << 20, size - dst.tell()))
            if not block:
                break
            dst.write(block)
    _, table, _ = qvx_partitions(qvx, os.path.join(images, "demo.img"))
    _, got, _ = qvx_partitions(qvx, image)
    starts = [(e["first"], e["name"]) for e in got]
    c.expect(len(starts) == len(set(starts)) and got and got[0]["table"] != "search",
             f"a truncated image lists each partition once: {starts}")
    inside = [(e["name"], e["first"], e["end"]) for e in table if e["first"] < size // SECTOR]
    listed = {(e["name"], e["first"]): e["end"] for e in got if e["table"] != "search"}
    c.expect(all(listed.get((n, f), e) == e for n, f, e in inside) and listed,
             f"the table's entries keep their own ends: {listed}")


def check_interrupt(qvx, tmp, c):
    image = os.path.join(tmp, "huge.img")
    with open(image, "wb") as f:
        f.truncate(8 << 40)  # 8 TiB, sparse: millions of probes
        f.seek(63 * SECTOR + 3)
        f.write(b"NTFS    ")
        f.seek(63 * SECTOR + 40)
        f.write((20000).to_bytes(8, "little"))
        f.seek(63 * SECTOR + 510)
        f.write(b"\x55\xaa")
    p = subprocess.Popen([qvx, "partitions", image, "--json", "--search"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)
    if p.poll() is not None:
        c.expect(False, "the search of an 8 TiB disk was still running after 1.5 s")
        return
    p.send_signal(signal.SIGINT)
    try:
        out, _ = p.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        c.expect(False, "Ctrl-C ends the search within 30 s")
        return
    got = [json.loads(line) for line in out.splitlines() if line.strip()]
    c.expect(p.returncode == 1 and got == [{"number": 1, "name": "NTFS", "first": 63, "end": 20063,
                                            "size_mb": 9, "table": "search"}],
             f"Ctrl-C stops the search: exit {p.returncode}, prints what was found {got}")


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    qvx, images = argv[1], argv[2]
    needed = ["gpt.img", "gpt-nopri.img", "gpt-lost.img", "lost-mbr.img", "demo.img"]
    missing = [n for n in needed if not os.path.exists(os.path.join(images, n))]
    if missing:
        print(f"SKIP images missing: {missing}")
        return 77
    c = Checks()
    tmp = tempfile.mkdtemp(prefix="qvx-search-", dir=images)
    try:
        check_backup_header(qvx, images, c)
        check_gpt_lost(qvx, images, c)
        check_lost_mbr(qvx, images, c)
        check_standard_search(qvx, images, c)
        check_unknown(qvx, tmp, c)
        check_truncated(qvx, images, tmp, c)
        check_interrupt(qvx, tmp, c)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
