#!/usr/bin/env python3
"""loader_bench: the loader itself, end to end, from its start to its verdict.

usage: loader_bench.py [--build DIR] [--repeats N]

Two runs of the real talvorn binary (DIR/talvorn, default build/):
  refused  a 40 MB S-record file (16 MiB of data) whose last line has a
           wrong checksum: the whole-file check reads it all, then refuses it
           before the port is opened;
  flash    a 1 MiB image flashed into talvorn-sim, which answers every packet
           at once: the time of the packet round trips over a pseudo-terminal.
The files are written into a temporary folder and removed afterwards. Each
run is repeated N times (default 5); the best and the median are printed,
with the load average, which the figures depend on.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

DATA_BYTES_PER_RECORD = 32


def record(kind, address, data=b"", checksum_error=0):
    """One S-record line: type, count, 3 address bytes, data, checksum, CR LF."""
    body = address.to_bytes(3, "big") + data
    count = len(body) + 1
    checksum = (0xFF - (count + sum(body)) & 0xFF) ^ checksum_error
    return b"S%c%02X%s%02X\r\n" % (kind, count, body.hex().upper().encode(), checksum)


def write_image(path, data_bytes, bad_last_line):
    """Word-addressed S2 records of 32 data bytes behind an S0 header, ended by
    an S8 record (with a wrong checksum when `bad_last_line`)."""
    pattern = bytes((i * 7 + 3) & 0xFF for i in range(4096))
    with open(path, "wb") as f:
        f.write(record(ord("0"), 0, b"bench image"))
        for offset in range(0, data_bytes, DATA_BYTES_PER_RECORD):
            start = offset % len(pattern)
            f.write(record(ord("2"), offset // 4, pattern[start:start + DATA_BYTES_PER_RECORD]))
        f.write(record(ord("8"), 0, checksum_error=0x01 if bad_last_line else 0))
    with open(path, "rb") as f:
        return sum(1 for _ in f)


def timed(argv, cwd):
    """Runs the loader without a terminal or keyboard; (seconds, status, output)."""
    started = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, start_new_session=True, timeout=600)
    return time.perf_counter() - started, done.returncode, done.stdout.decode("latin-1")


def refused_run(loader, folder, lines):
    seconds, status, out = timed([loader, "big.m0", "/dev/null"], folder)
    expected = '"big.m0" line %d: record checksum is' % lines
    if status != 1 or expected not in out:
        sys.exit("loader_bench: the large file was not refused at line %d:\n%s" % (lines, out))
    return seconds


def flash_run(loader, sim, folder):
    image = os.path.join(folder, "image.m0")
    simulator = subprocess.Popen([sim, "--once", "--timeout", "600", "--check", image],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT)
    try:
        first = simulator.stdout.readline().decode()
        prefix = "talvorn-sim: instrument on "
        if not first.startswith(prefix):
            sys.exit("loader_bench: the simulator did not start: %r" % first)
        seconds, status, out = timed([loader, "image.m0", first[len(prefix):].strip()], folder)
        report = simulator.stdout.read().decode()
        simulator.wait(timeout=60)
    finally:
        if simulator.poll() is None:
            simulator.kill()
            simulator.wait()
        simulator.stdout.close()
    if status != 0 or "SUCCESSFUL" not in out or "image check PASSED" not in report:
        sys.exit("loader_bench: the flash failed (status %d):\n%s\n%s" % (status, out, report))
    return seconds


def show(name, what, times):
    print("%-8s %-44s best %7.3f s  median %7.3f s  (%d runs)"
          % (name, what, min(times), statistics.median(times), len(times)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    loader = os.path.abspath(os.path.join(args.build, "talvorn"))
    sim = os.path.abspath(os.path.join(args.build, "tools", "instrument-sim", "talvorn-sim"))
    for program in (loader, sim):
        if not os.access(program, os.X_OK):
            sys.exit("loader_bench: %s is missing: build it first" % program)

    with tempfile.TemporaryDirectory(prefix="talvorn-bench.") as folder:
        lines = write_image(os.path.join(folder, "big.m0"), 16 << 20, bad_last_line=True)
        write_image(os.path.join(folder, "image.m0"), 1 << 20, bad_last_line=False)
        big = os.path.getsize(os.path.join(folder, "big.m0"))
        print("load average before: %.2f %.2f %.2f" % os.getloadavg())
        show("refused", "%.1f MB, 16 MiB of data, bad last line" % (big / 1e6),
             [refused_run(loader, folder, lines) for _ in range(args.repeats)])
        show("flash", "1 MiB image into talvorn-sim",
             [flash_run(loader, sim, folder) for _ in range(args.repeats)])
        print("load average after:  %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
