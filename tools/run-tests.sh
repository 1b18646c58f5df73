#!/usr/bin/env bash
# Builds TALVORN and runs every test: the unit and end-to-end tests, the same
# again under AddressSanitizer and UndefinedBehaviorSanitizer, the loader in a
# QEMU guest through the kernel's own serial drivers, and the Windows
# build under wine when the cross compiler and wine are present, and each fuzz
# target for FUZZ_SECONDS (20) seconds when clang and libFuzzer are present.
# Each stage ends with the seconds it took, so that a slow one shows.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=2
stage_start=$SECONDS
stage() {
  [ -z "${stage_name:-}" ] || echo "--- ${stage_name}: $((SECONDS - stage_start)) s"
  stage_name=$1
  stage_start=$SECONDS
  echo "=== $1 ==="
}
stage "Linux build and tests"
# The tests are asked for by name: tools/demo.sh may have configured build/
# without them.
cmake -S . -B build -G Ninja -DTALVORN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVORN_TESTS=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

stage "Linux build and tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -G Ninja -DTALVORN_WERROR=ON -DTALVORN_SANITIZE=ON \
      -DCMAKE_BUILD_TYPE=Debug
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

stage "Real serial drivers: a QEMU guest's 8250 UART and FTDI USB adapters"
# Always in CI; elsewhere it says plainly when it skipped for want of QEMU,
# a kernel image or busybox-static.
bash tools/run-real-driver-tests.sh

stage "Windows build (mingw-w64, 32-bit) and tests under wine"
if [ -x tools/run-windows-tests.sh ] && command -v i686-w64-mingw32-g++ >/dev/null 2>&1 \
   && command -v wine >/dev/null 2>&1; then
  tools/run-windows-tests.sh
else
  echo "SKIPPED: Windows suite (needs i686-w64-mingw32-g++ and wine; tools/install-deps.sh installs them)"
fi

stage "Packages: manual pages, the .deb and the Windows zip, each flashing the sample"
tools/check-packages.sh

# A short run each time: it replays the earlier findings and keeps the
# targets working; longer runs are for changes to the parsers (DEVELOPING.md).
export FUZZ_SECONDS=${FUZZ_SECONDS:-20}
stage "Fuzz targets (libFuzzer with ASan and UBSan), ${FUZZ_SECONDS} s each"
# Decided by what works: a fuzz target of one line must build and run. CI
# (which installs clang and libFuzzer first) fails when it does not.
probe=$(mktemp -d)
if command -v clang++ >/dev/null 2>&1 &&
   echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
     clang++ -x c++ -fsanitize=fuzzer,address -o "$probe/probe" - >/dev/null 2>&1 &&
   "$probe/probe" -runs=10 >/dev/null 2>&1; then
  rm -rf "$probe"
  echo "(clang++ $(clang++ -dumpversion) with libFuzzer: a probe target built and ran)"
  bash tools/run-fuzz.sh
elif rm -rf "$probe"; [ -n "${CI:-}" ]; then
  echo "FAILED: fuzz targets: clang++ with libFuzzer cannot build or run a probe target" >&2
  exit 1
else
  echo "SKIPPED: fuzz targets (need clang++ and libFuzzer; tools/install-deps.sh installs them)"
fi
stage "all test suites passed"
echo "--- total: ${SECONDS} s"
