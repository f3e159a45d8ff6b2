#!/usr/bin/env bash
# Remakes docs/main-form.png, the README's picture of the main form: runs the program under Xvfb
# (no window manager, so the picture shows the window's client area with its menu bar), types a
# mail into it with xdotool, Chinese included, and saves the window.
# With a SCALE (such as 2) the program runs with QT_SCALE_FACTOR=SCALE, as on a high-density
# screen, and the picture is docs/main-form@<SCALE>x.png unless OUTPUT says otherwise.
# Usage: docs/screenshot.sh PATH-TO-VELLIPOST [OUTPUT.png] [SCALE]
# Needs xvfb, xdotool and imagemagick.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"

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
trap 'stop_processes "$program_pid" "$xvfb_pid"; rm -rf "$work"' EXIT

start_xvfb "$work" 2048x1536x24
export DISPLAY=$xvfb_display

QT_SCALE_FACTOR=$scale "$program" >"$work/program.log" 2>&1 &
program_pid=$!
window=$(wait_for_window '^Vellipost$')
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
