"""Process plumbing for the end-to-end tests: the simulated instrument, the
loader with a console pseudo-terminal (or a pipe) as standard input, and
bounded waits on what they print. Every wait has a deadline and fails with
what was captured; close() kills, reaps and closes whatever happened before.
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


class Capture:
    """Reads several descriptors into byte buffers as data arrives."""

    def __init__(self):
        self._selector = selectors.DefaultSelector()
        self.data = {}

    def add(self, name, fd):
        os.set_blocking(fd, False)
        self.data[name] = bytearray()
        self._selector.register(fd, selectors.EVENT_READ, name)

    def remove(self, fd):
        try:
            self._selector.unregister(fd)
        except (KeyError, ValueError):
            pass

    def is_open(self, name):
        return any(k.data == name for k in self._selector.get_map().values())

    def pump(self, timeout):
        if not self._selector.get_map():
            return time.sleep(timeout)  # nothing to watch: only the caller's condition is due
        for key, _ in self._selector.select(timeout):
            while True:
                try:
                    chunk = os.read(key.fd, 65536)
                except BlockingIOError:
                    break
                except OSError as e:
                    if e.errno != errno.EIO:  # EIO: a pty whose other side has gone
                        raise
                    chunk = b""
                if not chunk:
                    self.remove(key.fd)
                    break
                self.data[key.data] += chunk

    def wait_for(self, condition, what, timeout=WAIT_SECONDS):
        """Pumps until condition() holds; the 0.1 s slice only bounds how late
        a process exit, which no descriptor signals, is noticed."""
        deadline = time.monotonic() + timeout
        while not condition():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError("timed out after %.0f s waiting for %s\n%s"
                                     % (timeout, what, self.describe()))
            self.pump(min(remaining, 0.1))

    def describe(self):
        return "\n".join("--- %s ---\n%r" % (n, bytes(b)) for n, b in self.data.items())

    def close(self):
        self._selector.close()


class Child:
    """A child process, its standard output and error captured."""

    def _start(self, capture, argv, out, err, **popen):
        self.capture, self._out, self._err = capture, out, err
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     **popen)
        capture.add(out, self.proc.stdout.fileno())
        capture.add(err, self.proc.stderr.fileno())

    def text(self, name=None):
        return bytes(self.capture.data[name or self._out]).decode("latin-1")

    def wait_exit(self, timeout=WAIT_SECONDS):
        """Waits for the end, then takes what is in the pipes without reading
        them to their end: under wine, helpers that outlive a program hold them."""
        self.capture.wait_for(lambda: self.proc.poll() is not None, "the exit of %s" % self._out,
                              timeout)
        self.capture.pump(0)
        return self.proc.returncode

    def close(self):
        if self.proc.poll() is None:
            try:  # the loader's whole session: wine starts helpers in it
                os.killpg(self.proc.pid, signal.SIGKILL) if self._out == "stdout" else self.proc.kill()
            except ProcessLookupError:
                pass
        self.proc.wait(WAIT_SECONDS)
        for stream in (self.proc.stdout, self.proc.stderr):
            self.capture.remove(stream.fileno())
            stream.close()


class Simulator(Child):
    """talvorn-sim; it reports its pty path, then what it sees, on stdout."""

    def __init__(self, capture, sim_path, args):
        self._start(capture, [sim_path] + list(args), "sim", "sim.err", stdin=subprocess.DEVNULL)
        capture.wait_for(lambda: SIM_LINE.search(capture.data["sim"]) or self.proc.poll() is not None,
                         "the simulator's pty path")
        match = SIM_LINE.search(capture.data["sim"])
        if not match:
            self.close()
            raise AssertionError("talvorn-sim did not start:\n" + capture.describe())
        self.pty_path = match.group(1).decode()

    def wait_line(self, pattern):
        regex = re.compile(pattern, re.M)
        self.capture.wait_for(lambda: regex.search(self.text()), "simulator line /%s/" % pattern)
        return regex.search(self.text())

    def stop(self):
        """SIGTERM makes the simulator report its summary; returns its status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        self.capture.wait_for(lambda: self.proc.poll() is not None and not (
            self.capture.is_open("sim") or self.capture.is_open("sim.err")), "the simulator's end")
        return self.proc.returncode


def _take_controlling_terminal():
    import fcntl  # runs in the child, after setsid(), with the pty slave as stdin
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Loader(Child):
    """The loader in a session of its own. Its keys come from a pty that is
    its controlling terminal (read back as "tty": spinner, beep) or, with
    keys_on_pipe, from a pipe: a program under wine takes no keys from a pty."""

    def __init__(self, capture, command, args, cwd=None, keys_on_pipe=False):
        stdin, self.master = os.pipe() if keys_on_pipe else os.openpty()[::-1]
        extra = {} if keys_on_pipe else {"preexec_fn": _take_controlling_terminal}
        try:
            self._start(capture, list(command) + list(args), "stdout", "stderr", stdin=stdin,
                        cwd=cwd, start_new_session=True, **extra)
        except BaseException:
            os.close(self.master)
            raise
        finally:
            os.close(stdin)
        if keys_on_pipe:
            capture.data["tty"] = bytearray()
        else:
            capture.add("tty", self.master)

    def wait_output(self, text):
        self.capture.wait_for(lambda: text in self.text(), "loader output %r" % text)

    def send_keys(self, keys):
        os.write(self.master, keys)  # one write: an escape sequence arrives whole

    def close(self):
        super().close()
        self.capture.remove(self.master)
        os.close(self.master)
