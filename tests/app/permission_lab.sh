#!/usr/bin/env bash
# The Linux permission checks against real platforms, inside a lab host:
# - the model's local-network answer: "granted" by a running avahi-daemon, and
#   without one by the multicast group check (the fallback), also on a host
#   with only loopback; "denied" when a seccomp filter refuses the join;
# - the microphone against a private PulseAudio server: "granted" with an
#   input, "denied" with only a sink (its monitor is no microphone) and when the
#   server refuses us, "unavailable" with no server at all.
# Usage: permission_lab.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
TOOL=$BUILD/tests/app/permission_lab_tool
export HH_LAB=hhenv$$
DIR=$(mktemp -d /tmp/hh-envlab.XXXXXX)
chmod 755 "$DIR"
SERVER_PID=""
failures=0

lab() { "$ROOT/scripts/netlab.sh" exec h1 "$@"; }

stop_server() {
    [ -z "$SERVER_PID" ] || { kill "$SERVER_PID"; wait "$SERVER_PID"; } 2>/dev/null || true
    SERVER_PID=""
}

cleanup() {
    stop_server
    "$ROOT/scripts/netlab.sh" down || true
    rm -rf "$DIR"
}
trap cleanup EXIT

# The server and its clients see only this directory: no other sound server,
# cookie or configuration of the machine's is used.
serverEnv=(env -i PATH="$PATH" HOME="$DIR/home" XDG_RUNTIME_DIR="$DIR/runtime"
           PULSE_RUNTIME_PATH="$DIR/runtime" PULSE_STATE_PATH="$DIR/state")
clientEnv=("${serverEnv[@]}" PULSE_SERVER="unix:$DIR/native" PULSE_COOKIE="$DIR/client-cookie")

# start_server AUTH MODULES...: AUTH is the native protocol's auth option.
start_server() {
    local auth=$1
    shift
    mkdir -p "$DIR/home" "$DIR/runtime" "$DIR/state"
    chmod 700 "$DIR/runtime"
    {
        echo "load-module module-native-protocol-unix $auth socket=$DIR/native"
        printf '%s\n' "$@"
    } > "$DIR/lab.pa"
    rm -f "$DIR/native"
    # Started directly (not through a function's subshell) so that $! is the
    # server itself once netlab's exec chain has run.
    "$ROOT/scripts/netlab.sh" exec h1 "${serverEnv[@]}" pulseaudio --daemonize=no --disallow-exit --exit-idle-time=-1 -n \
        --file="$DIR/lab.pa" --use-pid-file=no --log-target=file:"$DIR/pulseaudio.log" \
        --realtime=no --high-priority=no &
    SERVER_PID=$!
    local i
    for i in $(seq 100); do
        [ -S "$DIR/native" ] && return 0
        sleep 0.1
    done
    echo "the sound server did not start:" >&2
    cat "$DIR/pulseaudio.log" >&2 || true
    exit 1
}

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

head -c 256 /dev/urandom > "$DIR/client-cookie"

expect unavailable "microphone, no sound server" lab "${clientEnv[@]}" "$TOOL" microphone

microphone=("load-module module-null-sink sink_name=micfeed"
            "load-module module-remap-source source_name=mic master=micfeed.monitor" "set-default-source mic")
start_server auth-anonymous=1 "${microphone[@]}"
expect granted "microphone, server with an input" lab "${clientEnv[@]}" "$TOOL" microphone
stop_server
expect unavailable "microphone, server stopped" lab "${clientEnv[@]}" "$TOOL" microphone

start_server auth-anonymous=1 "load-module module-null-sink sink_name=spk"
expect denied "microphone, server without an input" lab "${clientEnv[@]}" "$TOOL" microphone
stop_server

# Without anonymous access the server admits its own user and holders of its
# cookie; another user with another cookie is refused.
chmod 644 "$DIR/client-cookie"
start_server "auth-anonymous=0 auth-group-enable=0" "${microphone[@]}"
expect denied "microphone, server refusing us" lab setpriv --reuid=nobody --regid=nogroup --clear-groups \
    "${clientEnv[@]}" "$TOOL" microphone
stop_server

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all permission lab checks passed"
