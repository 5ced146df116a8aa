#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The web page in a real browser, as a person uses it: headless chromium against the bridge,
# the board played on a pseudo-terminal of the test's own. Exits 77 (skipped) without
# chromium, chromedriver or Selenium.
import csv
import io
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
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
if not CHROMIUM or not os.path.exists(DRIVER):
    print("skipped: chromium or chromium-driver is not installed")
    sys.exit(77)

BRIDGE = sys.argv[1]
TOKEN = "browser-test-token-0123456789"
WAIT = 10


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Board:
    """The board's end of a pseudo-terminal: frames out, command letters in."""

    def __init__(self):
        self.master, slave = pty.openpty()
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(self.master, False)

    def frame(self, pir, light, indoor, outdoor):
        os.write(self.master, f"XPir:{pir}YLig:{light}YTp1:{indoor}YTp2:{outdoor}YZ".encode())

    def read(self, count, wait=WAIT):
        got = b""
        end = time.monotonic() + wait
        while len(got) < count and time.monotonic() < end:
            try:
                got += os.read(self.master, 64)
            except (BlockingIOError, OSError):
                time.sleep(0.02)
        return got


def start_bridge(board, port):
    env = dict(os.environ, QUORVANE_HTTP_TOKEN=TOKEN)
    p = subprocess.Popen([BRIDGE, "--device", board.path, "--board", "t1", "--http",
                          f"127.0.0.1:{port}"], env=env, stderr=subprocess.PIPE, text=True)
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return p
        except OSError:
            time.sleep(0.05)
    p.kill()
    sys.exit(f"the bridge did not start: {p.stderr.read()}")


def browser(profile):
    o = webdriver.ChromeOptions()
    o.binary_location = CHROMIUM
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--no-first-run",
              "--window-size=1280,900", f"--user-data-dir={profile}"):
        o.add_argument(a)
    return webdriver.Chrome(service=Service(DRIVER), options=o)


def until(driver, what, check, wait=WAIT):
    try:
        return WebDriverWait(driver, wait, poll_frequency=0.05).until(lambda d: check(d))
    except Exception:
        raise AssertionError(f"timed out waiting until {what}") from None


def text(driver, id_):
    return driver.find_element(By.ID, id_).text


def pressed(driver, n):
    return driver.find_element(By.ID, f"load{n}").get_attribute("aria-pressed") == "true"


def main():
    board = Board()
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    bridge = start_bridge(board, port)
    profile = tempfile.mkdtemp(prefix="quorvane-chromium-")
    d = browser(profile)
    failures = 0
    try:
        # Log in with the token.
        d.get(base + "/")
        until(d, "the login page shows", lambda d: d.current_url.endswith("/login"))
        d.find_element(By.ID, "token").send_keys(TOKEN)
        d.find_element(By.ID, "login").click()
        until(d, "the panel shows", lambda d: d.current_url == base + "/")
        assert d.title == "Quorvane"
        cookie = d.get_cookie("quorvane_session")
        assert cookie and cookie["httpOnly"] and cookie["sameSite"] == "Strict", cookie

        # Readings appear, and change as frames arrive.
        until(d, "the live updates connect", lambda d: d.execute_script("return window.quorvane.connected"))
        board.frame(1, 64, 28, -4)
        until(d, "the readings show", lambda d: text(d, "light") == "64%")
        assert text(d, "pir") == "1" and text(d, "indoor") == "28 Deg", text(d, "indoor")
        assert text(d, "outdoor") == "-4 Deg"
        board.frame(0, 65, 29, -3)
        until(d, "the readings change", lambda d: text(d, "light") == "65%" and text(d, "pir") == "0")

        # A click on Load 3 puts E on the line, and the toggle stays down.
        d.find_element(By.ID, "load3").click()
        assert board.read(1) == b"E"
        until(d, "Load 3 is down", lambda d: pressed(d, 3))
        time.sleep(0.5)
        assert pressed(d, 3), "Load 3 came back up"

        # Two pages stay in step.
        first = d.current_window_handle
        d.switch_to.new_window("tab")
        d.get(base + "/")
        until(d, "the second page shows Load 3 down", lambda d: pressed(d, 3))
        d.find_element(By.ID, "load1").click()
        assert board.read(1) == b"A"
        d.switch_to.window(first)
        until(d, "the first page shows Load 1 down", lambda d: pressed(d, 1))

        # All OFF sends the panel's letters: L, then the off-letter of each load that was on.
        d.find_element(By.ID, "alloff").click()
        assert board.read(3) == b"LBF"
        until(d, "every toggle is up", lambda d: not any(pressed(d, n) for n in range(1, 6)))
        second = [h for h in d.window_handles if h != first][0]
        d.switch_to.window(second)
        until(d, "every toggle is up on the second page", lambda d: not any(pressed(d, n) for n in range(1, 6)))
        d.switch_to.window(first)

        # The history plot has points, and /history.csv reads back with csv.
        plotted = d.execute_async_script(
            "const done = arguments[0]; loadHistory().then(() => done(window.quorvane.plotted));")
        assert plotted > 0, plotted
        req = urllib.request.Request(base + "/history.csv",
                                     headers={"Cookie": f"quorvane_session={cookie['value']}"})
        with urllib.request.urlopen(req, timeout=WAIT) as r:
            rows = list(csv.reader(io.StringIO(r.read().decode(), newline="")))
        assert rows[0] == ["time", "pir", "light", "indoor", "outdoor"], rows
        assert rows[-1][1:] == ["0", "65", "29", "-3"], rows

        # The bridge restarts: the page says it is unreachable, then recovers by itself (the
        # signed cookie holds across the restart).
        bridge.send_signal(signal.SIGTERM)
        bridge.wait(WAIT)
        until(d, "the page says the bridge is unreachable",
              lambda d: "unreachable" in text(d, "banner").lower())
        bridge = start_bridge(board, port)
        board.frame(1, 70, 30, 2)
        until(d, "the page recovers", lambda d: text(d, "light") == "70%" and
              not d.find_element(By.ID, "banner").is_displayed(), wait=20)
        print("browser: all steps passed")
    except AssertionError as e:
        failures += 1
        print(f"FAIL: {e}")
        d.save_screenshot(os.path.join(tempfile.gettempdir(), "quorvane-browser-fail.png"))
    finally:
        d.quit()
        shutil.rmtree(profile, ignore_errors=True)
        bridge.send_signal(signal.SIGTERM)
        try:
            bridge.wait(WAIT)
        except subprocess.TimeoutExpired:
            bridge.kill()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
