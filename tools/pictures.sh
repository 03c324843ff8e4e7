#!/usr/bin/env bash
# The README's pictures: the same crop of one generated frame and of each
# stack the demo made, stretched alike; and, where the real sequences lie
# beside the project, the CCD set aligned with -t s (plain and clipped), the
# all-sky star trails and the all-sky meteor left out by -r 3.
# usage: tools/pictures.sh BUILD_DIR DEMO_DIR OUT_DIR
set -euo pipefail
build=${1:-build} demo=${2:-demo} out=${3:-docs/images}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
crop="250 180 300 225"
raw="2400 30000"     # just below the sky (2000) plus dark current (500), to bright stars
subtracted="1900 29500"  # the same with the master dark taken off
"$build/preview" "$demo/light_00.tif" "$out/frame.jpg" $crop $raw
"$build/preview" "$demo/merged.png" "$out/mean.jpg" $crop $subtracted
"$build/preview" "$demo/moved_00.tif" "$out/moved_frame.jpg" $crop $raw
"$build/preview" "$demo/aligned.png" "$out/aligned.jpg" $crop $subtracted
"$build/preview" "$demo/trail_00.tif" "$out/trail_frame.jpg" $crop $raw
"$build/preview" "$demo/trails.png" "$out/trails.jpg" $crop $raw

# Camera JPEGs whose green black the camera clipped, as dark DSLR frames
# often come: tarnic's preview of their aligned mean.
"$build/starfield" -n 20 -W 1200 -H 800 -S 400 -k 4000 -e 64 -O 1500,5200,2000 -F rgb8 -x 30 -s 7 \
  "$demo/camera_%02d.jpg"
"$build/tarnic" -t a -o "$demo/camera_mean.tif" -p "$out/camera_preview.jpg" -P 600 "$demo"/camera_*.jpg > /dev/null

stargate=$here/../../shared/data/real/iraf-stargate
if [ -d "$stargate" ]; then
  # Ten CCD frames that drift by a few pixels, with hot pixels; sky at about 3800.
  "$build/tarnic" -t s -o "$demo/stargate_s.png" "$stargate"/*.png > /dev/null
  "$build/tarnic" -t s -r 3 -o "$demo/stargate_sr.png" "$stargate"/*.png > /dev/null
  ccd="0 0 752 580" level="3700 9000"
  "$build/preview" "$stargate/StarGateCluster_030_sec_1x1_0001.png" "$out/stargate_frame.jpg" $ccd $level 2
  "$build/preview" "$demo/stargate_s.png" "$out/stargate_s.jpg" $ccd $level 2
  "$build/preview" "$demo/stargate_sr.png" "$out/stargate_sr.jpg" $ccd $level 2
  # tarnic's own stretched preview of the linear mean, as a user gets it.
  "$build/tarnic" -t s -o "$demo/stargate_s.fits" -p "$out/stargate_preview.jpg" -P 376 "$stargate"/*.png > /dev/null
fi

allsky=$here/../../shared/data/real/umd-allsky
if [ -d "$allsky" ]; then
  # The whole 1392 x 1040 fisheye, binned 2 x 2; sky at about 2400.
  "$build/tarnic" -t t -o "$demo/allsky_trails.png" "$allsky"/IMG013*.png > /dev/null
  whole="0 0 1392 1040" sky="5500 24000"  # the sky glows at 5000 to 6000 in the middle
  "$build/preview" "$allsky/IMG01329.png" "$out/allsky_frame.jpg" $whole $sky 2
  "$build/preview" "$demo/allsky_trails.png" "$out/allsky_trails.jpg" $whole $sky 2
  "$build/tarnic" -o "$demo/allsky_mean.png" -p "$out/allsky_preview.jpg" -P 696 "$allsky"/IMG013*.png > /dev/null
  # The last frame's meteor, in the plain mean and left out by -r 3.
  "$build/tarnic" -r 3 -o "$demo/allsky_rejected.png" "$allsky"/IMG013*.png > /dev/null
  meteor="880 300 320 240" glow="5000 20000"
  "$build/preview" "$allsky/IMG01329.png" "$out/meteor_frame.jpg" $meteor $glow
  "$build/preview" "$demo/allsky_mean.png" "$out/meteor_mean.jpg" $meteor $glow
  "$build/preview" "$demo/allsky_rejected.png" "$out/meteor_rejected.jpg" $meteor $glow
fi
echo "Pictures in $out/: $(du -ch "$out"/*.jpg | tail -n 1 | cut -f1) in all"
