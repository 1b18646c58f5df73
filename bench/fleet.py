#!/usr/bin/env python3
"""fleet: several loaders at once, one per simulated instrument.

A production line flashes several instruments from one PC, one loader per
port. This runs N loaders at once, each against its own talvorn-sim that
answers every packet after --delay-ms, and compares the slowest of them with
one loader alone. The instruments' own processes cost processor time too; a
small client that plays the loader's side of the conversation but sleeps in
select() while it waits measures that floor the same way (N=1 and N).

  python3 bench/fleet.py [--build DIR] [--file FILE] [-n 8] [--delay-ms 12] [--rounds 3]

Prints the lone time, the slowest of N, their ratio, the same for the
sleeping client, and the loader's ratio net of the floor (ratio / floor).
"""

import argparse
import os
import re
import select
import subprocess
import sys
import tempfile
import time
import tty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM_LINE = re.compile(rb"talvorn-sim: instrument on (\S+)")
WAIT = 120.0


def start_sim(build, delay_ms, extra=()):
    sim = subprocess.Popen([os.path.join(build, "tools/instrument-sim/talvorn-sim"), "--once",
                            "--timeout", "600", "--delay-ms", str(delay_ms)] + list(extra),
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    line = sim.stdout.readline()
    match = SIM_LINE.search(line)
    if not match:
        sim.kill()
        raise SystemExit("talvorn-sim did not start: %r" % line)
    return sim, match.group(1).decode()


def stop(sim):
    if sim.poll() is None:
        sim.terminate()
    sim.wait(WAIT)
    sim.stdout.close()


def run_loader(build, path, pty):
    return subprocess.Popen([os.path.join(build, "talvorn"), path, pty], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class SleepingClient:
    """The loader's conversation, waiting in select() instead of polling."""

    def __init__(self, pty, packets):
        self.fd = os.open(pty, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.packets = packets

    def wait_for(self, byte):
        deadline = time.monotonic() + WAIT
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self.fd], [], [], remaining)[0]:
                raise SystemExit("sleeping client: no %r from the instrument" % byte)
            if byte in os.read(self.fd, 1):
                return

    def run(self):
        os.write(self.fd, b"===\n")
        self.wait_for(b">")
        for command in (b"", b"@N", b""):
            os.write(self.fd, command + b"\r")
            self.wait_for(b"\r")
            self.wait_for(b">")
        os.write(self.fd, b"$\r")
        self.wait_for(b"\n")
        for packet in self.packets:
            os.write(self.fd, packet)
            self.wait_for(b"\n")
        os.close(self.fd)


def wire_packets(build, path):
    """The packets the loader sends for `path`, as the simulator logged them."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "packets.log")
        sim, pty = start_sim(build, 0, ["--log", log])
        if run_loader(build, path, pty).wait(WAIT) != 0:
            raise SystemExit("the loader did not flash %s" % path)
        stop(sim)
        with open(log) as f:
            return [bytes.fromhex(re.search(r"raw=(\w+)", line).group(1)) for line in f]


def one_round(build, path, n, delay_ms, packets, sim_args=()):
    """Starts n runs at once; returns the time of each from its start to its end."""
    sims = [start_sim(build, delay_ms, sim_args) for _ in range(n)]
    try:
        if packets is None:
            started = time.monotonic()
            runs = [run_loader(build, path, pty) for _, pty in sims]
            ends = []
            for run in runs:
                if run.wait(WAIT) != 0:
                    raise SystemExit("a loader failed")
                ends.append(time.monotonic() - started)
            return ends
        clients = [SleepingClient(pty, packets) for _, pty in sims]
        started = time.monotonic()
        pids = []
        for client in clients:  # one process each, as the loaders are
            pid = os.fork()
            if pid == 0:
                client.run()
                os._exit(0)
            os.close(client.fd)  # the child holds the line now
            pids.append(pid)
        ends = []
        for pid in pids:
            _, status = os.waitpid(pid, 0)
            if status != 0:
                raise SystemExit("a sleeping client failed")
            ends.append(time.monotonic() - started)
        return ends
    finally:
        for sim, _ in sims:
            stop(sim)


def measure(build, path, n, delay_ms, rounds, packets=None):
    """(best lone time, best slowest-of-n time) over the rounds."""
    lone = min(max(one_round(build, path, 1, delay_ms, packets)) for _ in range(rounds))
    slowest = min(max(one_round(build, path, n, delay_ms, packets)) for _ in range(rounds))
    return lone, slowest


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--file", default=os.path.join(ROOT, "examples/sample.m0"))
    parser.add_argument("-n", type=int, default=8)
    parser.add_argument("--delay-ms", type=int, default=12)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    packets = wire_packets(args.build, args.file)
    print("%s: %d packets, instrument answers after %d ms; best of %d rounds"
          % (os.path.basename(args.file), len(packets), args.delay_ms, args.rounds))
    rows = [("talvorn", measure(args.build, args.file, args.n, args.delay_ms, args.rounds)),
            ("sleeping client", measure(args.build, args.file, args.n, args.delay_ms, args.rounds,
                                        packets))]
    for name, (lone, slowest) in rows:
        print("%-16s lone %6.2f s   slowest of %d %6.2f s   ratio %.3f"
              % (name, lone, args.n, slowest, slowest / lone))
    ratio = rows[0][1][1] / rows[0][1][0]
    floor = rows[1][1][1] / rows[1][1][0]
    print("talvorn net of the floor: %.3f (goal 1.10 at most)" % (ratio / floor))
    return 0


if __name__ == "__main__":
    sys.exit(main())
