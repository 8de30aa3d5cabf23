#!/usr/bin/env bash
# The audio lab: a headless PulseAudio server for tests on a machine without a
# sound card, reachable only through a unix socket in a lab directory of its own
# (never a desktop's server; network namespaces reach it through the same path).
#
#   audiolab.sh up      start it; prints "export PULSE_SERVER=unix:..." for eval
#   audiolab.sh down    stop it and remove its directory
#   audiolab.sh env     print the export line
#
# Devices: sink "spk" (default sink: what we play; record "spk.monitor"),
# sink "micfeed" whose monitor is the source "mic" (default source: play into
# micfeed to speak into the microphone), and the combine sink "stim" feeding
# both (a click into stim reaches spk directly and through a loopback).
# Second devices for switching defaults: sink "spk2", and source "mic2" that
# hears what is played into "micfeed2".
#
# HH_AUDIOLAB_DIR   the lab directory (default /run/hollerhopper-audiolab/$HH_LAB,
#                   HH_LAB defaulting to "hhlab")
# HH_AUDIOLAB_SUSPEND=1  idle sinks suspend after 1 s (module-suspend-on-idle),
#                   and nothing keeps "spk" busy
set -euo pipefail

DIR=${HH_AUDIOLAB_DIR:-/run/hollerhopper-audiolab/${HH_LAB:-hhlab}}
SOCKET="$DIR/native"
SERVER="unix:$SOCKET"

die() { echo "audiolab: $*" >&2; exit 2; }

print_env() { echo "export PULSE_SERVER=$SERVER"; }

# Ends what this lab started, by the ids it recorded.
cmd_down() {
    local f pid
    for f in "$DIR"/readers.pid "$DIR"/pulseaudio.pid; do
        [ -f "$f" ] || continue
        for pid in $(cat "$f"); do kill -TERM "$pid" 2>/dev/null || true; done
    done
    for f in "$DIR"/readers.pid "$DIR"/pulseaudio.pid; do
        [ -f "$f" ] || continue
        for pid in $(cat "$f"); do
            local i
            for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
            kill -KILL "$pid" 2>/dev/null || true
        done
    done
    rm -rf "$DIR"
}

cmd_up() {
    command -v pulseaudio >/dev/null || die "pulseaudio is not installed (scripts/deps/test.txt)"
    cmd_down 2>/dev/null || true
    mkdir -p "$DIR/runtime" "$DIR/state" "$DIR/home"
    chmod 755 "$DIR"
    cat >"$DIR/lab.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$SOCKET
load-module module-null-sink sink_name=spk rate=48000 channels=2 sink_properties=device.description=spk
load-module module-null-sink sink_name=micfeed rate=48000 channels=2 sink_properties=device.description=micfeed
load-module module-remap-source source_name=mic master=micfeed.monitor source_properties=device.description=mic
load-module module-combine-sink sink_name=stim slaves=spk,micfeed
load-module module-null-sink sink_name=spk2 rate=48000 channels=2 sink_properties=device.description=spk2
load-module module-null-sink sink_name=micfeed2 rate=48000 channels=2 sink_properties=device.description=micfeed2
load-module module-remap-source source_name=mic2 master=micfeed2.monitor source_properties=device.description=mic2
set-default-sink spk
set-default-source mic
PA
    [ "${HH_AUDIOLAB_SUSPEND:-0}" = 1 ] && echo "load-module module-suspend-on-idle timeout=1" >>"$DIR/lab.pa"
    # A private instance (not --system): its runtime, state and home directories
    # are the lab's, so it cannot meet a desktop's or another lab's server.
    env -i PATH="$PATH" HOME="$DIR/home" XDG_RUNTIME_DIR="$DIR/runtime" \
        PULSE_RUNTIME_PATH="$DIR/runtime" PULSE_STATE_PATH="$DIR/state" \
        pulseaudio --daemonize=no --disallow-exit --exit-idle-time=-1 -n --file="$DIR/lab.pa" \
        --use-pid-file=no --log-target=file:"$DIR/pulseaudio.log" --realtime=no --high-priority=no \
        </dev/null >/dev/null 2>&1 &
    echo $! >"$DIR/pulseaudio.pid"
    local i
    for i in $(seq 100); do
        PULSE_SERVER=$SERVER pactl info >/dev/null 2>&1 && break
        kill -0 "$(cat "$DIR/pulseaudio.pid")" 2>/dev/null || { cat "$DIR/pulseaudio.log" >&2 || true; die "the server did not start"; }
        sleep 0.05
    done
    PULSE_SERVER=$SERVER pactl info >/dev/null 2>&1 || die "the server does not answer on $SOCKET"
    chmod 777 "$SOCKET" 2>/dev/null || true
    # An idle null sink renders in 2 s blocks and a new stream can stall that
    # long; steady low-latency readers keep both sinks ticking in small blocks.
    : >"$DIR/readers.pid"
    local src readers="spk.monitor micfeed.monitor micfeed2.monitor"
    [ "${HH_AUDIOLAB_SUSPEND:-0}" = 1 ] && readers="micfeed.monitor micfeed2.monitor"
    for src in $readers; do
        PULSE_SERVER=$SERVER parecord --latency-msec=10 -d "$src" --raw /dev/null </dev/null >/dev/null 2>&1 &
        echo $! >>"$DIR/readers.pid"
    done
    sleep 2.5
    print_env
}

case "${1:-}" in
up) cmd_up ;;
down) cmd_down ;;
env) print_env ;;
*) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
