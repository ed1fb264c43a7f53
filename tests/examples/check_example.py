#!/usr/bin/env python3
"""Runs an example program and checks what it does.

  check_example.py output PROGRAM EXPECTED            stdout equals EXPECTED, exit 0
  check_example.py output-any-order PROGRAM EXPECTED  the same lines in any order, exit 0
  check_example.py serial-echo PROGRAM                serial_echo on one end of a pseudo-terminal
                                                      pair sends back a line written to the other
"""
import os
import select
import signal
import subprocess
import sys


def fail(message, output=""):
    sys.stderr.write(message + "\n")
    if output:
        sys.stderr.write("--- the program printed:\n" + output)
    sys.exit(1)


def check_output(program, expected_path, any_order):
    run = subprocess.run([program], capture_output=True, text=True, timeout=50)
    sys.stderr.write(run.stderr)
    if run.returncode != 0:
        fail(f"{program} exited {run.returncode}", run.stdout)
    with open(expected_path, encoding="utf-8") as f:
        expected = f.read()
    got = run.stdout
    if any_order:
        expected, got = sorted(expected.splitlines()), sorted(got.splitlines())
    if got != expected:
        fail(f"{program} printed other than {expected_path}", run.stdout)


def read_until(fd, wanted, seconds):
    """Reads fd until `wanted` arrived or `seconds` passed; what was read."""
    got = b""
    while wanted not in got:
        ready, _, _ = select.select([fd], [], [], seconds)
        if not ready:
            break
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        got += chunk
    return got


def check_serial_echo(program):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    # The time limit ends it should the test itself hang; SIGTERM ends it first.
    proc = subprocess.Popen([program, path, "40"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        started = read_until(proc.stdout.fileno(), b"\n", 20)
        # The port's name as Windows spells a device: \\.\/dev/pts/3.
        if not (started.startswith(b"echoing on ") and path.encode() in started):
            fail(f"serial_echo did not start: {started!r}")
        line = b"hello vela\n"
        os.write(master, line)
        echoed = read_until(master, line, 20)
        if line not in echoed:
            fail(f"the line did not come back: {echoed!r}")
    finally:
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=20)
        os.close(master)
        os.close(slave)
    sys.stderr.write(err.decode(errors="replace"))
    if proc.returncode != 0:
        fail(f"serial_echo exited {proc.returncode}")
    if b"11 bytes: hello vela\n" not in started + out:
        fail(f"serial_echo did not show the line it received: {(started + out)!r}")


def main():
    mode = sys.argv[1]
    if mode in ("output", "output-any-order"):
        check_output(sys.argv[2], sys.argv[3], mode == "output-any-order")
    elif mode == "serial-echo":
        check_serial_echo(sys.argv[2])
    else:
        fail(f"unknown mode {mode}")


if __name__ == "__main__":
    main()
