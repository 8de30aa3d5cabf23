#!/usr/bin/env bash
# Sets up and runs Hollerhopper: installs what is missing (Debian packages),
# builds, and starts the tray program. Arguments go to the program.
#   HH_RUN_IN_LAB=1   run it in host h1 of a network lab (scripts/netlab.sh, lab
#                     name $HH_LAB, default "hhrun") instead of on this machine's
#                     own network; the lab is removed when the program ends.
#   HH_RUN_CLI=1      run hollerhopper-cli instead (default subcommand: monitor).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$HH_ROOT"

hh_ensure_packages $(hh_required_packages run)
hh_build build/run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DHH_BUILD_APP=AUTO

if [ "${HH_RUN_CLI:-0}" = 1 ] || [ ! -x build/run/app/hollerhopper ]; then
    program=(build/run/tools/hollerhopper-cli "${@:-monitor}")
    now="hollerhopper-cli prints what happens as JSON lines below; Ctrl+C stops it."
else
    program=(build/run/app/hollerhopper "$@")
    now="click the walkie-talkie icon in the system tray and hold the big button to talk; Quit is in the icon's menu."
fi

if [ "${HH_RUN_IN_LAB:-0}" = 1 ]; then
    export HH_LAB=${HH_LAB:-hhrun}
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # Each lab host has its own system bus and avahi-daemon for discovery.
    $sudo env HH_LAB="$HH_LAB" scripts/netlab.sh up 2 --avahi
    trap '$sudo env HH_LAB="$HH_LAB" scripts/netlab.sh down' EXIT
    # The last line before the program runs: what to do now.
    echo "Now: $now For a peer in h2, in another terminal: ${sudo:+sudo }env HH_LAB=$HH_LAB scripts/netlab.sh exec h2 build/run/tools/hollerhopper-cli listen --name 'Desk Two' --audio none" >&2
    # The lab host shares this machine's files, so the display and the session
    # bus (both reached through socket files) still work in there.
    $sudo env HH_LAB="$HH_LAB" scripts/netlab.sh exec h1 \
        env DISPLAY="${DISPLAY:-}" DBUS_SESSION_BUS_ADDRESS="${DBUS_SESSION_BUS_ADDRESS:-}" \
        XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-}" "${program[@]}"
else
    echo "Now: $now" >&2
    exec "${program[@]}"
fi
