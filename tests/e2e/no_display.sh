#!/usr/bin/env bash
# The real program where no display answers (DISPLAY unset, or naming a server that is not there):
# one clear line on stderr and status 1, not a toolkit abort or a core dump.
# Usage: no_display.sh VIEWER
set -u
viewer=$1
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"
e2e_init
said='edge-viewer: failed to open a window: no display could be reached (DISPLAY*'

e2e_case="DISPLAY unset"
e2e_run --headless 1
e2e_expect_lines "$said"
echo "$e2e_case: exit 1: $(cat "$work/stderr")"
# A display number no server listens on: nothing is under /tmp/.X11-unix for it.
e2e_case="dead display"
e2e_run --display=:4093 1
e2e_expect_lines "$said"
echo "$e2e_case: exit 1: $(cat "$work/stderr")"
