#!/usr/bin/env python3
"""qvx recover --id, --glob and --ignore-case select exactly their items.

    check_select.py QVX IMAGES_DIR

On an NTFS and a FAT32 volume image: the files written (the --json stream
and the files on disk) are exactly the files of `qvx analyze --json` that
the selector names: a file's "self" for --id (a folder's id takes what lies
below it), fnmatch on the path for --glob. Ids and patterns that select
nothing are named on stderr. Exit 0 pass, 1 fail, 77 skipped.
"""
import fnmatch
import json
import os
import subprocess
import sys
import tempfile


def items(qvx, image):
    p = subprocess.run([qvx, "analyze", image, "--json", "-q"], capture_output=True, text=True, timeout=120)
    if p.returncode != 0:
        raise SystemExit(f"analyze {image} failed ({p.returncode}): {p.stderr}")
    return [json.loads(l) for l in p.stdout.splitlines() if l.strip()]


def recovered(qvx, image, dest, *selectors):
    p = subprocess.run([qvx, "recover", image, dest, "--json", "-q", *selectors], capture_output=True, text=True,
                       timeout=120)
    rows = [json.loads(l) for l in p.stdout.splitlines() if l.strip()]
    on_disk = set()  # every file written, the reports aside
    for root, _dirs, files in os.walk(dest):
        for f in files:
            rel = os.path.relpath(os.path.join(root, f), dest)
            if not rel.startswith("recovery-report"):
                on_disk.add(rel)
    written = {r["written"] for r in rows if r.get("written")}
    # Files reported but absent, or present but not reported.
    return p.returncode, {r["path"] for r in rows}, written ^ on_disk, p.stderr


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    qvx, images = argv[1], argv[2]
    problems, checked = [], 0
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("vol-ntfs.img", "vol-fat32.img"):
            image = os.path.join(images, name)
            if not os.path.exists(image):
                print(f"SKIP: {image} missing")
                return 77
            all_items = items(qvx, image)
            files = [i for i in all_items if i["type"] != "folder"]
            folders = [i for i in all_items if i["type"] == "folder" and not i["path"].startswith("$")]
            with_data = [f for f in files if f["size"] > 0 and not f["path"].startswith("$")]
            if len(with_data) < 3 or not folders:
                problems.append(f"{name}: too few items to choose from")
                continue
            cases = []
            exts = sorted({os.path.splitext(f["name"])[1] for f in with_data if os.path.splitext(f["name"])[1]})
            ext = exts[0]
            cases.append((["--glob", "*" + ext], {f["path"] for f in files if fnmatch.fnmatchcase(f["path"], "*" + ext)}))
            upper = "*" + ext.upper() if ext.upper() != ext else "*" + ext.lower()
            cases.append((["--glob", upper, "--ignore-case"],
                          {f["path"] for f in files if fnmatch.fnmatch(f["path"].lower(), upper.lower())}))
            a, b = with_data[0], with_data[-1]
            cases.append((["--id", str(a["self"]), "--id", str(b["self"])],
                          {f["path"] for f in files if f["self"] in (a["self"], b["self"])}))
            folder = folders[0]
            cases.append((["--id", str(folder["self"])],
                          {f["path"] for f in files if f["path"].startswith(folder["path"] + "/")}))
            cases.append((["--id", str(a["self"]), "--glob", "*" + ext],
                          {f["path"] for f in files if f["self"] == a["self"] and fnmatch.fnmatchcase(f["path"], "*" + ext)}))
            for n, (selectors, want) in enumerate(cases):
                dest = os.path.join(tmp, f"{name}-{n}")
                rc, streamed, missing, err = recovered(qvx, image, dest, *selectors)
                checked += 1
                if rc != 0 or streamed != want:
                    problems.append(f"{name} {' '.join(selectors)}: exit {rc}, got {sorted(streamed)[:5]}, "
                                    f"want {sorted(want)[:5]} ({len(streamed)} vs {len(want)}) {err.strip()}")
                if missing:
                    problems.append(f"{name} {' '.join(selectors)}: the report and the disk differ in {sorted(missing)[:5]}")
            rc, streamed, _, err = recovered(qvx, image, os.path.join(tmp, f"{name}-none"),
                                             "--glob", "*.no-such-ending", "--id", "4000000000")
            if streamed or "--glob *.no-such-ending selects nothing" not in err or "--id 4000000000" not in err:
                problems.append(f"{name}: unmatched selectors: {sorted(streamed)[:3]}, stderr {err!r}")
    for p in problems:
        print("FAIL", p)
    if not problems:
        print(f"ok   {checked} selections recovered exactly their items")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
