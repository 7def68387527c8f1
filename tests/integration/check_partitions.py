#!/usr/bin/env python3
"""Compares `qvx partitions IMAGE --json` with The Sleuth Kit's mmls.

    check_partitions.py QVX IMAGES_DIR            generated images (mmls run here)
    check_partitions.py QVX --corpus [CORPUS_DIR] real-world images with their
                                                  stored mmls listings

The expected list is built from the mmls rows of the PC partition table,
filtered and ordered the way the partition reader walks the table:

- the four MBR slots in slot order, then the extended chain record by record;
  in an extended boot record only its first two slots are read;
- the type byte is corrected by the volume's boot sector ("FAT32" at 82,
  "FAT16" at 54, "NTFS" at 3), then 0x07 is NTFS, 0x04/0x06/0x0E FAT16,
  0x0B/0x0C FAT32, and 0x01 FAT16 inside the chain only;
- a primary slot starting less than 24,576 sectors before the end of the
  disk makes the table count as corrupted: the read stops there (partitions
  found by the search that follows carry "table": "search" and are not
  compared here).

A GUID partition table (mmls: "GUID Partition Table (EFI)") is listed in
entry order instead, "table": "gpt": an entry is listed when its first
sector carries one of the three signatures (the type GUID does not decide),
first = mmls Start, end = mmls End + 1; entries whose end does not fit 32
bits are not listed.

Generated images whose manifest says "table search" hold no readable table:
`qvx partitions` (which then searches by itself) and `qvx partitions
--search` must both list exactly the manifest's volumes, "table": "search".
An image whose manifest says "table gpt" while mmls sees no GPT (its primary
header is damaged; mmls does not read the backup) is compared with its
manifest alone.

Generated images are also checked against the partition list in their
manifest. Exit 0 pass, 1 fail, 77 skipped (corpus absent).
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile

SECTOR = 512
PLAUSIBLE_TAIL = 0x6000
MAX_PARTITIONS = 26
SIGNATURES = [(82, b"FAT32", 0x0B), (54, b"FAT16", 0x06), (3, b"NTFS", 0x07)]
NAMES = {0x07: "NTFS", 0x04: "FAT16", 0x06: "FAT16", 0x0E: "FAT16",
         0x0B: "FAT32", 0x0C: "FAT32"}
CHAIN_ONLY = {0x01: "FAT16"}
EXTENDED = (0x05, 0x0F)

# Corpus images small enough to unpack in a second or two (sparse). The
# larger ones (1 GiB and up) are left to manual runs.
CORPUS = [
    # Extended record #1 holds two logical drives in slots 0 and 1 and the
    # link to record #2 in slot 2. mmls follows that link and shows a sixth
    # FAT16 at 262143; the reader reads two slots per extended record, so it
    # lists five partitions and never reaches record #2.
    "dftt/ext-part-test-2.dd.gz",
    "dftt/10-ntfs-disk.dd.gz",
    "dfir_ntfs/ntfs_index.raw.gz",
    # Unformatted: the type bytes (0x06) alone decide, 3 primaries + 4 logical.
    "dfir_ntfs/mbr-win-512.raw.tgz",
    # Truncated to 2 MiB while its partition table describes 78 MiB: the
    # only slot starts within 24,576 sectors of the image end, so the table
    # counts as corrupted and nothing is listed from it.
    "grr/ntfs_img.dd.gz",
    # GPT (Windows-made): one basic-data entry holding NTFS. The 5 MiB disk
    # is far too small for the plausibility test, which the protective slot
    # is exempt from.
    "velociraptor/test-vhdx-gpt.raw.gz",
    # GPT (Windows-made), 5 GiB sparse: a Microsoft reserved entry without a
    # boot sector (not listed), then the NTFS basic-data entry.
    "dfir_ntfs/vss_1_vol.tar.gz",
    "ntfs-samples/ntfs-lastaccess.raw.gz",
]

ROW_RE = re.compile(r"^\d+:\s+(\d+):(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+.*\((0x[0-9a-fA-F]+)\)\s*$")
GPT_ROW_RE = re.compile(r"^\d+:\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)(?:\s+.*)?$")
EBR_RE = re.compile(r"^\d+:\s+Meta\s+(\d+)\s+\d+\s+\d+\s+Extended Table \(#(\d+)\)")


def read_sector(path, lba):
    with open(path, "rb") as f:
        f.seek(lba * SECTOR)
        data = f.read(SECTOR)
    return data + bytes(SECTOR - len(data))


def slots(sector, count):
    out = []
    for k in range(count):
        e = sector[0x1BE + 16 * k: 0x1BE + 16 * k + 16]
        out.append((e[4], int.from_bytes(e[8:12], "little"), int.from_bytes(e[12:16], "little")))
    return out


def corrected_type(image, lba, type_byte):
    boot = read_sector(image, lba)
    for offset, text, corrected in SIGNATURES:
        if boot[offset:offset + len(text)] == text:
            return corrected
    return type_byte


def parse_mmls(text):
    """Returns ({(table, slot): (start, end_inclusive, type)}, {table: sector})."""
    rows, tables = {}, {}
    if "DOS Partition Table" not in text:
        return rows, tables
    for line in text.splitlines():
        m = ROW_RE.match(line)
        if m:
            t, s, start, end, _length, typ = m.groups()
            rows[(int(t), int(s))] = (int(start), int(end), int(typ, 16))
            continue
        m = EBR_RE.match(line)
        if m:
            tables[int(m.group(2))] = int(m.group(1))
    return rows, tables


def expected_gpt_partitions(image, mmls_text):
    """The GPT entries in slot order, each listed when its boot sector
    carries a signature."""
    rows = []
    for line in mmls_text.splitlines():
        m = GPT_ROW_RE.match(line)
        if m:
            slot, start, end, _length = map(int, m.groups())
            rows.append((slot, start, end))
    out = []
    for _slot, start, end in sorted(rows):
        name = NAMES.get(corrected_type(image, start, 0))
        if name is None or end + 1 > 0xFFFFFFFF:
            continue
        if len(out) < MAX_PARTITIONS:
            out.append({"number": len(out) + 1, "name": name, "first": start,
                        "end": end + 1, "table": "gpt"})
    return out


def expected_partitions(image, mmls_text):
    if "GUID Partition Table" in mmls_text:
        return expected_gpt_partitions(image, mmls_text)
    total = os.path.getsize(image) // SECTOR
    rows, tables = parse_mmls(mmls_text)
    mbr = read_sector(image, 0)
    out = []
    if mbr[510:512] != b"\x55\xaa":
        return out

    def add(start, end_inclusive, name):
        if len(out) < MAX_PARTITIONS:
            out.append({"number": len(out) + 1, "name": name, "first": start,
                        "end": end_inclusive + 1, "table": "mbr"})

    extended = False
    for k, (typ, start, _count) in enumerate(slots(mbr, 4)):
        if typ == 0:
            continue
        if total - start < PLAUSIBLE_TAIL:
            return out  # corrupted table: the read ends here
        if typ in EXTENDED:
            extended = True
            continue
        name = NAMES.get(corrected_type(image, start, typ))
        if name is None:
            continue
        row = rows.get((0, k))
        if row is None or row[0] != start:
            raise AssertionError(f"mmls has no primary slot {k} at {start}: {row}")
        add(row[0], row[1], name)

    table = 1
    while extended and table in tables and table < 64:
        for s in (0, 1):
            row = rows.get((table, s))
            if row is None:
                continue
            typ = corrected_type(image, row[0], row[2])
            name = NAMES.get(typ) or CHAIN_ONLY.get(typ)
            if name:
                add(row[0], row[1], name)
        ebr = read_sector(image, tables[table])
        extended = any(t in EXTENDED for t, _, _ in slots(ebr, 2))
        table += 1
    return out


def run_qvx(qvx, image, *flags):
    p = subprocess.run([qvx, "partitions", image, "--json", *flags], capture_output=True,
                       text=True, timeout=120)
    got = [json.loads(line) for line in p.stdout.splitlines() if line.strip()]
    # Nothing found: "Unknown Partition" alone, with exit code 3.
    nothing = p.returncode == 3 and [g["name"] for g in got] == ["Unknown Partition"]
    if p.returncode != 0 and not nothing:
        raise AssertionError(f"qvx partitions exit {p.returncode}: {p.stderr.strip()}")
    return got


def read_manifest(manifest):
    """(table kind, [volume entries]) of a generated image's manifest."""
    kind, volumes = "mbr", []
    with open(manifest, encoding="utf-8") as f:
        for line in f:
            w = line.split()
            if w and w[0] == "table":
                kind = w[1]
            elif w and w[0] == "volume" and w[1] != "0":
                volumes.append({"number": int(w[1]), "name": w[2], "first": int(w[3]),
                                "end": int(w[4])})
    for v in volumes:
        v["table"] = kind
    return kind, volumes


def trim(entries):
    return [{k: g.get(k) for k in ("number", "name", "first", "end", "table")} for g in entries]


def compare_manifest_only(qvx, image, manifest):
    """Images the table read cannot be checked against mmls for: the listing
    must equal the manifest (for "table search", with and without --search)."""
    label = os.path.basename(image)
    kind, want = read_manifest(manifest)
    runs = [(), ("--search",)] if kind == "search" else [()]
    errors = []
    for flags in runs:
        got = trim(run_qvx(qvx, image, *flags))
        if kind != "search":
            got = [g for g in got if g["table"] == kind]
        if got != want:
            errors.append(f"qvx partitions {' '.join(flags)} differs from the manifest:\n  want " +
                          "\n       ".join(map(str, want)) + "\n  got  " +
                          "\n       ".join(map(str, got)))
    for e in errors:
        print(f"FAIL {label}: {e}")
    if not errors:
        print(f"ok   {label}: {len(want)} partition(s), table {kind}, as the manifest says")
    return not errors


def compare(qvx, image, mmls_text, manifest=None):
    label = os.path.basename(image)
    expected = expected_partitions(image, mmls_text)
    got = run_qvx(qvx, image)
    errors = []
    listed = [g for g in got if g.get("table") in ("mbr", "gpt")]
    if got[:len(listed)] != listed:
        errors.append("entries from the table are not listed first")
    for g in got:
        if g.get("end", 0) - g.get("first", 0) >= 0 and g.get("size_mb") != (g["end"] - g["first"]) >> 11:
            errors.append(f"size_mb wrong in {g}")
    trimmed = trim(listed)
    if trimmed != expected:
        errors.append("listed partitions differ from mmls:\n  want " +
                      "\n       ".join(map(str, expected)) + "\n  got  " +
                      "\n       ".join(map(str, trimmed)))
    if manifest is not None:
        _kind, want = read_manifest(manifest)
        if trimmed != want:
            errors.append(f"listed partitions differ from the manifest: want {want} got {trimmed}")
    for e in errors:
        print(f"FAIL {label}: {e}")
    if not errors:
        print(f"ok   {label}: {len(trimmed)} partition(s) from the table"
              + (f", {len(got) - len(trimmed)} from the search" if len(got) > len(trimmed) else ""))
    return not errors


def check_generated(qvx, images_dir):
    ok, seen = True, 0
    for name in sorted(os.listdir(images_dir)):
        if not name.endswith(".img"):
            continue
        image = os.path.join(images_dir, name)
        manifest = image + ".manifest"
        kind = read_manifest(manifest)[0] if os.path.exists(manifest) else "mbr"
        p = subprocess.run(["mmls", image], capture_output=True, text=True)
        mmls_kind = ("gpt" if "GUID Partition Table" in p.stdout else
                     "mbr" if "DOS Partition Table" in p.stdout else None)
        try:
            if kind == "search" or (kind == "gpt" and mmls_kind != "gpt"):
                ok &= compare_manifest_only(qvx, image, manifest)
                continue
            if p.returncode != 0 or mmls_kind is None:
                continue  # a volume image without a partition table
            seen += 1
            ok &= compare(qvx, image, p.stdout, manifest)
        except Exception as e:  # noqa: BLE001 - report and go on
            print(f"FAIL {name}: {e}")
            ok = False
    if seen < 3:
        print(f"FAIL only {seen} partitioned images in {images_dir}")
        ok = False
    return ok


def unpack(src, dst):
    if src.endswith((".tgz", ".tar.gz")):
        unpack_tar(src, dst)
        return
    cmd = f"gunzip -c '{src}' | dd of='{dst}' bs=1M conv=sparse status=none"
    subprocess.run(["bash", "-o", "pipefail", "-c", cmd], check=True)


def unpack_tar(src, dst):
    """The archive's (first) image, written sparse: all-zero MiB are skipped
    rather than piped, which keeps a 5 GiB image of a few MiB of data quick."""
    chunk = 1 << 20
    zero = bytes(chunk)
    with tarfile.open(src) as tar:
        member = next(m for m in tar if m.isfile())
        f = tar.extractfile(member)
        with open(dst, "wb") as out:
            while True:
                b = f.read(chunk)
                if not b:
                    break
                if b == zero[:len(b)]:
                    out.seek(len(b), os.SEEK_CUR)
                else:
                    out.write(b)
            out.truncate()


def check_corpus(qvx, corpus):
    if not os.path.isdir(corpus):
        print(f"SKIP corpus not found at {corpus}")
        return 77
    ok, seen = True, 0
    tmp = tempfile.mkdtemp(prefix="qvx-corpus-")
    try:
        for rel in CORPUS:
            src = os.path.join(corpus, rel)
            base = re.sub(r"\.(gz|tgz|tar\.gz)$", "", os.path.basename(src))
            if src.endswith((".tgz", ".tar.gz")) and os.path.exists(src):
                with tarfile.open(src) as tar:  # named by the image inside
                    base = os.path.basename(tar.next().name)
            mmls = os.path.join(os.path.dirname(src), base + ".mmls.txt")
            if not (os.path.exists(src) and os.path.exists(mmls)):
                print(f"skip {rel}: not in the corpus")
                continue
            image = os.path.join(tmp, base)
            try:
                unpack(src, image)
                with open(mmls, encoding="utf-8") as f:
                    ok &= compare(qvx, image, f.read())
                seen += 1
            except Exception as e:  # noqa: BLE001
                print(f"FAIL {rel}: {e}")
                ok = False
            finally:
                if os.path.exists(image):
                    os.unlink(image)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if seen == 0:
        print("SKIP no corpus image available")
        return 77
    return 0 if ok else 1


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    qvx = argv[1]
    if argv[2] == "--corpus":
        repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        corpus = argv[3] if len(argv) > 3 else os.environ.get(
            "QVX_CORPUS", os.path.join(repo, "..", "shared", "corpus"))
        return check_corpus(qvx, os.path.normpath(corpus))
    return 0 if check_generated(qvx, argv[2]) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
