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
fi
# The window system's own options are left for it, not refused.
first=$1
env -i PATH=/usr/bin:/bin "$first" -platform offscreen -style=fusion --version >/dev/null
echo "all $# programs answer --help and --version"
