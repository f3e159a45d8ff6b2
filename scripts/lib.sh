# Helpers shared by the shell scripts in scripts/, bench/, docs/ and tests/: installing Debian
# packages, and programs on a private X server. Sourced ("source scripts/lib.sh"); a caller that is
# no shell script (a CMake test) runs one of them as "bash scripts/lib.sh FUNCTION ARGUMENTS...".

# as_root COMMAND...: runs the command as root: directly when this is root, else through sudo.
as_root() {
    if ((EUID == 0)); then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "need root or sudo for: $*" >&2
        return 1
    fi
}

# missing_packages PACKAGE...: prints those of the Debian packages that are not installed, one a
# line.
missing_packages() {
    local package
    for package in "$@"; do
        if [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) != "install ok installed" ]]; then
            echo "$package"
        fi
    done
}

# install_packages PACKAGE...: installs the packages with apt-get, without recommends and without
# questions, waiting for a package manager that someone else runs.
install_packages() {
    echo "installing: $*"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "$@"
}

# install_missing PACKAGE...: installs those of the packages that are missing; when none is, does
# nothing and needs no root.
install_missing() {
    local missing
    mapfile -t missing < <(missing_packages "$@")
    ((${#missing[@]} == 0)) || install_packages "${missing[@]}"
}

# icon_sizes: prints the sizes in pixels the program icon is rendered at, one a line
# (res/icons/sizes.txt, the one list of them).
icon_sizes() {
    grep -v '^#' "$(dirname "${BASH_SOURCE[0]}")/../res/icons/sizes.txt" | tr -s ' ' '\n' | grep .
}

# start_xvfb WORK [SCREEN]: starts Xvfb in the background on a free display of its own, without
# TCP, with one screen of SCREEN (default 1024x768x24), and waits until it takes clients. Sets
# xvfb_pid and xvfb_display (":N"); the server's log is WORK/xvfb.log. Fails, with the log on
# stderr, if the server does not come up within 10 s. The server does not reset between clients,
# so that one client's end does not disturb the next.
start_xvfb() {
    local work=$1 screen=${2:-1024x768x24} _
    # Xvfb picks the display and writes its number to descriptor 3 once it accepts clients.
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset 3>"$work/display" \
        >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 200); do
        [[ -s $work/display ]] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [[ ! -s $work/display ]]; then
        echo "Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2
        return 1
    fi
    xvfb_display=:$(tr -d '[:space:]' <"$work/display")
}

# display_released DISPLAY: true when no X server holds DISPLAY (":N") any more, its lock file and
# socket gone.
display_released() {
    local number=${1#:}
    [[ ! -e /tmp/.X$number-lock && ! -e /tmp/.X11-unix/X$number ]]
}

# wait_for_window TITLE: prints the id of the first visible window on $DISPLAY whose title matches
# TITLE (xdotool's regular expression), waiting up to 30 s for it to show; fails if none does.
wait_for_window() {
    local windows
    windows=$(timeout 30 xdotool search --sync --onlyvisible --name "$1") || return 1
    head -n 1 <<<"$windows"
}

# stop_processes PID...: ends the processes, children of this shell, and waits for them; empty
# arguments are skipped.
stop_processes() {
    local pid
    for pid in "$@"; do
        [[ -n $pid ]] && kill "$pid" 2>/dev/null || true
    done
    for pid in "$@"; do
        [[ -n $pid ]] && wait "$pid" 2>/dev/null || true
    done
}

# with_xvfb COMMAND...: runs the command with DISPLAY on a private Xvfb (start_xvfb), then stops
# the command if it still runs, and the server. Returns the command's status; fails as well if the
# server does not release its display. Takes over the shell's EXIT, INT and TERM traps, so it is
# meant to be the whole of a shell: "bash scripts/lib.sh with_xvfb COMMAND...".
with_xvfb() {
    local status=0
    xvfb_work=$(mktemp -d)
    xvfb_pid=
    command_pid=
    trap 'stop_processes "$command_pid" "$xvfb_pid"; rm -rf "$xvfb_work"' EXIT
    trap 'exit 143' INT TERM
    start_xvfb "$xvfb_work" || exit 1
    # In the background, so that a TERM (a test's time limit) is acted on at once.
    DISPLAY=$xvfb_display "$@" &
    command_pid=$!
    wait "$command_pid" || status=$?
    command_pid=
    stop_processes "$xvfb_pid"
    rm -rf "$xvfb_work"
    trap - EXIT INT TERM
    if ! display_released "$xvfb_display"; then
        echo "with_xvfb: display $xvfb_display not released" >&2
        status=1
    fi
    return "$status"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -euo pipefail
    "$@"
fi
