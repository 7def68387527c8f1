#!/usr/bin/env bash
# Checks that every engine folder includes only the folders before it, that
# the engine never includes Qt or a front end, and that the front ends do not
# include each other.
set -u
src=${1:?usage: check_layering.sh SRC_DIR}
order=(util disk records partition ntfs fat scan session recover engine)
declare -A rank=([util]=0 [disk]=1 [records]=2 [partition]=3 [ntfs]=4 [fat]=4 [scan]=5 [session]=6 [recover]=7 [engine]=8)
fail=0
for folder in "${order[@]}"; do
  dir="$src/core/$folder"
  [ -d "$dir" ] || continue
  while IFS= read -r line; do
    file=${line%%:*}
    inc=$(sed -E 's/.*#include *[<"]([^">]+)[">].*/\1/' <<<"$line")
    top=${inc%%/*}
    if [[ "$inc" == Q* || "$top" == Qt* || "$top" == ui || "$top" == cli ]]; then
      echo "$file: engine code includes $inc"; fail=1; continue
    fi
    [[ "$inc" == */* ]] || continue
    [ -n "${rank[$top]+x}" ] || continue
    if [ "$top" != "$folder" ]; then
      if (( rank[$top] >= rank[$folder] )); then
        echo "$file: $folder may not include $inc"; fail=1
      fi
    fi
  done < <(grep -HE '^[[:space:]]*#[[:space:]]*include' "$dir"/*.h "$dir"/*.cpp 2>/dev/null)
done
if [ -d "$src/cli" ] && grep -rqE '#include *"ui/' "$src/cli"; then echo "cli includes ui"; fail=1; fi
if [ -d "$src/ui" ] && grep -rqE '#include *"cli/' "$src/ui"; then echo "ui includes cli"; fail=1; fi
if [ $fail -eq 0 ]; then echo "layering ok"; fi
exit $fail
