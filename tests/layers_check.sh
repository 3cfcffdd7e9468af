#!/usr/bin/env bash
# The build as the layers: each folder includes only its own headers and
# those of the layers below it, so that no arrow runs back up.
#   chunk/ <- codec/ <- lib/ ; os/ <- lib/, driver/ ; include/ <- lib/, driver/
#   layers_check.sh SOURCE_DIR
set -euo pipefail
cd "$1"
declare -A allowed=(
  [chunk]="chunk"
  [os]="os"
  [codec]="codec chunk"
  [lib]="lib codec chunk os"
  [driver]="driver os"
)
bad=0 files=0
for layer in "${!allowed[@]}"; do
  while IFS= read -r f; do
    files=$((files + 1))
    while IFS= read -r inc; do
      dir=${inc%%/*}
      [ "$dir" = "$inc" ] && continue  # lrdedup.h, the public header
      ok=0
      for a in ${allowed[$layer]}; do [ "$dir" = "$a" ] && ok=1; done
      if [ $ok = 0 ]; then
        echo "layers_check: $f includes $inc" >&2
        bad=$((bad + 1))
      fi
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$f")
  done < <(find "$layer" -name '*.h' -o -name '*.cpp' | sort)
done
[ "$files" -gt 50 ] || { echo "layers_check: only $files files found" >&2; exit 1; }
echo "$((files - bad)) passed, $bad failed"
[ "$bad" = 0 ]
