#!/usr/bin/env python3
"""Sends one command to QEMU's monitor (QMP) on a unix socket and waits for its answer.

    qmp.py SOCKET device_del '{"id": "ftdi1"}'

Exit status 0 when QEMU answered "return", 1 on an error answer, 2 when the
monitor did not answer within the time-out (20 s).
"""
import json
import socket
import sys


def main():
    path, command = sys.argv[1], sys.argv[2]
    arguments = json.loads(sys.argv[3]) if len(sys.argv) > 3 else {}
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(20)
            sock.connect(path)
            replies = sock.makefile("r")
            json.loads(replies.readline())  # the greeting
            for request in ({"execute": "qmp_capabilities"},
                            {"execute": command, "arguments": arguments}):
                sock.sendall(json.dumps(request).encode() + b"\n")
                while True:  # events may come before the answer
                    line = replies.readline()
                    if not line:
                        raise OSError("the monitor closed the connection")
                    reply = json.loads(line)
                    if "return" in reply:
                        break
                    if "error" in reply:
                        print("qmp: %s: %s" % (command, reply["error"]), file=sys.stderr)
                        return 1
    except (OSError, ValueError) as problem:
        print("qmp: %s: %s" % (command, problem), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
