#!/usr/bin/env python3
"""qvx on damaged copies of the generated images: every run must end with a
result or a clear message, never a crash, a sanitizer report or a hang.

  check_damaged.py QVX IMAGES_DIR CASE
  check_damaged.py QVX --corpus          the looping FAT32 volume of the corpus

CASE is one of: random, zeros, mft, fat, truncated, fat-loop, ebr-loop,
runlist. The copies are made in a temporary folder (the images stay as
they are) with a fixed random seed, so a failure repeats. On each copy the
Standard Search runs (and the Advance Search, when this qvx offers it), and
on the file-system cases also `qvx recover`. A run passes when it exits 0
with a JSON listing, or 1, 2 or 3 with a message on stderr. Exit 77 skips.
"""
import gzip
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

SKIP = 77
SECTOR = 512
RUN_TIMEOUT = 50
EXTENDED_TYPES = (0x05, 0x0F, 0x85)
CORPUS = os.environ.get("QVX_CORPUS", os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "corpus")))
SANITIZER_MARKS = ("AddressSanitizer", "UndefinedBehaviorSanitizer", "runtime error:", "LeakSanitizer")


class Checker:
    def __init__(self, qvx):
        self.qvx = qvx
        self.failures = []
        self.runs = 0
        res = subprocess.run([qvx, "analyze", "--help"], capture_output=True, timeout=RUN_TIMEOUT)
        self.advance = b"advance" in res.stdout

    def run(self, what, args, listing):
        self.runs += 1
        try:
            res = subprocess.run([self.qvx] + args, capture_output=True, timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.failures.append(f"{what}: no end within {RUN_TIMEOUT} s")
            return
        err = res.stderr.decode("utf-8", errors="replace")
        if any(mark in err for mark in SANITIZER_MARKS):
            self.failures.append(f"{what}: sanitizer report\n{err[-2000:]}")
            return
        if res.returncode not in (0, 1, 2, 3):
            self.failures.append(f"{what}: exit {res.returncode}\n{err[-2000:]}")
            return
        if res.returncode != 0 and not err.strip():
            self.failures.append(f"{what}: exit {res.returncode} without a message")
            return
        if res.returncode == 0 and listing:
            try:
                for line in res.stdout.decode("utf-8").splitlines():
                    if line.strip():
                        json.loads(line)
            except (UnicodeDecodeError, json.JSONDecodeError) as e:
                self.failures.append(f"{what}: listing is not JSON lines ({e})")

    def analyze(self, image, target, recover_dir=None):
        """target: ["--partition", "N"] or ["--range", "F:E", "--kind", "K"]."""
        name = f"{os.path.basename(image)} {' '.join(target)}"
        self.run(f"analyze {name}", ["analyze", image] + target + ["--json", "-q"], True)
        if self.advance:
            self.run(f"analyze --mode advance {name}",
                     ["analyze", image] + target + ["--mode", "advance", "--json", "-q"], False)
        if recover_dir is not None:
            dest = os.path.join(recover_dir, f"out-{self.runs}")
            self.run(f"recover {name}", ["recover", image, dest] + target + ["-q"], False)
            shutil.rmtree(dest, ignore_errors=True)

    def partitions(self, image, recover_dir=None):
        """Lists the partitions and analyzes every one listed."""
        self.runs += 1
        try:
            res = subprocess.run([self.qvx, "partitions", image, "--json", "-q"], capture_output=True,
                                 timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.failures.append(f"partitions {os.path.basename(image)}: no end within {RUN_TIMEOUT} s")
            return
        err = res.stderr.decode("utf-8", errors="replace")
        if res.returncode != 0 or any(mark in err for mark in SANITIZER_MARKS):
            if res.returncode not in (1, 2, 3) or not err.strip() or any(m in err for m in SANITIZER_MARKS):
                self.failures.append(f"partitions {os.path.basename(image)}: exit {res.returncode}\n{err[-2000:]}")
            return
        count = sum(1 for line in res.stdout.decode("utf-8").splitlines() if line.strip())
        for n in range(1, count + 1):
            self.analyze(image, ["--partition", str(n)], recover_dir)


def copy_image(src, work, suffix):
    dst = os.path.join(work, os.path.basename(src).replace(".img", f"-{suffix}.img"))
    shutil.copyfile(src, dst)
    return dst


def sectors_of(path):
    return os.path.getsize(path) // SECTOR


def volume_target(path, kind):
    return ["--range", f"0:{sectors_of(path)}", "--kind", kind]


def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def read(path, offset, length):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(length)


VOLUMES = [("vol-ntfs.img", "NTFS"), ("vol-fat16.img", "FAT16"), ("vol-fat32.img", "FAT32")]


def fat_geometry(path):
    boot = read(path, 0, SECTOR)
    bps, spc, reserved, nfats, root_entries = struct.unpack_from("<HBHBH", boot, 0x0B)
    spf = struct.unpack_from("<H", boot, 0x16)[0] or struct.unpack_from("<I", boot, 0x24)[0]
    root_cluster = struct.unpack_from("<I", boot, 0x2C)[0]
    return spc, reserved, nfats, spf, root_entries, root_cluster


def ntfs_mft_offset(path):
    boot = read(path, 0, SECTOR)
    spc = boot[0x0D]
    return struct.unpack_from("<Q", boot, 0x30)[0] * spc * SECTOR


def non_resident_data_runs(record):
    """Offsets (in the record) of the run lists of its non-resident $DATA."""
    found = []
    off = struct.unpack_from("<H", record, 0x14)[0]
    while off + 16 <= len(record):
        atype, alen = struct.unpack_from("<II", record, off)
        if atype == 0xFFFFFFFF or alen < 16 or off + alen > len(record):
            break
        if atype == 0x80 and record[off + 8] == 1:
            found.append(off + struct.unpack_from("<H", record, off + 0x20)[0])
        off += alen
    return found


def push_first_run_past_end(path, record_offset):
    """Gives the first run of every non-resident $DATA of the record the
    largest forward offset its field can carry; True when one was changed."""
    record = bytearray(read(path, record_offset, 1024))
    if record[:4] != b"FILE":
        return False
    changed = False
    for runs in non_resident_data_runs(bytes(record)):
        header = record[runs]
        len_size, off_size = header & 0x0F, header >> 4
        start = runs + 1 + len_size
        # Keep clear of the update sequence check bytes at the end of each sector.
        if off_size == 0 or start + off_size > 1020 or (start + off_size > 510 and start < 512):
            continue
        record[start:start + off_size] = b"\xff" * (off_size - 1) + b"\x7f"
        changed = True
    if changed:
        patch(path, record_offset, bytes(record))
    return changed


def case_random(checker, images, work, rng, fill):
    for name, kind in VOLUMES + [("demo.img", None)]:
        src = os.path.join(images, name)
        if not os.path.exists(src):
            continue
        dst = copy_image(src, work, f"damaged-{fill}")
        total = sectors_of(dst)
        # The first sectors hold the structures; hit them as well as the rest.
        picks = set(rng.randrange(0, min(total, 4096)) for _ in range(48))
        picks |= set(rng.randrange(0, total) for _ in range(48))
        for lba in picks:
            data = bytes(SECTOR) if fill == "zeros" else bytes(rng.getrandbits(8) for _ in range(SECTOR))
            patch(dst, lba * SECTOR, data)
        if kind is None:
            checker.partitions(dst)
        else:
            checker.analyze(dst, volume_target(dst, kind), work)
        os.remove(dst)


def case_mft(checker, images, work, rng):
    src = os.path.join(images, "vol-ntfs.img")
    for records in (4, 32):
        dst = copy_image(src, work, f"mft{records}")
        patch(dst, ntfs_mft_offset(dst), bytes(records * 1024))
        checker.analyze(dst, volume_target(dst, "NTFS"), work)
        os.remove(dst)


def case_fat(checker, images, work, rng):
    for name, kind in VOLUMES[1:]:
        dst = copy_image(os.path.join(images, name), work, "nofat")
        spc, reserved, nfats, spf, _, _ = fat_geometry(dst)
        patch(dst, reserved * SECTOR, bytes(nfats * spf * SECTOR))
        checker.analyze(dst, volume_target(dst, kind), work)
        os.remove(dst)


def case_truncated(checker, images, work, rng):
    for name, kind in VOLUMES + [("demo.img", None), ("chain3.img", None)]:
        src = os.path.join(images, name)
        total = sectors_of(src)
        for cut in (total // 2 * SECTOR + 100, total // 5 * SECTOR):
            dst = copy_image(src, work, f"cut{cut}")
            with open(dst, "r+b") as f:
                f.truncate(cut)
            if kind is None:
                checker.partitions(dst)
            else:
                # The range still claims the whole volume the image no longer holds.
                checker.analyze(dst, ["--range", f"0:{total}", "--kind", kind], work)
            os.remove(dst)


def case_fat_loop(checker, images, work, rng):
    for name, kind in VOLUMES[1:]:
        dst = copy_image(os.path.join(images, name), work, "loop")
        spc, reserved, nfats, spf, root_entries, root_cluster = fat_geometry(dst)
        width = 4 if kind == "FAT32" else 2
        fat = bytearray(read(dst, reserved * SECTOR, spf * SECTOR))
        # Every chain of two or more clusters has its last link point back to
        # its first cluster, and the FAT32 root's chain to itself.
        clusters = len(fat) // width
        value = lambda n: int.from_bytes(fat[n * width:(n + 1) * width], "little")
        end_mark = 0x0FFFFFF8 if width == 4 else 0xFFF8
        targets = set(value(n) for n in range(2, clusters))
        for head in range(2, clusters):
            if head in targets:
                continue
            n, steps = head, 0
            while 2 <= value(n) < clusters and steps < clusters:
                n, steps = value(n), steps + 1
            if steps > 0 and value(n) >= end_mark:
                fat[n * width:(n + 1) * width] = head.to_bytes(width, "little")
        if kind == "FAT32":
            fat[root_cluster * 4:root_cluster * 4 + 4] = root_cluster.to_bytes(4, "little")
        for copy in range(nfats):
            patch(dst, (reserved + copy * spf) * SECTOR, bytes(fat))
        checker.analyze(dst, volume_target(dst, kind), work)
        os.remove(dst)


def case_ebr_loop(checker, images, work, rng):
    src = os.path.join(images, "chain3.img")
    mbr = read(src, 0, SECTOR)
    base = None
    for k in range(4):
        entry = mbr[0x1BE + 16 * k:0x1BE + 16 * (k + 1)]
        if entry[4] in EXTENDED_TYPES:
            base = struct.unpack_from("<I", entry, 8)[0]
    if base is None:
        print("FAIL chain3.img has no extended partition")
        checker.failures.append("chain3.img has no extended partition")
        return
    chain = [base]
    while len(chain) < 32:
        link = read(src, chain[-1] * SECTOR + 0x1BE + 16, 16)
        rel = struct.unpack_from("<I", link, 8)[0]
        if link[4] not in EXTENDED_TYPES or rel == 0:
            break
        chain.append(base + rel)
    # The first EBR linking to itself, and the last one back to the first.
    for label, ebr, target in (("self", chain[0], chain[0]), ("back", chain[-1], chain[0])):
        dst = copy_image(src, work, f"ebr-{label}")
        entry = bytearray(16)
        entry[4] = 0x05
        struct.pack_into("<II", entry, 8, target - base, 2048)
        patch(dst, ebr * SECTOR + 0x1BE + 16, bytes(entry))
        checker.partitions(dst)
        os.remove(dst)


def case_runlist(checker, images, work, rng):
    src = os.path.join(images, "vol-ntfs.img")
    mft = ntfs_mft_offset(src)
    # The MFT's own run list, then those of the user files.
    dst = copy_image(src, work, "mftrun")
    if not push_first_run_past_end(dst, mft):
        checker.failures.append("record 0 has no non-resident $DATA")
    checker.analyze(dst, volume_target(dst, "NTFS"), work)
    os.remove(dst)
    dst = copy_image(src, work, "filerun")
    changed = sum(push_first_run_past_end(dst, mft + n * 1024) for n in range(16, 256))
    if changed == 0:
        checker.failures.append("no file record with a non-resident $DATA")
    checker.analyze(dst, volume_target(dst, "NTFS"), work)
    os.remove(dst)


def case_corpus(checker, work):
    archive = os.path.join(CORPUS, "dfir_ntfs", "fat32_loop.raw.gz")
    if not os.path.exists(archive):
        print(f"skip: {archive} missing")
        return SKIP
    image = os.path.join(work, "fat32_loop.raw")
    with gzip.open(archive, "rb") as src, open(image, "wb") as dst:
        while True:
            block = src.read(1 << 20)
            if not block:
                break
            if block.count(0) == len(block):
                dst.seek(len(block), os.SEEK_CUR)
            else:
                dst.write(block)
        dst.truncate()
    checker.analyze(image, volume_target(image, "FAT32"), work)
    return 0


CASES = {
    "random": lambda c, i, w, r: case_random(c, i, w, r, "random"),
    "zeros": lambda c, i, w, r: case_random(c, i, w, r, "zeros"),
    "mft": case_mft,
    "fat": case_fat,
    "truncated": case_truncated,
    "fat-loop": case_fat_loop,
    "ebr-loop": case_ebr_loop,
    "runlist": case_runlist,
}


def main():
    if len(sys.argv) == 3 and sys.argv[2] == "--corpus":
        checker = Checker(sys.argv[1])
        work = tempfile.mkdtemp(prefix="qvx-damaged-")
        try:
            rc = case_corpus(checker, work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        if rc == SKIP:
            return SKIP
    elif len(sys.argv) == 4 and sys.argv[3] in CASES:
        qvx, images, case = sys.argv[1:]
        if not all(os.path.exists(os.path.join(images, n)) for n, _ in VOLUMES):
            print(f"skip: generated images missing in {images}")
            return SKIP
        checker = Checker(qvx)
        work = tempfile.mkdtemp(prefix="qvx-damaged-")
        try:
            CASES[case](checker, images, work, random.Random(f"qvx-{case}"))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for failure in checker.failures:
        print(f"FAIL {failure}")
    if checker.failures:
        return 1
    print(f"ok   {checker.runs} runs ended with a result or a message")
    return 0


if __name__ == "__main__":
    sys.exit(main())
