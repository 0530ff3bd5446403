#!/usr/bin/env bash
# Runs the SDK interop client against the built program with a throw-away home folder.
set -euo pipefail
build=$1 binary=$2
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
script="$build/node/sdk_client.mjs"   # beside node_modules so the package resolves
cp "$(dirname "$0")/../tests/interop/sdk_client.mjs" "$script"
node "$script" "$binary" "$home"
