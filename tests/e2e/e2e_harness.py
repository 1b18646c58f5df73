"""Process plumbing for the end-to-end tests: the simulated instrument, the
loader on a console pseudo-terminal of its own, and bounded waits on what
they print.

Every wait has a deadline and ends with an exception that shows what was
captured; every child is killed and reaped and every descriptor closed by the
context managers, whatever happens in between.
"""

import errno
import os
import re
import selectors
import signal
import subprocess
import termios
import time

WAIT_SECONDS = 60.0
SIM_LINE = re.compile(rb"^talvorn-sim: instrument on (\S+)\n", re.M)


class HarnessTimeout(AssertionError):
    pass


class Capture:
    """Reads several descriptors into byte buffers as data arrives."""

    def __init__(self):
        self._selector = selectors.DefaultSelector()
        self.data = {}

    def add(self, name, fd):
        os.set_blocking(fd, False)
        self.data[name] = bytearray()
        self._selector.register(fd, selectors.EVENT_READ, name)

    def add_process(self, proc):
        """Registers a pidfd so that the process's end wakes a wait at once."""
        if hasattr(os, "pidfd_open"):
            try:
                fd = os.pidfd_open(proc.pid)
            except OSError:
                return None
            self._selector.register(fd, selectors.EVENT_READ, None)
            return fd
        return None

    def remove(self, fd):
        try:
            self._selector.unregister(fd)
        except (KeyError, ValueError):
            pass

    def is_open(self, name):
        return any(key.data == name for key in self._selector.get_map().values())

    def wait_eof(self, names, what, timeout=WAIT_SECONDS):
        self.wait_for(lambda: not any(self.is_open(n) for n in names), what, timeout)

    def pump(self, timeout):
        """Waits up to `timeout` for any descriptor, then reads all that is ready."""
        if not self._selector.get_map():
            time.sleep(timeout)  # nothing left to watch; a caller's condition is due
            return
        for key, _ in self._selector.select(timeout):
            if key.data is None:  # a pidfd: the process has ended
                self.remove(key.fd)
                continue
            self._read(key)

    def _read(self, key):
        while True:
            try:
                chunk = os.read(key.fd, 65536)
            except BlockingIOError:
                return
            except OSError as e:
                if e.errno != errno.EIO:  # EIO: a pty whose other side has gone
                    raise
                chunk = b""
            if not chunk:
                self.remove(key.fd)
                return
            self.data[key.data] += chunk

    def wait_for(self, condition, what, timeout=WAIT_SECONDS, poll_slice=0.25):
        """Pumps until condition() holds. The slice only bounds how late a
        condition that no descriptor signals (such as a process exit without
        a pidfd) is noticed."""
        deadline = time.monotonic() + timeout
        while not condition():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise HarnessTimeout("timed out after %.0f s waiting for %s\n%s"
                                     % (timeout, what, self.describe()))
            self.pump(min(remaining, poll_slice))

    def describe(self):
        return "\n".join("--- %s ---\n%r" % (name, bytes(buf))
                         for name, buf in self.data.items())

    def close(self):
        self._selector.close()


def _reap(proc, grace=10.0):
    """Ends `proc` (TERM, then KILL) and waits for it; returns its status."""
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGTERM)
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(grace)
    return proc.returncode


class Simulator:
    """talvorn-sim as a child process; its report lines are captured."""

    def __init__(self, capture, sim_path, args, name="sim"):
        self.capture = capture
        self.name = name
        self.proc = subprocess.Popen([sim_path] + list(args), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._pidfd = capture.add_process(self.proc)
        capture.add(name, self.proc.stdout.fileno())
        capture.add(name + ".err", self.proc.stderr.fileno())
        capture.wait_for(lambda: SIM_LINE.search(self.output()) or self.proc.poll() is not None,
                         "the simulator's pty path")
        match = SIM_LINE.search(self.output())
        if not match:
            raise AssertionError("talvorn-sim did not start:\n" + capture.describe())
        self.pty_path = match.group(1).decode()

    def output(self):
        return bytes(self.capture.data[self.name])

    def text(self):
        return self.output().decode("latin-1")

    def errors(self):
        """What the simulator wrote to standard error (sanitizer reports)."""
        return bytes(self.capture.data[self.name + ".err"]).decode("latin-1")

    def wait_line(self, pattern, timeout=WAIT_SECONDS):
        regex = re.compile(pattern, re.M)
        self.capture.wait_for(lambda: regex.search(self.text()),
                              "simulator line /%s/" % pattern, timeout)
        return regex.search(self.text())

    def wait_exit(self, timeout=WAIT_SECONDS):
        self.capture.wait_for(lambda: self.proc.poll() is not None, "the simulator's exit",
                              timeout)
        self.capture.wait_eof([self.name, self.name + ".err"], "the simulator's last report",
                              timeout)
        return self.proc.returncode

    def stop(self):
        """Stops the simulator (it reports its summary on SIGTERM); returns its status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait_exit()

    def close(self):
        _reap(self.proc)
        for stream in (self.proc.stdout, self.proc.stderr):
            self.capture.remove(stream.fileno())
            stream.close()
        if self._pidfd is not None:
            self.capture.remove(self._pidfd)
            os.close(self._pidfd)


def _take_controlling_terminal():
    # Runs in the child after setsid() and after stdin became the pty slave.
    import fcntl
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Loader:
    """The loader with a pseudo-terminal as its controlling terminal and
    standard input; standard output and standard error are pipes."""

    def __init__(self, capture, command, args, cwd=None, env=None):
        self.capture = capture
        self.master, slave = os.openpty()
        try:
            self.proc = subprocess.Popen(list(command) + list(args), stdin=slave,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         cwd=cwd, env=env, start_new_session=True,
                                         preexec_fn=_take_controlling_terminal)
        except BaseException:
            os.close(self.master)
            raise
        finally:
            os.close(slave)
        self._pidfd = capture.add_process(self.proc)
        capture.add("stdout", self.proc.stdout.fileno())
        capture.add("stderr", self.proc.stderr.fileno())
        capture.add("tty", self.master)

    def stdout(self):
        return bytes(self.capture.data["stdout"])

    def stderr(self):
        return bytes(self.capture.data["stderr"])

    def tty(self):
        return bytes(self.capture.data["tty"])

    def wait_output(self, text, timeout=WAIT_SECONDS):
        needle = text.encode("latin-1") if isinstance(text, str) else text
        self.capture.wait_for(lambda: needle in self.stdout(), "loader output %r" % needle,
                              timeout)

    def send_keys(self, keys):
        os.write(self.master, keys)  # one write: an escape sequence arrives whole

    def wait_exit(self, timeout=WAIT_SECONDS):
        """Waits for the loader's end, then takes what it left in its pipes.
        The pipes are not read to their end: under wine, helper processes
        that outlive the loader hold them open."""
        self.capture.wait_for(lambda: self.proc.poll() is not None, "the loader's exit", timeout)
        self.capture.pump(0)
        return self.proc.returncode

    def close(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        _reap(self.proc)
        for stream in (self.proc.stdout, self.proc.stderr):
            self.capture.remove(stream.fileno())
            stream.close()
        if self._pidfd is not None:
            self.capture.remove(self._pidfd)
            os.close(self._pidfd)
        self.capture.remove(self.master)
        os.close(self.master)
