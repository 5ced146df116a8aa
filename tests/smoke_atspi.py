#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# What a screen reader sees of the demo panel through the accessibility bus: each reading
# with what it is, and a new reading announced as a text change.
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

demo = sys.argv[1]
WHAT = {"Light": "%", "PIR Sensor": "", "In-Door Temperature": " Deg",
        "Out-Door Temperature": " Deg"}


def find_app(name, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name == name:
                return app
        time.sleep(0.2)
    return None


def readings(app):
    found = {}
    for node in pyatspi.findAllDescendants(app, lambda n: n.name in WHAT):
        text = node.queryText()
        found[node.name] = text.getText(0, text.characterCount)
    return found


panel = subprocess.Popen([demo, "--open"], stderr=subprocess.DEVNULL)
status = 1
try:
    app = find_app("quorvane-demo", 20)
    if app is None:
        sys.exit("the panel never showed up on the accessibility bus")
    deadline = time.monotonic() + 15
    seen = readings(app)
    while time.monotonic() < deadline and not all(seen.get(w) for w in WHAT):
        time.sleep(0.3)
        seen = readings(app)
    # The port box: labelled by its group, the field inside it named as the port.
    box = pyatspi.findDescendant(app, lambda n: n.getRoleName() == "combo box")
    labels = [r.getTarget(i).name for r in box.getRelationSet()
              if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
              for i in range(r.getNTargets())]
    field = pyatspi.findDescendant(box, lambda n: n.getRoleName() == "text")
    if labels != ["Serial Port"] or field is None or field.name != "Port":
        sys.exit(f"the port box reads as {labels} / {field.name if field else None!r}")
    for what, unit in WHAT.items():
        value = seen.get(what, "")
        if not value or not value.endswith(unit):
            sys.exit(f"{what!r} reads {value!r}")
        print(f"{what}: {value}")

    # The simulated board sends new readings every second; one of them must be announced.
    announced = []

    def on_change(event):
        if event.source is not None and event.source.name in WHAT and event.any_data:
            announced.append((event.source.name, event.any_data))
            pyatspi.Registry.stop()

    pyatspi.Registry.registerEventListener(on_change, "object:text-changed:insert")
    GLib.timeout_add_seconds(10, lambda: pyatspi.Registry.stop() or False)
    pyatspi.Registry.start()
    if not announced:
        sys.exit("no new reading was announced within 10 s")
    print("announced: %s %s" % announced[0])
    status = 0
finally:
    panel.terminate()
    panel.wait(10)
sys.exit(status)
