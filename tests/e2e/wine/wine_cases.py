#!/usr/bin/env python3
"""End-to-end cases that only the Windows program under wine has.

usage: wine_cases.py --sim PATH --loader WORD [--loader WORD ...] --com N
                     --missing-com M --data DIR --e2e-data DIR --examples DIR
                     [--case NAME ...]

The shared cases of ../loader_cases.py run under wine with its --com option;
these add what depends on the Windows side: a COM port number that names no
device, an error answer to packet 2 with its exit status, and keys read from
standard input when the program has no console (standard input a pipe).
"""

import argparse
import contextlib
import os
import subprocess
import sys
import tempfile
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import e2e_harness as h  # noqa: E402
import loader_cases as lc  # noqa: E402


def case_missing_port(cfg, tmp):
    """A port number without a dosdevices link cannot be opened."""
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    link = os.path.join(prefix, "dosdevices", "com%d" % cfg.missing_com)
    assert not os.path.lexists(link), "%s must not exist for this case" % link
    result = lc.run_loader(cfg, tmp, "words16_crlf.m0", check=False,
                           port_override=str(cfg.missing_com))
    expected = (lc.BANNER + lc.PRESS_ESC + "*** - Error, cannot open port.\n" +
                lc.UNSUCCESSFUL)
    assert result.stdout == expected, "expected %r\n%s" % (expected, result.describe())
    assert result.status == 1, result.describe()
    assert "line opened" not in result.sim, result.describe()


def case_error_answer_at_2(cfg, tmp):
    result = lc.run_loader(cfg, tmp, "sample.m0", sim_args=["--error-at", "2", "Flash error"])
    assert result.port == "COM%d" % cfg.com, result.port
    lc.expect_failed_transfer(cfg, result, "sample.m0",
                              "Flash programming error message:  Flash error\r\n\n", 2)


class PipeLoader(h.Loader):
    """The loader with a pipe as standard input instead of a pty. Under wine
    a program on a pty gets a console of wine's own that takes no keys from
    the pty; on a pipe it has no console and reads its keys from standard
    input, which is what these cases test."""

    def __init__(self, capture, command, args, cwd=None, env=None):
        self.capture = capture
        read_end, self.master = os.pipe()  # send_keys and close use the write end
        try:
            self.proc = subprocess.Popen(list(command) + list(args), stdin=read_end,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         cwd=cwd, env=env, start_new_session=True)
        except BaseException:
            os.close(self.master)
            raise
        finally:
            os.close(read_end)
        self._pidfd = capture.add_process(self.proc)
        capture.add("stdout", self.proc.stdout.fileno())
        capture.add("stderr", self.proc.stderr.fileno())
        capture.data["tty"] = bytearray()  # no terminal: nothing to capture


@contextlib.contextmanager
def keys_on_a_pipe():
    """Runs the loader of lc.run_loader with PipeLoader."""
    pty_loader = h.Loader
    h.Loader = PipeLoader
    try:
        yield
    finally:
        h.Loader = pty_loader


def case_escape_from_standard_input(cfg, tmp):
    def press_escape(loader, sim):
        loader.wait_output("started ...")
        loader.send_keys(lc.ESC)
    with keys_on_a_pipe():
        result = lc.run_loader(cfg, tmp, "sample.m0", sim_args=["--delay-ms", "100"],
                               during=press_escape)
    sent = len(result.packets)
    assert 0 < sent < 100, "packets sent before the cancel: %d\n%s" % (sent, result.describe())
    lc.expect_failed_transfer(cfg, result, "sample.m0",
                              "Flash programming ... CANCELLED BY USER.\n", sent)


def case_arrow_key_from_standard_input(cfg, tmp):
    """An arrow key of a Unix terminal (ESC [ A, in one piece) is one key
    that is not ESC: it does not cancel."""
    def press_key(loader, sim):
        loader.wait_output("started ...")
        loader.send_keys(lc.ARROW_UP)
    with keys_on_a_pipe():
        result = lc.run_loader(cfg, tmp, "words16_crlf.m0", sim_args=["--delay-ms", "100"],
                               during=press_key)
    lc.expect_success(cfg, result, "words16_crlf.m0")


CASES = {
    "missing_port": case_missing_port,
    "error_answer_at_2": case_error_answer_at_2,
    "escape_from_standard_input": case_escape_from_standard_input,
    "arrow_key_from_standard_input": case_arrow_key_from_standard_input,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--loader", action="append", required=True)
    parser.add_argument("--com", type=int, required=True)
    parser.add_argument("--missing-com", type=int, required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--e2e-data", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--case", action="append", choices=sorted(CASES))
    args = parser.parse_args()
    cfg = lc.Config(argparse.Namespace(sim=args.sim, loader=args.loader, data=args.data,
                                       e2e_data=args.e2e_data, examples=args.examples,
                                       com=args.com))
    cfg.missing_com = args.missing_com
    failures = 0
    for name in args.case or list(CASES):
        with tempfile.TemporaryDirectory(prefix="talvorn-wine-e2e.") as tmp:
            try:
                CASES[name](cfg, tmp)
                print("PASS", name)
            except Exception:
                failures += 1
                print("FAIL", name)
                traceback.print_exc(file=sys.stdout)
        sys.stdout.flush()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
