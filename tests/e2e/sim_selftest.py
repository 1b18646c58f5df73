#!/usr/bin/env python3
"""Checks talvorn-sim by itself, from a small client on its pseudo-terminal:
wake-up, echoed commands, the start command, packets good and bad, pad
bytes, the terminator, the image files, --check and the fault options.

usage: sim_selftest.py --sim PATH [--case NAME ...]
"""

import argparse
import contextlib
import fcntl
import os
import struct
import subprocess
import sys
import tempfile
import termios
import traceback
import tty

import e2e_harness as h

CHECKSUM_ERROR = b"Checksum error\r\n"
TIOCGEXCL = getattr(termios, "TIOCGEXCL", 0x80045440)  # Linux: read the exclusive mode
START_ANSWER_END = b"\r\n"


def packet(kind, body):
    """A loader packet: 0x7F, type, length, body, checksum."""
    length = len(body) + 1
    checksum = 0xFF - ((length + sum(body)) & 0xFF)
    return bytes([0x7F, kind, length]) + bytes(body) + bytes([checksum])


def s2_packet(word_address, data):
    return packet(2, word_address.to_bytes(3, "big") + bytes(data))


def s_record(kind, address_data):
    count = len(address_data) + 1
    checksum = 0xFF - ((count + sum(address_data)) & 0xFF)
    return "S%d%02X%s%02X\n" % (kind, count, bytes(address_data).hex().upper(), checksum)


HEADER = packet(0, b"\x00\x00fw")
TERMINATOR = packet(8, b"\x00\x00\x00")
DATA_A = list(range(16))                       # word 0x10: bytes 0x40..0x4F
DATA_B = [0xA0 + i for i in range(8)]           # word 0x14: bytes 0x50..0x57
DATA_C = [0x55] * 4                             # word 0x18: bytes 0x60..0x63, after a gap


class Line:
    """The loader's end of the line, opened the way the loader opens it."""

    def __init__(self, capture, path):
        self.capture = capture
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        capture.add("line", self.fd)
        self.pos = 0

    def send(self, data):
        os.write(self.fd, data)

    def expect(self, want):
        got = lambda: bytes(self.capture.data["line"][self.pos:self.pos + len(want)])
        self.capture.wait_for(lambda: len(got()) == len(want), "line bytes %r" % want)
        assert got() == want, "line: expected %r, received %r" % (want, got())
        self.pos += len(want)

    def expect_line(self):
        """Reads up to and including the next line feed and returns it."""
        buf = self.capture.data["line"]
        self.capture.wait_for(lambda: b"\n" in buf[self.pos:], "a line from the instrument")
        end = buf.index(b"\n", self.pos) + 1
        line = bytes(buf[self.pos:end])
        self.pos = end
        return line

    def close(self):
        if self.fd is not None:
            self.capture.remove(self.fd)
            os.close(self.fd)
            self.fd = None


@contextlib.contextmanager
def session(sim_path, *sim_args):
    capture = h.Capture()
    sim = line = None
    try:
        sim = h.Simulator(capture, sim_path, sim_args)
        line = Line(capture, sim.pty_path)
        yield sim, line
        sim.stop()
        assert not sim.errors(), "simulator standard error: " + sim.errors()
    finally:
        if line:
            line.close()
        if sim:
            sim.close()
        capture.close()


def wake_and_start(line, start=b"$\r"):
    line.send(b"===\n")
    line.expect(b">")
    line.send(start)
    line.expect(start)
    answer = line.expect_line()
    assert answer.endswith(START_ANSWER_END), answer


def write_reference(tmp, name, lines):
    path = os.path.join(tmp, name)
    with open(path, "w") as f:
        f.write("".join(lines))
    return path


def reference_lines(extra=None):
    lines = [s_record(0, b"\x00\x00fw"),
             s_record(2, bytes([0, 0, 0x10]) + bytes(DATA_A)),
             s_record(2, bytes([0, 0, 0x14]) + bytes(DATA_B)),
             s_record(2, bytes([0, 0, 0x18]) + bytes(DATA_C))]
    return lines + (extra or []) + [s_record(8, b"\x00\x00\x00")]


# --- cases -------------------------------------------------------------------

def case_not_listening_before_wakeup(sim_path, tmp):
    with session(sim_path) as (sim, line):
        line.send(b"\r@N\r$\r==\n=")  # no wake-up string among it
        line.send(b"==\n")           # completes "===\n" with the '=' before
        line.expect(b">")             # the first byte back: nothing answered before
        sim.wait_line(r"^talvorn-sim: awake$")


def case_command_echo_and_prompt(sim_path, tmp):
    with session(sim_path) as (sim, line):
        line.send(b"===\n")
        line.expect(b">")
        for command in (b"\r", b"@N\r", b"\r"):
            line.send(command)
            line.expect(command + b"\n>")
        line.send(b"===\n")           # a second wake-up at the prompt
        line.expect(b"===\n>")
        sim.wait_line(r'^talvorn-sim: command "@N"$')


def case_flash_with_check_and_images(sim_path, tmp):
    ref = write_reference(tmp, "ref.m0", reference_lines())
    image_bin = os.path.join(tmp, "image.bin")
    image_srec = os.path.join(tmp, "image.m0")
    log = os.path.join(tmp, "packets.log")
    with session(sim_path, "--check", ref, "--image", image_bin, "--log", log) as (sim, line):
        wake_and_start(line)
        # S0, a merged-looking S2 of two runs' worth, one S2 after a gap, S8.
        for p in (HEADER, s2_packet(0x10, DATA_A + DATA_B), s2_packet(0x18, DATA_C)):
            line.send(p)
            line.expect(b"\n")
        line.send(TERMINATOR)
        line.expect(b"\n>")
        match = sim.wait_line(r"^talvorn-sim: image check (\w+): (.*)$")
        assert match.group(1) == "PASSED", match.group(0)
        assert match.group(2) == "28 bytes at 0x000040..0x000063 match " + ref, match.group(2)
    with open(image_bin, "rb") as f:
        expected = bytes(DATA_A + DATA_B) + b"\xff" * 8 + bytes(DATA_C)
        assert f.read() == expected
    with open(log) as f:
        entries = f.read().splitlines()
    assert len(entries) == 4, entries
    assert entries[0].startswith("1 type=0 len=5 addr=0x0000") and 'header="fw"' in entries[0]
    assert entries[1].startswith("2 type=2 len=28 addr=0x000010 data=24") and entries[1].endswith(" ok")
    assert entries[3].startswith("4 type=8 len=4") and entries[3].endswith(" ok")
    # The S-record image, read back by the simulator itself as a reference.
    with session(sim_path, "--image", image_srec) as (sim, line):
        wake_and_start(line)
        for p in (s2_packet(0x10, DATA_A + DATA_B), s2_packet(0x18, DATA_C), TERMINATOR):
            line.send(p)
            line.expect(b"\n")
        sim.wait_line(r"^talvorn-sim: image written to ")
    with session(sim_path, "--check", image_srec) as (sim, line):
        wake_and_start(line)
        for p in (s2_packet(0x10, DATA_A + DATA_B), s2_packet(0x18, DATA_C), TERMINATOR):
            line.send(p)
            line.expect(b"\n")
        sim.wait_line(r"^talvorn-sim: image check PASSED: 28 bytes")


def case_check_reports_first_difference(sim_path, tmp):
    ref = write_reference(tmp, "ref.m0", reference_lines())
    with session(sim_path, "--check", ref, "--once") as (sim, line):
        wake_and_start(line)
        changed = list(DATA_A)
        changed[5] ^= 0x01
        for p in (s2_packet(0x10, changed + DATA_B), s2_packet(0x18, DATA_C), TERMINATOR):
            line.send(p)
            line.expect(b"\n")
        match = sim.wait_line(r"^talvorn-sim: image check FAILED: (.*)$")
        assert match.group(1).startswith("byte at 0x000045: expected 0x05, received 0x04"), \
            match.group(1)
        line.close()
        assert sim.wait_exit() == 1


def case_missing_data_fails_check(sim_path, tmp):
    ref = write_reference(tmp, "ref.m0", reference_lines())
    with session(sim_path, "--check", ref) as (sim, line):
        wake_and_start(line)
        for p in (s2_packet(0x10, DATA_A + DATA_B), TERMINATOR):
            line.send(p)
            line.expect(b"\n")
        match = sim.wait_line(r"^talvorn-sim: image check FAILED: (.*)$")
        assert match.group(1).startswith("byte at 0x000060: expected 0x55, received nothing")


def case_bad_packets_are_refused(sim_path, tmp):
    log = os.path.join(tmp, "packets.log")
    bad_checksum = bytearray(s2_packet(0x10, DATA_A))
    bad_checksum[-1] ^= 0xFF
    table = [
        ("checksum", bytes(bad_checksum), CHECKSUM_ERROR),
        ("type", packet(0x0C, b"\x00\x00"), b"Record type error\r\n"),
        ("S2 without its address", packet(2, b"\x00\x01"), b"Length error\r\n"),
        ("zero length", b"\x7f\x02\x00\xff", b"Length error\r\n"),
    ]
    with session(sim_path, "--log", log) as (sim, line):
        wake_and_start(line)
        for name, data, answer in table:
            line.send(data)
            got = line.expect_line()
            assert got == answer, "%s: %r" % (name, got)
        line.send(s2_packet(0x10, DATA_A))  # still in step after the errors
        line.expect(b"\n")
    with open(log) as f:
        entries = f.read().splitlines()
    assert entries[0].endswith('error "Checksum error\\x0D\\x0A"'), entries[0]
    assert entries[4].endswith(" ok"), entries[4]


def case_pad_bytes_are_skipped(sim_path, tmp):
    ref = write_reference(tmp, "ref.m0", reference_lines())
    with session(sim_path, "--check", ref) as (sim, line):
        wake_and_start(line)
        pad = b"\xff\xff\xff"
        for p in (HEADER + pad, s2_packet(0x10, DATA_A + DATA_B) + pad,
                  s2_packet(0x18, DATA_C) + pad):
            line.send(p)
            line.expect(b"\n")
        line.send(TERMINATOR)
        line.expect(b"\n>")
        sim.wait_line(r"^talvorn-sim: image check PASSED")
        sim.stop()
        summary = sim.text().splitlines()[-1]
        assert " 0 stray bytes" in summary, summary


def case_fault_injection(sim_path, tmp):
    # Packet 2 is never answered, so the first answer after it is packet 3's.
    args = ("--silent-at", "2", "--error-at", "3", "Flash write failure", "--crlf-at", "4")
    with session(sim_path, *args) as (sim, line):
        wake_and_start(line)
        line.send(HEADER)
        line.expect(b"\n")
        line.send(s2_packet(0x10, DATA_A))
        line.send(s2_packet(0x14, DATA_B))
        line.expect(b"Flash write failure\r\n")
        line.send(s2_packet(0x18, DATA_C))
        line.expect(b"\r\n")
        line.send(TERMINATOR)
        line.expect(b"\n>")
        sim.wait_line(r"^talvorn-sim: flash completed: 5 packets, 0 data bytes$")


def case_ignored_wakeups_and_noise(sim_path, tmp):
    with session(sim_path, "--ignore-wakeups", "2", "--noise") as (sim, line):
        for _ in range(3):
            line.send(b"===\n")
        sim.wait_line(r"^talvorn-sim: wake-up ignored \(2 of 2\)$")
        buf = line.capture.data["line"]
        line.capture.wait_for(lambda: b">" in buf, "the prompt")
        before = bytes(buf[:buf.index(b">")])
        assert before and not any(c in before for c in b">\r\n"), before
        assert sim.text().count("talvorn-sim: awake") == 1


def case_start_variants(sim_path, tmp):
    with session(sim_path) as (sim, line):
        wake_and_start(line, b"%%\r")
        sim.wait_line(r'^talvorn-sim: start command "%%" \(boot sector overwrite\)$')
    with session(sim_path, "--no-start-answer", "--line-rate") as (sim, line):
        line.send(b"===\n")
        line.expect(b">")
        line.send(b"$\r")
        line.expect(b"$\r")
        line.send(HEADER)              # the first line after the echo is the packet's answer
        assert line.expect_line() == b"\n"


def case_hangup_and_once(sim_path, tmp):
    with session(sim_path, "--hangup-at", "2") as (sim, line):
        wake_and_start(line)
        line.send(HEADER)
        line.expect(b"\n")
        line.send(s2_packet(0x10, DATA_A))
        assert sim.wait_exit() == 2
        line.capture.wait_eof(["line"], "the hang-up on the line")
    # --once: the end of the loader's session ends the simulator.
    with session(sim_path, "--once") as (sim, line):
        wake_and_start(line)
        line.send(TERMINATOR)
        line.expect(b"\n>")
        line.close()
        assert sim.wait_exit() == 0
        assert "talvorn-sim: line closed" in sim.text()


def case_line_released_between_sessions(sim_path, tmp):
    """A loader that leaves in flash mode with the line in exclusive mode:
    the next opener finds the line shared again and the instrument asleep."""
    with session(sim_path) as (sim, line):
        wake_and_start(line)
        fcntl.ioctl(line.fd, termios.TIOCEXCL)
        line.send(HEADER)  # its answer is left unread on the line
        line.close()
        sim.wait_line(r"^talvorn-sim: line closed$")
        second = Line(line.capture, sim.pty_path)
        try:
            flag = struct.unpack("i", fcntl.ioctl(second.fd, TIOCGEXCL, b"\0" * 4))[0]
            assert flag == 0, "the line is still exclusive"
            second.send(b"===\n")
            buf = second.capture.data["line"]
            second.capture.wait_for(lambda: b">" in buf, "the prompt of the second session")
            assert b"\n" not in buf, "stale bytes from the first session: %r" % bytes(buf)
            assert sim.text().count("talvorn-sim: awake") == 2, sim.text()
        finally:
            second.close()


def case_bad_setup_is_refused(sim_path, tmp):
    broken = write_reference(tmp, "broken.m0", [s_record(0, b"\x00\x00fw"),
                                                 "S2080000100102030400\n"])
    table = [
        ("value missing", ["--error-at", "3"], "option --error-at needs a valid value"),
        ("unknown option", ["--colour"], "unknown option --colour"),
        ("bad reference", ["--check", broken], broken + ":2: bad checksum"),
        ("no reference", ["--check", os.path.join(tmp, "none.m0")], "none.m0: cannot open"),
    ]
    for name, args, message in table:
        run = subprocess.run([sim_path] + args, stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=h.WAIT_SECONDS)
        assert run.returncode == 3, "%s: status %r" % (name, run.returncode)
        assert message in run.stderr, "%s: %r" % (name, run.stderr)
        assert run.stdout == "", "%s: a pty was offered: %r" % (name, run.stdout)


def case_timeout_ends_the_simulator(sim_path, tmp):
    with session(sim_path, "--timeout", "1") as (sim, line):
        assert sim.wait_exit() == 2
        assert "talvorn-sim: time-out after 1 s" in sim.text()


CASES = {name[5:]: fn for name, fn in sorted(globals().items()) if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--case", action="append")
    args = parser.parse_args()
    failures = 0
    for name in args.case or sorted(CASES):
        with tempfile.TemporaryDirectory(prefix="talvorn-sim-test.") as tmp:
            try:
                CASES[name](args.sim, tmp)
                print("PASS", name)
            except Exception:
                failures += 1
                print("FAIL", name)
                traceback.print_exc(file=sys.stdout)
        sys.stdout.flush()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
