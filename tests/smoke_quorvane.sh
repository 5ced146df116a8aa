#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Starts the real panel on a virtual X display, finds its window and clicks Exit.
# Exit code 77 tells CTest the test was skipped (no Xvfb or xdotool here).
set -u
bin=$1
command -v xvfb-run >/dev/null && command -v xdotool >/dev/null || exit 77
# -noreset: a display client coming and going before the panel connects must not reset it.
exec xvfb-run -a -s "-screen 0 800x600x24 -noreset" bash -c '
  bin=$1
  unset QT_QPA_PLATFORM
  "$bin" & pid=$!
  win=$(timeout 60 xdotool search --sync --onlyvisible --name "^Quorvane$" | head -n 1)
  if [ -z "$win" ]; then echo "no window titled Quorvane"; kill $pid; exit 1; fi
  # Exit sits at 232,368 (89 x 33) in the window.
  xdotool mousemove --window "$win" 270 384 click 1
  for _ in $(seq 300); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
  if kill -0 $pid 2>/dev/null; then echo "Exit did not end the program"; kill $pid; exit 1; fi
  wait $pid
' smoke "$bin"
