#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the .deb from a configured, built tree and runs lintian on it: no error, no warning.
# Exit code 77 tells CTest the test was skipped (no lintian or dpkg here).
set -eu
build=$1
command -v lintian >/dev/null && command -v dpkg-deb >/dev/null || exit 77
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/quorvane_*.deb)
ddeb=$(ls "$out"/quorvane-dbgsym_*.ddeb 2>/dev/null) || { echo "no -dbgsym package"; exit 1; }
echo "packages: $(basename "$deb") $(basename "$ddeb")"
lintian --info --display-info --fail-on error,warning "$deb"
