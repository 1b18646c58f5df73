#!/usr/bin/env python3
"""multi_port: several instruments through one loader process.

`talvorn FILE PORT1 ... PORTn` flashes one file into n instruments at once.
This starts n talvorn-sim --line-rate --once --check FILE (each on its own
pty, the line paced at 115200 8N1 both ways), runs ONE loader for all of them,
and compares it with a loader flashing one such instrument alone. The
simulators and the machine cost time by themselves: fleet.py's sleeping client
(the loader's side of the conversation, sleeping in select()) run alone and n
at once, one process each, against the same paced simulators, gives that
floor, and the loader's ratio is also given net of it.

  python3 bench/multi_port.py [--build DIR] [--file FILE | --kib 128] [-n 8] [--rounds 3]

Without --file it flashes a generated image of --kib KiB (word-addressed S2
records of 32 bytes, written into a temporary folder and removed afterwards).
The loader runs in a session of its own, standard input /dev/null, standard
output a pipe. Prints every round, then the best of the rounds: the lone time,
the slowest of n (the loader's end, and the slowest port's seconds from its
summary), their ratio, the floor's, the net ratio, and the loader's processor
time (user + system, from wait4) as a share of one core while it flashed.
"""

import argparse
import os
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from fleet import ROOT, one_round, start_sim, stop, wire_packets
from loader_bench import write_image

SUMMARY = re.compile(rb"^(\S+) +(SUCCESSFUL|UNSUCCESSFUL|CANCELLED|INTERRUPTED) +(\d+) records"
                     rb" +(\d+\.\d) s(?:  (.*))?$", re.M)
LOADER_WAIT = 600.0


def wait_ready(fd, deadline, what):
    if not select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0]:
        raise SystemExit("multi_port: %s within %.0f s" % (what, LOADER_WAIT))


def run_loader(build, path, ports):
    """One loader for all `ports`: (seconds to its end, its user + system seconds,
    its output)."""
    started = time.monotonic()
    deadline = started + LOADER_WAIT
    loader = subprocess.Popen([os.path.join(build, "talvorn"), path] + ports,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, start_new_session=True)
    pidfd = os.pidfd_open(loader.pid)
    try:
        out = b""
        while True:
            wait_ready(loader.stdout, deadline, "the loader's output did not end")
            chunk = os.read(loader.stdout.fileno(), 65536)
            if not chunk:
                break
            out += chunk
        wait_ready(pidfd, deadline, "the loader did not end")
        ended = time.monotonic()
        _, status, usage = os.wait4(loader.pid, os.WNOHANG)
        loader.returncode = os.waitstatus_to_exitcode(status)  # reaped here
    finally:
        os.close(pidfd)
        if loader.poll() is None:
            os.killpg(loader.pid, signal.SIGKILL)
            loader.wait()
        loader.stdout.close()
    if loader.returncode != 0:
        raise SystemExit("multi_port: the loader failed (status %d):\n%s"
                         % (loader.returncode, out.decode(errors="replace")))
    return ended - started, usage.ru_utime + usage.ru_stime, out


def loader_round(build, path, n):
    """(loader's time, its CPU seconds, slowest port's summary seconds or None,
    instruments whose flash completed and matched)."""
    sims = [start_sim(build, 0, ["--line-rate", "--check", path]) for _ in range(n)]
    try:
        wall, cpu, out = run_loader(build, path, [pty for _, pty in sims])
    finally:
        for sim, _ in sims:
            stop(sim)
    seconds = [float(m.group(4)) for m in SUMMARY.finditer(out) if m.group(2) == b"SUCCESSFUL"]
    return wall, cpu, max(seconds) if seconds else None, sum(s.returncode == 0 for s, _ in sims)


def floor_time(build, path, n, packets):
    return max(one_round(build, path, n, 0, packets, ["--line-rate"]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--file")
    parser.add_argument("--kib", type=int, default=128)
    parser.add_argument("-n", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="talvorn-bench.") as folder:
        path = os.path.abspath(args.file or os.path.join(folder, "image.m0"))
        if not args.file:
            write_image(path, args.kib << 10, bad_last_line=False)
        print("load average before: %.2f %.2f %.2f" % os.getloadavg())
        packets = wire_packets(args.build, path)
        print("%s: %d packets, %d bytes from the loader; instruments paced at 115200 8N1, "
              "answering at once" % (args.file or "%d KiB generated image" % args.kib,
                                     len(packets), sum(map(len, packets))))
        rows = []
        for r in range(args.rounds):
            lone, lone_cpu, _, lone_ok = loader_round(args.build, path, 1)
            many, many_cpu, port, many_ok = loader_round(args.build, path, args.n)
            floor_lone = floor_time(args.build, path, 1, packets)
            floor_many = floor_time(args.build, path, args.n, packets)
            rows.append((lone, many, port, floor_lone, floor_many, many_cpu / many))
            print("round %d: talvorn lone %.2f s (cpu %.1f %%), %d ports %.2f s (slowest port %s, "
                  "cpu %.1f %%), flashed and checked %d of 1 and %d of %d; "
                  "sleeping client lone %.2f s, %d at once %.2f s"
                  % (r + 1, lone, 100 * lone_cpu / lone, args.n, many,
                     "%.1f s" % port if port is not None else "not in the output",
                     100 * many_cpu / many, lone_ok, many_ok, args.n, floor_lone, args.n,
                     floor_many))
        for name, pick in (("best", min), ("median", statistics.median)):
            lone, many, ports, floor_lone, floor_many, _ = [
                pick([v for v in column if v is not None] or [0.0]) for column in zip(*rows)]
            print("%s of %d rounds:" % (name, args.rounds))
            print("  talvorn          lone %6.2f s  slowest of %d %6.2f s (port %4.1f s)"
                  "  ratio %.3f" % (lone, args.n, many, ports, many / lone))
            print("  sleeping client  lone %6.2f s  slowest of %d %6.2f s              "
                  "  ratio %.3f" % (floor_lone, args.n, floor_many, floor_many / floor_lone))
            print("  talvorn net of the floor: %.3f (goal 1.05 at most)"
                  % ((many / lone) / (floor_many / floor_lone)))
        shares = [100 * row[5] for row in rows]
        print("talvorn processor time flashing %d: median %.1f %% of one core, at most %.1f %% "
              "(goal 10 %% at most)" % (args.n, statistics.median(shares), max(shares)))
        print("load average after:  %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
