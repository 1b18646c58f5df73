#!/usr/bin/env bash
# Installs what building and testing TALVORN needs on Debian 12 (run as root).
# Packages already present are left alone.
set -euo pipefail

# clang with libclang-rt-14-dev (libFuzzer and the sanitizer runtimes, only
# recommended by clang) and llvm (llvm-symbolizer) build and run the fuzz targets.
packages=(cmake ninja-build g++ libgtest-dev python3 srecord
          clang libclang-rt-14-dev llvm
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64)

missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
