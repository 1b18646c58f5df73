#!/usr/bin/env bash
# Flashes examples/sample.m0 into the simulated instrument and shows the
# loader's console as a user sees it, then the instrument's verdict on the
# image it received. Builds the loader and the simulator into build/ first
# when they are not there yet: only those two, without the tests, so that no
# test framework is needed and nothing is installed.
#
#   bash tools/demo.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
loader="$build/talvorn"
sim="$build/tools/instrument-sim/talvorn-sim"
sample="examples/sample.m0"

cd "$root"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DTALVORN_TESTS=OFF
fi
cmake --build "$build" --target talvorn talvorn-sim

if [ ! -f "$sample" ]; then
  echo "demo: $sample is missing" >&2
  exit 1
fi

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
  fi
  if [ -n "$sim_pid" ]; then
    wait "$sim_pid" 2>/dev/null || true
  fi
  exec 3<&- 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The simulator's report comes through a FIFO, so its first line (the pty
# path) can be read as soon as it is written.
mkfifo "$work/report"
"$sim" --once --timeout 120 --check "$sample" > "$work/report" &
sim_pid=$!
exec 3< "$work/report"

if ! IFS= read -r -t 30 first <&3; then
  echo "demo: the simulator did not start" >&2
  exit 1
fi
pty=${first#talvorn-sim: instrument on }
echo "$first"
echo

status=0
"$loader" "$sample" "$pty" || status=$?

# The simulator ends when the loader has closed the line; the rest of its
# report holds the image check.
report=$(cat <&3)
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=""
echo
grep -E '^talvorn-sim: image check' <<< "$report" || echo "talvorn-sim: no image check (no flash completed)"
echo "loader exit status $status, simulator exit status $sim_status"
[ "$status" -eq 0 ] && [ "$sim_status" -eq 0 ]
