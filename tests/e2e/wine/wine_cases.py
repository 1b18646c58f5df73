#!/usr/bin/env python3
"""End-to-end cases of the Windows program under wine only, with the options
of loader_cases.py and --missing-com M: a COM port that names no device, and
keys read from standard input when that is a pipe (a program on a pty gets a
console of wine's own that takes no keys from it)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import loader_cases as lc  # noqa: E402


def case_missing_port(cfg, tmp):
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    assert not os.path.lexists(os.path.join(prefix, "dosdevices", "com" + cfg.missing_com))
    lc.case_refused(cfg, tmp, "words16_crlf.m0", lc.re.escape(
        lc.OPEN_FAILED + "COM%s: no such device. Is the adapter plugged in? Device Manager lists "
        "the COM ports present under Ports (COM & LPT).\n" % cfg.missing_com),
        {"port": cfg.missing_com})


CASES = {
    "missing_port": case_missing_port,
    "escape_from_standard_input": lambda c, t: lc.case_failure(
        c, t, *lc.FAILURE["escape_cancels"], keys_on_pipe=True),
    "escape_enter_from_standard_input": lambda c, t: lc.case_failure(
        c, t, *lc.FAILURE["escape_enter_cancels"], keys_on_pipe=True),
    "arrow_key_from_standard_input": lambda c, t: lc.expect(
        c, lc.run_loader(c, t, "words16_crlf.m0", ["--delay-ms", "100"],
                         keys=(lc.STARTED, lc.ARROW_UP), keys_on_pipe=True), "words16_crlf.m0"),
}


if __name__ == "__main__":
    args = lc.parse_args(extra=("--missing-com",))
    sys.exit(lc.run_cases(CASES, lc.Config(args), args.case or list(CASES)))
