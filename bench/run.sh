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
echo "== table_question_bench"
"$(dirname "$0")/table_question_bench.sh" "$build" || status=1
exit $status
