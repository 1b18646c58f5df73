"""Process plumbing for the end-to-end tests: talvorn-sim, the loader with a
pty (or a pipe) for keys, and bounded waits that fail with what was captured.
A child's close() kills, reaps and closes it, whatever happened before."""

import contextlib
import errno
import fcntl
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
        self._selector, self.data = selectors.DefaultSelector(), {}

    def add(self, name, fd):
        os.set_blocking(fd, False)
        self.data[name] = bytearray()
        self._selector.register(fd, selectors.EVENT_READ, name)

    def remove(self, fd):
        with contextlib.suppress(KeyError, ValueError):
            self._selector.unregister(fd)

    def is_open(self, *names):
        return any(k.data in names for k in self._selector.get_map().values())

    def pump(self, timeout):
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
        """Pumps until condition() holds (0.1 s slices: an exit signals no descriptor)."""
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

    def __init__(self, capture, argv, out, err, **popen):
        self.capture, self._out = capture, out
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     **popen)
        capture.add(out, self.proc.stdout.fileno())
        capture.add(err, self.proc.stderr.fileno())

    def text(self, name=None):
        return bytes(self.capture.data.get(name or self._out, b"")).decode("latin-1")

    def wait_text(self, text):
        self.capture.wait_for(lambda: text in self.text(), "%r on %s" % (text, self._out))

    def wait_exit(self, timeout=WAIT_SECONDS):
        """Waits for the end, then takes what is in the pipes (wine's helpers may hold them)."""
        self.capture.wait_for(lambda: self.proc.poll() is not None, "the exit of %s" % self._out,
                              timeout)
        self.capture.pump(0)
        return self.proc.returncode

    def close(self):
        if self.proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):  # the loader's session: wine's helpers too
                os.killpg(self.proc.pid, signal.SIGKILL) if self._out == "stdout" else self.proc.kill()
        self.proc.wait(WAIT_SECONDS)
        for stream in (self.proc.stdout, self.proc.stderr):
            self.capture.remove(stream.fileno())
            stream.close()


class Simulator(Child):
    """talvorn-sim; it reports its pty path, then what it sees, on stdout (read as `name`)."""

    def __init__(self, capture, argv, name="sim"):
        super().__init__(capture, argv, name, name + ".err", stdin=subprocess.DEVNULL)

    def pty_path(self):
        self.capture.wait_for(lambda: SIM_LINE.search(self.capture.data[self._out])
                              or self.proc.poll() is not None, "the simulator's pty path")
        match = SIM_LINE.search(self.capture.data[self._out])
        assert match, "talvorn-sim did not start:\n" + self.capture.describe()
        return match.group(1).decode()

    def stop(self):
        """SIGTERM makes the simulator report its summary, read to its end."""
        self.proc.send_signal(signal.SIGTERM)  # no signal if it has ended
        self.capture.wait_for(lambda: self.proc.poll() is not None and not self.capture.is_open(
            self._out, self._out + ".err"), "the simulator's end")


class Loader(Child):
    """The loader in a session of its own. Its keys come from a pty that is
    its controlling terminal (read back as "tty": spinner, beep) or, with
    keys_on_pipe, from a pipe: a program under wine takes no keys from a pty."""

    def __init__(self, capture, command, args, cwd, keys_on_pipe, env=None):
        stdin, self.master = os.pipe() if keys_on_pipe else os.openpty()[::-1]
        # Runs in the child after setsid(): the pty, its stdin, becomes its terminal.
        ctty = {} if keys_on_pipe else {"preexec_fn": lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0)}
        try:
            super().__init__(capture, command + args, "stdout", "stderr", stdin=stdin, cwd=cwd,
                             env=env, start_new_session=True, **ctty)
        except BaseException:
            os.close(self.master)
            raise
        finally:
            os.close(stdin)
        if not keys_on_pipe:
            capture.add("tty", self.master)

    def close(self):
        super().close()
        self.capture.remove(self.master)
        os.close(self.master)
