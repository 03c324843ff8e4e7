#!/usr/bin/env bash
# The man page must render with groff without a single warning.
# usage: tests/scripts/man_page.sh PAGE
set -euo pipefail
page=$1
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "groff warns about $page:"
  echo "$warnings"
  exit 1
fi
rendered=$(groff -man -Tutf8 "$page" 2>/dev/null | sed 's/.\x08//g')
for section in NAME SYNOPSIS OPTIONS "EXIT STATUS" EXAMPLES; do
  grep -q "^$section" <<<"$rendered" || { echo "no $section section in $page"; exit 1; }
done
echo "$page renders cleanly"
