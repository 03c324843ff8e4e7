#!/usr/bin/env bash
# Runs each fuzz target for a bounded time on a seed corpus made by the
# generator. Findings land in FUZZ_BUILD/artifacts/.
# usage: fuzz/run.sh FUZZ_BUILD BUILD SECONDS
set -euo pipefail
fuzz_build=${1:-build-fuzz} build=${2:-build} seconds=${3:-60}
seeds=$fuzz_build/seeds
mkdir -p "$fuzz_build/artifacts" "$fuzz_build/corpus/image" "$fuzz_build/corpus/options"

if [ ! -d "$seeds/image" ]; then
  mkdir -p "$seeds/image" "$seeds/options"
  # Every pixel type in every format that takes it: JPEG holds 8-bit grey and
  # RGB only, PPM no alpha.
  for pixels in rgb16 rgb8 grey16 grey8 palette8 rgba16 rgba8; do
    for ext in png tif ppm jpg; do
      case "$pixels.$ext" in rgb16.jpg|grey16.jpg|rgba16.jpg|rgba8.jpg|rgba16.ppm|rgba8.ppm) continue ;; esac
      "$build/starfield" -n 1 -W 48 -H 36 -S 12 -b 8000,60000 -s 5 -F "$pixels" \
        "$seeds/image/${pixels}_%d.$ext"
    done
  done
  # FITS, as tarnic writes it.
  "$build/tarnic" -o "$seeds/image/rgb16.fits" "$seeds/image/rgb16_0.png" > /dev/null 2>&1
  i=0
  for line in "-t a -o out.tif a.png b.png" "-d d1.tif -d d2.tif -t n x.ppm" "-, -t trails -o" \
              "a.png -o out.png -t" "-h" "-q -t x -d" "-r 3 -t s a.fits" "-r -1"; do
    printf '%s' "$line" | tr ' ' '\0' > "$seeds/options/seed$i"
    i=$((i + 1))
  done
fi

for target in image options; do
  echo "== fuzzing $target for $seconds s"
  "$fuzz_build/fuzz/${target}_fuzz" "$fuzz_build/corpus/$target" "$seeds/$target" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=262144 -timeout=20 \
    -artifact_prefix="$fuzz_build/artifacts/$target-" -print_final_stats=1 > "$fuzz_build/$target.log" 2>&1 ||
    { tail -n 60 "$fuzz_build/$target.log"; exit 1; }
  tail -n 6 "$fuzz_build/$target.log"
done
