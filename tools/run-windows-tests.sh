#!/usr/bin/env bash
# Builds the Windows program (mingw-w64, 32-bit, statically linked) and runs
# its tests under wine: the unit tests (talvorn_tests.exe), then the loader
# against the simulated instrument, its serial port reached as COM5 through a
# link in the wine prefix's dosdevices.
#
# The wine prefix is private to the build folder; the wine server and every
# process of the prefix are ended at exit, however the script ends.
#
# Wine ends every WaitCommEvent on a pseudo-terminal at once, cancelled (it
# reads the modem lines at each wake-up and gives up when it cannot), so the
# runs here take the loader's polling path; the event path, and what real
# drivers do that wine does not, are the unit tests' scripted driver.
#
# A kernel without 32-bit support cannot run 32-bit wine. On such a host the
# 32-bit program is still built, and the same sources are built for 64-bit
# Windows and tested under 64-bit wine (packages g++-mingw-w64-x86-64, wine64).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=2
source tools/wine-env.sh

echo "--- building the 32-bit Windows program (build-win32)"
configure_and_build build-win32 cmake/mingw-w64-i686.cmake

# Which wine runs here, and so which build is tested.
choose_wine
build=$wine_build

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  stop_wine
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

start_wine

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
# a program on a pty gets a console of wine's own that takes no keys from it
# (or takes them late: a DEL that comes while the terminal is still in line
# mode is taken by the line editing and never arrives).
# wine_cases.py presses its keys through standard input instead. Nor those
# that give the port as a Linux path or lock it as Linux programs do.
keys_on_pty="boot_overwrite_no escape_cancels escape_enter_cancels arrow_key_does_not_cancel enter_held_in_setup"
keys_on_pty+=" ctrl_c_at_wakeup ctrl_c_at_boot_question boot_sector_ctrl_c_waits boot_sector_second_ctrl_c"
keys_on_pty+=" boot_sector_ctrl_c_small_image bench_escape_cancels bench_ctrl_c_interrupts bench_boot_overwrite_no"
# Output on the loader's pty: under wine a program's console output goes through wine's own console.
output_on_pty="bench_all_succeed"
linux_ports="missing_port port_is_a_file port_in_use port_permission_denied port_is_own_terminal own_terminal_by_path"
linux_ports+=" port_is_a_socket port_is_ptmx bench_port_and_link_to_it"
# Wine shows no host device or pipe as a file: the program finds no file there;
# nor does it take Linux permissions (the loader runs as nobody) as they are.
linux_files="fifo_file kernel_log_file unreadable_file"
# POSIX descriptors and signals: closed standard descriptors, a broken pipe, job control.
posix_only="closed_stdin_and_stdout output_pipe_closed_early keys_never_run_dry job_control"
posix_only+=" quit_restores_the_terminal background_job hangup_ignored sighup_interrupts log_disk_full"
posix_only+=" interrupt_before_end_record"
# A Windows program has no SIGTERM; the simulator's own time-out is no
# Windows matter, and the start of wine could outlast it.
not_windows="sigterm_interrupts bench_sigterm_interrupts sim_timeout_counts_idle_time"
shared_cases=()
IFS=';' read -r -a all_cases <<<"$(python3 tests/e2e/loader_cases.py --list)"
for case in "${all_cases[@]}"; do
  [[ " $keys_on_pty $output_on_pty $linux_ports $linux_files $posix_only $not_windows " == *" $case "* ]] ||
    shared_cases+=(--case "$case")
done
echo "    (not run under wine: keys on a pty: $keys_on_pty; output on a pty: $output_on_pty;"
echo "     Linux ports: $linux_ports;"
echo "     Linux devices, pipes and permissions as files: $linux_files;"
echo "     POSIX descriptors and signals: $posix_only; $not_windows)"
timeout 1800 python3 tests/e2e/loader_cases.py "${e2e_args[@]}" "${shared_cases[@]}" </dev/null
timeout 900 python3 tests/e2e/wine/wine_cases.py "${e2e_args[@]}" --missing-com 9 </dev/null
echo "--- Windows tests passed ($build)"
