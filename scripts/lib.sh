# Shared by the scripts: where things are, and installing missing Debian packages.
# shellcheck shell=bash

HH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

hh_log() { printf '== [%dm%02ds] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*" >&2; }

# The Debian packages the project needs, from scripts/deps/*.txt (one name a
# line, # comments): `hh_required_packages` for everything, `hh_required_packages
# run` for building and running the program without the tests (no test.txt).
hh_required_packages() {
    local f
    for f in "$HH_ROOT"/scripts/deps/*.txt; do
        [ "${1:-}" = run ] && [ "$(basename "$f")" = test.txt ] && continue
        sed -e 's/#.*//' "$f"
    done | tr -s ' \t' '\n' | sed '/^$/d' | sort -u
}

hh_is_installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" = "install ok installed" ]
}

hh_missing_packages() {
    local p
    for p in "$@"; do hh_is_installed "$p" || printf '%s\n' "$p"; done
}

hh_user_pipewire_running() { compgen -G '/run/user/*/pipewire-0' >/dev/null; }

# Whether this machine's own sound server is in use: a user's or the system's
# server socket, or a graphical session (whose server may start on demand).
# Labs never count: their sockets are in their own directories.
hh_sound_server_in_use() {
    compgen -G '/run/user/*/pulse/native' >/dev/null && return 0
    hh_user_pipewire_running && return 0
    [ -S /run/pulse/native ] && return 0
    [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && return 0
    local s
    if command -v loginctl >/dev/null; then
        for s in $(loginctl list-sessions --no-legend 2>/dev/null | awk '{print $1}'); do
            case "$(loginctl show-session "$s" -p Type --value 2>/dev/null)" in x11 | wayland | mir) return 0 ;; esac
        done
    fi
    return 1
}

# A machine made for the run (CI, a container): nobody's desktop.
hh_disposable_machine() {
    [ -n "${CI:-}" ] || [ -e /.dockerenv ] || [ -e /run/.containerenv ] ||
        systemd-detect-virt --container --quiet 2>/dev/null
}

# The sound servers the audio tests run on (pulseaudio, pipewire, or both).
# A machine whose own server is in use keeps its kind: PipeWire where it has
# PipeWire's PulseAudio server, else PulseAudio. One with no server in use gets
# both side by side where that harms nobody: where it is a CI machine or a
# container, or has both or neither already. Never PulseAudio where the full
# PipeWire set-up (pipewire-audio, pipewire-alsa) is installed, which conflicts
# with it; never a second server on a machine that may be someone's desktop
# (its user service would compete with the first at the next login).
# HH_SOUND_SERVERS overrides the choice.
hh_sound_servers() {
    if [ -n "${HH_SOUND_SERVERS:-}" ]; then echo "$HH_SOUND_SERVERS"; return; fi
    local pipewireOnly="" pulse=0 pipewirePulse=0
    { hh_is_installed pipewire-audio || hh_is_installed pipewire-alsa; } && pipewireOnly=1
    hh_is_installed pulseaudio && pulse=1
    hh_is_installed pipewire-pulse && pipewirePulse=1
    if hh_sound_server_in_use; then
        if [ $pipewirePulse = 1 ] && { [ -n "$pipewireOnly" ] || [ $pulse = 0 ] || hh_user_pipewire_running; }; then
            echo pipewire
        elif [ $pulse = 1 ]; then
            echo pulseaudio
        else
            echo pipewire  # no server installed: Debian's desktop default
        fi
    elif [ -n "$pipewireOnly" ]; then
        echo pipewire
    elif hh_disposable_machine || [ $pulse = $pipewirePulse ]; then
        echo pulseaudio pipewire
    elif [ $pulse = 1 ]; then
        echo pulseaudio
    else
        echo pipewire
    fi
}

# The Debian packages of those servers. Never pipewire-audio or pipewire-alsa:
# they conflict with pulseaudio, and the labs need no ALSA device.
hh_sound_server_packages() {
    local s
    for s in "$@"; do
        case "$s" in
        pulseaudio) echo pulseaudio ;;
        pipewire) echo pipewire pipewire-pulse wireplumber dbus-daemon ;;
        *) hh_log "unknown sound server '$s' (pulseaudio or pipewire)"; return 1 ;;
        esac
    done
}

# Installs what is missing. Does nothing (and needs no network) when all is there,
# so the scripts also run inside a lab host, which has no route to the mirrors.
# Never removes a package: when apt would remove one to install these (a
# conflict, e.g. pulseaudio against pipewire-audio) it installs nothing, names
# what it would have removed and stops.
hh_ensure_packages() {
    local missing
    missing=$(hh_missing_packages "$@" | tr '\n' ' ')
    [ -z "${missing// /}" ] && return 0
    hh_log "installing: $missing"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -qq --no-install-recommends)
    [ -z "$sudo" ] || apt=(sudo "${apt[@]}")
    "${apt[@]}" update >&2 || return
    local removals
    removals=$(LC_ALL=C "${apt[@]}" install -s $missing 2>&1 | awk '/^Remv / {print $2}' | tr '\n' ' ')
    if [ -n "$removals" ]; then
        hh_log "NOT installing ${missing}: apt-get would remove ${removals% }."
        hh_log "These scripts never remove packages. To go ahead, install them yourself and accept that:"
        hh_log "    sudo apt-get install --no-install-recommends ${missing% }"
        hh_log "For a sound server, rather keep the one you have: the labs use whichever of PulseAudio"
        hh_log "and PipeWire is installed (HH_SOUND_SERVERS=pulseaudio or =pipewire picks the tests' one)."
        return 1
    fi
    # Packaged daemons (avahi-daemon, pulseaudio) must not start on the machine's
    # own network: only the labs run them. policy-rc.d stops postinst from starting them.
    local guard="" policy=${HH_POLICY_RC:-/usr/sbin/policy-rc.d}
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
        $sudo chmod +x "$policy"
        guard=1
    fi
    local rc=0
    # --no-remove as well: apt stops rather than remove anything it did not plan to.
    "${apt[@]}" install -y --no-remove $missing >&2 || rc=$?
    [ -n "$guard" ] && $sudo rm -f "$policy"
    return $rc
}

# Configures and builds one tree: hh_build DIR [cmake -D options...]
hh_build() {
    local dir=$1
    shift
    cmake -S "$HH_ROOT" -B "$dir" -G Ninja "$@" >&2
    cmake --build "$dir" >&2
}
