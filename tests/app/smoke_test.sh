#!/usr/bin/env bash
# Smoke test: the real program starts on a real X server (Xvfb, on a display of its own, no TCP)
# and shows a window titled exactly "Vellipost". Stops both afterwards and checks that neither is
# left running and that the display is released.
# Usage: smoke_test.sh PATH-TO-VELLIPOST
set -euo pipefail

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
    local pid
    for pid in "$program_pid" "$xvfb_pid"; do
        [[ -n $pid ]] && kill "$pid" 2>/dev/null || true
    done
    for pid in "$program_pid" "$xvfb_pid"; do
        [[ -n $pid ]] && wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap stop EXIT

# Xvfb picks a free display and writes its number once it accepts clients.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 200); do
    [[ -s $work/display ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.05
done
if [[ ! -s $work/display ]]; then
    echo "smoke: Xvfb did not start" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi
number=$(tr -d '[:space:]' <"$work/display")
display=:$number
echo "smoke: Xvfb on $display"

# The program must not fall back to another platform: this is the X11 road users take.
env -u WAYLAND_DISPLAY DISPLAY="$display" QT_QPA_PLATFORM=xcb "$program" >"$work/program.log" 2>&1 &
program_pid=$!

status=0
if window=$(DISPLAY=$display timeout 30 xdotool search --sync --onlyvisible --name '^Vellipost$'); then
    echo "smoke: window $window titled \"$(DISPLAY=$display xdotool getwindowname "$window")\""
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
if [[ -e /tmp/.X$number-lock || -e /tmp/.X11-unix/X$number ]]; then
    echo "smoke: display $display not released" >&2
    status=1
fi
exit "$status"
