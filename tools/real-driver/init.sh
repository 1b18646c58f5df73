#!/bin/busybox sh
# Process 1 of the real-driver test guest (tools/run-real-driver-tests.sh puts
# it into the initramfs as /init). It loads the USB serial drivers, runs the
# loader through the kernel's own 8250 and ftdi_sio drivers and prints one
# line per case on the console (ttyS0):
#   real-driver: CASE <name> PASS
#   real-driver: CASE <name> FAIL <why>      (followed by what the loader printed)
# and "real-driver: pull <device>" when the host is to pull the second adapter.
# The host checks what the instruments received.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# The initramfs has no /dev/console of its own to start with.
exec </dev/console >/dev/console 2>&1
mkdir -p /tmp

say() { echo "real-driver: $*"; }
finish() { say "END"; sync; poweroff -f; }

FIRMWARE=/data/sample.m0
UART=/dev/ttyS1
BANNER='Ostrivel FLASH Version 1.02
Copyright (C) 2005 Corvane Instruments Ltd.  All rights reserved.

Press <ESC> to cancel'

for module in $(cat /modules/order); do
  insmod "/modules/$module" || say "insmod $module failed"
done

# The adapter on the xHCI controller's USB port $1: its tty name.
adapter_on_port() {
  for tty in /sys/bus/usb-serial/devices/ttyUSB*; do
    case "$(readlink -f "$tty")" in
      */usb*/*-"$1"/*) echo "/dev/${tty##*/}"; return 0 ;;
    esac
  done
  return 1
}

tries=0
until FLASH_ADAPTER=$(adapter_on_port 1) && PULLED_ADAPTER=$(adapter_on_port 2) &&
      [ -c "$FLASH_ADAPTER" ] && [ -c "$PULLED_ADAPTER" ]; do
  tries=$((tries + 1))
  if [ $tries -gt 600 ]; then
    say "the two FTDI adapters did not appear within 60 s"
    ls -l /sys/bus/usb-serial/devices/ /dev/ttyUSB* 2>&1
    finish
  fi
  sleep 0.1
done
say "adapters: flash $FLASH_ADAPTER, pulled $PULLED_ADAPTER"

# The loader's transcript with the progress line cut to its last field (the
# backspaces after it dropped).
normalised() {
  sed 's/^\(Percent Complete \.\.\.\).*\([ 0-9][ 0-9][0-9]%\)[^%]*$/\1 \2/' "$1"
}

# verdict NAME WANTED-STATUS STATUS TRANSCRIPT EXPECTED-TEXT [EXTRA-PROBLEM]
verdict() {
  local problem
  problem=$6
  [ "$3" = "$2" ] || problem="exit status $3, wanted $2; $problem"
  normalised "$4" > "/tmp/$1.got"
  printf '%s\n' "$5" > "/tmp/$1.want"
  cmp -s "/tmp/$1.got" "/tmp/$1.want" || problem="transcript differs; $problem"
  if [ -z "$problem" ]; then
    say "CASE $1 PASS"
  else
    say "CASE $1 FAIL $problem"
    diff "/tmp/$1.want" "/tmp/$1.got"
  fi
}

success_text() {
  printf '%s\n' "$BANNER
Waking up device at $1:115200,N,8,1 ... AWAKE
Setting Baud Rate to $1: 115200,N,8,1
Flash programming \"$FIRMWARE\" started ...
Percent Complete ... 100%
S-Records sent ... 1026
Flash programming ... SUCCESSFUL
DONE"
}

open_failed_text() {
  printf '%s\n' "$BANNER
*** - Error, cannot open port.
$1: $2

Flash programming ... UNSUCCESSFUL
talvorn: nothing was sent to the instrument."
}

# settings_verdict NAME DEVICE [HOLDER]: what the driver holds for the port
# (stty), against what the loader asks for: 115200 baud, 8N1, raw, no flow
# control, modem status lines ignored, DTR kept on close; read while the
# loader HOLDER (a process id) still holds the port, when given.
settings_verdict() {
  local stty problem flag absent=
  stty=$(stty -F "$2" -a 2>/dev/null | tr ';\n' '  ')
  for flag in "speed 115200 baud" cs8 -parenb -cstopb -crtscts clocal cread -hupcl -ixon \
              -ixoff -icrnl -opost -icanon -echo -isig; do
    case " $stty " in
      *" $flag "*) ;;
      *) absent="$absent $flag" ;;
    esac
  done
  problem=${absent:+not set:$absent; }
  if [ -n "$3" ] && ! kill -0 "$3" 2>/dev/null; then
    problem="${problem}the loader no longer held the port"
  fi
  if [ -z "$problem" ]; then
    say "CASE $1 PASS"
  else
    say "CASE $1 FAIL $problem"
    echo "$stty"
  fi
}

# Settings that the loader must change: seven bits, odd parity, two stop
# bits, hardware and XON/XOFF flow control, hang-up on close, 9600 baud.
stty -F "$UART" 9600 cs7 parenb parodd cstopb crtscts ixon hupcl clocal icrnl opost

# Waits until the background loader $1 printed $2 into $3, or ended.
wait_for_text() {
  n=0
  until grep -q "$2" "$3" 2>/dev/null; do
    kill -0 "$1" 2>/dev/null || return 1
    n=$((n + 1))
    [ $n -le 1200 ] || return 1
    sleep 0.1
  done
}

# Waits (at most 120 s) for the background loader $1; its exit status.
wait_loader() {
  n=0
  while kill -0 "$1" 2>/dev/null && [ $n -lt 1200 ]; do
    n=$((n + 1))
    sleep 0.1
  done
  kill -9 "$1" 2>/dev/null
  wait "$1"
}

# The ports present, from sysfs: the console's and the test's UARTs (not the
# 8250 driver's placeholder ports without one) and both adapters with QEMU's
# FTDI identity; its serial number (derived from the USB path) is only checked
# to be there.
timeout 60 /talvorn --list-ports </dev/null >/tmp/port_list.raw 2>&1
status=$?
sed 's/  serial [^ ][^ ]*$/  serial <number>/' /tmp/port_list.raw >/tmp/port_list.out
verdict port_list 0 $status /tmp/port_list.out "/dev/ttyS0
$UART$(for adapter in $(printf '%s\n' "$FLASH_ADAPTER" "$PULLED_ADAPTER" | sort); do
  printf '\n%s  USB 0403:6001  QEMU  QEMU USB SERIAL  serial <number>' "$adapter"
done)"

# A whole flash through the 8250 UART; the driver's line settings afterwards
# (a serial port keeps them after the loader has closed it).
timeout 120 /talvorn "$FIRMWARE" "$UART" </dev/null >/tmp/uart_flash.out 2>&1
verdict uart_flash 0 $? /tmp/uart_flash.out "$(success_text "$UART")"
settings_verdict uart_settings "$UART"

# A whole flash through the FTDI adapter's ftdi_sio driver; its flash record
# names the device and the adapter's USB identity.
timeout 120 /talvorn --log=/tmp/rec.log "$FIRMWARE" "$FLASH_ADAPTER" </dev/null \
  >/tmp/ftdi_flash.out 2>&1
verdict ftdi_flash 0 $? /tmp/ftdi_flash.out "$(success_text "$FLASH_ADAPTER")"
record="\"device\":\"$FLASH_ADAPTER\",\"usb\":{\"id\":\"0403:6001\",\"manufacturer\":\"QEMU\",\"product\":\"QEMU USB SERIAL\",\"serial\":\"[^\"]"
if [ "$(wc -l </tmp/rec.log)" = 1 ] && grep -q "$record" /tmp/rec.log; then
  say "CASE flash_record PASS"
else
  say "CASE flash_record FAIL no single record with $record"
  cat /tmp/rec.log
fi

# The second adapter, whose instrument leaves packet 40 unanswered: while the
# loader holds it, the driver's settings are read back (as root, whom the
# exclusive mode lets in) and a second loader finds the port in use; then the
# host pulls the adapter and the loader must say so.
/talvorn "$FIRMWARE" "$PULLED_ADAPTER" </dev/null >/tmp/pulled.out 2>&1 &
loader=$!
problem=
wait_for_text $loader "started \.\.\." /tmp/pulled.out || problem="the transfer did not start"
settings_verdict adapter_settings "$PULLED_ADAPTER" $loader
timeout 120 /talvorn "$FIRMWARE" "$PULLED_ADAPTER" </dev/null >/tmp/busy.out 2>&1
verdict busy_port 1 $? /tmp/busy.out "$(open_failed_text "$PULLED_ADAPTER" \
  "in use by another program. Close that program, then try again.")"
# The refused loader must leave the first one's exclusive mode alone: another
# user's program that takes no lock is still kept out.
chmod 666 "$PULLED_ADAPTER"
if su -s /bin/sh nobody -c "stty -F $PULLED_ADAPTER" >/tmp/exclusive.out 2>&1; then
  say "CASE exclusive_kept FAIL another user opened the port the loader holds"
elif grep -q "busy" /tmp/exclusive.out; then
  say "CASE exclusive_kept PASS"
else
  say "CASE exclusive_kept FAIL $(cat /tmp/exclusive.out)"
fi
say "pull $PULLED_ADAPTER"
wait_loader $loader
status=$?
verdict adapter_pulled 1 $status /tmp/pulled.out "$BANNER
Waking up device at $PULLED_ADAPTER:115200,N,8,1 ... AWAKE
Setting Baud Rate to $PULLED_ADAPTER: 115200,N,8,1
Flash programming \"$FIRMWARE\" started ...
Percent Complete ...  15%
S-Records sent ... 161
Flash programming error message:  lost the serial port $PULLED_ADAPTER (device removed)

Flash programming ... UNSUCCESSFUL
DONE
talvorn: the instrument may hold an incomplete image: flash it again." "$problem"

# The pulled adapter's name, now that nothing is behind it: the ports that
# are left are named.
timeout 120 /talvorn "$FIRMWARE" "$PULLED_ADAPTER" </dev/null >/tmp/unplugged.out 2>&1
verdict unplugged_adapter 1 $? /tmp/unplugged.out "$(open_failed_text "$PULLED_ADAPTER" \
  "no such device. Is the adapter plugged in? Serial ports present: /dev/ttyS0, $UART, $FLASH_ADAPTER.")"

# All three ports in one command: the host plugs a fresh adapter into USB port
# 3, whose instrument too leaves packet 40 unanswered, and pulls it there while
# the 8250 and the first adapter flash on. Progress lines depend on timing and
# go; the verdict lines stay, sorted (the runs end in any order), and so does
# everything else, the seconds masked.
say "plug"
tries=0
until PLUGGED_ADAPTER=$(adapter_on_port 3) && [ -c "$PLUGGED_ADAPTER" ]; do
  tries=$((tries + 1))
  if [ $tries -gt 600 ]; then
    say "CASE several_ports FAIL the plugged adapter did not appear within 60 s"
    finish
  fi
  sleep 0.1
done
/talvorn "$FIRMWARE" "$UART" "$FLASH_ADAPTER" "$PLUGGED_ADAPTER" </dev/null \
  >/tmp/several.raw 2>&1 &
loader=$!
say "pull again $PLUGGED_ADAPTER"
wait_for_text $loader "^$PLUGGED_ADAPTER: UNSUCCESSFUL" /tmp/several.raw &&
  say "pulled run ended"
wait_loader $loader
status=$?
run_line='^/dev/[^ ]*: '
sed -e "\#${run_line}\(waking up\|no answer (try\|awake\$\|line set to\|flashing started\|[0-9]*% (\)#d" \
    -e 's/ *[0-9][0-9]*\.[0-9] s/ #.# s/' /tmp/several.raw >/tmp/several.lines
{
  sed "\#$run_line#,\$d" /tmp/several.lines
  grep "$run_line" /tmp/several.lines | sort
  sed -n "\#$run_line#,\$p" /tmp/several.lines | grep -v "$run_line"
} >/tmp/several.out
lost="lost the serial port $PLUGGED_ADAPTER (device removed); the instrument may hold an incomplete image"
width=0
for port in "$UART" "$FLASH_ADAPTER" "$PLUGGED_ADAPTER"; do
  [ ${#port} -le $width ] || width=${#port}
done
summary_line() { printf "%-${width}s  %-12s %6d records #.# s%s" "$@"; }
verdict several_ports 1 $status /tmp/several.out "$BANNER
Flashing \"$FIRMWARE\" into 3 instruments at once.
$(printf '%s\n' "$UART: SUCCESSFUL, 1026 records, #.# s" \
  "$FLASH_ADAPTER: SUCCESSFUL, 1026 records, #.# s" \
  "$PLUGGED_ADAPTER: UNSUCCESSFUL, 161 records, #.# s: $lost" | sort)

Summary:
$(summary_line "$UART" SUCCESSFUL 1026)
$(summary_line "$FLASH_ADAPTER" SUCCESSFUL 1026)
$(summary_line "$PLUGGED_ADAPTER" UNSUCCESSFUL 161 "  $lost")
2 of 3 instruments SUCCESSFUL
DONE"

finish
