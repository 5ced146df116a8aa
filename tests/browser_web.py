#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The web page in a real browser, as a person uses it: headless chromium against the bridge,
# the board played on a pseudo-terminal of the test's own. Exits 77 (skipped) without
# chromium, chromedriver or Selenium; fails without the pinned axe-core in tests/a11y
# (scripts/deps.sh installs it), which checks the pages against WCAG 2.1 AA and best practice.
import csv
import json
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
import urllib.error
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

A11Y = os.path.join(os.path.dirname(os.path.abspath(__file__)), "a11y")
AXE = os.path.join(A11Y, "node_modules", "axe-core", "axe.min.js")


def axe_source():
    """axe-core as tests/a11y's lock file pins it; without it the test fails, it never skips."""
    with open(os.path.join(A11Y, "package-lock.json")) as f:
        want = json.load(f)["packages"]["node_modules/axe-core"]["version"]
    try:
        with open(os.path.join(A11Y, "node_modules", "axe-core", "package.json")) as f:
            have = json.load(f)["version"]
        with open(AXE) as f:
            source = f.read()
    except OSError:
        have = None
    if have != want:
        sys.exit(f"FAIL: axe-core {want} is not in {A11Y}/node_modules (found {have}): "
                 "run scripts/deps.sh's install, or npm ci there")
    return source


AXE_SOURCE = axe_source()
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


STATE = tempfile.mkdtemp(prefix="quorvane-web-state-")


def start_bridge(board, port):
    env = dict(os.environ, QUORVANE_HTTP_TOKEN=TOKEN)
    # The logins are kept here, so that the page stays logged in across a restart.
    p = subprocess.Popen([BRIDGE, "--device", board.path, "--board", "t1", "--http",
                          f"127.0.0.1:{port}", "--state-dir", STATE], env=env,
                         stderr=subprocess.PIPE, text=True)
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


def accessible(driver, what):
    """axe-core's rules on the page as it stands: no violation of any. The page's CSP allows
    only its own scripts; WebDriver's scripts run regardless, so axe goes in that way."""
    driver.execute_script(AXE_SOURCE)
    assert driver.execute_script("return typeof axe === 'object' && typeof axe.run === 'function'"), \
        "axe-core did not load into the page"
    found = driver.execute_async_script(
        "const done = arguments[0];"
        "axe.run(document, { resultTypes: ['violations'] })"
        "  .then((r) => done(r.violations.map((v) => ({ id: v.id, help: v.help,"
        "    nodes: v.nodes.map((n) => n.target.join(' ') + ': ' + n.failureSummary) }))),"
        "        (e) => done([{ id: 'axe-error', help: String(e), nodes: [] }]));")
    assert not found, f"{what}: accessibility violations: " + json.dumps(found, indent=1)


# Days of temperatures (indoor and outdoor readings, missing ones as None) for the plot's axis.
AXIS_DAYS = [
    ("empty", []),
    ("one point", [29, None]),
    ("two equal points", [29, 29]),
    ("29 and 30", [29, 30, 30, 29]),
    ("a tenth apart", [29.3, 29.4]),
    ("a wide range", [-12, 45, 21]),
    ("below zero", [-8, -3, -5]),
    ("either side of zero", [-0.4, 0.3]),
]


def check_axis(driver):
    for name, values in AXIS_DAYS:
        axis = driver.execute_script("return temperatureAxis(arguments[0])", values)
        labels, ticks = axis["labels"], axis["ticks"]
        where = f"the axis for {name} {values}: {labels}"
        assert labels == [f"{t}\u00b0" for t in ticks], where  # each label its own tick, whole degrees
        assert len(set(labels)) == len(labels) >= 3, where
        assert ticks == sorted(ticks), where
        assert "-0\u00b0" not in labels, where
        present = [v for v in values if v is not None]
        if present:
            assert ticks[0] <= min(present) and ticks[-1] >= max(present), where
        if present and min(present) >= 29 and max(present) <= 30:
            assert "29\u00b0" in labels and "30\u00b0" in labels and "1\u00b0" not in labels, where


def main():
    board = Board()
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    bridge = start_bridge(board, port)
    profile = tempfile.mkdtemp(prefix="quorvane-chromium-")
    d = browser(profile)
    failures = 0
    try:
        # Log in with the token; the login page passes the accessibility rules, with its
        # "wrong token" line shown too.
        d.get(base + "/")
        until(d, "the login page shows", lambda d: d.current_url.endswith("/login"))
        accessible(d, "the login page")
        d.get(base + "/login?wrong")
        until(d, "the wrong-token line shows", lambda d: d.find_element(By.ID, "wrong").is_displayed())
        accessible(d, "the login page after a wrong token")
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

        # With readings shown and a load down, the panel passes the accessibility rules, on a
        # desktop and on a phone held upright.
        accessible(d, "the panel")
        d.set_window_size(412, 915)
        accessible(d, "the panel on a phone")
        d.set_window_size(1280, 900)

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
        # The plot's axis reads true for the day so far (28 and 29 in, -4 and -3 out), and for a
        # table of other days.
        axis = d.execute_script("return window.quorvane.axis")
        assert axis["ticks"][0] <= -4 and axis["ticks"][-1] >= 29, axis
        check_axis(d)
        req = urllib.request.Request(base + "/history.csv",
                                     headers={"Cookie": f"quorvane_session={cookie['value']}"})
        with urllib.request.urlopen(req, timeout=WAIT) as r:
            rows = list(csv.reader(io.StringIO(r.read().decode(), newline="")))
        assert rows[0] == ["time", "pir", "light", "indoor", "outdoor"], rows
        assert rows[-1][1:] == ["0", "65", "29", "-3"], rows

        # The bridge restarts: the page says it is unreachable, then recovers by itself (its
        # login is kept in the state directory across the restart).
        bridge.send_signal(signal.SIGTERM)
        bridge.wait(WAIT)
        until(d, "the page says the bridge is unreachable",
              lambda d: "unreachable" in text(d, "banner").lower())
        accessible(d, "the panel with its banner shown")
        bridge = start_bridge(board, port)
        board.frame(1, 70, 30, 2)
        until(d, "the page recovers", lambda d: text(d, "light") == "70%" and
              not d.find_element(By.ID, "banner").is_displayed(), wait=20)

        # Log out everywhere: back to the login page, and the cookie reads nothing more.
        d.find_element(By.ID, "logoutall").click()
        until(d, "the login page after logging out everywhere",
              lambda d: d.current_url.endswith("/login"))
        try:
            urllib.request.urlopen(req, timeout=WAIT)
            assert False, "the cookie still reads after logging out everywhere"
        except urllib.error.HTTPError as e:
            assert e.code == 401, e.code
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
