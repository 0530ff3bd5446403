#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Quiet and offline when all are
# present; runs apt-get update only when something is missing. Never writes to stdout, so that
# `make run` keeps standard output for the MCP protocol.
set -euo pipefail
exec 1>&2

packages=(
  build-essential cmake ninja-build pkg-config clang
  libicu-dev libssl-dev nlohmann-json3-dev libsqlite3-dev
  libzip-dev libexpat1-dev libphonenumber-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libopenblas-dev
  libpoppler-cpp-dev libtesseract-dev libleptonica-dev tesseract-ocr-eng
  libcairo2-dev poppler-utils tesseract-ocr
)
# Node.js and npm (for the SDK interop test) may come from another packaging that bundles npm;
# ask Debian for them only when the commands are missing.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
else
  SUDO=
fi
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
