#!/usr/bin/env python3
"""waits: how long the loader's waits last, idle and with busy programs, and
what waiting costs it.

  python3 bench/waits.py timeout [--busy 6] [--rounds 3]   # unanswered packet -> "Response Timeout"
  python3 bench/waits.py cpu [--delay-ms 12]               # loader's CPU share of a flash
  python3 bench/waits.py wakeup [--busy 6]                 # one wake-up try, and the 20 tries
                                                           # without a keyboard
  ... --loader wine --loader build-win32/talvorn.exe --com 5   # the Windows program under
                                                               # wine ($WINEPREFIX running)

timeout: talvorn-sim leaves packet 2 unanswered; the time from the simulator's
report of it to the loader's exit. cpu: user + system time of the loader
(getrusage of the child) against its run time, flashing examples/sample.m0
into a simulator answering every packet after --delay-ms. wakeup: a simulator
that ignores every wake-up, the loader without a terminal and with standard
input closed (so no key can come): the time of each try, between two
"Waking up device" lines, and of the whole run. --busy N runs N programs
that only spin (sh -c 'while :; do :; done') meanwhile, and ends them.
"""

import argparse
import contextlib
import os
import signal
import subprocess
import sys
import time

from fleet import ROOT, start_sim, stop

SPIN = ["sh", "-c", "while :; do :; done"]


@contextlib.contextmanager
def busy(n):
    spinners = [subprocess.Popen(SPIN, start_new_session=True) for _ in range(n)]
    try:
        time.sleep(1 if n else 0)  # let the load build up
        yield
    finally:
        for p in spinners:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()


@contextlib.contextmanager
def port(args, pty):
    """The port argument for the loader: the pty, or under wine COMn linked to it."""
    if args.com is None:
        yield pty
        return
    link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "com%d" % args.com)
    with contextlib.suppress(FileNotFoundError):
        os.unlink(link)
    os.symlink(pty, link)
    try:
        yield str(args.com)
    finally:
        os.unlink(link)


def start_loader(args, port_arg):
    # A session of its own: no controlling terminal, so no keyboard.
    return subprocess.Popen(args.loader + [args.file, port_arg], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            start_new_session=True)


def wait_line(stream, text):
    for line in iter(stream.readline, b""):
        if text in line:
            return time.monotonic()
    raise SystemExit("no %r" % text)


def response_timeout(args):
    sim, pty = start_sim(args.build, 0, ["--silent-at", "2"])
    try:
        with port(args, pty) as port_arg:
            loader = start_loader(args, port_arg)
            silent = wait_line(sim.stdout, b"left unanswered")
            out = loader.communicate(timeout=600)[0].decode(errors="replace")
            took = time.monotonic() - silent
        if "Response Timeout" not in out:
            raise SystemExit("no Response Timeout:\n" + out)
        return took
    finally:
        stop(sim)


def cpu_share(args):
    sim, pty = start_sim(args.build, args.delay_ms)
    try:
        with port(args, pty) as port_arg:
            started = time.monotonic()
            loader = start_loader(args, port_arg)
            loader.stdout.read()
            _, status, usage = os.wait4(loader.pid, 0)
            wall = time.monotonic() - started
            loader.returncode = 0  # reaped here
        if status != 0:
            raise SystemExit("the flash failed")
        return usage.ru_utime, usage.ru_stime, wall
    finally:
        stop(sim)


def wakeups(args):
    sim, pty = start_sim(args.build, 0, ["--ignore-wakeups", "1000"])
    try:
        with port(args, pty) as port_arg:
            started = time.monotonic()
            loader = start_loader(args, port_arg)
            ends = []  # a try's line is complete when the next try begins
            for line in iter(loader.stdout.readline, b""):
                ends += [time.monotonic()] * line.count(b"FAILED")
            loader.wait()
            ended = time.monotonic()
        tries = [b - a for a, b in zip(ends, ends[1:])]
        return len(ends), min(tries), max(tries), ended - started
    finally:
        stop(sim)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["timeout", "cpu", "wakeup"])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--file", default=os.path.join(ROOT, "examples/sample.m0"))
    parser.add_argument("--loader", action="append")
    parser.add_argument("--com", type=int)
    parser.add_argument("--busy", type=int, default=0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--delay-ms", type=int, default=12)
    args = parser.parse_args()
    args.loader = args.loader or [os.path.join(args.build, "talvorn")]
    with busy(args.busy):
        print("load average: %.2f %.2f %.2f; %d busy programs" % (os.getloadavg() + (args.busy,)))
        for _ in range(args.rounds):
            if args.what == "timeout":
                print("response time-out: %.2f s after the unanswered packet" % response_timeout(args))
            elif args.what == "cpu":
                user, system, wall = cpu_share(args)
                print("flash %.2f s, loader user %.3f s + system %.3f s = %.1f %%"
                      % (wall, user, system, 100 * (user + system) / wall))
            else:
                print("%d wake-up tries: each %.2f-%.2f s; from the loader's start to its end "
                      "%.1f s" % wakeups(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
