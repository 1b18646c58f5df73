# Shared by the scripts that run the Windows program under wine; sourced, with
# $root (the source folder) and $jobs set. It chooses the wine that runs on
# this host and the build it can run, and runs a private wine prefix with one
# wine server, which stop_wine ends with every process of the prefix.
#
# A kernel without 32-bit support cannot run 32-bit wine. On such a host the
# same sources are built for 64-bit Windows and run under 64-bit wine
# (packages g++-mingw-w64-x86-64, wine64).

export WINEDEBUG=-all
# No Mono or Gecko installers, no windows: the prefix is for console programs.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

configure_and_build() {  # build-folder toolchain-file
  cmake -S "$root" -B "$1" -G Ninja -DTALVORN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$2"
  cmake --build "$1" -j "$jobs"
}

# Sets wine_build (build-win32, or build-win64 where 32-bit wine does not run;
# built then) and wine (the command that runs the program). Fails when
# neither wine runs.
choose_wine() {
  wine_build=build-win32
  wine=wine
  local wine_error wine64
  if wine_error=$(timeout 60 wine --version 2>&1); then
    return 0
  fi
  wine64=$(command -v wine64 || true)
  [ -n "$wine64" ] || { [ -x /usr/lib/wine/wine64 ] && wine64=/usr/lib/wine/wine64; } || true
  if [ -z "$wine64" ] || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 \
     || ! timeout 60 "$wine64" --version >/dev/null 2>&1; then
    echo "wine: 32-bit wine does not run on this host:" >&2
    echo "  $wine_error" >&2
    echo "wine: and there is no 64-bit wine with mingw-w64 for x86-64 to" \
         "fall back on (packages wine64 g++-mingw-w64-x86-64)." >&2
    return 1
  fi
  echo "--- 32-bit wine does not run here ($wine_error);"
  echo "--- using the 64-bit build of the same sources under $wine64 (build-win64)"
  configure_and_build "$root/build-win64" "$root/cmake/mingw-w64-x86_64.cmake"
  wine_build=build-win64
  wine=$wine64
  export WINELOADER=$wine64
}

# Makes the prefix $root/$wine_build/wineprefix when it is not there yet and
# starts its server.
start_wine() {
  export WINEPREFIX=$root/$wine_build/wineprefix
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "--- initialising the wine prefix $WINEPREFIX (once; may take a minute)"
  fi
  # wine makes a new prefix only where no folder exists yet: an empty folder
  # would be taken for a broken prefix.
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 600 "$wine" wineboot -i </dev/null >"$root/$wine_build/wineboot.log" 2>&1 || {
    echo "wine: wineboot failed:" >&2
    cat "$root/$wine_build/wineboot.log" >&2
    return 1
  }
  # One server for the rest of the run; its own messages go to a log, not into
  # the standard error of the programs under test. wineboot's server lingers a
  # few seconds: it must be gone first, or the persistent one would not start
  # and the first program under test would start a server of its own, in that
  # program's session and with its standard error (where the hang-up at that
  # session's end makes it write out its objects). Its own session keeps the
  # run's server clear of every terminal's hang-up.
  timeout 60 wineserver -w >/dev/null 2>&1 || true
  setsid wineserver -f -p >"$root/$wine_build/wineserver.log" 2>&1 </dev/null &
  # Its socket: in /tmp/.wine-UID, or (Debian) in a /tmp/wine-XXXXXX folder.
  local server tries=0
  server=$(printf "server-%x-%x" "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  until compgen -G "/tmp/.wine-$(id -u)/$server/socket" >/dev/null ||
        compgen -G "/tmp/wine-*/$server/socket" >/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -le 300 ] || { echo "wine: the wine server did not start" >&2; return 1; }
    sleep 0.1
  done
}

# Ends every process of the prefix, then the server itself.
stop_wine() {
  [ -z "${WINEPREFIX:-}" ] || timeout 60 wineserver -k >/dev/null 2>&1 || true
}
