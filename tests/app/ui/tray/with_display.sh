#!/usr/bin/env bash
# Runs a command under a private Xvfb display and a private D-Bus session:
#   with_display.sh COMMAND ARGS...
# Xvfb picks a free display itself (-displayfd) and is not reset when its last
# client goes (-noreset), so no probing client can pull it away from the test.
set -euo pipefail
fifo_dir=$(mktemp -d)
xvfb_pid=""
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$fifo_dir"
}
trap cleanup EXIT
mkfifo "$fifo_dir/display"
Xvfb -noreset -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fifo_dir/display" >/dev/null 2>&1 &
xvfb_pid=$!
export HH_XVFB_PID=$xvfb_pid # for a test of the display going away
read -r -t 20 display <"$fifo_dir/display"
export DISPLAY=":$display"
export XDG_RUNTIME_DIR="$fifo_dir/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The program's settings: never the user's own (HH_TEST_CONFIG_HOME: a test's choice).
export XDG_CONFIG_HOME="${HH_TEST_CONFIG_HOME:-$fifo_dir/config}"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
dbus-run-session -- "$@"
