#!/usr/bin/env bash
# Installs what the test suite needs beyond Debian packages into the build tree: the official MCP
# TypeScript SDK (npm, by name), used by the interop test as a real client. Never committed.
set -euo pipefail
build=${1:-build}
dir="$build/node"
if [ -f "$dir/node_modules/@modelcontextprotocol/sdk/package.json" ]; then exit 0; fi
mkdir -p "$dir"
[ -f "$dir/package.json" ] || echo '{"name":"zelk-interop","private":true,"type":"module"}' > "$dir/package.json"
echo "install-test-deps: installing @modelcontextprotocol/sdk into $dir" >&2
npm install --prefix "$dir" --no-audit --no-fund --silent "@modelcontextprotocol/sdk@^1" >&2
