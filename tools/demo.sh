#!/usr/bin/env bash
# Makes synthetic star-field frames and stacks them in each mode.
# usage: tools/demo.sh BUILD_DIR OUT_DIR
set -euo pipefail
build=${1:-build} out=${2:-demo}
starfield=$build/starfield tarnic=$build/tarnic
mkdir -p "$out"

echo "== Generating frames in $out/"
# One sensor (seed 7): the lights and the darks share hot pixels.
"$starfield" -n 8 -W 800 -H 600 -s 7 -S 300 -p 40 "$out/light_%02d.tif"
"$starfield" -D -n 2 -W 800 -H 600 -s 7 -p 40 "$out/dark_%02d.tif"
"$starfield" -n 8 -W 800 -H 600 -s 7 -S 300 -R 0.4 -p 40 "$out/trail_%02d.tif"
# A handheld-style series: every frame rotated (up to 2 degrees) and shifted (up to 40 px).
"$starfield" -n 8 -W 800 -H 600 -s 7 -S 1500 -b 3000,60000 -r 2 -x 40 -p 40 \
  -T "$out/moved_truth.txt" "$out/moved_%02d.tif"

# Ten frames, two crossed by satellites, one by an aircraft, all hit by cosmic rays.
"$starfield" -n 10 -W 800 -H 600 -s 7 -S 300 -Z 2,6 -A 4 -c 40 "$out/satellite_%02d.tif"

echo "== Mean with master dark"
"$tarnic" -d "$out/dark_00.tif" -d "$out/dark_01.tif" -o "$out/merged.png" "$out"/light_*.tif
echo "== Aligned mean"
"$tarnic" -t a -d "$out/dark_00.tif" -d "$out/dark_01.tif" -o "$out/aligned.png" "$out"/moved_*.tif
echo "== Mean of frames with satellite trails, plain and with outliers rejected"
"$tarnic" -o "$out/satellites_mean.png" "$out"/satellite_*.tif
"$tarnic" -r 3 -o "$out/satellites_rejected.png" "$out"/satellite_*.tif
echo "== Star trails"
"$tarnic" -t t -o "$out/trails.png" "$out"/trail_*.tif

echo
echo "Results: $out/merged.png (mean, dark subtracted), $out/aligned.png (aligned mean of"
echo "$out/moved_*.tif; true motion in $out/moved_truth.txt), $out/trails.png (star trails),"
echo "$out/satellites_mean.png and $out/satellites_rejected.png (-r 3) of $out/satellite_*.tif"
