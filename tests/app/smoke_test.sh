#!/usr/bin/env bash
# Smoke test: the real program starts on a real X server (Xvfb, on a display of its own, no TCP)
# and shows a window titled exactly "Vellipost". Stops both afterwards and checks that neither is
# left running and that the display is released.
# Usage: smoke_test.sh PATH-TO-VELLIPOST
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"

program=${1:?usage: smoke_test.sh PATH-TO-VELLIPOST}
[[ -x $program ]] || {
    echo "smoke: no program at $program" >&2
    exit 1
}
for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || {
        echo "smoke: '$tool' not found (install xvfb and xdotool)" >&2
        exit 1
    }
done

work=$(mktemp -d)
xvfb_pid=
program_pid=
stop() {
    stop_processes "$program_pid" "$xvfb_pid"
    rm -rf "$work"
}
trap stop EXIT

start_xvfb "$work" || exit 1
echo "smoke: Xvfb on $xvfb_display"
export DISPLAY=$xvfb_display

# The program must not fall back to another platform: this is the X11 road users take.
# Its draft and settings go to the test's own folder.
env -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb XDG_STATE_HOME="$work/state" XDG_CONFIG_HOME="$work/config" \
    "$program" >"$work/program.log" 2>&1 &
program_pid=$!

status=0
if window=$(wait_for_window '^Vellipost$'); then
    echo "smoke: window $window titled \"$(xdotool getwindowname "$window")\""
else
    echo "smoke: no visible window titled \"Vellipost\" within 30 s" >&2
    cat "$work/program.log" >&2
    status=1
fi
if ! kill -0 "$program_pid" 2>/dev/null; then
    echo "smoke: the program is not running" >&2
    cat "$work/program.log" >&2
    status=1
fi

stop
trap - EXIT
for pid in "$program_pid" "$xvfb_pid"; do
    if kill -0 "$pid" 2>/dev/null; then
        echo "smoke: process $pid still running" >&2
        status=1
    fi
done
if ! display_released "$xvfb_display"; then
    echo "smoke: display $xvfb_display not released" >&2
    status=1
fi
exit "$status"
