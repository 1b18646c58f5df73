#!/usr/bin/env python3
"""End-to-end cases of the Windows program under wine only, with the options
of loader_cases.py and --missing-com M: a COM port that names no device, and
keys read from standard input when that is a pipe (a program on a pty gets a
console of wine's own that takes no keys from it)."""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import loader_cases as lc  # noqa: E402


def case_missing_port(cfg, tmp):
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    assert not os.path.lexists(os.path.join(prefix, "dosdevices", "com" + cfg.missing_com))
    lc.case_refused(cfg, tmp, "words16_crlf.m0", lc.re.escape(
        lc.OPEN_FAILED + "COM%s: no such device. Is the adapter plugged in? " % cfg.missing_com)
        + "PRESENT\n", {"port": cfg.missing_com})


def case_list_ports(cfg, tmp):
    """COM5 listed from the registry's SERIALCOMM map. Wine fills that map only
    with the ports it finds when the prefix starts, not with a dosdevices link
    made later, so COM5 is registered here as a Windows serial driver does."""
    key = [cfg.loader[0], "reg", "add", r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM", "/v", r"\Device\Sim5"]
    run = lambda *args: subprocess.run(args, capture_output=True, text=True,  # noqa: E731
                                       stdin=subprocess.DEVNULL, timeout=240)
    assert run(*key, "/d", "COM5", "/f").returncode == 0
    try:
        out = run(*cfg.loader, "--list-ports")
    finally:
        run(*key[:2], "delete", *key[3:], "/f")
    assert out.returncode == 0 and "COM5" in out.stdout.split(), out


def case_name_outside_the_code_page(cfg, tmp):
    """A file named in letters of no one ANSI code page is found, shown and
    recorded as named: standard output and the flash record in UTF-8."""
    name = "прошивка-αβ-固件.m0"
    path = os.path.join(tmp, name)
    shutil.copyfile(cfg.fixture("words16_crlf.m0"), path)
    r = lc.run_loader(cfg, tmp, path, record="successful")
    lc.expect(cfg, r, path, prefix=lc.started(r, name.encode().decode("latin-1")))


CASES = {
    "name_outside_the_code_page": case_name_outside_the_code_page,
    "missing_port": case_missing_port,
    "list_ports": case_list_ports,
    "escape_from_standard_input": lambda c, t: lc.case_failure(
        c, t, *lc.FAILURE["escape_cancels"], keys_on_pipe=True),
    "two_ports_at_once": lambda c, t: lc.case_bench(c, t, [lc.GOOD] * 2, False, None, 0),
    "arrow_key_from_standard_input": lambda c, t: lc.expect(
        c, lc.run_loader(c, t, "words16_crlf.m0", ["--delay-ms", "100"],
                         keys=(lc.STARTED, lc.ARROW_UP), keys_on_pipe=True), "words16_crlf.m0"),
}


if __name__ == "__main__":
    args = lc.parse_args(extra=("--missing-com",))
    sys.exit(lc.run_cases(CASES, lc.Config(args), args.case or list(CASES)))
