# Shared by the scripts: where things are, and installing missing Debian packages.
# shellcheck shell=bash

HH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

hh_log() { printf '== %s\n' "$*" >&2; }

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

hh_missing_packages() {
    local p status
    for p in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
        [ "$status" = "install ok installed" ] || printf '%s\n' "$p"
    done
}

# Installs what is missing. Does nothing (and needs no network) when all is there,
# so the scripts also run inside a lab host, which has no route to the mirrors.
hh_ensure_packages() {
    local missing
    missing=$(hh_missing_packages "$@")
    [ -z "$missing" ] && return 0
    hh_log "installing: $(echo $missing)"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # Packaged daemons (avahi-daemon, pulseaudio) must not start on the machine's
    # own network: only the labs run them. policy-rc.d stops postinst from starting them.
    local guard=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
        $sudo chmod +x /usr/sbin/policy-rc.d
        guard=1
    fi
    local rc=0
    { $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing; } >&2 || rc=$?
    [ -n "$guard" ] && $sudo rm -f /usr/sbin/policy-rc.d
    return $rc
}

# Configures and builds one tree: hh_build DIR [cmake -D options...]
hh_build() {
    local dir=$1
    shift
    cmake -S "$HH_ROOT" -B "$dir" -G Ninja "$@" >&2
    cmake --build "$dir" >&2
}

# Installs a local .deb with apt-get, its dependencies from the archive, as a
# user would: hh_apt_install_local ./hollerhopper_*.deb. Never removes a package
# (--no-remove aborts instead) and, like hh_ensure_packages, starts no daemon.
hh_apt_install_local() {
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    local guard=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
        $sudo chmod +x /usr/sbin/policy-rc.d
        guard=1
    fi
    local rc=0
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-remove "$@" >&2 || rc=$?
    [ -n "$guard" ] && $sudo rm -f /usr/sbin/policy-rc.d
    return $rc
}
