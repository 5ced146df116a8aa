#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The demo panel logs frames holding absent readings, markup, commas, quotes and non-ASCII
# bytes; Python's csv module reads the same values back. A killed panel keeps every row
# written, and a second run appends without a second header.
import csv
import os
import signal
import subprocess
import sys
import tempfile
import time
import tty

demo = sys.argv[1]
FRAMES = [
    (b"XPir:1YLig:64YTp1:28YTp2:31YZ", ["1", "64", "28", "31"]),
    (b"XLig:5YZ", ["", "5", "", ""]),
    (b'XPir:<b>on</b>YTp1:a,"b",cYZ', ["<b>on</b>", "", 'a,"b",c', ""]),
    (b"XTp2:-3.5\xb0YPir:\xe9tat 2YZ", ["\xe9tat 2", "", "", "-3.5\xb0"]),
    (b"XPir:YZ", ["", "", "", ""]),
]


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def holds(pid, device):
    # Whether the process has `device` open: the panel opens its port right after the log.
    fds = f"/proc/{pid}/fd"
    try:
        return any(os.readlink(os.path.join(fds, fd)) == device for fd in os.listdir(fds))
    except OSError:
        return False


def rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def run_panel(board, log, frames):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    slave = os.ttyname(board[1])
    before = len(rows(log)) if os.path.exists(log) else 0
    panel = subprocess.Popen([demo, "--device", slave, "--open", "--log", log], env=env,
                             stderr=subprocess.DEVNULL)
    try:
        # Deadlines only bound a real failure: a busy machine starts the panel slowly.
        if not wait_for(lambda: os.path.exists(log) and os.path.getsize(log) > 0, 60):
            sys.exit("the log was never begun")
        if not wait_for(lambda: holds(panel.pid, slave) or panel.poll() is not None, 60) \
                or panel.poll() is not None:
            sys.exit("the panel never opened the port")
        time.sleep(0.2)  # the port is set up in the same call that opened it
        for frame, _ in frames:
            os.write(board[0], frame)
            time.sleep(0.05)
        want = before + len(frames) + (0 if before else 1)
        if not wait_for(lambda: len(rows(log)) >= want, 60):
            sys.exit(f"{len(rows(log))} log lines, wanted {want}")
    finally:
        panel.send_signal(signal.SIGKILL)  # rows are flushed as they are written
        panel.wait()


with tempfile.TemporaryDirectory() as tmp:
    log = os.path.join(tmp, "readings.csv")
    board = os.openpty()
    tty.setraw(board[0])
    run_panel(board, log, FRAMES)
    run_panel(board, log, FRAMES[:1])
    got = rows(log)
    if got[0] != ["time", "pir", "light", "indoor", "outdoor"]:
        sys.exit(f"header {got[0]}")
    values = [r[1:] for r in got[1:]]
    want = [v for _, v in FRAMES] + [FRAMES[0][1]]
    if values != want:
        sys.exit(f"read back {values}\nwanted    {want}")
    if any(not r[0].endswith("Z") or len(r[0]) != 24 for r in got[1:]):
        sys.exit(f"times {[r[0] for r in got[1:]]}")
    # Absent readings are empty; a reading sent empty is quoted empty text.
    with open(log, encoding="utf-8") as f:
        text = f.read()
    if ',"",,,' not in text or ',,5,,' not in text:
        sys.exit("absent and empty readings are not told apart")
    print(f"{len(values)} rows read back through csv, header once")
