#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every program explains itself with no display, no session and nothing else set.
set -eu
version=$1
shift
for program in "$@"; do
  name=$(basename "$program")
  help=$(env -i PATH=/usr/bin:/bin "$program" --help)
  case $help in *--version*) ;; *) echo "$name --help does not list --version"; exit 1 ;; esac
  # Where --help lists --help-all, that too ends here, without a display.
  case $help in
    *--help-all*)
      all=$(env -i PATH=/usr/bin:/bin timeout 10 "$program" --help-all) ||
        { echo "$name --help-all did not answer"; exit 1; }
      case $all in *--version*) ;; *) echo "$name --help-all does not list --version"; exit 1 ;; esac
      ;;
  esac
  got=$(env -i PATH=/usr/bin:/bin "$program" --version)
  [ "$got" = "$name $version" ] || { echo "$name --version said '$got'"; exit 1; }
done
# The simulated board's bounds: each just past its edge refused (status 2), at it taken.
board=$(printf '%s\n' "$@" | grep '/quorvane-board$' || true)
if [ -n "$board" ]; then
  for args in "--count -1" "--interval 0" "--interval 3600001" "--interval 5x" "--interval=" \
    "--seed -1" "--seed 4294967296" "--speed 0" "--nonsense" "stray"; do
    status=0
    timeout 5 "$board" $args >/dev/null 2>&1 || status=$?
    [ "$status" = 2 ] || { echo "quorvane-board $args: status $status, not 2"; exit 1; }
  done
  for args in "" "--interval 1" "--interval 3600000" "--seed 0" "--seed 4294967295"; do
    timeout 5 "$board" --count 0 $args >/dev/null 2>&1 ||
      { echo "quorvane-board --count 0 $args was refused"; exit 1; }
  done
  # Stopped by SIGTERM or SIGINT, it ends cleanly and takes its link with it.
  dir=$(mktemp -d)
  for sig in TERM INT; do
    "$board" --link "$dir/board" --interval 10 >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 100); do [ -L "$dir/board" ] && break; sleep 0.1; done
    [ -L "$dir/board" ] || { echo "quorvane-board made no link"; exit 1; }
    kill -"$sig" "$pid"
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
      kill -9 "$pid"
      echo "quorvane-board did not end on SIG$sig"
      exit 1
    fi
    status=0
    wait "$pid" || status=$?
    [ "$status" = 0 ] || { echo "quorvane-board ended with status $status on SIG$sig"; exit 1; }
    [ ! -L "$dir/board" ] || { echo "quorvane-board left its link on SIG$sig"; exit 1; }
  done
  rm -rf "$dir"
fi
# The window system's own options are left for it, not refused.
first=$1
env -i PATH=/usr/bin:/bin "$first" -platform offscreen -style=fusion --version >/dev/null
echo "all $# programs answer --help and --version"
