#!/usr/bin/env python3
"""Hostile disks and hostile destinations, one case per run.

Images are crafted by tools/craft.py (mkfs.fat + mtools, mkntfs + ntfs-3g,
then patched). Each case checks that qvx finishes, writes nothing outside
the destination, and tells the truth in its report.

usage: check_hostile.py QVX CASE
Exit 77 when a needed tool (or root for ntfs-3g) is missing.
"""
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import craft  # noqa: E402

SKIP = 77
TIMEOUT = 60


def fail(msg):
    raise SystemExit("FAIL: " + msg)


def need(*tools):
    for t in tools:
        if shutil.which(t) is None:
            print(f"skipped: {t} not found")
            sys.exit(SKIP)


def qvx_run(qvx, args, timeout=TIMEOUT, **kw):
    try:
        return subprocess.run([qvx, *args], capture_output=True, timeout=timeout, **kw)
    except subprocess.TimeoutExpired:
        fail(f"qvx {' '.join(args)} did not finish within {timeout} s")


def report(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def md5(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def small_fat(work, files=None):
    img = os.path.join(work, "fat.img")
    craft.fat_image(img, 8, 16, files=files or {"README.TXT": 3000, "DOCS/A.TXT": 5000, "DOCS/B.BIN": 70000})
    return img


def check_rows_and_hashes(dest, rep, stdout_lines):
    s = rep["summary"]
    if s["rows"] != len(rep["files"]):
        fail(f"summary counts {s['rows']} rows, the report has {len(rep['files'])}")
    if s["complete"] + s["incomplete"] + s["failed"] + s["skipped"] != s["rows"]:
        fail(f"summary outcomes do not add up: {s}")
    if stdout_lines is not None and len(stdout_lines) != len(rep["files"]):
        fail(f"--json printed {len(stdout_lines)} rows, the report has {len(rep['files'])}")
    for row in rep["files"]:
        if row.get("md5"):
            p = os.path.join(dest, row["written"])
            with open(p, "rb") as f:
                data = f.read()
            if hashlib.md5(data).hexdigest() != row["md5"] or hashlib.sha256(data).hexdigest() != row["sha256"]:
                fail(f"hashes of {p} differ from the report")
            if len(data) != row["bytesWritten"]:
                fail(f"{p}: {len(data)} bytes on disk, report says {row['bytesWritten']}")
        elif row["outcome"] in ("complete",) and row["size"] > 0:
            fail(f"{row['path']}: complete but not hashed")


# ------------------------------------------------------------ destinations

def case_fifo(qvx, work):
    img = small_fat(work)
    dest = os.path.join(work, "dest")
    os.makedirs(dest)
    os.mkfifo(os.path.join(dest, "recovery-report.json"))
    os.mkfifo(os.path.join(dest, "README.TXT"))
    r = qvx_run(qvx, ["recover", img, dest, "-p", "1", "--on-conflict", "overwrite", "--quiet", "--json"])
    if r.returncode != 0:
        fail(f"exit {r.returncode}: {r.stderr.decode()}")
    for name in ("recovery-report.json", "README.TXT"):
        if not stat_is_fifo(os.path.join(dest, name)):
            fail(f"{name} is no longer the FIFO")
    rep = report(os.path.join(dest, "recovery-report-2.json"))
    rows = [json.loads(l) for l in r.stdout.decode().splitlines() if l.strip()]
    check_rows_and_hashes(dest, rep, rows)
    readme = [row for row in rep["files"] if row["path"] == "README.TXT"]
    if not readme or readme[0]["written"] == "README.TXT" or readme[0]["outcome"] != "complete":
        fail(f"README.TXT not written beside the FIFO: {readme}")


def stat_is_fifo(p):
    import stat
    return stat.S_ISFIFO(os.lstat(p).st_mode)


def case_hardlink(qvx, work):
    img = small_fat(work)
    dest = os.path.join(work, "dest")
    outside = os.path.join(work, "outside")
    os.makedirs(dest)
    os.makedirs(outside)
    victims = {}
    for name in ("report-victim", "readme-victim"):
        p = os.path.join(outside, name)
        with open(p, "w") as f:
            f.write("precious " + name)
        victims[p] = md5(p)
    os.link(os.path.join(outside, "report-victim"), os.path.join(dest, "recovery-report.json"))
    os.link(os.path.join(outside, "readme-victim"), os.path.join(dest, "README.TXT"))
    for policy in ("skip", "rename", "overwrite"):
        r = qvx_run(qvx, ["recover", img, dest, "-p", "1", "--on-conflict", policy, "--quiet"])
        if r.returncode != 0:
            fail(f"{policy}: exit {r.returncode}: {r.stderr.decode()}")
        for p, h in victims.items():
            if md5(p) != h:
                fail(f"--on-conflict {policy} changed {p} outside the destination")
    # overwrite replaced the link by a file of its own
    st = os.stat(os.path.join(dest, "README.TXT"))
    if st.st_nlink != 1 or os.path.getsize(os.path.join(dest, "README.TXT")) != 3000:
        fail("overwrite did not replace README.TXT by the recovered file")
    # three runs, three new reports; the planted one untouched
    for n in (2, 3, 4):
        report(os.path.join(dest, f"recovery-report-{n}.json"))
    leftovers = [n for n in os.listdir(dest) if n.startswith(".qvx-")]
    if leftovers:
        fail(f"temporary files left: {leftovers}")


def case_second_report(qvx, work):
    img = small_fat(work)
    dest = os.path.join(work, "dest")
    first = qvx_run(qvx, ["recover", img, dest, "-p", "1", "--quiet"])
    if first.returncode != 0:
        fail(first.stderr.decode())
    before = md5(os.path.join(dest, "recovery-report.json"))
    second = qvx_run(qvx, ["recover", img, dest, "-p", "1", "--json"])
    if md5(os.path.join(dest, "recovery-report.json")) != before:
        fail("the second recovery changed the first report")
    rep = report(os.path.join(dest, "recovery-report-2.json"))
    rows = [json.loads(l) for l in second.stdout.decode().splitlines() if l.strip()]
    check_rows_and_hashes(dest, rep, rows)
    if "recovery-report-2.json" not in second.stderr.decode():
        fail("the report's name is not told")


def case_efbig(qvx, work):
    """A destination that accepts 1 MiB per file (RLIMIT_FSIZE, as a small
    file system would refuse a large file with EFBIG)."""
    img = small_fat(work, {"BIG.BIN": 3 << 20, "SMALL.TXT": 1000})
    dest = os.path.join(work, "dest")
    import resource

    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))

    r = qvx_run(qvx, ["recover", img, dest, "-p", "1", "--json", "--quiet"], preexec_fn=limit)
    if r.returncode != 1:
        fail(f"exit {r.returncode} (expected 1): {r.stderr.decode()}")
    rep = report(os.path.join(dest, "recovery-report.json"))
    big = [row for row in rep["files"] if row["path"] == "BIG.BIN"][0]
    if big["bytesWritten"] != 1 << 20 or os.path.getsize(os.path.join(dest, big["written"])) != 1 << 20:
        fail(f"BIG.BIN: bytesWritten {big['bytesWritten']}, not what the destination accepted")
    if "larger than the destination file system allows" not in big.get("note", ""):
        fail(f"BIG.BIN: no message: {big}")
    if big["outcome"] == "complete" or big.get("md5"):
        fail(f"BIG.BIN: claimed complete or hashed: {big}")
    if rep["summary"]["bytes"] != sum(row["bytesWritten"] for row in rep["files"]):
        fail("summary bytes differ from the rows")
    check_rows_and_hashes(dest, rep, None)


# ------------------------------------------------------------ signals

def slow_recover(qvx, img, dest, extra=()):
    """qvx recover under strace, each write(2) of file data delayed, so the
    run is caught with a file in progress. Returns (strace process, qvx pid)."""
    cmd = ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=write", "-e", "inject=write:delay_enter=150000",
           qvx, "recover", img, dest, "-p", "1", "--quiet", *extra]
    # LeakSanitizer cannot run under ptrace: in a sanitizer build its exit
    # check would abort the traced program.
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    pid = None
    deadline = time.time() + 20
    while time.time() < deadline and pid is None:
        try:
            with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
                kids = f.read().split()
            # strace forks short-lived test children first: wait for qvx.
            for kid in kids:
                if os.path.realpath(f"/proc/{kid}/exe") == os.path.realpath(qvx):
                    pid = int(kid)
        except OSError:
            pass
        time.sleep(0.02)
    if pid is None:
        proc.kill()
        fail("qvx did not start under strace")
    return proc, pid


def wait_in_progress(path, name, deadline=30):
    """Waits until the report shows name in progress, then a little more,
    so that the signal comes while its later chunks are still to write."""
    end = time.time() + deadline
    while time.time() < end:
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
            rep = json.loads(text)
            last = rep["files"][-1] if rep["files"] else {}
            if rep["summary"]["state"] == "running" and last.get("path") == name and last["status"] == "stopped":
                time.sleep(0.3)
                return rep
        except (OSError, ValueError):
            pass
        time.sleep(0.02)
    fail("no file in progress seen in the report")


def case_sigterm(qvx, work):
    need("strace")
    # BIG.BIN takes 6 writes of 1 MiB, 150 ms each.
    img = small_fat(work, {"A.TXT": 1000, "BIG.BIN": 6 << 20, "C.TXT": 1000})
    # One SIGTERM: the run stops like Ctrl-C, the file in progress is marked
    # stopped, the report is finished (state "stopped"), exit code 1.
    dest = os.path.join(work, "dest1")
    proc, pid = slow_recover(qvx, img, dest)
    path = os.path.join(dest, "recovery-report.json")
    wait_in_progress(path, "BIG.BIN")
    os.kill(pid, signal.SIGTERM)
    proc.communicate(timeout=TIMEOUT)
    if proc.returncode != 1:
        fail(f"after SIGTERM exit {proc.returncode} (expected 1)")
    rep = report(path)
    if rep["summary"]["state"] != "stopped":
        fail(f"state {rep['summary']['state']}")
    if not any(row["status"] == "stopped" for row in rep["files"]):
        fail("no row marked stopped")
    check_rows_and_hashes(dest, rep, None)
    # Two signals: the process ends at once with 130; the report on disk is
    # still a JSON document, state "running", the file in progress stopped.
    dest = os.path.join(work, "dest2")
    proc, pid = slow_recover(qvx, img, dest)
    path = os.path.join(dest, "recovery-report.json")
    wait_in_progress(path, "BIG.BIN")
    os.kill(pid, signal.SIGTERM)
    os.kill(pid, signal.SIGINT)
    proc.communicate(timeout=TIMEOUT)
    if proc.returncode != 130:
        fail(f"after two signals exit {proc.returncode} (expected 130)")
    rep = report(path)
    if rep["summary"]["state"] != "running" or rep["files"][-1]["status"] != "stopped":
        fail(f"the cut-short report does not say so: {rep['summary']} {rep['files'][-1:]}")
    if rep["summary"]["rows"] != len(rep["files"]):
        fail("summary rows differ from the report's rows")


# ------------------------------------------------------------ disks

def case_huge_size(qvx, work):
    """Boot sectors claiming 0xFFFFFFFF sectors on 16 and 40 MiB images:
    both searches and the recovery finish quickly and find the files."""
    for fat, size in ((16, 16), (32, 40)):
        img = os.path.join(work, f"huge{fat}.img")
        craft.fat_image(img, size, fat, files={"A/B.TXT": 5000, "C.TXT": 100})
        craft.fat_set_total_sectors(img, 0xFFFFFFFF)
        for mode in ("standard", "advance"):
            r = qvx_run(qvx, ["analyze", img, "-p", "1", "--mode", mode, "--json"], timeout=60)
            paths = {json.loads(l)["path"] for l in r.stdout.decode().splitlines() if l.strip()}
            if not {"A/B.TXT", "C.TXT"} <= paths:
                fail(f"FAT{fat} {mode}: listed {sorted(paths)}")
        dest = os.path.join(work, f"dest{fat}")
        r = qvx_run(qvx, ["recover", img, dest, "-p", "1", "--quiet"], timeout=60)
        if r.returncode != 0 or os.path.getsize(os.path.join(dest, "A", "B.TXT")) != 5000:
            fail(f"FAT{fat} recover: exit {r.returncode}: {r.stderr.decode()}")


def case_control_names(qvx, work):
    """An NTFS name with a line feed, ESC and BEL neither forges a listing
    line nor reaches the terminal raw, in analyze and load-log text."""
    need_ntfs3g()
    img = os.path.join(work, "ctl.img")
    evil = "evil\nFORGED_ENTRY.exe  |  File  |  66666\x1b]0;pwned\x07.txt"
    craft.ntfs_image(img, 8, files={"Docs/" + evil: 10, "plain.txt": 5})
    log = os.path.join(work, "ctl.LGX")
    outputs = {"analyze": qvx_run(qvx, ["analyze", img, "-p", "1", "--save-log", log])}
    outputs["load-log"] = qvx_run(qvx, ["load-log", log, img])
    for name, r in outputs.items():
        text = r.stdout
        if r.returncode != 0:
            fail(f"{name}: exit {r.returncode}: {r.stderr.decode()}")
        for line in text.split(b"\n"):
            if line.startswith(b"FORGED_ENTRY"):
                fail(f"{name}: a name forged a listing line")
            bad = [b for b in line if b < 0x20 or b == 0x7F]
            if bad:
                fail(f"{name}: control bytes {bad} printed")
        if b"evil\\nFORGED_ENTRY.exe  |  File  |  66666\\x1b]0;pwned\\x07.txt" not in text:
            fail(f"{name}: the name is not shown escaped")
    # JSON keeps the name exactly (escaped by JSON itself).
    r = qvx_run(qvx, ["analyze", img, "-p", "1", "--json"])
    names = {json.loads(l)["name"] for l in r.stdout.decode().splitlines() if l.strip()}
    if evil not in names:
        fail("JSON lost the name")


def need_ntfs3g():
    if os.geteuid() != 0 or not os.path.exists("/dev/fuse"):
        print("skipped: ntfs-3g needs root and /dev/fuse")
        sys.exit(SKIP)
    need("mkntfs", "ntfs-3g")


def case_ntfs_cycle(qvx, work):
    """A's parent set to B, whose parent is A, and C its own parent: every
    item is still listed and recovered, the loops under QVX_Miscellaneous."""
    need_ntfs3g()
    img = os.path.join(work, "cycle.img")
    files = {"A/B/x.txt": 1000, "A/B/D/w.txt": 500, "A/y.txt": 2000, "C/z.txt": 3000, "C/E/v.txt": 10, "top.txt": 7}
    craft.ntfs_image(img, 8, files=files)
    a, b, c = (craft.ntfs_record_of(img, n) for n in ("A", "B", "C"))
    craft.ntfs_set_parent(img, a, b)
    craft.ntfs_set_parent(img, c, c)
    r = qvx_run(qvx, ["analyze", img, "-p", "1", "--json"])
    rows = [json.loads(l) for l in r.stdout.decode().splitlines() if l.strip()]
    names = {row["name"] for row in rows}
    want = {"A", "B", "C", "D", "E", "x.txt", "w.txt", "y.txt", "z.txt", "v.txt", "top.txt"}
    if not want <= names:
        fail(f"missing from the listing: {sorted(want - names)}")
    misc = {row["path"].split("/")[1] for row in rows if row["path"].startswith("QVX_Miscellaneous/")}
    if not ({"A", "B"} & misc) or "C" not in misc:
        fail(f"the loops are not under QVX_Miscellaneous: {sorted(misc)}")
    dest = os.path.join(work, "dest")
    r = qvx_run(qvx, ["recover", img, dest, "-p", "1", "--quiet"])
    rep = report(os.path.join(dest, "recovery-report.json"))
    written = {os.path.basename(row["path"]) for row in rep["files"] if row["outcome"] == "complete"}
    if not {"x.txt", "w.txt", "y.txt", "z.txt", "v.txt", "top.txt"} <= written:
        fail(f"not recovered: {sorted({'x.txt', 'w.txt', 'y.txt', 'z.txt', 'v.txt', 'top.txt'} - written)}")
    print(f"listed {len(rows)} items")


def case_deep(qvx, work):
    """5,000 nested FAT folders: the tree goes on under QVX_Miscellaneous
    past 4,096 levels, and the file at the bottom is recovered (no path
    handed to the system is longer than one name)."""
    img = os.path.join(work, "deep.img")
    craft.fat_deep(img, 40, 5000)
    r = qvx_run(qvx, ["analyze", img, "-p", "1", "--json"], timeout=120)
    rows = [json.loads(l) for l in r.stdout.decode().splitlines() if l.strip()]
    deepest = max(row["path"].count("/") + 1 for row in rows)
    if deepest > 4096 + 2:
        fail(f"a path of {deepest} components was listed")
    leaf = [row["path"] for row in rows if row["name"] == "LEAF.TXT"]
    if len(leaf) != 1 or not leaf[0].startswith("QVX_Miscellaneous/"):
        fail(f"LEAF.TXT listed at {[p[:60] for p in leaf]}")
    dest = os.path.join(work, "dest")
    r = qvx_run(qvx, ["recover", img, dest, "-p", "1", "--quiet"], timeout=240)
    rep = report(os.path.join(dest, "recovery-report.json"))
    done = [row for row in rep["files"] if row["path"].endswith("LEAF.TXT")]
    if r.returncode != 0 or len(done) != 1 or done[0]["outcome"] != "complete":
        fail(f"exit {r.returncode}: {[(d['outcome'], d.get('note', '')[:80]) for d in done]}")


CASES = {
    "deep": case_deep,
    "ntfs-cycle": case_ntfs_cycle,
    "control-names": case_control_names,
    "huge-size": case_huge_size,
    "fifo": case_fifo,
    "hardlink": case_hardlink,
    "second-report": case_second_report,
    "efbig": case_efbig,
    "sigterm": case_sigterm,
}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        raise SystemExit(__doc__)
    need("mkfs.fat", "mcopy", "mmd")
    qvx = sys.argv[1]
    work = tempfile.mkdtemp(prefix="qvx-hostile-")
    try:
        CASES[sys.argv[2]](qvx, work)
    finally:
        # rm copes with trees deeper than Python's recursion limit.
        subprocess.run(["rm", "-rf", work], check=False)
    print("ok:", sys.argv[2])


if __name__ == "__main__":
    main()
