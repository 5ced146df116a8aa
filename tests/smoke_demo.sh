#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the demo against the simulated board until all four readings have arrived.
set -eu
demo=$1
shot=$(mktemp --suffix=.png)
trap 'rm -f "$shot"' EXIT
# The deadline only bounds a panel that never gets its readings.
QT_QPA_PLATFORM=offscreen timeout 90 "$demo" --screenshot "$shot"
test -s "$shot"
echo "readings arrived; window saved ($(stat -c %s "$shot") bytes)"
# A window that cannot be saved is a failure, not a quiet success.
if QT_QPA_PLATFORM=offscreen timeout 90 "$demo" --screenshot /nonexistent/dir/shot.png 2>/dev/null; then
  echo "an unwritable screenshot was reported as saved"
  exit 1
fi
