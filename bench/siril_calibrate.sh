#!/bin/sh
# Siril's calibration of a generated set, for the side-by-side comparison:
# masters of the bias, dark and flat frames (means; the flats less the bias,
# normalised), lights less the dark, divided by the flat, then their mean.
# usage: bench/siril_calibrate.sh [-t THREADS] BIASDIR DARKDIR FLATDIR LIGHTDIR OUT.tif
# Frames are DIR/*.fit. Siril's own log goes to OUT.log.
set -eu
threads=""
[ "${1:-}" = -t ] && { threads=$2; shift 2; }
[ $# -eq 5 ] || { sed -n '2,6p' "$0" >&2; exit 2; }
out=$(cd "$(dirname "$5")" && pwd)/$(basename "$5" .tif)
work=$(mktemp -d "${TMPDIR:-/tmp}/siril_calibrate.XXXXXX")
trap 'rm -rf "$work"' EXIT
for kind in bias dark flat light; do
  mkdir -p "$work/$kind"
  case $kind in bias) dir=$1 ;; dark) dir=$2 ;; flat) dir=$3 ;; light) dir=$4 ;; esac
  for f in "$(cd "$dir" && pwd)"/*.fit; do ln -s "$f" "$work/$kind/"; done
done
mkdir -p "$work/proc"
{
  echo "requires 1.0.0"
  [ -z "$threads" ] || echo "setcpu $threads"
  echo "set16bits"
  echo "setext fit"
  for kind in bias dark flat light; do echo "cd $work/$kind"; echo "convert $kind -out=../proc"; done
  echo "cd $work/proc"
  echo "stack bias rej n -nonorm -out=../bias_master"
  echo "stack dark rej n -nonorm -out=../dark_master"
  echo "preprocess flat -bias=../bias_master"
  echo "stack pp_flat rej n -norm=mul -out=../flat_master"
  echo "preprocess light -dark=../dark_master -flat=../flat_master"
  echo "stack pp_light rej n -nonorm -out=../result"
  echo "load ../result"
  echo "savetif $out"
} > "$work/script.ssf"
siril-cli -d "$work" -s "$work/script.ssf" > "$out.log" 2>&1 || true
grep -q "Script execution finished successfully" "$out.log" || { tail -5 "$out.log" >&2; exit 1; }
