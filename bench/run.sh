#!/usr/bin/env bash
# Runs every benchmark in bench/ and writes docs/BENCHMARKS.md afresh.
# usage: bench/run.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

for program in "$build"/bench/*_bench; do
  name=$(basename "$program")
  echo "== $name"
  "$program" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/$name.json" --benchmark_out_format=json
done

/usr/bin/python3 "$here/report.py" "$out"/*.json > "$here/../docs/BENCHMARKS.md"
echo "Wrote docs/BENCHMARKS.md"
