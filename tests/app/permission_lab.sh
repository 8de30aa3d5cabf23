#!/usr/bin/env bash
# The Linux permission checks against real platforms, inside a lab host:
# - the model's local-network answer as the controller gives it: "granted" by
#   a running avahi-daemon, and without one by the transport's group join;
#   "denied" when a seccomp filter refuses the join;
# - the microphone against the audio lab's private sound server (PulseAudio or
#   PipeWire, HH_SOUND_SERVER): "granted" with an input, "noDevice" with only
#   sinks (a monitor is no microphone), "denied" when the server refuses us,
#   "unavailable" with no server at all and once it is stopped.
# Usage: permission_lab.sh BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhenv "$1"
TOOL=$build/tests/app/permission_lab_tool
DIR=$tmp
chmod 755 "$DIR"
export HH_AUDIOLAB_DIR=$DIR/audio
h1() { lab exec h1 "$@"; }
audiolab() { "$root/scripts/audiolab.sh" "$@" >/dev/null; }

# The client sees only this directory: no other sound server, cookie or
# configuration of the machine's is used.
clientEnv=(env -i PATH="$PATH" HOME="$DIR/home" XDG_RUNTIME_DIR="$DIR/runtime"
           PULSE_SERVER="unix:$HH_AUDIOLAB_DIR/native" PULSE_COOKIE="$DIR/client-cookie")
refusedEnv=("${clientEnv[@]}" PULSE_SERVER="unix:$HH_AUDIOLAB_DIR/refusing")

# expect WANT WHAT CMD...: CMD prints WANT.
expect() { check "$2" "$1" "$("${@:3}" 2>&1 || true)"; }

lab up 1 --avahi

# With joins refused only the browse itself can grant: proof it was not the join.
expect granted "a running avahi-daemon grants without the join" h1 "$TOOL" local-network --refuse-joins
lab avahi down h1
expect granted "avahi-daemon stopped: the group join grants" h1 "$TOOL" local-network
expect denied "avahi-daemon stopped, join refused: denied" h1 "$TOOL" local-network --refuse-joins


mkdir -p "$DIR/home" "$DIR/runtime"
head -c 256 /dev/urandom > "$DIR/client-cookie"
chmod 644 "$DIR/client-cookie"

expect unavailable "microphone, no sound server" h1 "${clientEnv[@]}" "$TOOL" microphone

audiolab up
kind=$("$root/scripts/audiolab.sh" kind)
expect granted "microphone, $kind with an input" h1 "${clientEnv[@]}" "$TOOL" microphone
# PulseAudio admits its own user and holders of its cookie on the refusing
# socket, PipeWire shows no source there: another user with another cookie is
# refused either way, while the lab's own socket admits them.
nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
expect granted "microphone, $kind admitting another user" h1 "${nobody[@]}" "${clientEnv[@]}" "$TOOL" microphone
expect denied "microphone, $kind refusing us" h1 "${nobody[@]}" "${refusedEnv[@]}" "$TOOL" microphone
audiolab stop
expect unavailable "microphone, $kind stopped" h1 "${clientEnv[@]}" "$TOOL" microphone

audiolab start
remap=$(PULSE_SERVER="unix:$HH_AUDIOLAB_DIR/native" pactl list short modules | awk '$2 == "module-remap-source" {print $1}')
PULSE_SERVER="unix:$HH_AUDIOLAB_DIR/native" pactl unload-module "$remap"
expect noDevice "microphone, $kind without an input" h1 "${clientEnv[@]}" "$TOOL" microphone

lab_summary
