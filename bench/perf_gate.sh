#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The performance gate: the panel's and the bridge's short benches; any breach fails.
set -u
panel=$1
bridge=$2
status=0
echo "== the panel (board on a pseudo-terminal)"
"$panel" --gate 2>/dev/null || status=1
echo "== quorvane-bridge (a broker of our own on loopback)"
"$bridge" --gate 2>/dev/null || status=1
exit $status
