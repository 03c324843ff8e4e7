#!/usr/bin/env bash
# Runs every benchmark in bench/ and writes docs/BENCHMARKS.md afresh: the
# micro-benchmarks, the end-to-end comparison with the decoding floor and the
# peers (where installed: make bench-peers), the peak memory, the trails
# left by clipped stacks, the rejection's figures, frame scores and
# selection, calibration beside
# Siril's, -t s on wide-angle and all-sky frames, and tripod nights with a
# landscape (-g, -t c). BASELINE_TARNIC names
# an earlier build to time beside.
# usage: bench/run.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
data=${BENCH_DATA:-$build/bench-data}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
mkdir -p "$data"

for program in "$build"/bench/*_bench; do
  name=$(basename "$program")
  echo "== $name"
  "$program" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/$name.json" --benchmark_out_format=json
done
/usr/bin/python3 "$here/report.py" "$out"/*.json > "$out/micro.md"
echo "== end to end"
/usr/bin/python3 "$here/e2e.py" "$build" "$data" "$here/../../shared/peers" > "$out/e2e.md"
echo "== peak memory"
/usr/bin/python3 "$here/memory.py" "$build" "$data" > "$out/memory.md"
echo "== trails"
/usr/bin/python3 "$here/trails.py" "$build" "$data" "$here/../../shared/peers" > "$out/trails.md"
echo "== rejection"
/usr/bin/python3 "$here/rejection.py" "$build" "$data" "$here/../../shared/peers" > "$out/rejection.md"
echo "== frame scores"
/usr/bin/python3 "$here/scores.py" "$build" "$data" > "$out/scores.md"
echo "== calibration"
/usr/bin/python3 "$here/calibration.py" "$build" "$data" > "$out/calibration.md"
echo "== wide fields"
/usr/bin/python3 "$here/wide_field.py" "$build" "$data" > "$out/wide_field.md"
echo "== landscapes"
/usr/bin/python3 "$here/landscape.py" "$build" "$data" > "$out/landscape.md"

cat "$out/micro.md" "$out/e2e.md" "$out/memory.md" "$out/trails.md" "$out/rejection.md" "$out/scores.md" "$out/calibration.md" "$out/wide_field.md" "$out/landscape.md" \
  > "$here/../docs/BENCHMARKS.md"
echo "Wrote docs/BENCHMARKS.md"
