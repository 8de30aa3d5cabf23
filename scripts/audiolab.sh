#!/usr/bin/env bash
# The audio lab: a private headless sound server for tests on a machine without
# a sound card, reachable only through a unix socket in a lab directory of its
# own (never a desktop's server; network namespaces reach it through the same
# path). Either kind: a PulseAudio daemon, or PipeWire with WirePlumber and
# pipewire-pulse on a session bus of their own. Clients see the same devices on
# the same socket either way.
#
#   audiolab.sh up              start it; prints "export PULSE_SERVER=unix:..." for eval
#   audiolab.sh down            stop it and remove its directory
#   audiolab.sh env             print the export line
#   audiolab.sh kind            print the kind of server the lab runs
#   audiolab.sh stop [--kill]   stop the sound server only (SIGTERM, or SIGKILL
#                               with --kill); the lab directory stays
#   audiolab.sh start           start it again on the same socket, same devices
#   audiolab.sh restart [--kill]  stop, then start
# PipeWire's server is three processes (pipewire, wireplumber, pipewire-pulse):
# stop ends all three, as `systemctl --user restart pipewire` does, and start
# makes the devices again; its session bus lives until down.
#
# Devices: sink "spk" (default sink: what we play; record "spk.monitor"),
# sink "micfeed" whose monitor is the source "mic" (default source: play into
# micfeed to speak into the microphone), and the combine sink "stim" feeding
# both (a click into stim reaches spk directly and through the microphone).
# A second socket, "refusing", refuses what a denied client is refused: on
# PulseAudio a user other than the server's without its cookie, on PipeWire
# everyone sees no source (as a sandboxed program denied the microphone).
#
# HH_SOUND_SERVER          pulseaudio | pipewire (default: the kind the user's
#                          session runs, else PulseAudio if installed, else PipeWire)
# HH_AUDIOLAB_SINKS        extra null sinks by name, e.g. "spk2"
# HH_AUDIOLAB_SUSPEND_IDLE suspend devices idle this many seconds (default: never;
#                          "spk" is then left without a steady reader, and
#                          there is no "stim")
# HH_AUDIOLAB_DIR          the lab directory (default /run/hollerhopper-audiolab/$HH_LAB,
#                          HH_LAB defaulting to "hhlab")
set -euo pipefail

DIR=${HH_AUDIOLAB_DIR:-/run/hollerhopper-audiolab/${HH_LAB:-hhlab}}
SOCKET="$DIR/native"
SERVER="unix:$SOCKET"

die() { echo "audiolab: $*" >&2; exit 2; }

print_env() { echo "export PULSE_SERVER=$SERVER"; }

has_pulseaudio() { command -v pulseaudio >/dev/null; }
has_pipewire() {
    command -v pipewire >/dev/null && command -v pipewire-pulse >/dev/null &&
        command -v wireplumber >/dev/null && command -v dbus-daemon >/dev/null
}

choose_kind() {
    case "${HH_SOUND_SERVER:-}" in
    pulseaudio) has_pulseaudio || die "pulseaudio is not installed"; echo pulseaudio ;;
    pipewire) has_pipewire || die "pipewire, pipewire-pulse, wireplumber and dbus-daemon are needed"; echo pipewire ;;
    "")
        # A desktop's own PipeWire (its socket in a user's runtime directory) wins.
        if has_pipewire && compgen -G '/run/user/*/pipewire-0' >/dev/null; then echo pipewire
        elif has_pulseaudio; then echo pulseaudio
        elif has_pipewire; then echo pipewire
        else die "no sound server is installed (pulseaudio, or pipewire with pipewire-pulse and wireplumber)"
        fi ;;
    *) die "HH_SOUND_SERVER must be pulseaudio or pipewire, not '$HH_SOUND_SERVER'" ;;
    esac
}

# The lab's processes see only its directories: no configuration, state,
# runtime directory or session bus of the machine's or of a user's.
lab_env=(env -i PATH="$PATH" HOME="$DIR/home" XDG_RUNTIME_DIR="$DIR/runtime"
         XDG_CONFIG_HOME="$DIR/config" XDG_STATE_HOME="$DIR/state" XDG_DATA_HOME="$DIR/data"
         PULSE_RUNTIME_PATH="$DIR/runtime" PULSE_STATE_PATH="$DIR/state"
         DBUS_SESSION_BUS_ADDRESS="unix:path=$DIR/bus")

# Whether process PID is one of this lab's: its environment names the lab. A
# recorded id may belong to another process by now (ids wrap around quickly).
is_ours() {
    tr '\0' '\n' 2>/dev/null <"/proc/$1/environ" |
        grep -qxF -e "XDG_RUNTIME_DIR=$DIR/runtime" -e "PULSE_SERVER=$SERVER"
}

# stop_pids FILE SIGNAL: ends the lab's processes recorded in FILE, forcibly after 2.5 s.
stop_pids() {
    local f=$1 signal=$2 pid _ pids=()
    [ -f "$f" ] || return 0
    for pid in $(cat "$f"); do is_ours "$pid" && pids+=("$pid"); done
    rm -f "$f"
    for pid in "${pids[@]}"; do kill -"$signal" "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do is_ours "$pid" || break; sleep 0.05; done
        kill -KILL "$pid" 2>/dev/null || true
    done
}

# background NAME CMD...: starts CMD in the lab's environment, logging to
# NAME.log, and records its id in server.pid.
background() {
    local name=$1
    shift
    # A simple command in the background: $! is the process itself (env execs it).
    "${lab_env[@]}" "$@" </dev/null >>"$DIR/$name.log" 2>&1 &
    echo $! >>"$DIR/server.pid"
}

# wait_for DESCRIPTION CMD...: waits up to 20 s for CMD to succeed while the
# lab's processes live.
wait_for() {
    local what=$1 _ pid
    shift
    for _ in $(seq 400); do
        "$@" >/dev/null 2>&1 && return 0
        for pid in $(cat "$DIR/server.pid"); do
            kill -0 "$pid" 2>/dev/null || { show_logs; die "$what: a server process ended"; }
        done
        sleep 0.05
    done
    show_logs
    die "$what: no answer after 20 s"
}

show_logs() { tail -n 20 "$DIR"/*.log >&2 2>/dev/null || true; }

answers() { PULSE_SERVER=$SERVER pactl info; }

write_pulseaudio_config() {
    {
        echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$SOCKET"
        echo "load-module module-native-protocol-unix auth-anonymous=0 auth-group-enable=0 socket=$DIR/refusing"
        [ -z "$SUSPEND_IDLE" ] || echo "load-module module-suspend-on-idle timeout=$SUSPEND_IDLE"
    } >"$DIR/lab.pa"
}

# PipeWire's own configuration, complete: no real devices (no ALSA, Bluetooth or
# camera monitors), no realtime module, the same clock everywhere (no virtual
# machine overrides), and the PulseAudio server on the lab's socket.
write_pipewire_config() {
    local libs='context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}'
    # Realtime data threads where allowed (directly, as root; never through a
    # desktop's RTKit): a loaded machine would otherwise starve the graph.
    local rt='{ name = libpipewire-module-rt
        args = { nice.level = -11 rt.prio = 88 rtportal.enabled = false rtkit.enabled = false }
        flags = [ ifexists nofail ] }'
    cat >"$DIR/pipewire.conf" <<CONF
context.properties = {
    core.daemon = true
    core.name = pipewire-0
    default.clock.rate = 48000
    default.clock.min-quantum = 16
}
$libs
context.modules = [
    $rt
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-device-factory }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
context.objects = [
    { factory = spa-node-factory
        args = { factory.name = support.node.driver node.name = Dummy-Driver
                 node.group = pipewire.dummy priority.driver = 20000 } }
    { factory = spa-node-factory
        args = { factory.name = support.node.driver node.name = Freewheel-Driver
                 priority.driver = 19000 node.group = pipewire.freewheel node.freewheel = true } }
]
CONF
    cat >"$DIR/pipewire-pulse.conf" <<CONF
context.properties = { }
$libs
context.modules = [
    $rt
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse }
]
pulse.properties = {
    server.address = [ "unix:$SOCKET" { address = "unix:$DIR/refusing" client.access = "restricted" } ]
}
CONF
    # WirePlumber reads the lab's XDG_CONFIG_HOME first: a main component
    # without device monitors, no Bluetooth component.
    local wp="$DIR/config/wireplumber"
    mkdir -p "$wp/main.lua.d" "$wp/scripts"
    cat >"$wp/wireplumber.conf" <<'CONF'
context.properties = { log.level = 2 wireplumber.script-engine = lua-scripting }
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-session-manager }
]
wireplumber.components = [
    { name = libwireplumber-module-lua-scripting, type = module }
    { name = main.lua, type = config/lua }
    { name = policy.lua, type = config/lua }
]
CONF
    # Clients of the refusing socket may use the server but see no source, as a
    # sandboxed program that was denied the microphone.
    cat >"$wp/main.lua.d/51-lab-access.lua" <<'CONF'
default_access.rules = {}
CONF
    cat >"$wp/scripts/lab-refuse-sources.lua" <<'CONF'
sources = ObjectManager { Interest { type = "node", Constraint { "media.class", "matches", "Audio/Source*" } } }
refused = ObjectManager { Interest { type = "client", Constraint { "pipewire.access", "=", "restricted", type = "pw" } } }
refused:connect("object-added", function (_, client)
  local permissions = { ["any"] = "rx" }
  for node in sources:iterate() do permissions[node["bound-id"]] = "-" end
  client:update_permissions(permissions)
end)
sources:connect("object-added", function (_, node)
  for client in refused:iterate() do client:update_permissions { [node["bound-id"]] = "-" } end
end)
sources:activate()
refused:activate()
CONF
    {
        echo 'load_module("metadata")'
        echo 'default_access.enable()'
        echo 'device_defaults.enable()'
        echo 'stream_defaults.enable()'
        echo 'load_script("intended-roles.lua")'
        echo 'load_script("lab-refuse-sources.lua")'
        [ -z "$SUSPEND_IDLE" ] || echo 'load_script("lab-suspend-node.lua")'
    } >"$wp/main.lua.d/90-enable-all.lua"
    # WirePlumber suspends nodes idle for 5 s unless told otherwise; the lab's
    # copy of that script takes the lab's timeout.
    if [ -n "$SUSPEND_IDLE" ]; then
        local script="" d
        for d in /etc /usr/share; do
            [ -f "$d/wireplumber/scripts/suspend-node.lua" ] && script=$d/wireplumber/scripts/suspend-node.lua && break
        done
        [ -n "$script" ] || die "WirePlumber's suspend-node.lua was not found"
        sed 's/or 5$/or '"$SUSPEND_IDLE"'/' "$script" >"$wp/scripts/lab-suspend-node.lua"
    fi
}

start_server() {
    local pid
    for pid in $(cat "$DIR/server.pid" 2>/dev/null); do
        is_ours "$pid" && die "the server is running (stop it first)"
    done
    rm -f "$SOCKET" "$SOCKET.lock" "$DIR/refusing" "$DIR/refusing.lock"
    : >"$DIR/server.pid"
    case "$KIND" in
    pulseaudio)
        # A private instance (not --system): its runtime, state and home
        # directories are the lab's, so it cannot meet another server.
        background pulseaudio pulseaudio --daemonize=no --disallow-exit --exit-idle-time=-1 -n \
            --file="$DIR/lab.pa" --use-pid-file=no --realtime=no --high-priority=no
        ;;
    pipewire)
        # The bus outlives a restart of the server, as a desktop session's does.
        if ! { [ -f "$DIR/bus.pid" ] && is_ours "$(cat "$DIR/bus.pid")"; }; then
            "${lab_env[@]}" dbus-daemon --session --nofork --nopidfile --address="unix:path=$DIR/bus" \
                </dev/null >>"$DIR/dbus.log" 2>&1 &
            echo $! >"$DIR/bus.pid"
        fi
        background pipewire pipewire -c "$DIR/pipewire.conf"
        wait_for "pipewire" test -S "$DIR/runtime/pipewire-0"
        background wireplumber wireplumber
        background pipewire-pulse pipewire -c "$DIR/pipewire-pulse.conf"
        ;;
    esac
    wait_for "the $KIND server" answers
    chmod 777 "$SOCKET" "$DIR/refusing" 2>/dev/null || true
    make_devices
    start_readers
}

pa() { PULSE_SERVER=$SERVER pactl "$@" >/dev/null; }

# The same pactl commands make the devices on either kind of server.
make_devices() {
    local rate="rate=48000 channels=2"
    pa load-module module-null-sink sink_name=spk $rate sink_properties=device.description=spk
    pa load-module module-null-sink sink_name=micfeed $rate sink_properties=device.description=micfeed
    pa load-module module-remap-source source_name=mic master=micfeed.monitor source_properties=device.description=mic
    # On PipeWire the combine sink's streams keep spk running for good, so a lab
    # that watches idle suspension goes without it.
    [ -n "$SUSPEND_IDLE" ] || pa load-module module-combine-sink sink_name=stim slaves=spk,micfeed
    local sink
    for sink in $EXTRA_SINKS; do
        pa load-module module-null-sink sink_name="$sink" $rate sink_properties=device.description="$sink"
    done
    # PipeWire's defaults live in WirePlumber's metadata, which may not be there yet.
    local _
    for _ in $(seq 100); do
        pa set-default-sink spk || true
        pa set-default-source mic || true
        is_default "Default Sink" spk && is_default "Default Source" mic && return 0
        sleep 0.1
    done
    die "the default devices could not be set"
}

is_default() { PULSE_SERVER=$SERVER pactl info 2>/dev/null | grep -qx "$1: $2"; }

# An idle null sink renders in large blocks and a new stream can stall that
# long; steady low-latency readers keep both sinks ticking in small blocks.
# With idle suspension "spk" gets none: a reader would keep it from suspending.
start_readers() {
    : >"$DIR/readers.pid"
    local src sources="spk.monitor micfeed.monitor"
    [ -z "$SUSPEND_IDLE" ] || sources="micfeed.monitor"
    for src in $sources; do
        PULSE_SERVER=$SERVER parecord --latency-msec=10 -d "$src" --raw /dev/null </dev/null >/dev/null 2>&1 &
        echo $! >>"$DIR/readers.pid"
    done
    sleep 2.5
}

stop_server() {
    local signal=TERM
    [ "${1:-}" = --kill ] && signal=KILL
    stop_pids "$DIR/readers.pid" TERM
    stop_pids "$DIR/server.pid" "$signal"
}

load_settings() {
    [ -f "$DIR/settings" ] || die "no audio lab in $DIR"
    # shellcheck disable=SC1091
    source "$DIR/settings"
}

cmd_down() {
    stop_pids "$DIR/readers.pid" TERM
    stop_pids "$DIR/server.pid" TERM
    stop_pids "$DIR/bus.pid" TERM
    rm -rf "$DIR"
}

cmd_up() {
    KIND=$(choose_kind)
    EXTRA_SINKS=${HH_AUDIOLAB_SINKS:-}
    SUSPEND_IDLE=${HH_AUDIOLAB_SUSPEND_IDLE:-}
    cmd_down 2>/dev/null || true
    mkdir -p "$DIR/runtime" "$DIR/state" "$DIR/home" "$DIR/config" "$DIR/data"
    chmod 755 "$DIR"
    chmod 700 "$DIR/runtime"
    printf 'KIND=%q\nEXTRA_SINKS=%q\nSUSPEND_IDLE=%q\n' "$KIND" "$EXTRA_SINKS" "$SUSPEND_IDLE" >"$DIR/settings"
    "write_${KIND}_config"
    start_server
    print_env
}

case "${1:-}" in
up) cmd_up ;;
down) cmd_down ;;
env) print_env ;;
kind) load_settings; echo "$KIND" ;;
stop) load_settings; stop_server "${2:-}" ;;
start) load_settings; start_server ;;
restart) load_settings; stop_server "${2:-}"; start_server ;;
*) sed -n '2,35p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
