#!/usr/bin/env bash
# The Linux permission checks against real platforms, inside a lab host:
# - the model's local-network answer: "granted" by a running avahi-daemon, and
#   without one by the multicast group check (the fallback), also on a host
#   with only loopback; "denied" when a seccomp filter refuses the join;
# - the microphone against the audio lab's private sound server (PulseAudio or
#   PipeWire, HH_SOUND_SERVER): "granted" with an input, "denied" with only
#   sinks (a monitor is no microphone) and when the server refuses us,
#   "unknown" with no server at all and once it is stopped.
# Usage: permission_lab.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
TOOL=$BUILD/tests/app/permission_lab_tool
export HH_LAB=hhenv$$
DIR=$(mktemp -d /tmp/hh-envlab.XXXXXX)
chmod 755 "$DIR"
export HH_AUDIOLAB_DIR=$DIR/audio
failures=0

lab() { "$ROOT/scripts/netlab.sh" exec h1 "$@"; }
audiolab() { "$ROOT/scripts/audiolab.sh" "$@" >/dev/null; }

cleanup() {
    "$ROOT/scripts/audiolab.sh" down || true
    "$ROOT/scripts/netlab.sh" down || true
    rm -rf "$DIR"
}
trap cleanup EXIT

# The client sees only this directory: no other sound server, cookie or
# configuration of the machine's is used.
clientEnv=(env -i PATH="$PATH" HOME="$DIR/home" XDG_RUNTIME_DIR="$DIR/runtime"
           PULSE_SERVER="unix:$HH_AUDIOLAB_DIR/native" PULSE_COOKIE="$DIR/client-cookie")
refusedEnv=("${clientEnv[@]}" PULSE_SERVER="unix:$HH_AUDIOLAB_DIR/refusing")

expect() {
    local want=$1 what=$2 got
    shift 2
    got=$("$@" 2>&1) || true
    [ "$got" = "$want" ] && echo "ok: $what: $got" && return
    echo "FAIL: $what: got '$got', expected '$want'"
    failures=$((failures + 1))
}

"$ROOT/scripts/netlab.sh" up 1 --avahi

expect granted "a running avahi-daemon: the DNS-SD probe grants" lab "$TOOL" dnssd-probe
# With joins refused only the browse itself can grant: proof it was not the fallback.
expect granted "a running avahi-daemon grants without the fallback" lab "$TOOL" dnssd-probe --refuse-joins
"$ROOT/scripts/netlab.sh" avahi down h1
expect granted "avahi-daemon stopped: the fallback check grants" lab "$TOOL" dnssd-probe
expect denied "avahi-daemon stopped, join refused: denied" lab "$TOOL" dnssd-probe --refuse-joins

expect granted "avahi-daemon stopped, a host with only loopback" lab unshare -n "$TOOL" dnssd-probe

mkdir -p "$DIR/home" "$DIR/runtime"
head -c 256 /dev/urandom > "$DIR/client-cookie"
chmod 644 "$DIR/client-cookie"

expect unknown "microphone, no sound server" lab "${clientEnv[@]}" "$TOOL" microphone

audiolab up
kind=$("$ROOT/scripts/audiolab.sh" kind)
expect granted "microphone, $kind with an input" lab "${clientEnv[@]}" "$TOOL" microphone
# PulseAudio admits its own user and holders of its cookie on the refusing
# socket, PipeWire shows no source there: another user with another cookie is
# refused either way, while the lab's own socket admits them.
nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
expect granted "microphone, $kind admitting another user" lab "${nobody[@]}" "${clientEnv[@]}" "$TOOL" microphone
expect denied "microphone, $kind refusing us" lab "${nobody[@]}" "${refusedEnv[@]}" "$TOOL" microphone
audiolab stop
expect unknown "microphone, $kind stopped" lab "${clientEnv[@]}" "$TOOL" microphone

audiolab start
remap=$(PULSE_SERVER="unix:$HH_AUDIOLAB_DIR/native" pactl list short modules | awk '$2 == "module-remap-source" {print $1}')
PULSE_SERVER="unix:$HH_AUDIOLAB_DIR/native" pactl unload-module "$remap"
expect denied "microphone, $kind without an input" lab "${clientEnv[@]}" "$TOOL" microphone

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all permission lab checks passed"
