#!/usr/bin/env bash
# Runs every benchmark program built in <build>/bench, each printing its own figures and ratios.
set -euo pipefail
build=${1:-build}
status=0
for program in "$build"/bench/*; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" || status=1
done
exit $status
