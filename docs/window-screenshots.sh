#!/usr/bin/env bash
# Remakes docs/window-connecting.png, docs/window-uploading.png and docs/window-cancelled.png: the
# real form (the keyring test's driver, build/ci/tests/app/keyring_driver, which points it at a
# port) under Xvfb, against a loopback server that either never answers (a connect) or takes the
# conversation and then stops reading the data (an upload); the cancel button then stops it.
# Usage: docs/window-screenshots.sh PATH-TO-KEYRING-DRIVER
# Needs xvfb, xdotool, imagemagick and python3.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"

driver=${1:?usage: docs/window-screenshots.sh PATH-TO-KEYRING-DRIVER}
docs=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
xvfb_pid=
server_pid=
driver_pid=
trap 'stop_processes "$driver_pid" "$server_pid" "$xvfb_pid"; rm -rf "$work"' EXIT

start_xvfb "$work"
export DISPLAY=$xvfb_display XDG_STATE_HOME=$work/state XDG_CONFIG_HOME=$work/config
head -c 50000000 /dev/urandom >"$work/photos.zip"

# serve MODE: a loopback server on a port of its own, written to $work/port.
serve() {
    rm -f "$work/port"
    python3 - "$1" "$work/port" <<'PY' &
import socket, sys
mode, port_file = sys.argv[1], sys.argv[2]
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(1)
open(port_file, "w").write(str(s.getsockname()[1]))
c, _ = s.accept()
c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
if mode == "silent":
    c.recv(1)
    sys.exit(0)
f = c.makefile("rb")
c.sendall(b"220 ready\r\n")
for reply in [b"250-hi\r\n250 AUTH LOGIN\r\n", b"334 VXNlcm5hbWU6\r\n", b"334 UGFzc3dvcmQ6\r\n",
              b"235 ok\r\n", b"250 ok\r\n", b"250 ok\r\n", b"354 go\r\n"]:
    f.readline()
    c.sendall(reply)
f.read(1_000_000)  # a little of the data, then nothing more
c.recv(1) if False else __import__("time").sleep(3600)
PY
    server_pid=$!
    for _ in $(seq 100); do [[ -s $work/port ]] && break; sleep 0.05; done
}

# form: the driver against $work/port, with the mail typed in; sets window, cancel_x, cancel_y.
form() {
    "$driver" "$(cat "$work/port")" >"$work/driver.out" &
    driver_pid=$!
    for _ in $(seq 200); do grep -q '^form ' "$work/driver.out" && break; sleep 0.05; done
    read -r _ window cancel_x cancel_y < <(grep '^form ' "$work/driver.out")
    wait_for_window '^Vellipost$' >/dev/null
    xdotool windowfocus --sync "$window"
    xdotool key Tab Tab
    xdotool type --delay 30 "demo"
    xdotool key Tab
    xdotool type --delay 30 "demo"
    xdotool key Tab
    xdotool type --delay 30 "friend@example.com"
    xdotool key Tab
    xdotool type --delay 40 "周末聚会"
    xdotool key Tab
    xdotool type --delay 40 "照片在附件里。"
    xdotool key Tab
    xdotool type --delay 10 "$1"
}

shot() {
    sleep "$1"
    import -window "$window" "$docs/$2"
    echo "saved docs/$2"
}

serve stall
form "$work/photos.zip"
xdotool key Return
shot 3 window-uploading.png
xdotool mousemove --window "$window" "$cancel_x" "$cancel_y" click 1
shot 1 window-cancelled.png
stop_processes "$driver_pid" "$server_pid"
driver_pid= server_pid=

serve silent
form ""
xdotool key Return
shot 2 window-connecting.png
xdotool mousemove --window "$window" "$cancel_x" "$cancel_y" click 1
sleep 0.5
