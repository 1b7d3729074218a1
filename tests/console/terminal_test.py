#!/usr/bin/env python3
"""`tarvik console` on a terminal (a pseudo-terminal): a prompt, a line edited before it is
entered (a backspace), the history (Ctrl-P brings back the last line), and Ctrl-D ending the
session with exit 0. The transcript holds the lines as they were entered, edited.

    terminal_test.py <scratch dir> <tarvik> [program before it...]
"""
import os
import pty
import select
import sys
import time

scratch, command = sys.argv[1], sys.argv[2:]
transcript = os.path.join(scratch, "terminal.transcript")
os.makedirs(scratch, exist_ok=True)

pid, fd = pty.fork()
if pid == 0:
    os.environ["TERM"] = "xterm"
    os.execvp(command[0], command + ["console", "--record", transcript])

seen = b""


def wait_for(text, count=1, timeout=30):
    """Reads the terminal until `text` was seen `count` times in all."""
    global seen
    deadline = time.monotonic() + timeout
    while seen.count(text) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            sys.exit(f"FAIL: no {text!r} (x{count}) on the terminal; it showed:\n{seen!r}")
        try:
            seen += os.read(fd, 4096)
        except OSError:
            sys.exit(f"FAIL: the terminal closed before {text!r}; it showed:\n{seen!r}")


prompt = b"tarvik> "
wait_for(prompt)
os.write(fd, b"bootz\x7f\r")
wait_for(b"OK entry=")
wait_for(prompt, 2)
os.write(fd, b"\x10\r")  # Ctrl-P: the previous line again
wait_for(prompt, 3)
os.write(fd, b"\x04")  # Ctrl-D on an empty line
_, status = os.waitpid(pid, 0)
if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
    sys.exit(f"FAIL: the console ended with status {status}; the terminal showed:\n{seen!r}")
with open(transcript) as f:
    entered = [line[2:].rstrip("\n") for line in f if line.startswith("> ")]
if entered != ["boot", "boot"]:
    sys.exit(f"FAIL: the transcript has the commands {entered}")
print("prompt, editing, history and Ctrl-D work on a terminal")
