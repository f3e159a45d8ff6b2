#!/usr/bin/env bash
# Remakes docs/main-form.png, the README's picture of the main form: runs the program under Xvfb
# (no window manager, so the picture shows the window's client area with its menu bar), types a
# mail into it with xdotool, Chinese included, and saves the window.
# With a SCALE (such as 2) the program runs with QT_SCALE_FACTOR=SCALE, as on a high-density
# screen, and the picture is docs/main-form@<SCALE>x.png unless OUTPUT says otherwise.
# Usage: docs/screenshot.sh PATH-TO-VELLIPOST [OUTPUT.png] [SCALE]
# Needs xvfb, xdotool and imagemagick.
set -euo pipefail

program=${1:?usage: docs/screenshot.sh PATH-TO-VELLIPOST [OUTPUT.png] [SCALE]}
scale=${3:-1}
docs=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [[ $scale == 1 ]]; then
    out=${2:-$docs/main-form.png}
else
    out=${2:-$docs/main-form@${scale}x.png}
fi

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

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 2048x1536x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
    [[ -s $work/display ]] && break
    sleep 0.05
done
[[ -s $work/display ]] || {
    echo "screenshot: Xvfb did not start" >&2
    exit 1
}
export DISPLAY=:$(tr -d '[:space:]' <"$work/display")

QT_SCALE_FACTOR=$scale "$program" >"$work/program.log" 2>&1 &
program_pid=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Vellipost$' | head -n 1)
xdotool windowfocus --sync "$window"
xdotool mousemove --window "$window" 5 300

# The focus starts on "发信"; two tabs reach the user name, then the template's tab order.
xdotool key Tab Tab
xdotool type --delay 40 "demo"
xdotool key Tab
xdotool type --delay 40 "demo"
xdotool key Tab
xdotool type --delay 40 "friend@example.com"
xdotool key Tab
xdotool type --delay 60 "周末聚会"
xdotool key Tab
# Enter in the body would press "发信"; Ctrl+Enter breaks the line.
xdotool type --delay 60 "大家好："
xdotool key ctrl+Return
xdotool type --delay 60 "周六下午三点在老地方见，照片在附件里。"
xdotool key ctrl+Return
xdotool type --delay 60 "小王"
xdotool key Tab
xdotool type --delay 40 "/home/demo/photos.zip"
sleep 0.5 # the last key's repaint
import -window "$window" "$out"
echo "screenshot: saved $out"
