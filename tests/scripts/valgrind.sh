#!/usr/bin/env bash
# Runs tarnic under valgrind for each merge type, with dark frames, on small
# generated frames: any memory error or definite or indirect leak fails.
# usage: tests/scripts/valgrind.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/starfield" -n 3 -W 320 -H 240 -S 400 -b 4000,60000 -r 1 -x 10 -p 20 -s 3 "$work/light_%d.tif"
"$build/starfield" -D -n 2 -W 320 -H 240 -p 20 -s 3 "$work/dark_%d.ppm"

status=0
for type in n t a; do
  echo "== valgrind: tarnic -t $type"
  if ! valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite,indirect \
       --error-exitcode=1 "$build/tarnic" -t "$type" -d "$work/dark_0.ppm" -d "$work/dark_1.ppm" \
       -o "$work/out_$type.tif" "$work"/light_*.tif > "$work/log_$type.txt"; then
    echo "valgrind found errors for -t $type"
    status=1
  fi
done
aligned=$(grep -c '^Rotate' "$work/log_a.txt" || true)
echo "aligned stack: $aligned of 2 frames aligned under valgrind"
[ "$aligned" = 2 ] || status=1
[ "$status" = 0 ] && echo "valgrind: no errors and no leaks in any merge type"
exit "$status"
