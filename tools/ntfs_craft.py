#!/usr/bin/env python3
"""Crafts hard cases into NTFS volume images made by mkntfs and ntfs-3g.

    ntfs_craft.py fragment-mft IMAGE [PIECES]

fragment-mft rewrites the $MFT's own data as runs of odd cluster counts laid
out out of order on the disk (within the clusters the MFT already owns), and
rewrites record 0's run list (and its mirror copy) to match. With clusters
smaller than a record, every run of odd length ends inside a record, so
records straddle two runs. The volume stays consistent: The Sleuth Kit lists
it as before.

Used as a module by the integration tests.
"""
import struct
import sys

SECTOR = 512
STRIDE = 512


class Volume:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            boot = f.read(SECTOR)
        if boot[3:7] != b"NTFS":
            raise ValueError(f"{path}: not an NTFS boot sector")
        bps = struct.unpack_from("<H", boot, 0x0B)[0]
        spc = boot[0x0D]
        self.cluster = bps * (spc if spc < 0x80 else 1 << (256 - spc))
        self.mft_lcn = struct.unpack_from("<Q", boot, 0x30)[0]
        self.mirror_lcn = struct.unpack_from("<Q", boot, 0x38)[0]
        cpr = struct.unpack_from("<b", boot, 0x40)[0]
        self.record = cpr * self.cluster if cpr > 0 else 1 << -cpr

    def read(self, offset, length):
        with open(self.path, "rb") as f:
            f.seek(offset)
            return f.read(length)

    def write(self, offset, data):
        with open(self.path, "r+b") as f:
            f.seek(offset)
            f.write(data)


def fixup(rec):
    """The record with its update sequence array put back (a bytearray)."""
    rec = bytearray(rec)
    usa, count = struct.unpack_from("<HH", rec, 4)
    for i in range(1, count):
        end = i * STRIDE
        if end > len(rec):
            break
        rec[end - 2:end] = rec[usa + 2 * i:usa + 2 * i + 2]
    return rec


def protect(rec):
    """The record as the disk holds it: stride ends saved and replaced."""
    rec = bytearray(rec)
    usa, count = struct.unpack_from("<HH", rec, 4)
    usn = rec[usa:usa + 2]
    for i in range(1, count):
        end = i * STRIDE
        if end > len(rec):
            break
        rec[usa + 2 * i:usa + 2 * i + 2] = rec[end - 2:end]
        rec[end - 2:end] = usn
    return bytes(rec)


def decode_runs(data):
    """[(clusters, lcn or None)] of a run list."""
    runs, pos, lcn = [], 0, 0
    while pos < len(data) and data[pos] != 0:
        h = data[pos]
        ls, os_ = h & 0x0F, h >> 4
        length = int.from_bytes(data[pos + 1:pos + 1 + ls], "little")
        if os_:
            delta = int.from_bytes(data[pos + 1 + ls:pos + 1 + ls + os_], "little", signed=True)
            lcn += delta
            runs.append((length, lcn))
        else:
            runs.append((length, None))
        pos += 1 + ls + os_
    return runs


def _min_bytes(value, signed):
    n = 1
    while True:
        try:
            value.to_bytes(n, "little", signed=signed)
            return n
        except OverflowError:
            n += 1


def encode_runs(runs):
    out, prev = bytearray(), 0
    for length, lcn in runs:
        # Lengths are written so that their top bit stays clear.
        lb = length.to_bytes(_min_bytes(length, True), "little")
        if lcn is None:
            out += bytes([len(lb)]) + lb
            continue
        ob = (lcn - prev).to_bytes(_min_bytes(lcn - prev, True), "little", signed=True)
        out += bytes([len(lb) | (len(ob) << 4)]) + lb + ob
        prev = lcn
    return bytes(out) + b"\0"


def attributes(rec):
    """[(offset, type, length)] of a fixed-up record."""
    out, off = [], struct.unpack_from("<H", rec, 0x14)[0]
    while off + 8 <= len(rec):
        t, length = struct.unpack_from("<II", rec, off)
        if t == 0xFFFFFFFF or length == 0:
            break
        out.append((off, t, length))
        off += length
    return out


def replace_run_list(rec, new_runs):
    """Record 0 with the run list of its unnamed $DATA replaced."""
    rec = bytearray(rec)
    for off, t, length in attributes(rec):
        if t == 0x80 and rec[off + 8] == 1 and rec[off + 9] == 0:
            runoff = struct.unpack_from("<H", rec, off + 0x20)[0]
            body = bytes(rec[off:off + runoff]) + encode_runs(new_runs)
            body += b"\0" * (-len(body) % 8)
            used = struct.unpack_from("<I", rec, 0x18)[0]
            rest = bytes(rec[off + length:used])
            new = bytes(rec[:off]) + body + rest
            if len(new) > len(rec) - 8:
                raise ValueError("the new run list does not fit record 0")
            rec[:len(new)] = new
            struct.pack_into("<I", rec, off + 4, len(body))
            struct.pack_into("<I", rec, 0x18, len(new))
            return bytes(rec)
    raise ValueError("record 0 has no non-resident unnamed $DATA")


def mft_runs(v):
    """The runs of the $MFT's unnamed data, from record 0."""
    rec0 = fixup(v.read(v.mft_lcn * v.cluster, v.record))
    for off, t, length in attributes(rec0):
        if t == 0x80 and rec0[off + 8] == 1 and rec0[off + 9] == 0:
            runoff = struct.unpack_from("<H", rec0, off + 0x20)[0]
            return decode_runs(rec0[off + runoff:off + length])
    raise ValueError("record 0 has no non-resident unnamed $DATA")


def record_offset(v, n):
    """Byte offset on the disk of the first byte of MFT record n."""
    want = n * v.record // v.cluster
    for length, lcn in mft_runs(v):
        if want < length:
            return (lcn + want) * v.cluster + (n * v.record) % v.cluster
        want -= length
    raise ValueError(f"record {n} lies beyond the $MFT")


def fragment_mft(path, pieces=(3, 5, 7, 9, 11, 13)):
    """Splits the $MFT's data into runs of the odd lengths given (the last
    one takes the rest) and lays them out out of order. Returns the new
    runs."""
    v = Volume(path)
    base = v.mft_lcn * v.cluster
    rec0 = fixup(v.read(base, v.record))
    data_attr = next(((o, t, l) for o, t, l in attributes(rec0) if t == 0x80 and rec0[o + 9] == 0), None)
    runoff = struct.unpack_from("<H", rec0, data_attr[0] + 0x20)[0]
    runs = decode_runs(rec0[data_attr[0] + runoff:data_attr[0] + data_attr[2]])
    if any(lcn is None for _, lcn in runs):
        raise ValueError("sparse $MFT")
    physical = [lcn + i for length, lcn in runs for i in range(length)]
    total = len(physical)
    sizes = []
    for p in pieces:
        if sum(sizes) + p >= total:
            break
        sizes.append(p)
    sizes.append(total - sum(sizes))
    # Piece 0 stays where the boot sector points; the others are placed in
    # reverse order over the remaining clusters.
    starts = [sum(sizes[:i]) for i in range(len(sizes))]
    order = [0] + list(range(len(sizes) - 1, 0, -1))
    slots, cursor = {}, 0
    for piece in order:
        slots[piece] = physical[cursor:cursor + sizes[piece]]
        cursor += sizes[piece]
    mapping = []
    for piece in range(len(sizes)):
        mapping += slots[piece]
    old = [v.read(c * v.cluster, v.cluster) for c in physical]
    new_runs = []
    for vcn, lcn in enumerate(mapping):
        if new_runs and new_runs[-1][1] + new_runs[-1][0] == lcn:
            new_runs[-1] = (new_runs[-1][0] + 1, new_runs[-1][1])
        else:
            new_runs.append((1, lcn))
    for vcn, lcn in enumerate(mapping):
        v.write(lcn * v.cluster, old[vcn])
    rec0 = protect(replace_run_list(rec0, new_runs))
    v.write(base, rec0)
    v.write(v.mirror_lcn * v.cluster, rec0)
    return new_runs


def main():
    if len(sys.argv) < 3 or sys.argv[1] != "fragment-mft":
        print(__doc__)
        return 2
    pieces = tuple(int(x) for x in sys.argv[3:]) or (3, 5, 7, 9, 11, 13)
    for length, lcn in fragment_mft(sys.argv[2], pieces):
        print(f"run {length} clusters at {lcn}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
