#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the demo panel on a virtual display with its own session and accessibility buses, as
# a screen reader would find it. Exit code 77 skips the test where the tools are missing.
set -u
demo=$1
script=$(dirname "$0")/smoke_atspi.py
command -v xvfb-run >/dev/null && command -v dbus-run-session >/dev/null || exit 77
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || exit 77
unset QT_QPA_PLATFORM
# Qt talks to the bus only when told a screen reader may listen.
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
# -noreset: the accessibility bus launcher is a display client that comes and goes; when the
# last client leaves, Xvfb resets, and a panel connecting then cannot open the display.
exec xvfb-run -a -s "-screen 0 800x600x24 -noreset" dbus-run-session -- /usr/bin/python3 "$script" "$demo"
