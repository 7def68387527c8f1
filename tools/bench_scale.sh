#!/usr/bin/env bash
# How the NTFS searches grow with the volume: NTFS volumes of 50,000, 200,000
# and 800,000 files (made like the one of bench_ntfs.sh, by
# tools/bench_ntfs_make.sh) searched by qvx analyze --json (Standard Search)
# and --mode advance --json (Advance Search over the whole image), beside
# fls -r -p and cat of the same image in the same run. Prints, per size, the
# medians of three runs of wall time and peak memory (ru_maxrss), the times
# against cat, and the growth from 200,000 to 800,000 files.
#
#   tools/bench_scale.sh BUILD_DIR
#
# The volumes are made once (needs root, /dev/fuse, mkntfs and ntfs-3g; the
# largest takes long) and kept in ${QVX_BENCH_CACHE:-$HOME/.cache/qvx-bench};
# the 200,000-file one is BUILD_DIR/images/bench-ntfs.img when bench_ntfs.sh
# made it. QVX_BENCH_SIZES=50k,200k limits the sizes.
set -euo pipefail
build=$(readlink -f "${1:?usage: tools/bench_scale.sh BUILD_DIR}")
here=$(dirname "$(readlink -f "$0")")
qvx="$build/src/cli/qvx"
[ -x "$qvx" ] || { echo "bench_scale: $qvx not found; build first" >&2; exit 2; }
for tool in mkntfs ntfs-3g fls python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench_scale: $tool not installed, skipped" >&2; exit 0; }
done
cache=${QVX_BENCH_CACHE:-$HOME/.cache/qvx-bench}
sizes=${QVX_BENCH_SIZES:-50k,200k,800k}
mkdir -p "$cache"

# image_for SIZE: makes (once) and prints the image of that many files.
image_for() {
  local top sub files=10 sectors img
  case "$1" in
    50k)  top=50;  sub=99;  sectors=$((1024 * 2048)) ;;    # 5,000 folders, 1 GiB
    200k) top=100; sub=199; sectors=$((3072 * 2048)) ;;    # 20,000 folders, 3 GiB
    800k) top=200; sub=399; sectors=$((12288 * 2048)) ;;   # 80,000 folders, 12 GiB
    *) echo "bench_scale: unknown size $1" >&2; return 2 ;;
  esac
  img="$cache/ntfs-$1.img"
  # The 200,000-file volume is the one bench_ntfs.sh keeps, when it is there.
  if [ "$1" = 200k ] && [ -f "$build/images/bench-ntfs.img" ] &&
     [ "$(cat "$build/images/.bench-ntfs.img.stamp" 2>/dev/null)" = "layout-2 $top $sub $files $sectors" ]; then
    img="$build/images/bench-ntfs.img"
  fi
  "$here/bench_ntfs_make.sh" "$img" "$top" "$sub" "$files" "$sectors" >&2
  echo "$img"
}

images=()
IFS=, read -r -a wanted <<<"$sizes"
for size in "${wanted[@]}"; do
  images+=("$size=$(image_for "$size")")
done

python3 - "$qvx" "${images[@]}" <<'PY'
import os, statistics, subprocess, sys, tempfile, time

qvx = sys.argv[1]

def once(cmd):
    """Wall seconds and peak KiB of one run of cmd, output discarded. GNU
    time runs it, so the peak is the program's own, not that of a copy of
    this interpreter."""
    with tempfile.NamedTemporaryFile("r") as out:
        t0 = time.monotonic()
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out.name, *cmd], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        elapsed = time.monotonic() - t0
        return elapsed, int(out.read().split()[-1])

def median_of_3(cmd):
    runs = [once(cmd) for _ in range(3)]
    return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)

results = {}
for arg in sys.argv[2:]:
    size, img = arg.split("=", 1)
    sectors = os.path.getsize(img) // 512
    whole = ["--range", f"0:{sectors}", "--kind", "NTFS"]
    tools = [
        ("cat", ["cat", img]),
        ("fls -r -p", ["fls", "-r", "-p", img]),
        ("qvx Standard --json", [qvx, "analyze", img, *whole, "--json", "-q"]),
        ("qvx Advance --json", [qvx, "analyze", img, *whole, "--mode", "advance", "--json", "-q"]),
    ]
    once(["cat", img])  # into the page cache
    print(f"== NTFS scaling, {size} files: {os.path.basename(img)} ({sectors * 512 >> 20} MiB)", flush=True)
    row = {}
    for name, cmd in tools:
        t, m = median_of_3(cmd)
        row[name] = (t, m)
        print(f"   {name:22s}: {t:8.3f} s  peak {m:8d} KiB  ({t / row['cat'][0]:.2f} x cat)", flush=True)
    results[size] = row

if "200k" in results and "800k" in results:
    print("== growth 200k -> 800k files (4x the files)")
    for name in results["200k"]:
        (t2, m2), (t8, m8) = results["200k"][name], results["800k"][name]
        print(f"   {name:22s}: time x{t8 / t2:5.2f}  peak memory x{m8 / m2:5.2f}")
PY
