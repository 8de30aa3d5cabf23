#!/usr/bin/env bash
# The network lab: hosts h1..hN in network namespaces, each with a veth into a
# bridge in a namespace of its own, addresses 10.77.0.1K/24. Nothing here touches
# the machine's own network namespace, so lab traffic never leaves the machine.
#
#   netlab.sh up N [--snooping]   create the lab (snooping: the bridge delivers
#                                 multicast only to hosts that joined, with a querier)
#   netlab.sh down                remove it, ending everything running inside
#   netlab.sh exec hK CMD...      run CMD in host hK
#   netlab.sh link hK down|up     take hK's link down or up (up restores its routes)
#   netlab.sh loss hK PCT         drop PCT % of the frames the bridge sends to hK (0 clears)
#   netlab.sh addr hK             print hK's address
#   netlab.sh up N --avahi        also start a D-Bus system bus and an avahi-daemon in every host
#   netlab.sh avahi up|down|restart hK   start, stop or restart hK's avahi-daemon (its bus stays)
#                                 (exec sets DBUS_SYSTEM_BUS_ADDRESS to hK's bus when it has one)
#
# HH_LAB names the lab (default "hhlab"), so independent labs can coexist.
set -euo pipefail

LAB=${HH_LAB:-hhlab}
BR="$LAB-br"
RUN="/run/hollerhopper-lab/$LAB"

die() { echo "netlab: $*" >&2; exit 2; }
host_ns() { [[ $1 =~ ^h[1-9]$ ]] || die "no such host: $1 (h1..h9)"; echo "$LAB-$1"; }
host_addr() { echo "10.77.0.1${1#h}"; }

host_routes() {
    local ns=$1
    # Multicast needs a route; taking the link down deletes it.
    ip -n "$ns" route replace 224.0.0.0/4 dev veth0
}

cmd_up() {
    local n=${1:-}
    [[ $n =~ ^[1-9]$ ]] || die "usage: up N (1..9) [--snooping]"
    local snooping=0 avahi=0 opt
    for opt in "${@:2}"; do
        case "$opt" in
        --snooping) snooping=1 ;;
        --avahi) avahi=1 ;;
        *) die "usage: up N (1..9) [--snooping] [--avahi]" ;;
        esac
    done
    cmd_down 2>/dev/null || true
    mkdir -p "$RUN"
    ip netns add "$BR"
    ip -n "$BR" link set lo up
    ip -n "$BR" link add br0 type bridge
    if [ $snooping = 1 ]; then
        # Until its querier is in place (one query-response interval after it is
        # switched on, 10 s by default) the bridge floods all multicast: keep it short.
        ip -n "$BR" link set br0 type bridge mcast_query_response_interval 50
        ip -n "$BR" link set br0 type bridge mcast_snooping 1 mcast_querier 1
    else
        ip -n "$BR" link set br0 type bridge mcast_snooping 0
    fi
    ip -n "$BR" link set br0 up
    local k ns
    for k in $(seq 1 "$n"); do
        ns="$LAB-h$k"
        ip netns add "$ns"
        ip -n "$ns" link set lo up
        ip -n "$ns" link add veth0 type veth peer name "h$k" netns "$BR"
        ip -n "$ns" addr add "$(host_addr "h$k")/24" dev veth0
        ip -n "$ns" link set veth0 up
        ip -n "$BR" link set "h$k" master br0
        ip -n "$BR" link set "h$k" up
        host_routes "$ns"
    done
    echo "$n" > "$RUN/hosts"
    if [ $avahi = 1 ]; then
        for k in $(seq 1 "$n"); do avahi_start "h$k"; done
        for k in $(seq 1 "$n"); do avahi_wait "h$k"; done
    fi
}

# DNS-SD: one system bus and one avahi-daemon per host, never outside the lab.
# `ip netns exec` gives each command a private mount namespace, so the daemon gets
# a /run/avahi-daemon of its own (tmpfs) for its pid file and socket; the rest of
# /run stays visible, since the lab's own files live there.
avahi_start() {
    local host=$1 ns
    ns=$(host_ns "$host")
    [ -d "$RUN" ] || die "no lab $LAB"
    if [ ! -S "$RUN/$host.bus" ]; then
        ip netns exec "$ns" dbus-daemon --system --fork --nopidfile \
            --address="unix:path=$RUN/$host.bus" --print-pid > "$RUN/$host.bus.pid"
    fi
    cat > "$RUN/$host.conf" <<CONF
[server]
host-name=$host
use-ipv4=yes
use-ipv6=no
allow-interfaces=veth0
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-workstation=no
publish-hinfo=no
# Without this, hosts also answer with their IPv6 link-local address over IPv4
# and a resolve returns either family, whichever answer comes first.
publish-aaaa-on-ipv4=no
CONF
    : > "$RUN/$host.avahi.log"
    mkdir -p /run/avahi-daemon
    setsid ip netns exec "$ns" sh -c "mount -n -t tmpfs tmpfs /run/avahi-daemon && \
        DBUS_SYSTEM_BUS_ADDRESS=unix:path=$RUN/$host.bus exec avahi-daemon --no-chroot \
        --no-drop-root --no-rlimits -f $RUN/$host.conf" \
        < /dev/null >> "$RUN/$host.avahi.log" 2>&1 &
    echo $! > "$RUN/$host.avahi.pid"
}

# Waits until hK's daemon has announced its host name (about a second).
avahi_wait() {
    local host=$1 i
    for i in $(seq 1 100); do
        grep -q "Server startup complete" "$RUN/$host.avahi.log" 2>/dev/null && return 0
        kill -0 "$(cat "$RUN/$host.avahi.pid")" 2>/dev/null || break
        sleep 0.05
    done
    cat "$RUN/$host.avahi.log" >&2
    die "avahi-daemon in $host did not start"
}

avahi_stop() {
    local host=$1 pid i
    host_ns "$host" >/dev/null
    [ -f "$RUN/$host.avahi.pid" ] || return 0
    pid=$(cat "$RUN/$host.avahi.pid")
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.02
    done
    kill -KILL "$pid" 2>/dev/null || true
    rm -f "$RUN/$host.avahi.pid"
}

cmd_avahi() {
    local action=${1:-} host=${2:-}
    host_ns "$host" >/dev/null
    case "$action" in
    up) avahi_stop "$host"; avahi_start "$host"; avahi_wait "$host" ;;
    down) avahi_stop "$host" ;;
    restart) avahi_stop "$host"; avahi_start "$host"; avahi_wait "$host" ;;
    *) die "usage: avahi up|down|restart hK" ;;
    esac
}

cmd_down() {
    local ns pid
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^$LAB-(br|h[1-9])$" || true); do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -TERM "$pid" 2>/dev/null || true; done
    done
    sleep 0.2
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^$LAB-(br|h[1-9])$" || true); do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
        ip netns delete "$ns"
    done
    rm -rf "$RUN"
}

cmd_exec() {
    local ns
    ns=$(host_ns "${1:-}")
    [ -S "$RUN/$1.bus" ] && export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$RUN/$1.bus"
    shift
    exec ip netns exec "$ns" "$@"
}

cmd_link() {
    local ns
    ns=$(host_ns "${1:-}")
    case "${2:-}" in
    down) ip -n "$ns" link set veth0 down ;;
    up) ip -n "$ns" link set veth0 up; host_routes "$ns" ;;
    *) die "usage: link hK down|up" ;;
    esac
}

cmd_loss() {
    local host=${1:-} pct=${2:-}
    host_ns "$host" >/dev/null
    [[ $pct =~ ^[0-9]+$ ]] || die "usage: loss hK PCT"
    ip netns exec "$BR" nft delete table bridge "loss_$host" 2>/dev/null || true
    [ "$pct" -eq 0 ] && return 0
    ip netns exec "$BR" nft -f - <<NFT
table bridge loss_$host {
    chain forward {
        type filter hook forward priority 0; policy accept;
        oifname "$host" numgen random mod 100 < $pct drop
    }
}
NFT
}

case "${1:-}" in
up) shift; cmd_up "$@" ;;
down) cmd_down ;;
exec) shift; cmd_exec "$@" ;;
link) shift; cmd_link "$@" ;;
loss) shift; cmd_loss "$@" ;;
addr) host_ns "${2:-}" >/dev/null; host_addr "$2" ;;
avahi) shift; cmd_avahi "$@" ;;
*) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
