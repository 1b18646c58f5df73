#!/usr/bin/env python3
"""What the loader cases cannot show about talvorn-sim, from a small client
on its pty: bad packets are refused and a wrong image fails the check, so
that the loader cases' "accepted" and "image check PASSED" mean something.

usage: sim_selftest.py --sim PATH [--case NAME ...]
"""

import os
import sys
import tty

import e2e_harness as h
import loader_cases as lc

DATA = bytes(range(16))


def packet(kind, body):
    """A loader packet: 0x7F, type, length, body, checksum."""
    checksum = 0xFF - ((len(body) + 1 + sum(body)) & 0xFF)
    return bytes([0x7F, kind, len(body) + 1]) + body + bytes([checksum])


def s_record(kind, body):
    return "S%d%s\n" % (kind, packet(kind, body)[2:].hex().upper())  # the same sum


class Line:
    """The loader's end of the line, opened as the loader opens it."""

    def __init__(self, sim, name="line"):
        self.sim, self.name = sim, name
        self.fd = os.open(sim.pty_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        sim.capture.add(name, self.fd)
        self.received = sim.capture.data[name]

    def answer(self, data, end=b"\n"):
        """Sends `data`; returns what arrives up to `end`."""
        os.write(self.fd, data)
        self.sim.capture.wait_for(lambda: end in self.received, "an answer to %r" % data)
        got = bytes(self.received[:self.received.index(end) + len(end)])
        del self.received[:len(got)]
        return got

    def close(self):
        if self.fd is not None:
            self.sim.capture.remove(self.fd)
            os.close(self.fd)
            self.fd = None


def run(sim_path, args, talk):
    """Runs `talk(sim, line)` on a fresh simulator after the wake-up and the
    start command."""
    capture = h.Capture()
    sim, line = h.Simulator(capture, sim_path, args), None
    try:
        line = Line(sim)
        assert line.answer(b"===\n", b">") == b">"
        assert line.answer(b"$\r").endswith(b"mode\r\n")
        talk(sim, line)
        sim.stop()
        assert not sim.text("sim.err"), sim.text("sim.err")
    finally:
        if line:
            line.close()
        sim.close()
        capture.close()


def bad_packets(sim, line):
    good = packet(2, b"\x00\x00\x10" + DATA)
    for name, data, answer in [
            ("checksum", good[:-1] + bytes([good[-1] ^ 0xFF]), b"Checksum error\r\n"),
            ("type", packet(0x0C, b"\x00\x00"), b"Record type error\r\n"),
            ("S2 without its address", packet(2, b"\x00\x01"), b"Length error\r\n"),
            ("zero length", b"\x7f\x02\x00\xff", b"Length error\r\n"),
            ("a good packet after them", good, b"\n")]:
        got = line.answer(data)
        assert got == answer, "%s: answered %r" % (name, got)


def wrong_image(sim, line):
    changed = bytes([DATA[0] ^ 1]) + DATA[1:]
    assert line.answer(packet(2, b"\x00\x00\x10" + changed)) == b"\n"
    assert line.answer(packet(8, b"\x00\x00\x00")) == b"\n"
    match = sim.wait_line(r"^talvorn-sim: image check FAILED: (.*)$")
    assert match.group(1).startswith("byte at 0x000040: expected 0x00, received 0x01"), match[0]


def reference(tmp):
    path = os.path.join(tmp, "ref.m0")
    with open(path, "w") as f:
        f.write(s_record(2, b"\x00\x00\x10" + DATA) + s_record(8, b"\x00\x00\x00"))
    return path


CASES = {"bad_packets": lambda sim, tmp: run(sim, [], bad_packets),
         "wrong_image": lambda sim, tmp: run(sim, ["--check", reference(tmp)], wrong_image)}


if __name__ == "__main__":
    args = lc.parse_args()
    sys.exit(lc.run_cases(CASES, args.sim, args.case or sorted(CASES)))
