#!/usr/bin/env bash
# Builds the Windows program (mingw-w64, 32-bit, statically linked) and runs
# its tests under wine: the unit tests (talvorn_tests.exe), then the loader
# against the simulated instrument, its serial port reached as COM5 through a
# link in the wine prefix's dosdevices.
#
# The wine prefix is private to the build folder; the wine server and every
# process of the prefix are ended at exit, however the script ends.
#
# A kernel without 32-bit support cannot run 32-bit wine. On such a host the
# 32-bit program is still built, and the same sources are built for 64-bit
# Windows and tested under 64-bit wine (packages g++-mingw-w64-x86-64, wine64).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=2

export WINEDEBUG=-all
# No Mono or Gecko installers, no windows: the prefix is for console programs.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

configure_and_build() {  # build-folder toolchain-file
  cmake -S . -B "$1" -G Ninja -DTALVORN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$2"
  cmake --build "$1" -j "$jobs"
}

echo "--- building the 32-bit Windows program (build-win32)"
configure_and_build build-win32 cmake/mingw-w64-i686.cmake

# Which wine runs here, and so which build is tested.
build=build-win32
wine=wine
if ! wine_error=$(timeout 60 wine --version 2>&1); then
  wine64=$(command -v wine64 || true)
  [ -n "$wine64" ] || { [ -x /usr/lib/wine/wine64 ] && wine64=/usr/lib/wine/wine64; } || true
  if [ -z "$wine64" ] || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 \
     || ! timeout 60 "$wine64" --version >/dev/null 2>&1; then
    echo "run-windows-tests: 32-bit wine does not run on this host:" >&2
    echo "  $wine_error" >&2
    echo "run-windows-tests: and there is no 64-bit wine with mingw-w64 for x86-64 to" \
         "fall back on (packages wine64 g++-mingw-w64-x86-64)." >&2
    exit 1
  fi
  echo "--- 32-bit wine does not run here ($wine_error);"
  echo "--- testing the 64-bit build of the same sources under $wine64 (build-win64)"
  configure_and_build build-win64 cmake/mingw-w64-x86_64.cmake
  build=build-win64
  wine=$wine64
  export WINELOADER=$wine64
fi

export WINEPREFIX=$root/$build/wineprefix

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # Ends every process of the prefix, then the server itself.
  timeout 60 wineserver -k >/dev/null 2>&1 || true
  # Whatever this script started and is still running (an interrupted step).
  local children
  children=$(jobs -p)
  [ -z "$children" ] || kill $children 2>/dev/null || true
  wait 2>/dev/null || true
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "--- initialising the wine prefix $WINEPREFIX (once; may take a minute)"
fi
# wine makes a new prefix only where no folder exists yet: an empty folder
# would be taken for a broken prefix.
timeout 30 wineserver -k >/dev/null 2>&1 || true
timeout 600 "$wine" wineboot -i </dev/null >"$root/$build/wineboot.log" 2>&1 || {
  echo "run-windows-tests: wineboot failed:" >&2
  cat "$root/$build/wineboot.log" >&2
  exit 1
}
# One server for the rest of the run; its own messages go to a log, not into
# the standard error of the programs under test.
wineserver -p >"$root/$build/wineserver.log" 2>&1 &

echo "--- unit tests under wine: $build/tests/talvorn_tests.exe"
timeout 900 "$wine" "$build/tests/talvorn_tests.exe" </dev/null

echo "--- end-to-end tests under wine: $build/talvorn.exe against talvorn-sim on COM5"
sim=build/tools/instrument-sim/talvorn-sim
if [ ! -x "$sim" ]; then
  cmake -S . -B build -G Ninja -DTALVORN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build -j "$jobs" --target talvorn-sim
fi
e2e_args=(--sim "$sim" --loader "$wine" --loader "$root/$build/talvorn.exe" --com 5
          --data tests/data --e2e-data tests/e2e/data --examples examples)
# The shared cases, but those that press keys on the loader's pty: under wine
# a program on a pty gets a console of wine's own that takes no keys from it.
# wine_cases.py presses its keys through standard input instead. Nor those
# that give the port as a Linux path or lock it as Linux programs do.
keys_on_pty="escape_cancels arrow_key_does_not_cancel"
linux_ports="missing_port port_is_a_file port_in_use port_permission_denied"
shared_cases=()
IFS=';' read -r -a all_cases <<<"$(python3 tests/e2e/loader_cases.py --list)"
for case in "${all_cases[@]}"; do
  [[ " $keys_on_pty $linux_ports " == *" $case "* ]] || shared_cases+=(--case "$case")
done
echo "    (not run under wine: keys on a pty: $keys_on_pty; Linux ports: $linux_ports)"
timeout 1800 python3 tests/e2e/loader_cases.py "${e2e_args[@]}" "${shared_cases[@]}" </dev/null
timeout 900 python3 tests/e2e/wine/wine_cases.py "${e2e_args[@]}" --missing-com 9 </dev/null
echo "--- Windows tests passed ($build)"
