#!/usr/bin/env python3
"""One connection to QEMU's monitor (QMP) on a unix socket, kept for a whole run.

    qmp.py SOCKET

It connects as soon as QEMU listens (within 20 s), then takes one command a
line on standard input, a name and its arguments as JSON:

    device_del {"id": "adapter2"}

and answers each with one line on standard output: "ok" when QEMU answered
"return", else "error: WHY" (no answer within 20 s included). Exit status 0
at the end of the input, 2 when it could not connect. The connection is made
once, early, so that nothing done to the socket's path later can stop a pull.
"""
import json
import socket
import sys
import time


def connect(path):
    deadline = time.monotonic() + 20
    while True:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(path)
            return sock
        except OSError:
            sock.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


def execute(sock, replies, command, arguments):
    sock.sendall(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
    while True:  # events may come before the answer
        line = replies.readline()
        if not line:
            raise OSError("the monitor closed the connection")
        reply = json.loads(line)
        if "return" in reply:
            return "ok"
        if "error" in reply:
            return "error: %s" % reply["error"]


def main():
    try:
        sock = connect(sys.argv[1])
        sock.settimeout(20)
        replies = sock.makefile("r")
        json.loads(replies.readline())  # the greeting
        if execute(sock, replies, "qmp_capabilities", {}) != "ok":
            raise OSError("capabilities refused")
    except (OSError, ValueError) as problem:
        print("qmp: cannot talk to %s: %s" % (sys.argv[1], problem), file=sys.stderr)
        return 2
    for request in sys.stdin:
        command, _, arguments = request.strip().partition(" ")
        try:
            answer = execute(sock, replies, command, json.loads(arguments or "{}"))
        except (OSError, ValueError) as problem:
            answer = "error: %s" % problem
        print(answer, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
