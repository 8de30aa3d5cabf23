#!/usr/bin/env bash
# The install step's choices (scripts/lib.sh) on faked machines: which sound
# servers the audio tests use and install, and that apt is never let remove a
# package.
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
# scripts/test.sh exports its own choice; the faked machines below must decide afresh.
unset HH_SOUND_SERVERS
failures=0
check() {
    if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1 (expected '$2', got '$3')"; failures=$((failures + 1)); fi
}

# The faked machine: its installed packages, whether its own sound server is
# in use (a desktop), whether a user's PipeWire runs, whether it is CI or a container.
installed="" inUse=0 pipewireRunning=0 disposable=0
hh_is_installed() { [[ " $installed " == *" $1 "* ]]; }
hh_disposable_machine() { [ "$disposable" = 1 ]; }
hh_sound_server_in_use() { [ "$inUse" = 1 ]; }
hh_user_pipewire_running() { [ "$pipewireRunning" = 1 ]; }

full="pipewire pipewire-pulse wireplumber pipewire-audio pipewire-alsa"
# what | installed | in use | user PipeWire running | CI or container | servers
while IFS='|' read -r what installed inUse pipewireRunning disposable want; do
    got=$(hh_sound_servers)
    check "$what: servers" "$want" "$got"
    packages=" $(hh_sound_server_packages $got | tr '\n' ' ') "
    [[ "$packages" == *" pipewire-audio "* || "$packages" == *" pipewire-alsa "* ]] &&
        check "$what: never pipewire-audio or pipewire-alsa" "" "$packages"
    if [[ " $installed " == *" pipewire-alsa "* ]]; then
        check "$what: no pulseaudio over PipeWire's full set-up" 0 "$([[ "$packages" == *" pulseaudio "* ]] && echo 1 || echo 0)"
    fi
done <<CASES
GNOME desktop on PipeWire|$full|1|1|0|pipewire
desktop on PulseAudio|pulseaudio|1|0|0|pulseaudio
desktop running PipeWire, pulseaudio also installed|pulseaudio pipewire pipewire-pulse wireplumber|1|1|0|pipewire
desktop running PulseAudio, pipewire-pulse also installed|pulseaudio pipewire pipewire-pulse wireplumber|1|0|0|pulseaudio
desktop without a sound server|pipewire|1|0|0|pipewire
PipeWire desktop reached over ssh|pipewire pipewire-pulse wireplumber|0|0|0|pipewire
machine without a sound server|dbus-daemon|0|0|0|pulseaudio pipewire
CI machine with pulseaudio already|pulseaudio|0|0|1|pulseaudio pipewire
container with PipeWire's full set-up|$full|0|0|1|pipewire
CASES
HH_SOUND_SERVERS=pipewire check "HH_SOUND_SERVERS wins" pipewire "$(HH_SOUND_SERVERS=pipewire hh_sound_servers)"

# apt-get, faked: a simulation plans to remove $remove; every call is logged.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin"
cat >"$tmp/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "$*" >>"$APT_LOG"
case " $* " in *" -s "*) for p in $REMOVE; do echo "Remv $p [1.0]"; done; echo "Inst x (1.0)" ;; esac
FAKE
printf '#!/bin/sh\nexec "$@"\n' >"$tmp/bin/sudo"
chmod +x "$tmp/bin/apt-get" "$tmp/bin/sudo"
export PATH="$tmp/bin:$PATH" APT_LOG="$tmp/apt.log" HH_POLICY_RC="$tmp/policy-rc.d"

installed="pipewire-audio pipewire-alsa"
: >"$APT_LOG"
status=0
message=$(REMOVE="pipewire-audio pipewire-alsa" hh_ensure_packages pulseaudio sox 2>&1) || status=$?
check "a planned removal: refused" 1 "$status"
check "a planned removal: nothing installed" 0 "$(grep -c ' install -y' "$APT_LOG" || true)"
check "a planned removal: the message names it" 1 "$(grep -c 'would remove pipewire-audio pipewire-alsa' <<<"$message" || true)"

: >"$APT_LOG"
status=0
REMOVE="" hh_ensure_packages sox 2>/dev/null || status=$?
check "nothing to remove: installed" 0 "$status"
check "nothing to remove: installed with --no-remove" 1 "$(grep -c 'install -y --no-remove sox' "$APT_LOG" || true)"
check "nothing to remove: the daemon guard is gone again" no "$([ -e "$HH_POLICY_RC" ] && echo yes || echo no)"

[ "$failures" -eq 0 ] && echo "all passed" || { echo "$failures failed"; exit 1; }
