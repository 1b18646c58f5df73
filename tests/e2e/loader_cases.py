#!/usr/bin/env python3
"""End-to-end cases: the real loader against talvorn-sim (see README.md)."""

import argparse
import contextlib
import datetime
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import traceback
import types

import e2e_harness as h

BANNER = ("Ostrivel FLASH Version 1.02\n"
          "Copyright (C) 2005 Corvane Instruments Ltd.  All rights reserved.\n\n")
PRESS_ESC = "Press <ESC> to cancel\n"
UNSUCCESSFUL = "\nFlash programming ... UNSUCCESSFUL\n"
CANCELLED = "Flash programming ... CANCELLED BY USER.\n"
BOOT_QUESTION = "Are you sure you want to allow boot sector overwrite (Y/N)? "
ERROR = "Flash programming error message:  "
FIELD = r"(?P<pct>[ \d]{2}\d)%\x08{5}"  # one progress field per data packet
DEBUG_FIELD = r"SRec (?P<n>\d+): (?P<bytes>(?:[0-9a-f]{2},)+)\n" + FIELD
SPINNER = "/-\\|"  # indexed by the number of data packets sent, modulo 4
ESC, ARROW_UP, CTRL_C = b"\x1b", b"\x1b[A", b"\x03"
INTERRUPTED, INTERRUPTED_BEFORE = ("Flash programming ... INTERRUPTED" + t + "\n" for t in (
    "; the instrument may hold an incomplete image: flash it again.",
    " before the transfer; the instrument was left as it was."))
STARTED = "started ..."
# Standard error after a verdict: what the instrument got; once, after three failed wake-ups, what to check.
NOTHING, NO_FIRMWARE, PART = ("talvorn: %s\n" % t for t in ("nothing was sent to the instrument.",
    "no firmware was sent; the instrument was left as it was.",
    "the instrument may hold an incomplete image: flash it again."))
WAKE_HINT = ("talvorn: the instrument does not answer. Check that it is switched on, the cable and the "
             "port (talvorn --list-ports lists the ports). Any key stops the tries.\n")
WAKING = re.escape("Waking up device at PORT:115200,N,8,1 ... ")
OPEN_FAILED = BANNER + PRESS_ESC + "*** - Error, cannot open port.\n"
OUT_OF_STEP = 'the instrument sent "^J" when no answer was due; its answers are out of step with the packets\n'
LOST = "lost the serial port PORT (REASON)"  # REASON: Config.lost_reason
LOST_WITHIN = 5.0  # seconds from the hang-up to the loader's report of it; the goal is 1 s
TIOCGEXCL = 0x80045440  # Linux: is the terminal in exclusive mode
UNPRIVILEGED = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
# One run in full, progress included (PORT is the port's text in messages).
EXACT = {"words32_crlf.m0": BANNER + PRESS_ESC + (
    "Waking up device at PORT:115200,N,8,1 ... AWAKE\nSetting Baud Rate to PORT: 115200,N,8,1\n"
    'Flash programming "words32_crlf.m0" started ...\nPercent Complete ... '
    " 45%\b\b\b\b\b 90%\b\b\b\b\b 96%\b\b\b\b\b 96%\b\b\b\b\b 100%\nS-Records sent ... 11\n"
    "Flash programming ... SUCCESSFUL\nDONE\n")}
NONE = type(None)
RECORD = {"start": str, "end": str, "duration_s": (int, float), "host": str, "user": str,
          "version": str, "file": str, "size": (int, NONE), "sha256": (str, NONE),
          "port": (str, NONE), "device": (str, NONE), "usb": NONE, "options": dict,
          "packets": int, "records": int, "verdict": str, "error": (str, NONE), "exit_status": int}


def still_exclusive(fd):
    assert fcntl.ioctl(fd, TIOCGEXCL, bytes(4)) != bytes(4), "a refused loader unlocked the port"


class Config:
    def __init__(self, args):
        vars(self).update(vars(args))  # sim, loader, com and the like
        self.on_wine = args.com is not None
        # Linux reports a hung-up line as a removed device; wine as not ready.
        self.lost_reason = "device not ready" if self.on_wine else "device removed"

    def fixture(self, name):
        return next((p for p in (os.path.join(d, name) for d in (
            self.data, self.e2e_data, self.examples)) if os.path.exists(p)), name)

    @contextlib.contextmanager
    def port(self, pty_path, lock, n=0):
        """Yields (port argument, port text in messages) for the simulator's pty, under
        wine COM<--com + n> for both, by a dosdevices link; with `lock` held locked, as by
        another loader."""
        with contextlib.ExitStack() as undo:
            if lock:
                fd = os.open(pty_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                undo.callback(os.close, fd)
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                fcntl.ioctl(fd, termios.TIOCEXCL)
                undo.callback(still_exclusive, fd)
            if self.on_wine:
                prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
                link = os.path.join(prefix, "dosdevices", "com%d" % (self.com + n))
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(link)
                os.symlink(pty_path, link)
                undo.callback(os.unlink, link)
            yield ("COM%d" % (self.com + n),) * 2 if self.on_wine else (pty_path, pty_path)


def describe(r):
    return "status %r\nstdout %r\nstderr %r\ntty %r\n%s" % (r.status, r.stdout, r.stderr, r.tty, r.sim)


def check_record(cfg, r, path, options, verdict, log):
    """The run's flash record: one line, its fields and their types, and what it
    says matches the run, the file's SHA-256 computed here."""
    assert os.path.exists(log), "no flash record\n" + describe(r)
    with open(log, "rb") as f:
        line, rest = f.read().split(b"\n", 1)
    rec = json.loads(line)
    assert rest == b"" and list(rec) == list(RECORD), line
    assert all(isinstance(rec[k], t) for k, t in RECORD.items()), rec
    start, end = (datetime.datetime.strptime(rec[k], "%Y-%m-%dT%H:%M:%S.%f%z") for k in ("start", "end"))
    now = datetime.datetime.now(datetime.timezone.utc)
    assert rec["start"].endswith("Z") and start <= end <= now and now - start < datetime.timedelta(
        seconds=600) and rec["duration_s"] >= 0, rec
    digest = None
    if os.path.isfile(path):
        with open(path, "rb") as f:
            data = f.read()
        digest = [len(data), hashlib.sha256(data).hexdigest()]
    opened = verdict not in ("bad file", "port not opened")
    sent = re.search(r"S-Records sent \.\.\. (\d+)\n", r.stdout)
    assert [rec["size"], rec["sha256"]] == (digest or [None, None]), rec
    assert (rec["verdict"], rec["exit_status"], rec["version"]) == (verdict, r.status, "1.02"), rec
    assert rec["file"] == os.path.basename(path) and rec["host"] and rec["user"], rec
    # A port argument that names no port is recorded as given (under wine too).
    port = r.given if rec["error"] == "not a port" else r.port
    assert (rec["port"], rec["device"]) == (port if verdict != "bad file" else None, (
        r.port if cfg.on_wine else os.path.realpath(r.port)) if opened else None), rec
    assert rec["options"] == {k: "-" + k[0] in options for k in ("pad", "debug", "verbose", "boot")}
    assert (rec["records"], rec["packets"]) == (int(sent[1]) if sent else 0, len(r.loop)), rec
    assert (rec["error"] is None) == (verdict in ("successful", "cancelled", "interrupted")), rec
    assert rec["error"] is None or rec["error"] in r.stdout and rec["error"].strip("\r\n") in ("", rec["error"]), rec


def run_loader(cfg, tmp, fixture, sim_args=(), check=True, options=(), keys=None, port=None,
               keys_on_pipe=False, hold=None, record=None, wrap=()):
    """Runs the loader on `fixture` against a fresh simulator. `keys`: (text to wait
    for, bytes to press or a function of the loader), or a list of such; `hold`: "lock"
    the port, run "unprivileged", or time the report of a "hangup"; `wrap`: a command
    around the loader; `record`: the verdict its flash record must name."""
    path, log = cfg.fixture(fixture), os.path.join(tmp, "packets.log")
    sim_argv = [cfg.sim, "--timeout", "280", "--log", log, "--once", *sim_args]
    capture = h.Capture()
    with contextlib.ExitStack() as stack:
        stack.callback(capture.close)
        sim = h.Simulator(capture, sim_argv + (["--check", path] if check else []))
        stack.callback(sim.close)
        with cfg.port(sim.pty_path(), hold == "lock") as (port_arg, port_text):
            if port:
                port_arg, port_text = port, "COM" + port if cfg.on_wine else port
            command = (UNPRIVILEGED if hold == "unprivileged" else []) + cfg.loader
            command = [*wrap, *command]
            records = os.path.join(tmp, "flash.log")
            loader = h.Loader(capture, command, [*options, os.path.basename(path), port_arg],
                              os.path.dirname(path), keys_on_pipe,
                              dict(os.environ, TALVORN_LOG=records) if record else None)
            stack.callback(loader.close)
            for text, key in keys if isinstance(keys, list) else [keys] if keys else []:
                loader.wait_text(text)  # one write: an escape sequence arrives whole
                key(loader) if callable(key) else os.write(loader.master, key)
            pressed = time.monotonic()
            if hold == "hangup":
                sim.wait_text("hung up the line")
                hung_up = time.monotonic()
                loader.wait_text("lost the serial port")
                lost_after = time.monotonic() - hung_up
                assert lost_after < LOST_WITHIN, "the loss reported after %.1f s" % lost_after
            # An unanswered packet is reported after 6 s; wine and a loaded machine
            # slow everything else down.
            status = loader.wait_exit(timeout=240)
            ended_after = time.monotonic() - pressed
            # A pty hands the last output over after the exit: read it to its end (no Linux
            # process outlives the loader on it; under wine the terminal is not checked).
            cfg.on_wine or loader.capture.wait_for(lambda: not loader.capture.is_open("tty"), "tty end")
        if "AWAKE" in loader.text():  # --once: the first run that closes the line, flash or not, ends it
            sim.wait_exit()
        sim.stop()
        assert not sim.text("sim.err"), "simulator standard error: " + sim.text("sim.err")
        with open(log) as f:
            packets = [dict(kv.split("=", 1) for kv in line.split() if "=" in kv) |
                       {"ok": line.endswith(" ok")} for line in f.read().splitlines()]
        last = packets[-1] if packets else {"type": "", "ok": False}
        r = types.SimpleNamespace(
            # Text-mode output under wine writes "\n" as "\r\n".
            stdout=loader.text().replace("\r\n", "\n") if cfg.on_wine else loader.text(),
            stderr=loader.text("stderr").replace("\r\n", "\n"), tty=loader.text("tty"), status=status, sim=sim.text(),
            port=port_text, given=port_arg, packets=packets, checked=check, ended_after=ended_after,
            loop=packets[:-1] if last["type"] in "589" and last["ok"] else packets)
        if record:
            check_record(cfg, r, path, options, record, records)
        return r


def opening(port, failed_wakeups=0, boot_answer=None):
    waking = "Waking up device at %s:115200,N,8,1 ... " % port
    return (BANNER + PRESS_ESC + (waking + "FAILED\n") * failed_wakeups + waking + "AWAKE\n" +
            (BOOT_QUESTION + boot_answer + "\n" if boot_answer else ""))


def started(result, fixture, opening_text=None, start_echo=""):
    return ((opening_text or opening(result.port)) + "Setting Baud Rate to %s: 115200,N,8,1\n"
            % result.port + start_echo +
            'Flash programming "%s" started ...\nPercent Complete ... ' % fixture)


def file_records(cfg, fixture):  # the records read: up to an S5, S8 or S9
    with open(cfg.fixture(fixture), "rb") as f:
        return next(n for n, line in enumerate(f, 1) if line[:2] in (b"S5", b"S8", b"S9"))


def expect(cfg, r, fixture, verdict=None, loop=None, field=FIELD, prefix=None, echo="", status=1):
    """Standard output is `prefix`, one progress field per packet of the loop (the spinner
    in step on the console), the records sent and the verdict; no verdict: success."""
    records = file_records(cfg, fixture)
    loop = len(r.loop) if loop is None else loop
    end = verdict + UNSUCCESSFUL if verdict else "Flash programming ... SUCCESSFUL\n"
    suffix = (re.escape(echo + " 100%") if not verdict else "") + \
        r"\nS-Records sent \.\.\. (?P<n>\d+)\n" + re.escape(end + "DONE\n")
    prefix = prefix or started(r, fixture)
    match = re.fullmatch("(?P<progress>.*?)" + suffix, r.stdout[len(prefix):], re.S)
    assert r.stdout.startswith(prefix) and match, "standard output differs\n" + describe(r)
    fields = list(re.finditer(field, match["progress"], re.S))
    assert "".join(m[0] for m in fields) == match["progress"], describe(r)
    values = [int(m["pct"]) for m in fields]
    assert len(values) == loop, "%r for %d packets" % (values, loop)
    assert values == sorted(values), values  # the values themselves: the EXACT transcript
    if not cfg.on_wine:
        assert [c for c in r.tty if c in SPINNER] == [SPINNER[n % 4] for n in range(1, loop + 1)], describe(r)
        assert ("\x07" in r.tty) == bool(verdict), "beep\n" + describe(r)
    if verdict:
        assert 0 < int(match["n"]) <= records and r.status == status, describe(r)
        assert r.stderr == ("" if "INTERRUPTED" in verdict else PART), describe(r)
        assert "flash completed" not in r.sim, describe(r)
    else:
        assert int(match["n"]) == records and r.status == 0 and r.stderr == "", describe(r)
        assert not r.checked or "image check PASSED" in r.sim, describe(r)
    return fields


# --- cases --------------------------------------------------------------------

def hold_enter(loader):
    """Enter held down (a key each 20 ms) until the transfer starts: no set-up wait ends by it."""
    def repeat(fd):
        with contextlib.suppress(OSError), open(fd, "wb", buffering=0) as keys:
            for _ in range(1000):
                if STARTED in loader.text() or loader.proc.poll() is not None:
                    break
                keys.write(b"\r")
                time.sleep(0.02)
    threading.Thread(target=repeat, args=(os.dup(loader.master),), daemon=True).start()


# name: (fixture, loader options, simulator options, keys, simulator report line)
SUCCESS = {**{"success_" + f[:-3]: (f, [], [], None, "") for f in (
    "words16_crlf.m0", "words16_lf.m0", "words32_crlf.m0", "words32_lf.m0", "count_s5_crlf.m0",
    "gap_lf.m0", "bytes16_lf.m0", "s19_lf.m0", "sample.m0", "odd_counts.m0")},
    "pad": ("words16_crlf.m0", ["-p"], [], None, " 0 stray bytes"),
    "boot_overwrite_yes": ("words16_crlf.m0", ["-b"], [], (BOOT_QUESTION, b"y\r"),
                           'start command "%%" (boot sector overwrite)'),
    "wakeup_retries": ("words16_crlf.m0", [], ["--ignore-wakeups", "1"], None, "wake-up ignored"),
    "arrow_key_does_not_cancel": ("words16_crlf.m0", [], ["--delay-ms", "100"],
                                  (STARTED, ARROW_UP), ""),
    "enter_held_in_setup": ("words16_crlf.m0", [], ["--prompt-delay-ms", "300"], ("AWAKE", hold_enter), ""),
    "noisy_line": ("words16_lf.m0", [], ["--noise", "--line-rate"], None, ""),
    "sim_timeout_counts_idle_time": ("words16_crlf.m0", [], ["--timeout", "3", "--delay-ms", "800"],
                                     None, ""),
}


def case_success(cfg, tmp, fixture, options, sim_args, keys, sim_says):
    check = not fixture.startswith("s19")  # S1 data: nothing for the S2 image check
    result = run_loader(cfg, tmp, fixture, sim_args, check, options=options, keys=keys,
                        record="successful")
    if fixture in EXACT and not options + sim_args:
        assert result.stdout == EXACT[fixture].replace("PORT", result.port), describe(result)
    waking = opening(result.port, 1 if "--ignore-wakeups" in sim_args else 0,
                     "y" if "-b" in options else None)
    expect(cfg, result, fixture, prefix=started(result, fixture, waking))
    assert sim_says in result.sim, describe(result)


# name: (simulator options, verdict, packets of the loop or the keys pressed or what is
# done to the loader once it started, the flash record's verdict, exit status)
FAILURE = {
    "error_answer": (["--error-at", "3", "Checksum error"], ERROR + "Checksum error\r\n\n", 3,
                     "instrument error"),
    "error_answer_escaped": (["--error-at", "3", "\x1b[2J\tbad\x7f\rX"], ERROR + "^[[2J\tbad^?^MX\r\n\n", 3,
                             "instrument error"),
    "crlf_answer": (["--crlf-at", "2"], ERROR + "(the answer was empty)\n", 2, "instrument error"),
    # An answer with one line feed too many: every later answer would be one packet behind,
    # and the refusal of the end record (packet 258) would go unread.
    "start_answer_extra_lf": (["--start-extra-lf", "--error-at", "258", "Checksum error"],
                              ERROR + OUT_OF_STEP, 0, "instrument error"),
    "answer_extra_lf": (["--extra-lf-at", "3", "--error-at", "258", "Checksum error"],
                        ERROR + OUT_OF_STEP, 3, "instrument error"),
    "no_answer": (["--silent-at", "2"], ERROR + "Response Timeout\n", 2, "time-out"),
    "hangup": (["--hangup-at", "3"], ERROR + LOST + "\n", 3, "lost port"),
    "escape_cancels": (["--delay-ms", "100"], CANCELLED, ESC, "cancelled"),
    "escape_enter_cancels": (["--delay-ms", "100"], CANCELLED, ESC + b"\r", "cancelled"),
    "sigint_interrupts": (["--silent-at", "2"], INTERRUPTED,
                          lambda loader: os.kill(loader.proc.pid, signal.SIGINT), "interrupted", 130),
    "sigterm_interrupts": (["--delay-ms", "100"], INTERRUPTED, lambda l: l.proc.terminate(),
                           "interrupted", 143),
}


def case_failure(cfg, tmp, sim_args, verdict, loop_packets, record, status=1, keys_on_pipe=False):
    keys = None if isinstance(loop_packets, int) else (STARTED, loop_packets)
    result = run_loader(cfg, tmp, "sample.m0", sim_args, keys=keys, keys_on_pipe=keys_on_pipe,
                        hold="hangup" if LOST in verdict else None, record=record)
    if keys:
        loop_packets = len(result.packets)
        assert 0 < loop_packets < 100, "%d packets before ESC" % loop_packets
    verdict = verdict.replace("PORT", result.port).replace("REASON", cfg.lost_reason)
    expect(cfg, result, "sample.m0", verdict, loop_packets, status=status)
    assert status == 1 or result.ended_after < LOST_WITHIN, describe(result)


def case_boot_sector_interrupt(cfg, tmp, delay_ms, keys, fixture="sample.m0"):
    """With -b a first Ctrl-C waits until the boot sector, 4096 of sample.m0's 47168 bytes
    (8%), has gone, or a smaller image but its end record; a second one ends the run at once."""
    result = run_loader(cfg, tmp, fixture, ["--delay-ms", delay_ms], options=["-b"],
                        keys=[(BOOT_QUESTION, b"y")] + keys)
    fields = expect(cfg, result, fixture, INTERRUPTED, status=130,
                    prefix=started(result, fixture, opening(result.port, boot_answer="y")))
    assert (int(fields[-1]["pct"]) >= 8) == (len(keys) == 1), describe(result)


# name: (set-up line the simulator hangs up at, standard output before the
# report of the loss; PORT: the port's text). The run ends at once, exit 1.
LOST_IN_SETUP = {
    "hangup_at_wakeup": (1, BANNER + PRESS_ESC + "Waking up device at PORT:115200,N,8,1 ... FAILED\n"),
    "hangup_at_start_command": (5, opening("PORT") + "Setting Baud Rate to PORT: 115200,N,8,1\n"),
}


def case_lost_in_setup(cfg, tmp, line, before):
    result = run_loader(cfg, tmp, "sample.m0", ["--hangup-in-setup", str(line)], hold="hangup",
                        record="lost port")
    wanted = (before + "*** - Error, " + LOST + ".\n" + UNSUCCESSFUL).replace(
        "PORT", result.port).replace("REASON", cfg.lost_reason)
    assert result.stdout == wanted and result.status == 1, describe(result)
    # One beep, the failure report's: no beep of a prompt that never came.
    assert cfg.on_wine or result.tty.count("\x07") == 1, describe(result)


def case_debug_dump(cfg, tmp, pad):
    result = run_loader(cfg, tmp, "words16_crlf.m0", options=["-d"] + pad)
    fields = expect(cfg, result, "words16_crlf.m0", field=DEBUG_FIELD)
    for m, sent in zip(fields, result.loop):
        wire = bytes.fromhex(sent["raw"]) + (b"\xff\xff\xff" if pad else b"")
        assert bytes.fromhex(m.group("bytes").replace(",", "")) == wire, m.group(0)
        assert int(m.group("n")) == len(wire), m.group(0)


def case_verbose(cfg, tmp, answer="Flash programming mode", shown="Flash programming mode"):
    """Every character received is echoed: the prompts, the echoed commands,
    the start answer and the "\\n" answer of each packet; control characters
    shown, not obeyed."""
    result = run_loader(cfg, tmp, "words16_crlf.m0", ["--start-answer", answer], options=["-v"])
    waking = (BANNER + PRESS_ESC + "Waking up device at %s:115200,N,8,1 ... >AWAKE\n"
              "\r\n>@N\r\n>\r\n>" % result.port)
    prefix = started(result, "words16_crlf.m0", waking, "$\r" + shown + "\r\n")
    expect(cfg, result, "words16_crlf.m0", field=FIELD + "\n", prefix=prefix,
           echo="\n")  # the terminator's answer comes before " 100%"


# name: (fixture, standard output pattern (PORT: the port's text), run_loader
# arguments). Each exits with status 1, bad files and ports with nothing sent.
FILE_ERROR, PORT_ERROR = re.escape(BANNER + "*** - Error, "), re.escape(OPEN_FAILED + "PORT: ")
PRESENT = r"(?:No serial port is present|Serial ports present: \S+(?:, \S+)*)\."  # the list's own test: --list-ports
REFUSED = {
    "directory_file": (os.path.dirname(os.path.abspath(__file__)),
                       FILE_ERROR + re.escape('"e2e" is a directory'), {}),
    "kernel_log_file": ("/proc/kmsg", FILE_ERROR + re.escape('"kmsg" is not a regular file'), {}),
    "fifo_file": ("FIFO", FILE_ERROR + re.escape('"fw.m0" is not a regular file'), {}),
    "empty_file": (0, FILE_ERROR + re.escape('"fw.m0": the file holds no records'), {}),
    "file_of_2_gib": (1 << 31, FILE_ERROR + re.escape('"fw.m0" is too large (2 GiB or more)'), {}),
    "file_just_under_2_gib": ((1 << 31) - 1, FILE_ERROR + re.escape(
        '"fw.m0" line 1: empty line where a record should be'), {}),
    "s37_file": ("s37_crlf.m0", FILE_ERROR + r'"s37_crlf\.m0" line 19: [^\n]*', {}),
    "unreadable_file": ("UNREADABLE", re.escape(BANNER + '*** - Error, cannot read file "fw.m0".\n'
        '"fw.m0": permission denied. Ask the file\'s owner to make it readable, or copy it to a '
        'folder of your own.\n'), {"hold": "unprivileged"}),
    "port_out_of_range": ("words16_crlf.m0", FILE_ERROR + re.escape(
        '"99999999999" is not a port. A port is a number from 1 to 255 or COM1 to COM255') +
        r"(?:, or a device path such as /dev/ttyUSB0)?\.", {"port": "99999999999"}),
    # Interrupted before the transfer: status 130 (SIGINT), nothing flashed.
    "ctrl_c_at_wakeup": ("sample.m0", re.escape(BANNER + PRESS_ESC) + "(?:" + WAKING +
                         "FAILED\n)*" + WAKING + "\n" + re.escape(INTERRUPTED_BEFORE),
                         {"sim_args": ["--ignore-wakeups", "1000"], "keys": ("Waking", CTRL_C),
                          "status": 130}),
    "key_at_wakeup": ("sample.m0", re.escape(BANNER + PRESS_ESC) + "(?:" + WAKING + "FAILED\n){3,}" +
                      WAKING + re.escape("Flash programming ... CANCELLED BY USER"), {
        "sim_args": ["--ignore-wakeups", "1000"], "keys_on_pipe": True, "keys": ("Waking", lambda l: (
            l.capture.wait_for(lambda: l.text().count("FAILED") >= 3, "3 wake-ups"), os.write(l.master, b"x")))}),
    "ctrl_c_at_boot_question": ("sample.m0", re.escape(opening("PORT") + BOOT_QUESTION + "\n" + INTERRUPTED_BEFORE),
                                {"options": ["-b"], "keys": (BOOT_QUESTION, CTRL_C), "status": 130}),
    "data_after_end_file": ("data_after_end.m0", FILE_ERROR + re.escape('"data_after_end.m0" line 4: only '
                            'end records (S5, S7, S8, S9) and blank lines may follow the end record'), {}),
    "s4_record_file": ("s4_record.m0", FILE_ERROR + re.escape('"s4_record.m0" line 3: record type S4 is reserved'), {}),
    "s5_count_wrong_file": ("s5_count_wrong.m0", FILE_ERROR + re.escape('"s5_count_wrong.m0" line 4: '
                            'the S5 record counts 3 data records, the file holds 2 before it'), {}),
    "missing_file": ("MISSING", re.escape('*** - Error, file "fw.m0" not found' + BANNER +
                                          "USAGE:  TALVORN [-option]") + "(?s:.*)", {}),
    "boot_overwrite_no": ("words16_crlf.m0", re.escape(opening("PORT") + BOOT_QUESTION + "\n" + CANCELLED),
                          {"options": ["-b"], "keys": (BOOT_QUESTION, b"\x7f")}),
    "missing_port": ("words16_crlf.m0", PORT_ERROR + re.escape(
        "no such device. Is the adapter plugged in? PRESENT\n"), {"port": "/dev/does-not-exist"}),
    "port_is_a_file": ("words16_crlf.m0", PORT_ERROR + re.escape(
        "not a serial device. Name the serial port the instrument is connected to.\n"),
        {"port": "./words16_crlf.m0"}),
    "escape_in_setup": ("words16_crlf.m0", re.escape(opening("PORT") + CANCELLED), {
        "sim_args": ["--prompt-delay-ms", "1000"], "keys": ("AWAKE", ESC), "keys_on_pipe": True}),
    "port_is_own_terminal": ("words16_crlf.m0", PORT_ERROR + re.escape(
        "the terminal this program runs in, not a serial port. Name the serial port the instrument "
        "is connected to.\n"), {"port": "/dev/tty"}),
    "port_is_a_socket": ("words16_crlf.m0", PORT_ERROR + re.escape(
        "not a serial device. Name the serial port the instrument is connected to.\n"), {"port": "SOCKET"}),
    "port_is_ptmx": ("words16_crlf.m0", PORT_ERROR + re.escape(
        "not a serial device. Name the serial port the instrument is connected to.\n"), {"port": "/dev/ptmx"}),
    "port_in_use": ("words16_crlf.m0", PORT_ERROR + re.escape(
        "in use by another program. Close that program, then try again.\n"), {"hold": "lock"}),
    "port_permission_denied": ("words16_crlf.m0", PORT_ERROR + re.escape(
        "permission denied. Join the dialout group with sudo usermod -aG dialout $USER, then "
        "log in again.\n"), {"hold": "unprivileged"}),
}


def case_own_terminal_by_path(cfg, tmp):
    """The terminal named by its device path, with no standard descriptor on it, is no port."""
    r = run_loader(cfg, tmp, "words16_crlf.m0", port="TTY",
                   wrap=["bash", "-c", 'exec "${@:1:$#-1}" "$(tty)" </dev/null', "bash"])
    assert re.fullmatch(re.escape(OPEN_FAILED) + r"/dev/pts/\d+: the terminal this program runs in, .*\n" +
                        re.escape(UNSUCCESSFUL), r.stdout) and r.status == 1, describe(r)


def case_shared_log(cfg, tmp):
    """Eight loaders ending at once append eight whole records to one log; a
    file name with a quote, a backslash, control characters and a byte that is
    not UTF-8 comes out as a JSON string: each byte not in a valid sequence as
    its code point."""
    name = "fw.m0" if cfg.on_wine else os.fsdecode(
        b'fw "\\\x01\x7f\xff\xc3\xa9\xf4\x8f\xbf\xbf\xf5\x80\x80\x80.m0')
    log = os.path.join(tmp, "shared.log")
    shutil.copyfile(cfg.fixture("sample.m0"), os.path.join(tmp, name))
    loaders = [subprocess.Popen(cfg.loader + ["--log=" + log, name, "/dev/none"],
                                cwd=tmp, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, start_new_session=True) for _ in range(8)]
    try:
        assert [p.wait(240) for p in loaders] == [1] * 8
    finally:
        for p in loaders:
            p.kill()
            p.wait()
    with open(log, encoding="utf-8", newline="") as f:
        records = [json.loads(line) for line in f.read().split("\n")[:-1]]
    assert [(r["verdict"], r["file"]) for r in records] == [
        ("port not opened", "".join(chr(ord(c) & 0xff) if "\udc80" <= c <= "\udcff" else c
                                    for c in name))] * 8, records


def case_interrupt_before_end_record(cfg, tmp):  # while the file is read again: end record held back
    path, log = os.path.join(tmp, "fw.m0"), os.path.join(tmp, "packets.log")
    os.truncate(shutil.copyfile(cfg.fixture("words16_crlf.m0"), path), 200 << 20)  # zeros: padding
    def after_the_data(loader):  # the S0 packet and five merged S2 packets answered
        loader.capture.wait_for(lambda: open(log).read().count(" ok\n") == 6, "the last data packet")
        os.kill(loader.proc.pid, signal.SIGINT)
    r = run_loader(cfg, tmp, path, check=False, keys=(STARTED, after_the_data), record="interrupted")
    assert r.status == 130 and r.stdout.endswith(INTERRUPTED + UNSUCCESSFUL + "DONE\n"), describe(r)
    assert len(r.packets) == 6 and "flash completed" not in r.sim, describe(r)


def case_huge_file_record(cfg, tmp):
    """A file refused as too large is not read for the record: its size and digest are null."""
    with open(os.path.join(tmp, "fw.m0"), "wb") as f:
        f.truncate(3 << 30)
    status = subprocess.run(cfg.loader + ["--log=flash.log", "fw.m0", "COM1"], cwd=tmp,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=240).returncode
    with open(os.path.join(tmp, "flash.log")) as f:
        rec = json.loads(f.read())
    assert (status, rec["verdict"], rec["size"], rec["sha256"]) == (1, "bad file", None, None), rec


def case_unwritable_log(cfg, tmp):
    """A log that cannot be written costs one line on standard error, nothing else."""
    r = run_loader(cfg, tmp, "words32_crlf.m0", options=["--log=" + os.path.join(tmp, "no", "log")])
    assert r.stdout == EXACT["words32_crlf.m0"].replace("PORT", r.port) and r.status == 0, describe(r)
    assert re.fullmatch(r"talvorn: the flash record was not written to \S+: .+\r?\n", r.stderr), r.stderr


def case_log_disk_full(cfg, tmp):
    """A record the disk has no room for (a file size limit of 1024 bytes) is taken back whole."""
    log, before = os.path.join(tmp, "flash.log"), b'{"earlier":"' + b"x" * 986 + b'"}\n'
    with open(log, "wb") as f:
        f.write(before)
    r = run_loader(cfg, tmp, "words32_crlf.m0", options=["--log=" + log],
                   wrap=["bash", "-c", 'ulimit -f 1; trap "" XFSZ; exec "$@"', "bash"])
    assert r.status == 0 and "cut short" in r.stderr, describe(r)
    with open(log, "rb") as f:
        assert f.read() == before


def case_refused(cfg, tmp, fixture, pattern, run_args):
    run_args = dict(run_args)
    status = run_args.pop("status", 1)
    # No record of a huge file (not hashed in each run), of a kernel file (a read of it may
    # never end), nor of nobody's run (no log it may write).
    huge = isinstance(fixture, int) and fixture >= 1 << 30 or run_args.get("hold") == "unprivileged" \
        or str(fixture).startswith("/proc/")
    if isinstance(fixture, int) or fixture in ("FIFO", "MISSING", "UNREADABLE"):  # fw.m0, made here
        fixture, made = os.path.join(tmp, "fw.m0"), fixture
        if made == "FIFO":  # a pipe nobody writes to: opening it must not wait
            os.mkfifo(fixture)
        elif made == "UNREADABLE":  # a file that the loader, run as nobody, may not read
            os.chmod(shutil.copyfile(cfg.fixture("words16_crlf.m0"), fixture), 0)
            os.chmod(tmp, 0o755)
        elif made != "MISSING":  # "\n", then zeros up to this size, sparse where it can be
            with open(fixture, "wb") as f:
                f.write(b"\n"[:made])
                f.truncate(made)
    record = None if huge else "interrupted" if status != 1 else "port not opened" if (
        pattern.startswith(re.escape(OPEN_FAILED)) or "is not a port" in pattern.replace("\\", "")) else \
        "cancelled" if "keys" in run_args else "bad file"
    if run_args.get("port") == "SOCKET":  # a socket file, named by its path
        run_args["port"] = os.path.join(tmp, "sock")
        socket.socket(socket.AF_UNIX).bind(run_args["port"])
    result = run_loader(cfg, tmp, fixture, check=False, record=record, **run_args)
    # A run refused at its command line ends with the usage text, before it began.
    end = "" if "USAGE" in pattern else re.escape(UNSUCCESSFUL)
    pattern = pattern.replace("PORT", re.escape(result.port)).replace(
        "PRESENT", PRESENT) + end
    assert re.fullmatch(pattern, result.stdout) and result.status == status, \
        "expected /%s/\n%s" % (pattern, describe(result))
    assert "start command" not in result.sim, describe(result)
    assert "keys" in run_args or "received 0 bytes" in result.sim, describe(result)
    # Runs that end before the transfer end without DONE, and say that the instrument got no image.
    assert result.stderr == (WAKE_HINT if result.stdout.count("FAILED") >= 3 else "") + (
        "" if status != 1 else NO_FIRMWARE if "Waking" in result.stdout else NOTHING), describe(result)


def rewrite_digit(path, line_number):
    """Rewrites in place the first data digit of a line: its checksum no longer fits."""
    with open(path, "r+b") as f:
        at = sum(len(line) for line in f.readlines()[:line_number - 1]) + 12
        os.pwrite(f.fileno(), b"2" if os.pread(f.fileno(), 1, at) == b"1" else b"1", at)


def put_back(path, change):  # the file changed, then its bytes and modification time put back
    info, old = os.stat(path), shutil.copyfile(path, path + ".old")
    change()
    os.utime(shutil.copyfile(old, path), ns=(info.st_atime_ns, info.st_mtime_ns))


# name: (the change to the file, made before the start; else during a slowed transfer)
FILE_CHANGED = {
    "file_rewritten_before_start": (lambda c, p: rewrite_digit(p, 3), True),
    "file_rewritten_during_transfer": (lambda c, p: rewrite_digit(p, 1020), False),
    "file_replaced_during_transfer": (lambda c, p: os.replace(
        shutil.copyfile(c.fixture("words32_crlf.m0"), p + ".new"), p), False),
    "file_truncated_during_transfer": (lambda c, p: os.truncate(p, os.path.getsize(p) // 2), False),
    "file_put_back_during_transfer": (lambda c, p: put_back(p, lambda: rewrite_digit(p, 1020)), False),
}


def case_file_changed(cfg, tmp, change, before_start):
    """The file checked is the file flashed: a change after the check ends the
    run with an error, and the image is never completed."""
    path = os.path.join(tmp, "fw.m0")
    shutil.copyfile(cfg.fixture("sample.m0"), path)
    changed = '"fw.m0" changed since it was checked'
    sim_args, when, ending = (["--ignore-wakeups", "1"], "Waking up device",
                              "*** - Error, " + changed + UNSUCCESSFUL) if before_start else (
        ["--delay-ms", "10"], STARTED, ERROR + changed + "\n" + UNSUCCESSFUL + "DONE\n")
    result = run_loader(cfg, tmp, path, sim_args, check=False,
                        keys=(when, lambda _: change(cfg, path)), record="file changed")
    assert result.stdout.endswith(ending) and result.status == 1, describe(result)
    assert "flash completed" not in result.sim, describe(result)
    assert ("start command" in result.sim) != before_start, describe(result)


HELP = "(?s)" + ".*".join(map(re.escape, (BANNER + "USAGE:  TALVORN [-option]", "three 0xFF", "-b - Boot sector",
                                         "--log=FILE", "TALVORN_LOG", "--list-ports", "COM3", "MANUAL"))) + ".*"
# name: (the only argument, standard output): answered with status 0, no flash.
ANSWERED = {"help": ("--help", HELP), "help_h": ("-h", HELP), "help_question_mark": ("-?", HELP),
            "help_slash_question_mark": ("/?", HELP), "version": ("--version", "talvorn 1\\.02\n")}


def case_answered(cfg, tmp, arg, wanted):  # no flash, so no flash record
    with open(os.path.join(tmp, "out"), "w+b") as out:  # a file: wine's helpers may hold a pipe
        status = subprocess.run(cfg.loader + [arg], stdin=subprocess.DEVNULL, stdout=out, cwd=tmp,
                                env=dict(os.environ, TALVORN_LOG="flash.log"), timeout=120).returncode
        text = os.pread(out.fileno(), 1 << 16, 0).decode("latin-1").replace("\r\n", "\n")
    wanted = wanted.replace("MANUAL", "README.txt" if cfg.on_wine else "man talvorn")
    # Each platform's help shows its own ports: device paths on Linux, COM names only on Windows.
    assert re.fullmatch(wanted, text) and ("/dev/" in text) == (arg != "--version" and not cfg.on_wine), text
    assert "not found" not in text and status == 0, (status, text)
    assert not os.path.exists(os.path.join(tmp, "flash.log"))
    if not cfg.on_wine:  # an answer that cannot be written (a full disk) is no answer
        with open("/dev/full", "wb") as full:
            assert subprocess.run(cfg.loader + [arg], stdin=subprocess.DEVNULL, stdout=full,
                                  timeout=120).returncode == 1


# name: (arguments, the error line before the usage text): status 1, and no flash record
USAGE_REFUSED = {"bare_command": ([], ""), "options_alone": (["-p"], "no file named after the options"),
                 "request_not_alone": (["--list-ports", "x"], "--list-ports stands alone on the command line"),
                 "log_without_equals": (["--log", "flash.log", "fw.m0"], "--log needs =FILE: --log=FILE")}


def case_usage_refused(cfg, tmp, args, error):
    with open(os.path.join(tmp, "out"), "w+b") as out:
        status = subprocess.run(cfg.loader + args, stdin=subprocess.DEVNULL, stdout=out, cwd=tmp,
                                env=dict(os.environ, TALVORN_LOG="flash.log"), timeout=120).returncode
        text = os.pread(out.fileno(), 1 << 16, 0).decode("latin-1").replace("\r\n", "\n")
    wanted = ("*** - Error, " + error + "\n" if error else "") + BANNER + "USAGE:"
    assert text.startswith(wanted) and status == 1, (status, text)
    assert not os.path.exists(os.path.join(tmp, "flash.log"))


# name: (bash's command around the loader, "$@"; keys from a pipe: no terminal;
# exit status: 0 a whole flash, 1 a run ended by the keys before the start)
STREAMS = {"closed_stdin_and_stdout": ('exec "$@" <&- >&-', True, 0),
           "output_pipe_closed_early": ('set -o pipefail; "$@" | head -c 200', False, 0),
           "keys_never_run_dry": ('exec "$@" </dev/zero', True, 1)}


def case_streams(cfg, tmp, shell, keys_on_pipe, status):
    r = run_loader(cfg, tmp, "words16_crlf.m0", keys_on_pipe=keys_on_pipe,
                   wrap=["bash", "-c", shell, "bash"])
    assert r.status == status and ("PASSED" in r.sim and " 0 stray" in r.sim if status == 0 else
                                   r.stdout.endswith("CANCELLED BY USER" + UNSUCCESSFUL)), describe(r)


# Runs its arguments as a foreground job, as a shell with job control does (only
# such a job takes a stop), and waits for their end through stops.
JOB_SHELL = ("import os, signal as s, sys\nif (pid := os.fork()) == 0:\n os.setpgid(0, 0)\n"
             " s.signal(s.SIGTTOU, s.SIG_IGN)\n os.tcsetpgrp(0, os.getpid())\n s.signal(s.SIGTTOU, "
             "s.SIG_DFL)\n os.execvp(sys.argv[1], sys.argv[1:])\nwhile os.WIFSTOPPED(st := os.waitpid("
             "pid, os.WUNTRACED)[1]): pass\nsys.exit(os.waitstatus_to_exitcode(st))\n")


def canonical(loader, cooked=termios.ICANON | termios.ECHO):
    return termios.tcgetattr(loader.master)[3] & cooked == cooked


def case_job_control(cfg, tmp):
    """Stopped, the loader leaves the terminal as it found it; going on, it takes it again."""
    def stop_and_go_on(loader):
        job = os.tcgetpgrp(loader.master)
        state = lambda: open("/proc/%d/stat" % job).read().rsplit(") ", 1)[1][0]
        for _ in range(2):  # the second stop as the first
            os.killpg(job, signal.SIGTSTP)
            loader.capture.wait_for(lambda: state() == "T", "the stop")
            assert canonical(loader), "stopped with the terminal in the run's settings"
            os.killpg(job, signal.SIGCONT)
            loader.capture.wait_for(lambda: not canonical(loader), "the run's settings again")
        os.write(loader.master, ESC)
    result = run_loader(cfg, tmp, "sample.m0", ["--delay-ms", "100"], keys=(STARTED, stop_and_go_on),
                        wrap=[sys.executable, "-c", JOB_SHELL])
    expect(cfg, result, "sample.m0", CANCELLED)


# Runs its arguments in a process group of their own, as a shell with job control
# starts `talvorn ... &`: a job in the background. A stop (SIGTTOU, SIGTTIN) fails.
BACKGROUND = ("import os, sys\nif (pid := os.fork()) == 0:\n os.setpgid(0, 0)\n os.execvp(sys.argv[1], "
              "sys.argv[1:])\nst = os.waitpid(pid, os.WUNTRACED)[1]\nif os.WIFSTOPPED(st):\n os.kill(pid, 9)\n"
              " sys.exit('stopped by signal %d' % os.WSTOPSIG(st))\nsys.exit(os.waitstatus_to_exitcode(st))\n")


def case_background(cfg, tmp):
    """Started in the background the loader flashes without keys, its terminal untouched."""
    def untouched(loader):
        assert canonical(loader) and os.tcgetpgrp(loader.master) == loader.proc.pid, loader.text()
    r = run_loader(cfg, tmp, "words16_crlf.m0", keys=(STARTED, untouched), wrap=[sys.executable, "-c", BACKGROUND])
    assert r.status == 0 and r.stdout.endswith("SUCCESSFUL\nDONE\n") and r.tty == "", describe(r)
    assert "image check PASSED" in r.sim, describe(r)


def case_terminal_closed(cfg, tmp):  # a hang-up: SIGHUP, and every write to the terminal fails
    def close_terminal(loader):
        loader.capture.remove(loader.master)
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, loader.master)  # the pty's master closed, its number kept for close()
        os.close(null)
    r = run_loader(cfg, tmp, "sample.m0", ["--delay-ms", "100"], keys=(STARTED, close_terminal),
                   record="interrupted")
    assert r.status == 129 and r.stdout.endswith(INTERRUPTED + UNSUCCESSFUL + "DONE\n"), describe(r)


def case_hangup_ignored(cfg, tmp):  # under nohup a hang-up stays ignored: the flash goes on
    expect(cfg, run_loader(cfg, tmp, "words16_crlf.m0", ["--delay-ms", "100"], keys=(STARTED, lambda l: os.kill(
        l.proc.pid, signal.SIGHUP)), wrap=["bash", "-c", 'trap "" HUP; exec "$@"', "bash"]), "words16_crlf.m0")


def case_quit(cfg, tmp):
    def quit_and_look(loader):  # Ctrl-\: the terminal put back all the same
        os.kill(loader.proc.pid, signal.SIGQUIT)
        assert loader.wait_exit() == -signal.SIGQUIT and canonical(loader), loader.text()
    run_loader(cfg, tmp, "sample.m0", ["--delay-ms", "100"], keys=(STARTED, quit_and_look))


# --- several instruments at once ----------------------------------------------

SUMMARY_LINE = re.compile(
    r"(\S+) +(SUCCESSFUL|UNSUCCESSFUL|CANCELLED|INTERRUPTED) +(\d+) records +(\d+\.\d) s(?:  (.*))?")
CONTROL = re.compile(r"[\x00-\x09\x0b-\x1f\x7f]")
SET_UP = r"waking up device \(try 1\)\nawake\nline set to 115200,N,8,1\nflashing started\n(?:\d+% \(\d+ records\)\n)*"
# One instrument: (simulator options, summary verdict, reason pattern, its events on plain output
# before the verdict line, the flash record's verdict)
GOOD = ([], "SUCCESSFUL", "", SET_UP, "successful")
SILENT = (["--ignore-wakeups", "1000"], "UNSUCCESSFUL", "no answer to the wake-up; no firmware was sent", "".join(
    "waking up device \\(try %d\\)\nno answer \\(try %d\\)\n" % (n, n) for n in (1, 2, 3))
    + "the instrument does not answer\\. Check .*\n", "time-out")
ERRORED = (["--error-at", "3", "Checksum error"], "UNSUCCESSFUL",  # its CR LF not shown
           "error message: Checksum error; the instrument may hold an incomplete image", SET_UP, "instrument error")
HUNG_UP = (["--hangup-at", "3"], "UNSUCCESSFUL", ".*lost the serial port.*", SET_UP, "lost port")
CANCELS, INTERRUPTS = ((["--delay-ms", "100"], v.upper(), ".*", SET_UP, v) for v in ("cancelled", "interrupted"))


def run_bench(cfg, tmp, sim_args, fixture, on_tty=False, keys=None, ports=lambda given, tmp: given, boot=None):
    """One loader flashes `fixture` into a simulator for each of `sim_args` at once, its standard
    output on its terminal or a pipe; `keys` once every run has started; `ports`: the arguments."""
    path, log, capture = cfg.fixture(fixture), os.path.join(tmp, "flash.log"), h.Capture()
    with contextlib.ExitStack() as stack:
        stack.callback(capture.close)
        sims = []
        for n, args in enumerate(sim_args):
            check = ["--check", path] if os.path.exists(path) else []  # no check without a file
            sims.append(h.Simulator(capture, [cfg.sim, "--timeout", "280", "--once", *check, *args],
                                    "sim%d" % n))
            stack.callback(sims[-1].close)
        given = ports([stack.enter_context(cfg.port(s.pty_path(), False, n))[0] for n, s in enumerate(sims)], tmp)
        loader = h.Loader(capture, (["bash", "-c", 'exec "$@" >&0', "bash"] if on_tty else []) + cfg.loader,
                          ["--log=" + log] + ["-b"] * bool(boot) + [os.path.basename(path), *given],
                          os.path.dirname(path) or tmp, False)
        stack.callback(loader.close)
        if boot:  # "-b", the question answered
            loader.wait_text(BOOT_QUESTION)
            os.write(loader.master, boot)
        if keys:
            for port in given:
                loader.wait_text(port + ": flashing started")
            keys(loader) if callable(keys) else os.write(loader.master, keys)
        status = loader.wait_exit(timeout=240)
        cfg.on_wine or capture.wait_for(lambda: not capture.is_open("tty"), "tty end")
        for sim in sims:
            sim.stop()
        assert not any(capture.data["sim%d.err" % n] for n in range(len(sims))), capture.describe()
        out = loader.text("tty" if on_tty else None).replace("\r\n", "\n")
        return types.SimpleNamespace(status=status, out=out, stderr=loader.text("stderr"), ports=given,
                                     sims=[s.text() for s in sims], log=log,
                                     describe="status %r\n%s" % (status, capture.describe()))


def bench_records(log, commands, ports):
    """One record per instrument, the bench field after "options", one id per command."""
    with open(log) as f:
        recs = [json.loads(line) for line in f]
    keys = list(RECORD)
    keys.insert(keys.index("options") + 1, "bench")
    assert len(recs) == commands * ports and all(list(rec) == keys and all(
        isinstance(rec[k], t) for k, t in RECORD.items()) for rec in recs), recs
    ids = [rec["bench"]["id"] for rec in recs]
    assert [rec["bench"] for rec in recs] == [{"id": i, "ports": ports} for i in ids], recs
    assert all(isinstance(i, str) and i for i in ids) and len(set(ids)) == commands, ids
    assert ids == sorted(ids, key=ids.index), ids  # each command's lines together
    return recs


def screen_rows(text):
    """The lowest row a terminal's cursor reaches: "\\n" one down, ESC [ n A n up; never above row 0."""
    row = low = 0
    for m in re.finditer(r"\n|\x1b\[(\d*)A", text):
        row += 1 if m[0] == "\n" else -int(m[1] or 1)
        assert row >= 0, text
        low = max(low, row)
    return low


def case_bench(cfg, tmp, instruments, on_tty, keys, status, fixture="sample.m0"):
    """Each instrument's verdict in the summary, on its own plain lines and in its flash record; the
    lines on a terminal redrawn in place, one row per instrument."""
    r = run_bench(cfg, tmp, [i[0] for i in instruments], fixture, on_tty, keys)
    ok, m_ports, width = sum(i[1] == "SUCCESSFUL" for i in instruments), len(r.ports), max(map(len, r.ports))
    head = BANNER + PRESS_ESC + 'Flashing "%s" into %d instruments at once.\n' % (fixture, m_ports)
    runs, _, summary = r.out.partition("\n\nSummary:\n")
    assert r.out.startswith(head) and summary.endswith("\n%d of %d instruments SUCCESSFUL\nDONE\n" % (
        ok, m_ports)) and r.status == status and not CONTROL.search(summary), r.describe
    assert ok < m_ports or r.stderr == "", r.describe
    rows = [SUMMARY_LINE.fullmatch(line) for line in summary.split("\n")[:-3]]
    assert all(rows) and [m[1] for m in rows] == r.ports, r.describe
    lines = runs[len(head):].split("\n")
    if on_tty:  # scrolled, each instrument would take a row per event: sample.m0 has over 20
        assert re.search(r"\x1b\[\d*A", runs) and screen_rows(runs[len(head):]) <= m_ports + 1, r.describe
    else:
        assert not CONTROL.search(runs) and all(any(line.startswith(p + ": ") for p in r.ports)
                                                for line in lines), r.describe
    recs = {rec["port"]: rec for rec in bench_records(r.log, 1, m_ports)}
    assert sorted(recs) == sorted(r.ports), recs
    for m, (_, verdict, reason, events, recorded), sim in zip(rows, instruments, r.sims):
        port, got, n, secs, why = m.groups()
        assert m[0] == "%-*s  %-12s %6s records  %5s s%s" % (
            width, port, got, n, secs, "  " + why if why else ""), summary
        assert got == verdict and re.fullmatch(reason, why or ""), m[0]
        assert (recs[port]["verdict"], recs[port]["records"]) == (recorded, int(n)), recs[port]
        if verdict == "SUCCESSFUL":
            assert int(n) == file_records(cfg, fixture) and "image check PASSED" in sim, sim
        else:
            assert "flash completed" not in sim, sim
        if not on_tty:  # its events in order, its last line the summary's
            mine = "\n".join(line[len(port) + 2:] for line in lines if line.startswith(port + ": "))
            assert re.fullmatch(events + re.escape("%s, %s records, %s s%s" % (
                got, n, secs, ": " + why if why else "")), mine), mine
            steps = [int(p) for p in re.findall(r"^(\d+)% ", mine, re.M)]
            assert steps == sorted(set(steps)) and (verdict != "SUCCESSFUL" or steps[-1:] == [100]), mine


# name: (instruments, standard output on the loader's terminal, keys once all started, exit status)
BENCH = {
    "bench_all_succeed": ([GOOD] * 3, True, None, 0),
    "bench_mixed": ([SILENT, ERRORED, HUNG_UP, GOOD], False, None, 1),
    "bench_escape_cancels": ([CANCELS] * 3, False, ESC, 1),
    "bench_ctrl_c_interrupts": ([INTERRUPTS] * 2, False, CTRL_C, 130),
    "bench_sigterm_interrupts": ([INTERRUPTS] * 2, False, lambda l: l.proc.terminate(), 143),
}


def linked(pty, tmp):  # a link to the port, as /dev/serial/by-id/ holds
    os.symlink(pty, os.path.join(tmp, "by-id"))
    return os.path.join(tmp, "by-id")


# name: (fixture, the port arguments made of the simulators' ptys, the error): refused before any
# port is opened, status 1; a bad file recorded for each port (two commands: two ids), a port twice not.
BENCH_REFUSED = {
    "bench_port_twice": ("sample.m0", lambda p, t: [p[0], p[1], p[0]], '"{0}" and "{2}" name the same port.'),
    "bench_port_and_link_to_it": ("sample.m0", lambda p, t: [linked(p[1], t), p[0], p[1]],
                                  '"{0}" and "{2}" name the same port.'),
    "bench_bad_file": ("s4_record.m0", lambda p, t: p, '"s4_record.m0" line 3: record type S4 is reserved'),
    "bench_missing_file": ("missing.m0", lambda p, t: p, 'file "missing.m0" not found'),
}


def case_bench_refused(cfg, tmp, fixture, ports, error):
    bad_file = "{" not in error
    for _ in range(2 if bad_file else 1):
        r = run_bench(cfg, tmp, [[]] * 2, fixture, ports=ports)
        wanted = BANNER + "*** - Error, " + error.format(*r.ports) + UNSUCCESSFUL
        if "not found" in error:  # as a single run: the error, then the usage
            wanted = "*** - Error, " + error + BANNER + "USAGE:"
        assert r.out.startswith(wanted) and r.status == 1, "expected %r\n%s" % (wanted, r.describe)
        assert "not found" in error or r.out == wanted, r.describe
        assert all("line opened" not in s and "received 0 bytes" in s for s in r.sims), r.describe
    if bad_file:
        assert [rec["verdict"] for rec in bench_records(r.log, 2, 2)] == ["bad file"] * 4
    else:
        assert not os.path.exists(r.log), "a refused command wrote a flash record"


def case_bench_boot_overwrite_no(cfg, tmp):  # asked once, before any port is opened
    r = run_bench(cfg, tmp, [[]] * 2, "sample.m0", boot=b"n")
    assert r.out == BANNER + PRESS_ESC + BOOT_QUESTION + "n\n" + CANCELLED + UNSUCCESSFUL and r.status == 1, r.describe
    assert all("received 0 bytes" in s for s in r.sims), r.describe
    assert [rec["verdict"] for rec in bench_records(r.log, 1, 2)] == ["cancelled"] * 2


CASES = {name: (lambda c, t, f=f, a=a: f(c, t, *a)) for f, table in (
    (case_success, SUCCESS), (case_failure, FAILURE), (case_lost_in_setup, LOST_IN_SETUP),
    (case_refused, REFUSED), (case_file_changed, FILE_CHANGED), (case_answered, ANSWERED),
    (case_streams, STREAMS), (case_usage_refused, USAGE_REFUSED), (case_bench, BENCH),
    (case_bench_refused, BENCH_REFUSED),
    (case_boot_sector_interrupt, {"boot_sector_ctrl_c_waits": ("50", [(STARTED, CTRL_C)]),
        "boot_sector_second_ctrl_c": ("200", [(STARTED, CTRL_C), ("  3%", CTRL_C)]),
        "boot_sector_ctrl_c_small_image": ("300", [(STARTED, CTRL_C)], "words16_crlf.m0")}),
    (case_debug_dump, {"debug_dump": ([],), "debug_dump_pad": (["-p"],)}),
    (case_verbose, {"verbose": (), "verbose_escaped": ("\x1b[2J\x07mode\udc80", "^[[2J^GmodeM-^@")}),
    (case_job_control, {"job_control": ()}),
    (case_quit, {"quit_restores_the_terminal": ()}),
    (case_background, {"background_job": ()}), (case_hangup_ignored, {"hangup_ignored": ()}),
    (case_terminal_closed, {"sighup_interrupts": ()}),
    (case_interrupt_before_end_record, {"interrupt_before_end_record": ()}),
    (case_bench_boot_overwrite_no, {"bench_boot_overwrite_no": ()}),
    (case_shared_log, {"shared_log": ()}), (case_unwritable_log, {"unwritable_log": ()}), (case_log_disk_full, {"log_disk_full": ()}), (case_huge_file_record, {"huge_file_record": ()}), (case_own_terminal_by_path, {"own_terminal_by_path": ()}),
) for name, a in table.items()}


def run_cases(cases, cfg, names):
    failures = 0
    for name in names:
        with tempfile.TemporaryDirectory(prefix="talvorn-e2e.") as tmp:
            try:
                cases[name](cfg, tmp)
                print("PASS", name, flush=True)
            except Exception:
                failures += 1
                print("FAIL " + name, traceback.format_exc(), sep="\n", flush=True)
    return 1 if failures else 0


def parse_args(extra=()):
    parser = argparse.ArgumentParser()
    for name in ("--sim", "--data", "--e2e-data", "--examples") + tuple(extra):
        parser.add_argument(name)
    for name in ("--loader", "--case"):
        parser.add_argument(name, action="append")
    parser.add_argument("--com", type=int)
    parser.add_argument("--list", action="store_true")
    return parser.parse_args()


if __name__ == "__main__":
    args = parse_args()
    if args.list:
        print(";".join(sorted(CASES)))
    else:
        sys.exit(run_cases(CASES, Config(args), args.case or sorted(CASES)))
