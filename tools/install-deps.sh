#!/usr/bin/env bash
# Installs what building, testing and packaging TALVORN needs on Debian 12
# (run as root). GoogleTest comes as Debian's source package (googletest) and
# is built with the tests.
# Packages already present are left alone.
set -euo pipefail

# clang with libclang-rt-14-dev (libFuzzer and the sanitizer runtimes, only
# recommended by clang) and llvm (llvm-symbolizer) build and run the fuzz targets.
packages=(cmake ninja-build g++ googletest python3 srecord
          clang libclang-rt-14-dev llvm
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64)
# Packages and their checks (tools/check-packages.sh): dpkg-shlibdeps for the
# .deb's Depends, lintian, groff and man for the manual pages, the zip tools,
# file for the README's line ends.
packages+=(dpkg-dev lintian groff man-db zip unzip file)
# The real-driver suite (tools/run-real-driver-tests.sh): QEMU, Debian's kernel
# with its modules, a static busybox and cpio for the guest's initramfs.
packages+=(qemu-system-x86 linux-image-amd64 busybox-static cpio)

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
