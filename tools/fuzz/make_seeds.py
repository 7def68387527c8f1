#!/usr/bin/env python3
"""Cuts seed inputs for the fuzz targets out of the generated test images.

    make_seeds.py IMAGES_DIR CORPUS_ROOT

Writes CORPUS_ROOT/<target>/seed-*. Disk-based targets take sparse disks
(tools/fuzz/fuzz_disk.h): a header (u32 sector count, a selector byte, three
unused bytes) and records of u32 LBA plus 512 sector bytes.
"""
import hashlib
import pathlib
import struct
import sys

SECTOR = 512
EXTENDED_TYPES = (0x05, 0x0F, 0x85)


def sparse(sectors, selector, blocks):
    """blocks: {lba: 512 bytes}; zero sectors are left out."""
    out = bytearray(struct.pack('<IB3x', sectors, selector))
    for lba in sorted(blocks):
        data = blocks[lba]
        if any(data):
            out += struct.pack('<I', lba) + data
    return bytes(out)


class Image:
    def __init__(self, path):
        self.path = path
        self.f = open(path, 'rb')
        self.sectors = path.stat().st_size // SECTOR

    def read(self, lba, count=1):
        if lba < 0 or lba + count > self.sectors:
            return bytes(SECTOR * count)
        self.f.seek(lba * SECTOR)
        return self.f.read(SECTOR * count)


def manifest_volumes(manifest):
    vols = []
    for line in manifest.read_text(errors='replace').splitlines():
        parts = line.split()
        if len(parts) == 5 and parts[0] == 'volume':
            vols.append((parts[2], int(parts[3]), int(parts[4])))
    return vols


def ebr_chain(img):
    mbr = img.read(0)
    found = []
    for k in range(4):
        e = mbr[0x1BE + 16 * k:0x1BE + 16 * k + 16]
        if e[4] in EXTENDED_TYPES:
            base = struct.unpack_from('<I', e, 8)[0]
            lba = base
            while lba and lba not in found and len(found) < 32:
                found.append(lba)
                link = img.read(lba)[0x1BE + 16:0x1BE + 32]
                rel = struct.unpack_from('<I', link, 8)[0]
                lba = base + rel if link[4] in EXTENDED_TYPES and rel else 0
    return found


class Seeds:
    def __init__(self, root):
        self.root = root
        self.seen = set()

    def add(self, target, data):
        digest = hashlib.sha1(data).hexdigest()[:16]
        if (target, digest) in self.seen:
            return
        self.seen.add((target, digest))
        d = self.root / target
        d.mkdir(parents=True, exist_ok=True)
        (d / f'seed-{digest}').write_bytes(data)


def volume_blocks(img, first, end, order, cap):
    """Non-zero sectors of the volume, relative to its start: the LBAs in
    order first, then the rest from the start, at most cap sectors."""
    blocks = {}
    size = end - first
    def take(rel):
        if 0 <= rel < size and rel not in blocks and len(blocks) < cap:
            data = img.read(first + rel)
            if any(data):
                blocks[rel] = data
    for rel in order:
        take(rel)
    rel = 0
    while len(blocks) < cap and rel < size:
        take(rel)
        rel += 1
    return blocks


def ntfs_seeds(seeds, img, first, end):
    boot = img.read(first)
    bps, spc = struct.unpack_from('<HB', boot, 0x0B)
    mft_cluster = struct.unpack_from('<Q', boot, 0x30)[0]
    if bps != SECTOR or spc == 0:
        return
    mft = mft_cluster * spc
    size = end - first
    order = [0, size - 1] + list(range(mft, mft + 512))
    blocks = volume_blocks(img, first, end, order, 640)
    disk = min(size, 1 << 17)
    seeds.add('boot_sector', sparse(size, 0, {r: b for r, b in blocks.items() if r < 16 or r == size - 1}))
    seeds.add('ntfs_search', sparse(disk, 0, {r: b for r, b in blocks.items() if r < 16 or r == size - 1 or mft <= r < mft + 512}))
    for selector in (0, 64):
        seeds.add('ntfs_data', sparse(disk, selector, blocks))
    seeds.add('ntfs_scan', sparse(min(size, 1 << 15), 0, blocks))
    for n in range(96):
        rec = img.read(first + mft + 2 * n, 2)
        if rec[:4] == b'FILE':
            seeds.add('mft_record', rec)


def fat_seeds(seeds, img, fs, first, end):
    boot = img.read(first)
    bps, spc, reserved, nfats, root_entries = struct.unpack_from('<HBHBH', boot, 0x0B)
    spf = struct.unpack_from('<H', boot, 0x16)[0] or struct.unpack_from('<I', boot, 0x24)[0]
    if bps != SECTOR or spc == 0:
        return
    fat32 = fs == 'FAT32'
    selector = 1 if fat32 else 0
    size = end - first
    root_sectors = (root_entries * 32 + SECTOR - 1) // SECTOR
    data_start = reserved + nfats * spf + root_sectors
    order = list(range(0, 16)) + list(range(reserved, reserved + 8)) + \
        list(range(data_start - root_sectors, data_start + 64 * spc))
    blocks = volume_blocks(img, first, end, order, 640)
    disk = min(size, 1 << 17)
    seeds.add('boot_sector', sparse(size, 2 if fat32 else 1, {r: b for r, b in blocks.items() if r < 16}))
    seeds.add('fat_search', sparse(disk, selector, blocks))
    seeds.add('fat_scan', sparse(min(size, 1 << 15), selector, blocks))
    # The same volume without its boot sectors: the geometry is rebuilt.
    seeds.add('fat_search', sparse(disk, selector, {r: b for r, b in blocks.items() if r >= reserved}))
    # fat_dir's fixed layout: FAT at 1..8, FAT16 root at 9..40, data after.
    k = {1: 0, 2: 1, 4: 2, 8: 3}.get(spc)
    if k is None:
        return
    fixed = {}
    for i in range(8):
        fixed[1 + i] = img.read(first + reserved + i)
    dest = 9
    if not fat32:
        for i in range(32):
            fixed[dest + i] = img.read(first + data_start - root_sectors + i) if i < root_sectors else bytes(SECTOR)
        dest += 32
    for i in range(128):
        fixed[dest + i] = img.read(first + data_start + i)
    seeds.add('fat_dir', sparse(4096, selector | (k << 1), fixed))


def lznt1_seeds(seeds):
    literal = bytes(range(32, 127)) * 3
    groups = bytearray()
    for i in range(0, len(literal), 8):
        groups += b'\x00' + literal[i:i + 8]
    compressed = struct.pack('<H', 0x8000 | (len(groups) - 1)) + groups
    # 'a' then a back-reference of offset 1, length 18: 19 times 'a'.
    repeat = b'\x02a' + struct.pack('<H', (0 << 12) | (18 - 3))
    repeat = struct.pack('<H', 0x8000 | (len(repeat) - 1)) + repeat
    stored = struct.pack('<H', 0x3000 | 0xFFF) + bytes(i & 0xFF for i in range(4096))
    for out_size in (0x00, 0x01, 0x8B):
        seeds.add('lznt1', bytes([out_size]) + compressed + repeat)
        seeds.add('lznt1', bytes([out_size]) + stored + compressed + b'\x00\x00')


def session_seeds(seeds):
    """Session logs written field by field as session_log.h lays them out."""
    def text32(t):
        return struct.pack('<I', len(t)) + t
    def text8(t):
        return struct.pack('<B', len(t)) + t
    for fs in (b'NTFS', b'FAT16', b'FAT32'):
        out = bytearray(b'QVXWIN7SR2009')
        out += text32(b'QVX test disk')
        out += bytes([1, 0, 0, 1]) + text8(fs) + text8(b'Standard Search ')
        out += struct.pack('<QQ', 2048, 34815)
        out += struct.pack('<12I', *range(1, 13)) + struct.pack('<12I', *range(1, 13))
        out += text8(fs)
        folders = [(b'QVX_Miscellaneous', 0x0FFFFFFF, 5), (b'docs', 64, 5), (b'old', 65, 64)]
        out += struct.pack('<I', len(folders))
        for name, self_id, parent in folders:
            out += struct.pack('<I', len(name) + 25) + name
            out += struct.pack('<IIQQB', self_id, parent, 39877, 51234, name == b'old')
        if fs == b'NTFS':
            files = [(b'readme.txt', 4096, 70, 64), (b'gone.doc', 4100, 71, 65)]
            out += struct.pack('<I', len(files))
            for name, sector, self_id, parent in files:
                out += text32(name) + struct.pack('<IIIqII', sector, self_id, parent, 130000000000000000,
                                                   1234, name == b'gone.doc')
        seeds.add('session_log', bytes(out))


def main():
    images, root = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    seeds = Seeds(root)
    for manifest in sorted(images.glob('*.img.manifest')):
        path = images / manifest.name[:-len('.manifest')]
        if not path.exists():
            continue
        img = Image(path)
        vols = manifest_volumes(manifest)
        table = {lba: img.read(lba) for lba in list(range(34)) + list(range(img.sectors - 33, img.sectors))}
        for lba in ebr_chain(img):
            table[lba] = img.read(lba)
        for _, first, _ in vols:
            table[first] = img.read(first)
            table[first + 6] = img.read(first + 6)
        seeds.add('partition_table', sparse(img.sectors, 0, table))
        for fs, first, end in vols:
            if fs == 'NTFS':
                ntfs_seeds(seeds, img, first, end)
            elif fs in ('FAT16', 'FAT32'):
                fat_seeds(seeds, img, fs, first, end)
    lznt1_seeds(seeds)
    session_seeds(seeds)
    # Inputs that once crashed or hung a target (TARGET-what) stay in its
    # corpus, so every run tries them first.
    regressions = pathlib.Path(__file__).resolve().parent / 'regressions'
    for found in sorted(regressions.glob('*-*')):
        seeds.add(found.name.split('-', 1)[0], found.read_bytes())
    for d in sorted(p for p in root.iterdir() if p.is_dir()):
        print(f'{d.name}: {sum(1 for _ in d.iterdir())} inputs')


if __name__ == '__main__':
    main()
