#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# What a screen reader sees of the demo panel through the accessibility bus: each reading
# with what it is, and a new reading announced as a text change.
# Every wait ends as soon as what it waits for is there; its deadline only bounds a real
# failure, so a busy machine is slower, not red.
import subprocess
import sys
import tempfile
import time

import pyatspi
from gi.repository import GLib

demo = sys.argv[1]
WHAT = {"Light": "%", "PIR Sensor": "", "In-Door Temperature": " Deg",
        "Out-Door Temperature": " Deg"}
APPEAR_S = 90
READINGS_S = 60
ANNOUNCE_S = 60


def pump():
    # The registry tells of new applications by signals, which arrive only through the loop.
    context = GLib.MainContext.default()
    while context.pending():
        context.iteration(False)


def fail(message):
    if panel.poll() is not None:
        message += f" (the panel ended with {panel.returncode})"
    errors.seek(0)
    said = errors.read().decode(errors="replace").strip()
    sys.exit(message + ("\npanel said:\n" + said if said else ""))


def find_app(name, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and panel.poll() is None:
        pump()
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == name:
                return app
        time.sleep(0.1)
    return None


def readings(app):
    found = {}
    for node in pyatspi.findAllDescendants(app, lambda n: n.name in WHAT):
        text = node.queryText()
        found[node.name] = text.getText(0, text.characterCount)
    return found


# Bring the accessibility bus and its registry up before the panel starts: the bus launcher
# publishes its address on the display and leaves, and a panel connecting to the display just
# then could find it resetting. (The display is also told not to reset.)
pyatspi.Registry.getDesktop(0).childCount
errors = tempfile.TemporaryFile()
panel = subprocess.Popen([demo, "--open"], stderr=errors)
status = 1
try:
    app = find_app("quorvane-demo", APPEAR_S)
    if app is None:
        fail(f"the panel never showed up on the accessibility bus within {APPEAR_S} s")
    deadline = time.monotonic() + READINGS_S
    seen = readings(app)
    while time.monotonic() < deadline and not all(seen.get(w) for w in WHAT):
        if panel.poll() is not None:
            fail("the panel ended before all four readings arrived")
        time.sleep(0.3)
        seen = readings(app)
    # The port box: labelled by its group, the field inside it named as the port.
    box = pyatspi.findDescendant(app, lambda n: n.getRoleName() == "combo box")
    labels = [r.getTarget(i).name for r in box.getRelationSet()
              if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
              for i in range(r.getNTargets())]
    field = pyatspi.findDescendant(box, lambda n: n.getRoleName() == "text")
    if labels != ["Serial Port"] or field is None or field.name != "Port":
        fail(f"the port box reads as {labels} / {field.name if field else None!r}")
    for what, unit in WHAT.items():
        value = seen.get(what, "")
        if not value or not value.endswith(unit):
            fail(f"{what!r} reads {value!r} after {READINGS_S} s")
        print(f"{what}: {value}")

    # The simulated board sends new readings every second; one of them must be announced.
    announced = []

    def on_change(event):
        if event.source is not None and event.source.name in WHAT and event.any_data:
            announced.append((event.source.name, event.any_data))
            pyatspi.Registry.stop()

    pyatspi.Registry.registerEventListener(on_change, "object:text-changed:insert")
    GLib.timeout_add_seconds(ANNOUNCE_S, lambda: pyatspi.Registry.stop() or False)
    pyatspi.Registry.start()
    if not announced:
        fail(f"no new reading was announced within {ANNOUNCE_S} s")
    print("announced: %s %s" % announced[0])
    status = 0
finally:
    panel.terminate()
    try:
        panel.wait(60)
    except subprocess.TimeoutExpired:
        panel.kill()
        panel.wait()
        status = status or "the panel did not end when asked to"
sys.exit(status)
