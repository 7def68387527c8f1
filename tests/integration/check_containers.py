#!/usr/bin/env python3
"""Image containers read as the raw disk they hold.

containers.img (tools/mkimages.sh: NTFS, FAT32, FAT16 and a logical NTFS
drive) is converted with ewfacquire to a multi-segment E01 set, with
qemu-img to VMDK (monolithic and split sparse), VHD, VHDX and qcow2, and with
split into numbered raw pieces. For every container, `qvx partitions --json`
and `qvx analyze --json` of every partition must be byte-identical to the raw
disk's, and `qvx disks` must report the media size and the container type
(for E01 also the acquisition notes and the stored MD5). `qvx recover` from
the E01 must write every live file of the manifest byte for byte. A
truncated E01, an E01 set with a segment missing and a VMDK without its
extent give a message naming the file and exit 2.

usage: check_containers.py QVX IMAGES_DIR
Exit 77 when the image or the converters are absent.
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_recover import digest, recover  # noqa: E402

SKIP = 77
CASE = "CASE-2031"
NOTES = "Seized at the scene; write blocker used"


class Checks:
    def __init__(self):
        self.failures = 0

    def expect(self, cond, what):
        print(("ok   " if cond else "FAIL ") + what)
        if not cond:
            self.failures += 1
        return cond


def run(cmd):
    p = subprocess.run(cmd, capture_output=True)
    return p.returncode, p.stdout, p.stderr.decode(errors="replace")


def convert(raw, work):
    """Every container of raw, by name: path of the file to open."""
    out = {}
    e01 = os.path.join(work, "e01", "disk")
    os.makedirs(os.path.dirname(e01))
    # -c none and 5 MiB segments: a set of a dozen segment files.
    rc, _, err = run(["ewfacquire", "-u", "-q", "-t", e01, "-f", "encase6", "-c", "none", "-S", "5MiB",
                      "-C", CASE, "-N", NOTES, "-e", "Examiner One", "-D", "container test disk", raw])
    if rc != 0:
        raise SystemExit(f"ewfacquire failed: {err}")
    out["E01"] = e01 + ".E01"
    for name, fmt, opts in (("VMDK", "vmdk", []),
                            ("VMDK split", "vmdk", ["-o", "subformat=twoGbMaxExtentSparse"]),
                            ("VHD", "vpc", ["-o", "force_size=on"]),  # the exact size, not one rounded to CHS
                            ("VHDX", "vhdx", []),
                            ("qcow2", "qcow2", [])):
        folder = os.path.join(work, name.replace(" ", "-"))
        os.makedirs(folder)
        target = os.path.join(folder, "disk." + fmt)
        rc, _, err = run(["qemu-img", "convert", "-f", "raw", "-O", fmt, *opts, raw, target])
        if rc != 0:
            raise SystemExit(f"qemu-img convert -O {fmt} failed: {err}")
        out[name] = target
    folder = os.path.join(work, "split")
    os.makedirs(folder)
    rc, _, err = run(["split", "-d", "-a", "3", "--numeric-suffixes=1", "-b", "10M", raw,
                      os.path.join(folder, "disk.")])
    if rc != 0:
        raise SystemExit(f"split failed: {err}")
    out["Split raw"] = os.path.join(folder, "disk.001")
    return out


def outputs(qvx, image):
    """partitions --json, then analyze --json of every partition (bytes)."""
    rc, parts, err = run([qvx, "partitions", image, "--json", "-q"])
    result = {"partitions": (rc, parts)}
    for line in parts.decode().splitlines():
        n = json.loads(line)["number"]
        rc, listing, _ = run([qvx, "analyze", image, "-p", str(n), "--json", "-q"])
        result[f"analyze -p {n}"] = (rc, listing)
    return result


def disk_entry(qvx, image):
    rc, out, err = run([qvx, "disks", "--image", image, "--json"])
    for line in out.decode().splitlines():
        d = json.loads(line)
        if d["image"] and os.path.abspath(d["path"]) == os.path.abspath(image):
            return rc, d
    return rc, None


def check_same_as_raw(qvx, raw, containers, c):
    want = outputs(qvx, raw)
    c.expect(want["partitions"][0] == 0 and len(want) == 5,
             f"raw disk: four partitions listed ({len(want) - 1})")
    _, raw_entry = disk_entry(qvx, raw)
    for name, path in containers.items():
        got = outputs(qvx, path)
        same = got == want
        if not same:
            diff = [k for k in want if got.get(k) != want[k]]
            c.expect(False, f"{name}: differs from the raw disk in {diff}")
        else:
            c.expect(True, f"{name}: partitions and every analysis byte-identical to the raw disk")
        rc, entry = disk_entry(qvx, path)
        want_type = "VMDK" if name.startswith("VMDK") else name
        c.expect(rc == 0 and entry is not None and entry["total_sectors"] == raw_entry["total_sectors"]
                 and entry["container"] == want_type and entry["details"]["sectors"] == raw_entry["total_sectors"],
                 f"{name}: disks reports {want_type} with the media's {raw_entry['total_sectors']} sectors"
                 f" ({entry and entry.get('container')}, {entry and entry.get('total_sectors')})")


def check_e01_details(qvx, raw, e01, c):
    rc, entry = disk_entry(qvx, e01)
    md5 = digest(raw, "md5")
    notes = dict(entry["acquisition_notes"]) if entry else {}
    c.expect(entry is not None and entry["stored_md5"] == md5,
             f"E01: the stored MD5 is reported ({entry and entry['stored_md5']} for {md5})")
    c.expect(notes.get("Case number") == CASE and notes.get("Notes") == NOTES
             and notes.get("Examiner") == "Examiner One",
             f"E01: the acquisition notes are reported {notes}")
    c.expect(entry is not None and len(entry["container_files"]) > 1 and len(entry["details"]) == 14,
             f"E01: {entry and len(entry['container_files'])} segment files, the fourteen detail rows kept")
    rc, text, _ = run([qvx, "disks", "--image", e01])
    c.expect(f"Stored MD5 : {md5}" in text.decode() and "Container : E01" in text.decode(),
             "E01: disks text shows the container and the stored MD5")


def check_e01_recover(qvx, raw, e01, work, c):
    volumes, files = {}, []
    with open(raw + ".manifest", encoding="utf-8") as f:
        for line in f:
            parts = line.rstrip("\n").split(" ", 5)
            if parts[0] == "volume":
                volumes[int(parts[1])] = (parts[2], int(parts[3]), int(parts[4]))
            elif parts[0] == "file":
                files.append((int(parts[1]), parts[2], int(parts[3]), parts[4], parts[5].lstrip("/")))
    checked, bad = 0, []
    for n, (kind, first, end) in volumes.items():
        dest = os.path.join(work, f"recovered-{n}")
        recover(qvx, e01, first, end, kind, dest)
        for vol, state, _, sha, path in files:
            if vol != n or state != "live":
                continue
            target = os.path.join(dest, path)
            if not os.path.isfile(target) or digest(target) != sha:
                bad.append(f"vol {n} {path}")
            else:
                checked += 1
    live = sum(1 for f in files if f[1] == "live")
    c.expect(not bad and checked == live, f"E01: recover wrote {checked} of {live} live files byte for byte {bad[:5]}")


def check_damaged(qvx, containers, work, c):
    e01_dir = os.path.dirname(containers["E01"])
    segments = sorted(f for f in os.listdir(e01_dir) if f.startswith("disk.E"))
    c.expect(len(segments) >= 3, f"E01 set of {len(segments)} segments")

    def copy_set(name):
        folder = os.path.join(work, name)
        shutil.copytree(e01_dir, folder)
        return folder

    truncated = copy_set("e01-truncated")
    last = os.path.join(truncated, segments[-1])
    os.truncate(last, os.path.getsize(last) // 2)
    missing = copy_set("e01-missing")
    os.remove(os.path.join(missing, segments[1]))
    cut_first = copy_set("e01-cut")
    os.truncate(os.path.join(cut_first, segments[0]), 100000)

    vmdk_dir = os.path.join(work, "vmdk-missing")
    shutil.copytree(os.path.dirname(containers["VMDK split"]), vmdk_dir)
    extents = [f for f in os.listdir(vmdk_dir) if f != "disk.vmdk"]
    c.expect(len(extents) >= 1, f"split VMDK has its extent files {extents}")
    for e in extents:
        os.remove(os.path.join(vmdk_dir, e))

    cases = [("truncated E01", os.path.join(truncated, segments[0]), segments[-1]),
             ("E01 without its second segment", os.path.join(missing, segments[0]), segments[1]),
             ("E01 whose first segment is cut", os.path.join(cut_first, segments[0]), segments[0]),
             ("VMDK without its extent", os.path.join(vmdk_dir, "disk.vmdk"), extents[0] if extents else "?")]
    for what, path, named in cases:
        for cmd in (["partitions", path, "--json"], ["analyze", path, "-p", "1", "--json"],
                    ["disks", "--image", path]):
            rc, _, err = run([qvx, *cmd])
            c.expect(rc == 2 and named in err and "Traceback" not in err,
                     f"{what}: qvx {cmd[0]} exits 2 naming {named}: {rc} {err.strip()[:160]!r}")


def check_readonly(qvx, containers, work, c):
    """Under strace every open of a container file is read-only, and the files keep their bytes."""
    if shutil.which("strace") is None:
        print("skip read-only check: strace not installed")
        return
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")  # the leak checker cannot run under ptrace
    for name, path in containers.items():
        folder = os.path.dirname(path)
        files = sorted(os.path.join(folder, f) for f in os.listdir(folder))
        before = {f: digest(f) for f in files}
        log = os.path.join(work, "strace.log")
        subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat,creat", "-o", log,
                        qvx, "partitions", path, "--json", "-q"], capture_output=True, env=env)
        with open(log, encoding="utf-8", errors="replace") as f:
            opens = [l for l in f if folder in l]
        writable = [l.strip() for l in opens if any(flag in l for flag in ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC"))]
        after = {f: digest(os.path.join(folder, f)) for f in sorted(os.listdir(folder))}
        c.expect(opens and not writable and after == {os.path.basename(k): v for k, v in before.items()},
                 f"{name}: {len(opens)} opens of its files, all read-only, nothing changed {writable[:2]}")


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    qvx, images = argv[1], argv[2]
    raw = os.path.join(images, "containers.img")
    if not os.path.exists(raw) or not os.path.exists(raw + ".manifest"):
        print("SKIP containers.img missing")
        return SKIP
    for tool in ("ewfacquire", "qemu-img", "split"):
        if shutil.which(tool) is None:
            print(f"SKIP {tool} not installed")
            return SKIP
    c = Checks()
    work = tempfile.mkdtemp(prefix="qvx-containers-", dir=images)
    try:
        containers = convert(raw, work)
        check_same_as_raw(qvx, raw, containers, c)
        check_e01_details(qvx, raw, containers["E01"], c)
        check_e01_recover(qvx, raw, containers["E01"], work, c)
        check_damaged(qvx, containers, work, c)
        check_readonly(qvx, containers, work, c)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
