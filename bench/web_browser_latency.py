#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# Frame end at the board to the value on an open page, measured in the browser: headless
# chromium on the bridge's page, frames written at 9600-baud pace to a pseudo-terminal, each
# frame's "Z" time (wall clock) against the page's Date.now() when its state arrived. Prints
# one JSON object. Exits 77 without chromium, its driver or Selenium.
import json
import os
import pty
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import tty

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:
    sys.exit(77)
CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
if not CHROMIUM or not os.path.exists(DRIVER):
    sys.exit(77)

FRAMES = int(os.environ.get("FRAMES", "300"))
CHAR_S = 1 / 960  # 9600 baud, 10 bits a character


def main():
    master, slave = pty.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    os.close(slave)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    bridge = subprocess.Popen([sys.argv[1], "--device", path, "--board", "b1", "--http",
                               f"127.0.0.1:{port}"], stderr=subprocess.DEVNULL)
    profile = tempfile.mkdtemp(prefix="quorvane-chromium-")
    o = webdriver.ChromeOptions()
    o.binary_location = CHROMIUM
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--no-first-run",
              f"--user-data-dir={profile}"):
        o.add_argument(a)
    d = None
    try:
        time.sleep(0.5)
        d = webdriver.Chrome(service=Service(DRIVER), options=o)
        d.get(f"http://127.0.0.1:{port}/")
        end = time.time() + 10
        while not d.execute_script("return window.quorvane.connected") and time.time() < end:
            time.sleep(0.05)
        z_at = {}
        due = time.perf_counter()
        for seq in range(1000, 1000 + FRAMES):
            frame = f"XPir:{seq % 2}YLig:{seq % 100}YTp1:{seq}YTp2:{seq}YZ".encode()
            for i in range(len(frame)):
                due += CHAR_S
                while time.perf_counter() < due:
                    pass
                if i == len(frame) - 1:
                    z_at[str(seq)] = time.time() * 1000
                os.write(master, frame[i:i + 1])
        time.sleep(0.5)
        states = d.execute_script("return window.quorvane.states")
        seen = {}
        for s in states:
            seen.setdefault(s["indoor"], s["at"])
        ms = sorted(seen[k] - z_at[k] for k in z_at if k in seen)
        p = lambda q: ms[int(q * (len(ms) - 1))] if ms else -1
        print(json.dumps({"figure": "web_page_latency_in_browser", "frames": FRAMES,
                          "seen": len(ms), "median_ms": p(0.5), "p99_ms": p(0.99)}))
    finally:
        if d:
            d.quit()
        shutil.rmtree(profile, ignore_errors=True)
        bridge.send_signal(signal.SIGTERM)
        bridge.wait(10)


if __name__ == "__main__":
    main()
