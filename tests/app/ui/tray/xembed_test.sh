#!/usr/bin/env bash
# XEmbed smoke test: a real tray (trayer) at the top of the screen, real
# clicks (xdotool) on the icon. A left click opens the panel under the icon,
# a second closes it, a right click opens the menu. Run under with_display.sh:
#   xembed_test.sh HARNESS
set -uo pipefail
harness=$1
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
failures=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi; }

trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel --height 28 \
    --SetDockType true --transparent false >/dev/null 2>&1 &
pids+=($!)
# The tray owns its selection once it is up.
for _ in $(seq 50); do xdotool search --class trayer >/dev/null 2>&1 && break; sleep 0.1; done
sleep 0.5

mkfifo "$work/in"
"$harness" <"$work/in" >"$work/out" 2>"$work/err" &
pids+=($!)
exec 7>"$work/in"
wait_line() { # wait_line PATTERN [seconds]
    for _ in $(seq $(( ${2:-10} * 10 ))); do grep -q -- "$1" "$work/out" && return 0; sleep 0.1; done
    return 1
}
check "the program docks in the XEmbed tray" 'wait_line "ready tray=1"'
sleep 1
echo geometry >&7
wait_line "^tray " 5
read -r _ tx ty tw th < <(grep "^tray " "$work/out" | tail -1)
check "the tray reports the icon's place ($tx,$ty ${tw}x$th)" '[ "${tw:-0}" -gt 0 ] && [ "${th:-0}" -gt 0 ]'
cx=$((tx + tw / 2)); cy=$((ty + th / 2))

xdotool mousemove "$cx" "$cy" click 1
check "a left click opens the panel" 'wait_line "panel shown" 5'
read -r _ _ px py pw ph < <(grep "panel shown" "$work/out" | tail -1)
check "the panel opens just under the icon (at $px,$py, icon bottom $((ty + th)))" \
    '[ $((py - (ty + th))) -ge 0 ] && [ $((py - (ty + th))) -le 8 ]'
check "centred on the icon, or pushed inside the screen" \
    '[ $((px + pw)) -le 1280 ] && { [ $(( (px + pw / 2) - cx )) -ge -2 -a $(( (px + pw / 2) - cx )) -le 2 ] || [ $((px + pw)) -eq 1280 ]; }'
sleep 0.5
xdotool mousemove "$cx" "$cy" click 1
check "a second left click closes it" 'wait_line "panel hidden" 5'
sleep 0.5
xdotool mousemove "$cx" "$cy" click 3
check "a right click opens the menu" 'wait_line "menu shown" 5'
if [ -n "${HH_SCREENSHOT_DIR:-}" ] && command -v import >/dev/null; then
    import -window root "$HH_SCREENSHOT_DIR/tray-menu.png"
fi
xdotool key Escape
echo quit >&7
[ $failures -eq 0 ] || { echo "--- program output"; cat "$work/out" "$work/err"; }
echo "$failures failure(s)"
exit $((failures > 0))
