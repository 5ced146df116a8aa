#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the .deb files from a configured, built tree and runs lintian on them: no error, no
# warning; and the bridge's package must install on a machine without a display.
#   lint.sh BUILD [OUT]   the packages are kept in OUT when it is given
# Exit code 77 tells CTest the test was skipped (no lintian or dpkg here).
set -eu
build=$1
command -v lintian >/dev/null && command -v dpkg-deb >/dev/null || exit 77
if [ $# -ge 2 ]; then
  out=$(realpath -m "$2")
  mkdir -p "$out"
else
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
fi
log=$(mktemp)
(cd "$build" && cpack -G DEB -B "$out" >"$log") || { cat "$log"; rm -f "$log"; exit 1; }
rm -f "$log"
# cpack's own workspace is not a package.
rm -rf "$out/_CPack_Packages"
for name in quorvane quorvane-bridge; do
  deb=$(ls "$out"/${name}_*.deb) || { echo "no $name package"; exit 1; }
  ddeb=$(ls "$out"/${name}-dbgsym_*.ddeb 2>/dev/null) || { echo "no $name-dbgsym package"; exit 1; }
  echo "packages: $(basename "$deb") $(basename "$ddeb")"
  lintian --info --display-info --fail-on error,warning "$deb"
done
# Up to 1.0.0 the bridge's files were in "quorvane": without both fields apt refuses the
# upgrade with a file conflict.
for field in Breaks Replaces; do
  value=$(dpkg-deb -f "$out"/quorvane-bridge_*.deb "$field")
  [ "$value" = "quorvane (<< 1.1.0)" ] || { echo "quorvane-bridge: $field is '$value'"; exit 1; }
done
# Nothing of a window system: no Qt GUI or Widgets, no OpenGL, X11, Wayland or fonts.
depends=$(dpkg-deb -f "$out"/quorvane-bridge_*.deb Depends)
echo "quorvane-bridge depends on: $depends"
if grep -Eio 'libqt6(gui|widgets|opengl|xcb|wayland)[^ ,]*|libgl[^ ,]*|libegl[^ ,]*|libx11[^ ,]*|libxcb[^ ,]*|libwayland[^ ,]*|libfontconfig[^ ,]*|libfreetype[^ ,]*' \
  <<<"$depends"; then
  echo "quorvane-bridge depends on a GUI library"
  exit 1
fi
