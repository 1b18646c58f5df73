#!/usr/bin/env bash
# The loader through real serial drivers: a QEMU guest boots the installed
# Debian kernel with a small busybox initramfs made here, holding a statically
# linked talvorn, the USB serial modules and tools/real-driver/init.sh as
# /init. Its ports are backed by pseudo-terminals that talvorn-sim serves:
#   /dev/ttyS1             the 8250 UART (-serial; ttyS0 is the guest's console)
#   adapter on USB port 1  an FTDI adapter (usb-serial on xHCI, ftdi_sio)
#   adapter on USB port 2  a second one, whose instrument leaves packet 40
#                          unanswered; it is pulled there (QMP device_del)
#   adapter on USB port 3  plugged in later (QMP chardev-add, device_add) for
#                          the three ports in one command, and pulled likewise
# The guest checks each run's exit status and transcript; this script checks
# what each instrument received and how soon the pulled adapter's run ended.
#
#   tools/run-real-driver-tests.sh [--build DIR] [--keep]
#
# --build DIR: the static build to use (made when missing; default
# build-static). --keep: keep the work folder (initramfs, console, logs).
# Without the packages it needs (qemu-system-x86, linux-image-amd64,
# busybox-static) it says so and skips, except in CI (CI set), where it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-static
keep=
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--build DIR] [--keep]" >&2; exit 2 ;;
  esac
done

SUITE_SECONDS=170   # everything from the guest's start to its power-off
PULL_REPORT_SECONDS=5  # from the adapter pulled to the loader's verdict
started=$SECONDS

note() { echo "real-driver: $*"; }

missing() {
  if [ -n "${CI:-}" ]; then
    note "FAILED: $1 (tools/install-deps.sh installs it)" >&2
    exit 1
  fi
  echo "SKIPPED: real-driver suite: $1 (sudo bash tools/install-deps.sh installs" \
       "qemu-system-x86, linux-image-amd64 and busybox-static)"
  exit 0
}

is_static() {
  local answer
  answer=$(LC_ALL=C ldd "$1" 2>&1 || true)
  [[ $answer == *"not a dynamic executable"* ]]
}

# ---------------------------------------------------------------- what it needs

command -v qemu-system-x86_64 >/dev/null 2>&1 || missing "no qemu-system-x86_64"
kernel=
for candidate in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
  if [ -r "$candidate" ] && [ -f "/lib/modules/${candidate#/boot/vmlinuz-}/modules.dep" ]; then
    kernel=$candidate
    break
  fi
done
[ -n "$kernel" ] || missing "no readable /boot/vmlinuz-* with its modules"
modules=/lib/modules/${kernel#/boot/vmlinuz-}
busybox=/bin/busybox
[ -x "$busybox" ] && is_static "$busybox" || missing "no statically linked $busybox"
command -v cpio >/dev/null 2>&1 || missing "no cpio"

# ---------------------------------------------------------------- the static loader

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVORN_TESTS=OFF \
        -DCMAKE_EXE_LINKER_FLAGS=-static
fi
cmake --build "$build" -j 2 --target talvorn talvorn-sim
loader=$build/talvorn
sim=$build/tools/instrument-sim/talvorn-sim
is_static "$loader" || { note "FAILED: $loader is not statically linked" >&2; exit 1; }

# ---------------------------------------------------------------- clean-up

work=$(mktemp -d /tmp/talvorn-real-driver.XXXXXX)
groups=()  # process groups started here: the simulators and QEMU
cleanup() {
  local group
  for group in "${groups[@]}"; do
    kill -KILL -- "-$group" "$group" 2>/dev/null || true
  done
  if [ -n "$keep" ]; then note "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Runs "$@" in a process group of its own (setsid execs it: same pid) in the
# background; its pid is left in $started_pid.
start_group() {
  setsid "$@" &
  started_pid=$!
  groups+=("$started_pid")
}

# Waits up to $1 seconds for process $2 to end; its exit status, or 124.
wait_process() {
  local deadline=$((SECONDS + $1))
  while kill -0 "$2" 2>/dev/null; do
    [ $SECONDS -lt "$deadline" ] || return 124
    sleep 0.1
  done
  wait "$2"
}

# Waits up to $1 seconds for a line matching $2 in file $3; with a process
# id $4, no longer than that process lives.
wait_line() {
  local deadline=$((SECONDS + $1))
  until grep -q -- "$2" "$3" 2>/dev/null; do
    [ $SECONDS -lt "$deadline" ] || return 1
    [ -z "${4:-}" ] || kill -0 "$4" 2>/dev/null || grep -q -- "$2" "$3" || return 1
    sleep 0.1
  done
}

# ---------------------------------------------------------------- the accelerator

# KVM when it works, else QEMU's own emulation (TCG). A writable /dev/kvm
# is not enough: on a virtual machine whose processor lacks what the guest
# kernel needs, KVM starts the guest and the kernel spins before its first
# line. So KVM is used only when a probe boot with it (no initramfs) brings
# the kernel to its end, the panic for want of a root file system, within
# PROBE_SECONDS; TCG takes about 12 s for that on a busy 2-core machine,
# a working KVM about one.
# TALVORN_QEMU_ACCEL=tcg or kvm skips the probe.
PROBE_SECONDS=20
choose_accel() {
  case ${TALVORN_QEMU_ACCEL:-} in
    tcg) accel=tcg; accel_why="asked for (TALVORN_QEMU_ACCEL)"; return ;;
    kvm) accel=kvm; accel_why="asked for (TALVORN_QEMU_ACCEL)"; return ;;
    '') ;;
    *) note "FAILED: TALVORN_QEMU_ACCEL is tcg or kvm, not \"$TALVORN_QEMU_ACCEL\"" >&2; exit 2 ;;
  esac
  accel=tcg
  if [ ! -e /dev/kvm ]; then accel_why="no /dev/kvm"; return; fi
  if [ ! -w /dev/kvm ]; then accel_why="/dev/kvm is not writable"; return; fi
  local probe_log=$work/kvm-probe.log probe
  : >"$probe_log"
  start_group qemu-system-x86_64 -accel kvm -m 256 -smp 1 -nodefaults -display none \
    -no-reboot -kernel "$kernel" -append "console=ttyS0 panic=-1" \
    -chardev "file,id=console,path=$probe_log" -serial chardev:console >"$work/kvm-probe.out" 2>&1
  probe=$started_pid
  if wait_line "$PROBE_SECONDS" "Kernel panic\|VFS: Unable to mount root" "$probe_log" "$probe"; then
    accel=kvm
    accel_why="a probe boot with KVM reached the kernel's end"
  else
    accel_why="a probe boot with KVM did not reach the kernel's end within $PROBE_SECONDS s ($(grep -c . "$probe_log" || true) console lines)"
  fi
  kill -KILL "$probe" 2>/dev/null || true
  wait "$probe" 2>/dev/null || true
}
choose_accel
note "accelerator: $accel: $accel_why"

# ---------------------------------------------------------------- the initramfs

root=$work/initramfs
mkdir -p "$root"/{bin,data,etc,modules,proc,sys,dev,tmp}
printf 'root:x:0:0::/:/bin/sh\nnobody:x:65534:65534::/:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' >"$root/etc/group"
cp "$busybox" "$root/bin/busybox"
strip -o "$root/talvorn" "$loader"
cp examples/sample.m0 "$root/data/sample.m0"
cp tools/real-driver/init.sh "$root/init"
chmod 755 "$root/init" "$root/talvorn"

# The modules for xHCI and ftdi_sio with those they need, in loading order;
# the ones built into the kernel are left out, compressed ones unpacked here
# (busybox's insmod takes plain .ko files).
load_order=()
add_module() {
  local line name dependency
  line=$(grep -E "/$1\.ko(\.xz|\.zst|\.gz)?:" "$modules/modules.dep" || true)
  if [ -z "$line" ]; then
    grep -qE "/$1\.ko" "$modules/modules.builtin" || missing "no module $1 in $modules"
    return 0
  fi
  # modules.dep lists what a module needs deepest last.
  for dependency in $(echo "${line#*:}" | tr ' ' '\n' | tac); do
    add_module "$(basename "${dependency%%.ko*}")"
  done
  name=$(basename "${line%%.ko*}").ko
  for dependency in "${load_order[@]}"; do
    [ "$dependency" != "$name" ] || return 0
  done
  local source=$modules/${line%%:*}
  case $source in
    *.xz) xz -dc "$source" ;;
    *.zst) zstd -qdc "$source" ;;
    *.gz) gzip -dc "$source" ;;
    *) cat "$source" ;;
  esac >"$root/modules/$name"
  load_order+=("$name")
}
for module in xhci-pci usbserial ftdi_sio; do
  add_module "$module"
done
printf '%s\n' "${load_order[@]}" >"$root/modules/order"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd.gz"

# ---------------------------------------------------------------- the instruments

# start_sim NAME OPTIONS...: a simulator whose output goes to $work/NAME.out;
# its pty is left in ${pty[NAME]}, its pid in ${sim_pid[NAME]}.
declare -A pty sim_pid
start_sim() {
  local name=$1
  shift
  start_group "$sim" --once --timeout $((SUITE_SECONDS + 20)) --log "$work/$name.log" "$@" \
    >"$work/$name.out" 2>&1
  sim_pid[$name]=$started_pid
  wait_line 20 "instrument on " "$work/$name.out" "$started_pid" || { note "FAILED: $name did not start"; exit 1; }
  pty[$name]=$(sed -n 's/^talvorn-sim: instrument on //p' "$work/$name.out")
}
start_sim uart --check examples/sample.m0
start_sim adapter --check examples/sample.m0
start_sim pulled --check examples/sample.m0 --silent-at 40
start_sim plugged --check examples/sample.m0 --silent-at 40

# ---------------------------------------------------------------- the guest

console=$work/console.log
: >"$console"
start_group qemu-system-x86_64 -accel "$accel" -m 256 -smp 1 -nodefaults -display none \
  -no-reboot -kernel "$kernel" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1" \
  -chardev "file,id=console,path=$console" -serial chardev:console \
  -chardev "serial,id=uart,path=${pty[uart]}" -serial chardev:uart \
  -device qemu-xhci,id=xhci \
  -chardev "serial,id=adapter1,path=${pty[adapter]}" \
  -device usb-serial,id=adapter1,bus=xhci.0,port=1,chardev=adapter1 \
  -chardev "serial,id=adapter2,path=${pty[pulled]}" \
  -device usb-serial,id=adapter2,bus=xhci.0,port=2,chardev=adapter2 \
  -qmp "unix:$work/qmp.sock,server=on,wait=off" \
  >"$work/qemu.out" 2>&1
qemu=$started_pid
note "guest booting ($accel), kernel $kernel"

# QEMU's monitor, one connection for the whole run (tools/real-driver/qmp.py).
coproc QMP { exec python3 -u tools/real-driver/qmp.py "$work/qmp.sock"; }
groups+=("$QMP_PID")
disown "$QMP_PID"  # ended by the clean-up, without a word from bash

failures=()
fail() { failures+=("$*"); note "FAIL $*"; }
guest_end=$((SECONDS + SUITE_SECONDS))
left() { echo $((guest_end - SECONDS > 1 ? guest_end - SECONDS : 1)); }

# qmp COMMAND ARGUMENTS: QEMU carried the command out.
qmp() {
  local answer=
  { printf '%s %s\n' "$1" "$2" >&"${QMP[1]:-}" && read -t 30 -r answer <&"${QMP[0]:-}"; } 2>/dev/null
  [ "$answer" = ok ] || { note "qmp: $1: ${answer:-no answer}"; return 1; }
}

# pull CASE ID ENDED: pulls the adapter ID, then checks that the guest's
# console line ENDED (the pulled run's end) follows soon enough.
pull() {
  local pulled_at seconds
  qmp device_del "{\"id\": \"$2\"}" || { fail "$1: QEMU did not remove the adapter"; return; }
  pulled_at=$(date +%s.%N)
  wait_line 60 "$3" "$console" "$qemu" || { fail "$1: the run did not end within 60 s of the pull"; return; }
  seconds=$(awk -v a="$pulled_at" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
  note "$1: adapter pulled: the loader's run ended ${seconds} s later"
  awk -v s="$seconds" -v limit="$PULL_REPORT_SECONDS" 'BEGIN { exit !(s <= limit) }' ||
    fail "$1: the run ended $seconds s after the pull, over $PULL_REPORT_SECONDS s"
}

# The pull: once the guest has looked at the held port and the instrument has
# taken packet 40 (which it leaves unanswered).
if wait_line "$(left)" "^real-driver: pull " "$console" "$qemu" &&
   wait_line "$(left)" "^40 .* silent$" "$work/pulled.log" "$qemu"; then
  pull adapter_pulled adapter2 "CASE adapter_pulled "
else
  fail "adapter_pulled: the guest never reached packet 40 on the second adapter"
fi

# The three ports in one command: a fresh adapter on USB port 3 when the guest
# asks for it, pulled once its instrument has taken packet 40.
if wait_line "$(left)" "^real-driver: plug" "$console" "$qemu"; then
  if qmp chardev-add "{\"id\": \"adapter3\", \"backend\": {\"type\": \"serial\", \"data\": {\"device\": \"${pty[plugged]}\"}}}" &&
     qmp device_add '{"driver": "usb-serial", "id": "adapter3", "bus": "xhci.0", "port": "3", "chardev": "adapter3"}'; then
    if wait_line 60 "^real-driver: pull again " "$console" "$qemu" &&
       wait_line 60 "^40 .* silent$" "$work/plugged.log" "$qemu"; then
      pull several_ports adapter3 "^real-driver: pulled run ended"
    else
      fail "several_ports: the guest never reached packet 40 on the plugged adapter"
    fi
  else
    fail "several_ports: QEMU did not plug the adapter in"
  fi
else
  fail "several_ports: the guest never asked for the adapter"
fi

wait_line "$(left)" "^real-driver: END" "$console" "$qemu" || fail "guest: no END within $SUITE_SECONDS s"
wait_process 30 "$qemu" >/dev/null || fail "guest: QEMU did not power off"

# ---------------------------------------------------------------- verdicts

cases=$(grep -c "^real-driver: CASE .* PASS" "$console" || true)
while read -r line; do
  fail "${line#real-driver: CASE }"
done < <(tr -d '\r' <"$console" | grep "^real-driver: CASE .* FAIL" || true)
[ "$cases" -eq 11 ] || fail "guest: $cases of 11 cases passed"

# sim_verdict NAME STATUS PATTERN...: the simulator's exit status and lines
# of its report.
sim_verdict() {
  local name=$1 want=$2 status=0 pattern
  shift 2
  wait_process 20 "${sim_pid[$name]}" || status=$?
  [ "$status" -eq "$want" ] || fail "$name instrument: exit status $status, wanted $want"
  for pattern in "$@"; do
    grep -q -- "$pattern" "$work/$name.out" || fail "$name instrument: no \"$pattern\""
  done
}
sim_verdict uart 0 "flash completed: 258 packets" "image check PASSED" "2 flashes completed"
sim_verdict adapter 0 "flash completed: 258 packets" "image check PASSED" "2 flashes completed"
sim_verdict pulled 2 "packet 40 left unanswered" "exiting: .* 40 packets"
sim_verdict plugged 2 "packet 40 left unanswered" "exiting: .* 40 packets"

if [ ${#failures[@]} -ne 0 ]; then
  note "console of the guest:"
  tr -d '\r' <"$console" | tail -n 80
  for name in uart adapter pulled plugged; do
    note "$name instrument:"
    cat "$work/$name.out"
  done
  note "FAILED: ${#failures[@]} problem(s), $((SECONDS - started)) s"
  exit 1
fi
note "all $cases guest cases and the instruments' checks passed in $((SECONDS - started)) s"
