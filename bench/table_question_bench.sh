#!/usr/bin/env bash
# table_question against DuckDB on a generated 1 GB CSV. Installs DuckDB's Node package
# (@duckdb/node-api) into <build>/duckdb-bench, which only this script does, then runs
# <build>/bench-tools/table_question_bench. Usage: bench/table_question_bench.sh [build] [rows]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
rows=${2:-10000000}
here=$(cd "$(dirname "$0")" && pwd)
dir="$build/duckdb-bench"
mkdir -p "$dir"
if [ ! -d "$dir/node_modules/@duckdb/node-api" ]; then
  npm install --prefix "$dir" --no-audit --no-fund @duckdb/node-api >/dev/null
fi
# Node resolves the package next to the script.
cp "$here/table_question_duckdb.mjs" "$dir/"
work="$build/table-bench-work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
"$build/bench-tools/table_question_bench" "$build/zelk-mcp" "$dir/table_question_duckdb.mjs" \
  "$work" "$rows"
