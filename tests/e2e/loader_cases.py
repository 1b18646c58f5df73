#!/usr/bin/env python3
"""End-to-end cases: the real loader against talvorn-sim.

usage: loader_cases.py --sim PATH --loader CMD [--loader ARG ...] --data DIR
                       --e2e-data DIR --examples DIR [--com N] --case NAME ...

--loader is given once per word of the command (e.g. --loader wine --loader
talvorn.exe). Without --com the port argument is the simulator's pty path and
the loader's messages name that path; with --com N the pty is linked as
$WINEPREFIX/dosdevices/comN, the port argument is N and messages say "COMN".
Under wine the console is wine's own, so the spinner and the beep are not
looked for on the pty; --wineserver PATH starts a persistent wine server for
the run (outside the loader's session, so the end of the session does not
reach it) and stops it afterwards.
"""

import argparse
import contextlib
import os
import re
import subprocess
import sys
import tempfile
import traceback

import e2e_harness as h

BANNER = ("Ostrivel FLASH Version 1.02\n"
          "Copyright (C) 2005 Corvane Instruments Ltd.  All rights reserved.\n\n")
PRESS_ESC = "Press <ESC> to cancel\n"
UNSUCCESSFUL = "\nFlash programming ... UNSUCCESSFUL\n"
BOOT_QUESTION = "Are you sure you want to allow boot sector overwrite (Y/N)? "
# One progress field: "%3d%%" and five backspaces; the variants add the
# verbose echo of the packet's answer or the debug dump before the field.
FIELD = r"(?P<pct>[ \d]{2}\d)%\x08\x08\x08\x08\x08"
VERBOSE_FIELD = FIELD + "\n"
DEBUG_FIELD = r"SRec (?P<n>\d+): (?P<bytes>(?:[0-9a-f]{2},)+)\n" + FIELD
SPINNER = "/-\\|"  # indexed by the number of data packets sent, modulo 4
ESC = b"\x1b"
ARROW_UP = b"\x1b[A"


class Config:
    def __init__(self, args):
        self.sim = args.sim
        self.loader = args.loader
        self.data = args.data
        self.e2e_data = args.e2e_data
        self.examples = args.examples
        self.com = args.com
        # A Windows program's standard output in text mode turns each "\n"
        # into "\r\n"; reading it back the same way undoes that.
        self.text_mode_stdout = args.com is not None
        self.console_on_pty = args.com is None

    def fixture(self, name):
        for folder in (self.data, self.e2e_data, self.examples):
            path = os.path.join(folder, name)
            if os.path.exists(path):
                return path
        raise AssertionError("fixture %s not found" % name)

    @contextlib.contextmanager
    def port(self, pty_path):
        """Yields (port argument, port text in messages) for the simulator's pty."""
        if self.com is None:
            yield pty_path, pty_path
            return
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        link = os.path.join(prefix, "dosdevices", "com%d" % self.com)
        previous = os.readlink(link) if os.path.islink(link) else None
        if previous is not None:
            os.unlink(link)
        os.symlink(pty_path, link)
        try:
            yield str(self.com), "COM%d" % self.com
        finally:
            os.unlink(link)
            if previous is not None:
                os.symlink(previous, link)


def stdout_text(cfg, loader):
    text = loader.stdout().decode("latin-1")
    return text.replace("\r\n", "\n") if cfg.text_mode_stdout else text


class Result:
    """What one run left behind: the loader's streams and status, the
    simulator's report, status and packet log."""

    def __init__(self, cfg, loader, sim, status, sim_status, log_path, port_text, file_arg):
        self.console_on_pty = cfg.console_on_pty
        self.stdout = stdout_text(cfg, loader)
        self.stderr = loader.stderr().decode("latin-1")
        self.tty = loader.tty().decode("latin-1")
        self.status = status
        self.sim = sim.text() if sim else ""
        self.sim_status = sim_status
        self.port = port_text
        self.file = file_arg
        self.packets = []
        if log_path and os.path.exists(log_path):
            with open(log_path) as f:
                self.packets = [PacketEntry(line) for line in f.read().splitlines()]

    def data_packets(self):
        """The packets of the transfer loop: all but a final terminator."""
        if self.packets and self.packets[-1].type in (5, 8, 9) and self.packets[-1].ok:
            return self.packets[:-1]
        return self.packets

    def describe(self):
        return ("status %r, simulator status %r\n--- stdout ---\n%r\n--- stderr ---\n%r\n"
                "--- tty ---\n%r\n--- simulator ---\n%s"
                % (self.status, self.sim_status, self.stdout, self.stderr, self.tty, self.sim))


class PacketEntry:
    def __init__(self, line):
        self.line = line
        fields = dict(f.split("=", 1) for f in line.split() if "=" in f)
        self.type = int(fields["type"])
        self.length = int(fields["len"])
        self.raw = bytes.fromhex(fields["raw"])
        self.ok = line.endswith(" ok")


def simulator_args(path, log_path, sim_args=(), check=True, once=True):
    args = ["--timeout", "280", "--log", log_path] + list(sim_args)
    if once:
        args.append("--once")
    if check:
        args += ["--check", path]
    return args


def run_loader_once(cfg, capture, sim, path, options=(), during=None, port_override=None):
    """One loader run against a running simulator. Returns the loader (to be
    closed by the caller), its exit status and the port text of its messages."""
    with cfg.port(sim.pty_path) as (port_arg, port_text):
        if port_override:
            port_arg = port_text = port_override
        loader = h.Loader(capture, cfg.loader,
                          list(options) + [os.path.basename(path), port_arg],
                          cwd=os.path.dirname(path))
        try:
            if during:
                during(loader, sim)
            # An unanswered packet costs the loader 5,000,000 polls of the
            # port, tens of seconds where system calls are slow.
            return loader, loader.wait_exit(timeout=240), port_text
        except BaseException:
            loader.close()
            raise


def run_loader(cfg, tmp, fixture, options=(), sim_args=(), check=True, during=None,
               port_override=None):
    """Runs the loader on `fixture` against a fresh simulator; `during(loader,
    sim)` acts while it runs (keys). Returns a Result."""
    path = cfg.fixture(fixture)
    log_path = os.path.join(tmp, "packets.log")
    capture = h.Capture()
    sim = loader = None
    try:
        sim = h.Simulator(capture, cfg.sim, simulator_args(path, log_path, sim_args, check))
        loader, status, port_text = run_loader_once(cfg, capture, sim, path, options, during,
                                                    port_override)
        sim_status = sim.stop()
        assert not sim.errors(), "simulator standard error: " + sim.errors()
        return Result(cfg, loader, sim, status, sim_status, log_path, port_text,
                      os.path.basename(path))
    finally:
        if loader:
            loader.close()
        if sim:
            sim.close()
        capture.close()


def records_sent(cfg, fixture):
    """Lines of the file up to and including its first S5, S8 or S9 record:
    the loader reads no further."""
    with open(cfg.fixture(fixture), "rb") as f:
        lines = f.read().splitlines()
    for number, line in enumerate(lines, 1):
        if line[:2] in (b"S5", b"S8", b"S9"):
            return number
    raise AssertionError("%s has no terminator" % fixture)


def crlf_file(cfg, fixture):
    with open(cfg.fixture(fixture), "rb") as f:
        return b"\r\n" in f.read()


# --- expectations -------------------------------------------------------------

def opening(port, failed_wakeups=0, boot=None):
    """Standard output from the banner to the "Percent Complete" field."""
    waking = "Waking up device at %s:115200,N,8,1 ... " % port
    text = BANNER + PRESS_ESC + (waking + "FAILED\n") * failed_wakeups + waking + "AWAKE\n"
    if boot is not None:
        text += BOOT_QUESTION + "\n"
    return text


def setup_and_start(port, file_arg):
    return ("Setting Baud Rate to %s: 115200,N,8,1\n" % port +
            'Flash programming "%s" started ...\nPercent Complete ... ' % file_arg)


def split_exact(result, prefix, suffix):
    """Asserts stdout == prefix + middle + suffix and returns the middle."""
    out = result.stdout
    if not (out.startswith(prefix) and out.endswith(suffix) and
            len(out) >= len(prefix) + len(suffix)):
        raise AssertionError("standard output differs.\nexpected prefix %r\nexpected suffix %r\n%s"
                             % (prefix, suffix, result.describe()))
    return out[len(prefix):len(out) - len(suffix)]


def progress_values(progress, field_regex, result):
    """Parses the transfer part: fields matching `field_regex` back to back;
    returns the regex matches."""
    matches = list(re.finditer(field_regex, progress, re.S))
    joined = "".join(m.group(0) for m in matches)
    if joined != progress:
        raise AssertionError("unexpected text in the progress part %r\n%s"
                             % (progress, result.describe()))
    return matches


def check_progress(result, matches, count, final_limit=100):
    """Fields, one per data packet, and the spinner on the console pty."""
    values = [int(m.group("pct")) for m in matches]
    assert len(values) == count, "%d progress fields for %d data packets: %r" % (
        len(values), count, values)
    assert values == sorted(values), "percentages go down: %r" % values
    assert not values or values[-1] <= final_limit, "last percentage %r" % values
    if not result.console_on_pty:
        return
    spinner = [c for c in result.tty if c in SPINNER]
    want = [SPINNER[n % 4] for n in range(1, count + 1)]
    assert spinner == want, "spinner on the tty %r, expected %r" % ("".join(spinner),
                                                                  "".join(want))


def final_limit(cfg, fixture):
    """At most 100, except that with bare line feeds a count of one byte a
    line ahead may pass it by the share of those extra bytes."""
    if crlf_file(cfg, fixture):
        return 100
    size = os.path.getsize(cfg.fixture(fixture))
    return 100 + (records_sent(cfg, fixture) * 100 + size - 1) // size


def expect_success(cfg, result, fixture, field=FIELD, failed_wakeups=0, boot=None, check=True,
                   opening_text=None):
    prefix = (opening_text or opening(result.port, failed_wakeups, boot)) + \
        setup_and_start(result.port, result.file)
    suffix = (" 100%%\nS-Records sent ... %d\n" % records_sent(cfg, fixture) +
              "Flash programming ... SUCCESSFUL\nDONE\n")
    progress = split_exact(result, prefix, suffix)
    matches = progress_values(progress, field, result)
    check_progress(result, matches, len(result.data_packets()), final_limit(cfg, fixture))
    assert result.status == 0, "exit status %r\n%s" % (result.status, result.describe())
    assert not result.console_on_pty or "\x07" not in result.tty, \
        "a beep on success\n" + result.describe()
    if check:
        assert re.search(r"^talvorn-sim: image check PASSED", result.sim, re.M), result.describe()
        assert result.sim_status == 0, result.describe()
    return matches


def expect_failed_transfer(cfg, result, fixture, verdict, packets_in_loop):
    """A verdict other than success after the transfer began."""
    prefix = opening(result.port) + setup_and_start(result.port, result.file)
    tail = re.escape(verdict + UNSUCCESSFUL + "DONE\n")
    match = re.fullmatch(r"(?P<progress>.*)\nS-Records sent \.\.\. (?P<records>\d+)\n" + tail,
                         result.stdout[len(prefix):], re.S)
    if not result.stdout.startswith(prefix) or not match:
        raise AssertionError("standard output differs; expected verdict %r\n%s"
                             % (verdict, result.describe()))
    matches = progress_values(match.group("progress"), FIELD, result)
    check_progress(result, matches, packets_in_loop, final_limit(cfg, fixture))
    assert 0 < int(match.group("records")) <= records_sent(cfg, fixture), result.describe()
    assert result.status == 1, "exit status %r\n%s" % (result.status, result.describe())
    assert not result.console_on_pty or "\x07" in result.tty, \
        "no beep on the tty\n" + result.describe()
    assert "flash completed" not in result.sim, result.describe()


# --- cases --------------------------------------------------------------------

SUCCESS_FIXTURES = ["words16_crlf.m0", "words16_lf.m0", "words32_crlf.m0", "words32_lf.m0",
                    "count_s5_crlf.m0", "gap_lf.m0", "bytes16_lf.m0", "sample.m0"]


def case_success(cfg, tmp, fixture):
    result = run_loader(cfg, tmp, fixture)
    expect_success(cfg, result, fixture)
    assert result.stderr == "", result.describe()


def case_success_s19(cfg, tmp):
    """S1 records and an S9 terminator: no S2 data to compare, but every
    packet accepted and the S9 packet last."""
    result = run_loader(cfg, tmp, "s19_lf.m0", check=False)
    expect_success(cfg, result, "s19_lf.m0", check=False)
    types = [p.type for p in result.packets]
    assert types[0] == 0 and set(types[1:-1]) == {1} and types[-1] == 9, types


def case_pad(cfg, tmp):
    result = run_loader(cfg, tmp, "words16_crlf.m0", options=["-p"])
    expect_success(cfg, result, "words16_crlf.m0")
    assert " 0 stray bytes" in result.sim, result.describe()


def case_debug_dump(cfg, tmp, pad=False):
    options = ["-d", "-p"] if pad else ["-d"]
    result = run_loader(cfg, tmp, "words16_crlf.m0", options=options)
    matches = expect_success(cfg, result, "words16_crlf.m0", field=DEBUG_FIELD)
    for m, sent in zip(matches, result.data_packets()):
        dumped = bytes.fromhex(m.group("bytes").replace(",", ""))
        wire = sent.raw + (b"\xff\xff\xff" if pad else b"")
        assert dumped == wire, "dump %r, received %r" % (dumped.hex(), wire.hex())
        assert int(m.group("n")) == len(wire), m.group(0)


def case_verbose(cfg, tmp):
    result = run_loader(cfg, tmp, "words16_crlf.m0", options=["-v"])
    # Every received character is echoed: the prompt, the echoed commands
    # with their prompts, the start answer, one "\n" per packet answer.
    port = result.port
    opening_text = (BANNER + PRESS_ESC +
                    "Waking up device at %s:115200,N,8,1 ... >AWAKE\n" % port +
                    "\r\n>@N\r\n>\r\n>")
    prefix_end = "Setting Baud Rate to %s: 115200,N,8,1\n" % port + "$\rFlash programming mode\r\n"
    prefix = opening_text + prefix_end + 'Flash programming "%s" started ...\nPercent Complete ... ' \
        % result.file
    suffix = ("\n 100%%\nS-Records sent ... %d\n" % records_sent(cfg, "words16_crlf.m0") +
              "Flash programming ... SUCCESSFUL\nDONE\n")
    progress = split_exact(result, prefix, suffix)
    # The terminator's answer "\n" is the suffix's first character.
    matches = progress_values(progress, VERBOSE_FIELD, result)
    check_progress(result, matches, len(result.data_packets()))
    assert result.status == 0, result.describe()


def case_boot_overwrite(cfg, tmp, key):
    def answer(loader, sim):
        loader.wait_output(BOOT_QUESTION)
        loader.send_keys(key)
    result = run_loader(cfg, tmp, "words16_crlf.m0", options=["-b"], during=answer)
    if key == b"y":
        expect_success(cfg, result, "words16_crlf.m0", boot=True)
        assert 'start command "%%" (boot sector overwrite)' in result.sim, result.describe()
        return
    expected = (opening(result.port, boot=True) + "Flash programming ... CANCELLED BY USER.\n" +
                UNSUCCESSFUL)
    assert result.stdout == expected, "expected %r\n%s" % (expected, result.describe())
    assert result.status == 1, result.describe()
    assert "start command" not in result.sim, result.describe()


def case_wakeup_retries(cfg, tmp):
    result = run_loader(cfg, tmp, "words16_crlf.m0", sim_args=["--ignore-wakeups", "2"])
    expect_success(cfg, result, "words16_crlf.m0", failed_wakeups=2)


def case_error_answer(cfg, tmp):
    result = run_loader(cfg, tmp, "sample.m0", sim_args=["--error-at", "3", "Checksum error"])
    expect_failed_transfer(cfg, result, "sample.m0",
                           "Flash programming error message:  Checksum error\r\n\n", 3)


def case_crlf_answer(cfg, tmp):
    result = run_loader(cfg, tmp, "sample.m0", sim_args=["--crlf-at", "2"])
    expect_failed_transfer(cfg, result, "sample.m0",
                           "Flash programming error message:  \r\n\n", 2)


def case_no_answer(cfg, tmp):
    result = run_loader(cfg, tmp, "sample.m0", sim_args=["--silent-at", "2"])
    expect_failed_transfer(cfg, result, "sample.m0",
                           "Flash programming error message:  Response Timeout\n", 2)


def case_escape_cancels(cfg, tmp):
    def press_escape(loader, sim):
        loader.wait_output("started ...")
        loader.send_keys(ESC)
    result = run_loader(cfg, tmp, "sample.m0", sim_args=["--delay-ms", "100"],
                        during=press_escape)
    sent = len(result.packets)
    assert 0 < sent < 100, "packets sent before the cancel: %d\n%s" % (sent, result.describe())
    expect_failed_transfer(cfg, result, "sample.m0", "Flash programming ... CANCELLED BY USER.\n",
                           sent)


def case_arrow_key_does_not_cancel(cfg, tmp):
    def press_arrow(loader, sim):
        loader.wait_output("started ...")
        loader.send_keys(ARROW_UP)
    result = run_loader(cfg, tmp, "words16_crlf.m0", sim_args=["--delay-ms", "100"],
                        during=press_arrow)
    expect_success(cfg, result, "words16_crlf.m0")


def case_noisy_line(cfg, tmp):
    result = run_loader(cfg, tmp, "words16_lf.m0", sim_args=["--noise", "--line-rate"])
    expect_success(cfg, result, "words16_lf.m0")


def case_hangup(cfg, tmp):
    # A line that goes dead reads as nothing arriving: the packet's answer
    # times out.
    result = run_loader(cfg, tmp, "sample.m0", sim_args=["--hangup-at", "3"])
    expect_failed_transfer(cfg, result, "sample.m0",
                           "Flash programming error message:  Response Timeout\n", 3)


def case_two_runs_one_simulator(cfg, tmp):
    """The simulator serves one loader after another on the same line: the
    second run opens the port and flashes as the first did."""
    path = cfg.fixture("words16_crlf.m0")
    capture = h.Capture()
    sim = None
    try:
        sim = h.Simulator(capture, cfg.sim,
                          simulator_args(path, os.path.join(tmp, "packets.log"), once=False))
        for run in (1, 2):
            loader, status, _ = run_loader_once(cfg, capture, sim, path)
            try:
                out = stdout_text(cfg, loader)
                assert status == 0 and out.endswith("SUCCESSFUL\nDONE\n"), \
                    "run %d: status %r\n%r\n%s" % (run, status, out, sim.text())
            finally:
                loader.close()
            capture.wait_for(lambda: sim.text().count("talvorn-sim: line closed\n") == run,
                             "the simulator to see run %d close the line" % run)
        assert sim.text().count("image check PASSED") == 2, sim.text()
        assert sim.stop() == 0, sim.text()
    finally:
        if sim:
            sim.close()
        capture.close()


def case_bad_file(cfg, tmp, fixture):
    result = run_loader(cfg, tmp, fixture, check=False)
    assert result.stdout.startswith(BANNER + "*** - Error, \"%s\" line " % fixture), \
        result.describe()
    assert result.stdout.count("\n") == BANNER.count("\n") + UNSUCCESSFUL.count("\n"), \
        "more than one message line\n" + result.describe()
    assert result.stdout.endswith(UNSUCCESSFUL), result.describe()
    assert result.status == 1, result.describe()
    assert "talvorn-sim: exiting: received 0 bytes" in result.sim, result.describe()


def case_missing_port(cfg, tmp):
    result = run_loader(cfg, tmp, "words16_crlf.m0", check=False,
                        port_override="/dev/does-not-exist")
    expected = BANNER + PRESS_ESC + "*** - Error, cannot open port.\n" + UNSUCCESSFUL
    assert result.stdout == expected, "expected %r\n%s" % (expected, result.describe())
    assert result.status == 1, result.describe()


CASES = {"success_" + f.rsplit(".", 1)[0]: (lambda f: lambda c, t: case_success(c, t, f))(f)
         for f in SUCCESS_FIXTURES}
CASES.update({
    "success_s19_lf": case_success_s19,
    "pad": case_pad,
    "debug_dump": case_debug_dump,
    "debug_dump_pad": lambda c, t: case_debug_dump(c, t, pad=True),
    "verbose": case_verbose,
    "boot_overwrite_yes": lambda c, t: case_boot_overwrite(c, t, b"y"),
    "boot_overwrite_no": lambda c, t: case_boot_overwrite(c, t, b"n"),
    "wakeup_retries": case_wakeup_retries,
    "error_answer": case_error_answer,
    "crlf_answer": case_crlf_answer,
    "no_answer": case_no_answer,
    "escape_cancels": case_escape_cancels,
    "arrow_key_does_not_cancel": case_arrow_key_does_not_cancel,
    "noisy_line": case_noisy_line,
    "hangup": case_hangup,
    "two_runs_one_simulator": case_two_runs_one_simulator,
    "bad_checksum_file": lambda c, t: case_bad_file(c, t, "bad_checksum.m0"),
    "not_srecord_file": lambda c, t: case_bad_file(c, t, "not_srecord.m0"),
    "missing_port": case_missing_port,
})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim")
    parser.add_argument("--loader", action="append")
    parser.add_argument("--data")
    parser.add_argument("--e2e-data")
    parser.add_argument("--examples")
    parser.add_argument("--com", type=int)
    parser.add_argument("--wineserver")
    parser.add_argument("--case", action="append")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    if args.list:
        print(";".join(sorted(CASES)))
        return 0
    missing = [n for n in ("sim", "loader", "data", "e2e_data", "examples") if not getattr(args, n)]
    if missing:
        parser.error("missing: " + ", ".join("--" + n.replace("_", "-") for n in missing))
    cfg = Config(args)
    with persistent_wineserver(args.wineserver):
        return run_cases(cfg, args.case or sorted(CASES))


@contextlib.contextmanager
def persistent_wineserver(path):
    if not path:
        yield
        return
    subprocess.run([path, "-p"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, start_new_session=True, check=True, timeout=60)
    try:
        yield
    finally:
        subprocess.run([path, "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


def run_cases(cfg, names):
    failures = 0
    for name in names:
        with tempfile.TemporaryDirectory(prefix="talvorn-e2e.") as tmp:
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
