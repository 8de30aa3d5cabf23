#!/usr/bin/env bash
# The headless intercom between two lab hosts on the audio lab's sound server:
# mouth-to-ear delay (click into "stim" -> h1's microphone -> network -> h2's
# jitter buffer -> "spk", median of 10 clicks; compressed and PCM), the same for the first spurt
# after the listener's playback stream closed, CPU and peak RSS of listen
# (idle, receiving one talker, two talkers, compressed) and of talk
# (transmitting compressed with noise suppression on and off, and PCM), both
# also on a private channel, the bytes on the wire per second of one talker in
# each encoding, and the
# time from the sound server's return (killed and started again) to audio heard,
# and the tray program's idle CPU and peak RSS under Xvfb. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../scripts/labkit.sh"
lab_begin hhib "$1"
work=$tmp
eval "$("$root/scripts/audiolab.sh" up)"
lab up 2

# The hollerhopper-cli process under PID (ip netns exec runs it as a child).
program_pid() {
    local pid=$1 i
    for i in $(seq 50); do
        local child
        child=$(pgrep -P "$pid" -f hollerhopper-cli | head -1 || true)
        [ -n "$child" ] && { echo "$child"; return; }
        [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = hollerhopper-cl ] && { echo "$pid"; return; }
        sleep 0.05
    done
    echo "$pid"
}
# CPU nanoseconds a process's threads have run so far.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {print s + 0}'; }
# measure PID SECONDS LABEL TARGET%: CPU share of one core over the window, and peak RSS.
measure() {
    local pid=$1 seconds=$2 label=$3 target=$4 before after
    before=$(cpu_ns "$pid")
    sleep "$seconds"
    after=$(cpu_ns "$pid")
    local hwm
    hwm=$(awk '/VmHWM/ {print $2}' /proc/"$pid"/status)
    awk -v b="$before" -v a="$after" -v s="$seconds" -v l="$label" -v t="$target" -v h="$hwm" \
        'BEGIN {printf "%s: %.2f %% of a core (target <= %s %%), peak RSS %.1f MB (target <= 20 MB)\n", l, (a - b) / (s * 1e7), t, h / 1024}'
}

echo "== mouth-to-ear delay"
sox -n -r 48000 -c 2 -b 16 "$work/click.wav" synth 0.005 sine 2000 vol 0.5 pad 0 0.995
sox "$work/click.wav" "$work/clicks.wav" repeat 9
lab_background lab exec h2 "$cli" listen --name ear --cues off >"$work/ear.log" 2>&1
listenPid=$!
sleep 1.5
# Uncompressed, then compressed (the default: h2 decodes it).
for codec in pcm opus; do
    # netlab.sh execs the program: its pid is the talker's.
    lab_background "$root/scripts/netlab.sh" exec h1 "$cli" talk --seconds 14 --codec $codec --name mouth >/dev/null 2>&1
    talkPid=$!
    sleep 1.5
    parecord --latency-msec=10 -d spk.monitor --file-format=wav "$work/rec.wav" &
    recPid=$!
    sleep 0.5
    paplay -d stim "$work/clicks.wav"
    sleep 0.8
    kill -TERM $recPid; wait $recPid 2>/dev/null || true
    python3 "$root/bench/click_delays.py" "$work/rec.wav" "mouth-to-ear, $codec" || true
    kill -TERM $talkPid 2>/dev/null || true
    wait $talkPid || true
done
# Where the milliseconds go: the fixed parts by construction, the cushion as
# playback reports it for this talker.
read -r target cushion < <(grep '"event":"spurt","name":"mouth"' "$work/ear.log" | tail -1 | python3 -c '
import json, sys
p = json.loads(sys.stdin.read() or "{}").get("playout", {})
print(p.get("targetMs", "?"), p.get("cushionMs", "?"))')
echo "where the milliseconds go ($("$root/scripts/audiolab.sh" kind)): frame 20 (10 on average before a click's frame is sent)," \
    "capture buffer up to 10, noise suppression 10, resampling about 3 each way, cushion aimed at $target" \
    "($cushion after the spurt's earliest arrival at its end), output buffer up to 30, the rest the sound server's"

echo "== CPU and memory"
# Idle means after the 3 s quiet period, once the playback stream has closed.
sleep 4
listenPid=$(program_pid "$listenPid")
measure "$listenPid" 10 "listen, idle" 0.2
sox -n -r 16000 -c 1 -b 16 "$work/long.wav" synth 14 sine 440 vol 0.3
lab exec h1 "$cli" say "$work/long.wav" --name long >/dev/null 2>&1 &
sayPid=$!
sleep 2
measure "$listenPid" 10 "listen, receiving one compressed talker" 1.5
wait $sayPid || true
lab exec h1 "$cli" say "$work/long.wav" --name long >/dev/null 2>&1 &
sayPid=$!
lab exec h1 "$cli" say "$work/long.wav" --name other >/dev/null 2>&1 &
otherPid=$!
sleep 2
measure "$listenPid" 10 "listen, receiving two compressed talkers" 3
wait $sayPid $otherPid || true
# With noise suppression on (the default) and off: what it adds to
# transmitting; compressed (the default, h2 decodes it) and uncompressed.
for run in "on opus" "off opus" "on pcm"; do
    read -r ns codec <<<"$run"
    lab_background lab exec h1 "$cli" talk --seconds 14 --noise-suppression $ns --codec $codec --name mouth >/dev/null 2>&1
    talkPid=$!
    sleep 2
    measure "$(program_pid "$talkPid")" 10 "talk, transmitting $codec, noise suppression $ns" 2
    wait $talkPid || true
done

echo "== bytes on the wire per second of one talker (IP and UDP headers included)"
sox -n -r 16000 -c 1 -b 16 "$work/two.wav" synth 2 sine 440 vol 0.3
for codec in pcm opus; do
    lab exec h2 "$cli" monitor --seconds 4 >"$work/mon-$codec.log" 2>/dev/null &
    monPid=$!
    sleep 0.5
    lab exec h1 "$cli" say "$work/two.wav" --codec $codec --name "bytes-$codec" >/dev/null 2>&1
    wait $monPid || true
    python3 - "$work/mon-$codec.log" "$codec" <<'PY'
import json, sys
frames = wire = 0
for line in open(sys.argv[1], errors="replace"):
    if line.startswith("{") and ('"type":"audio"' in line or '"type":"opus"' in line):
        e = json.loads(line); frames += 1; wire += e["payloadBytes"] + 26 + 28
print("%s: %d bytes per second on the wire (%d frames)" % (sys.argv[2], wire * 50 // max(frames, 1), frames))
PY
done

echo "== CPU on a private channel: every packet sealed and opened"
printf 'bench channel words\n' >"$work/pass"
private=(--channel Bench --passphrase-file "$work/pass")
lab_background lab exec h2 "$cli" listen --name privateEar --cues off "${private[@]}" >/dev/null 2>&1
privatePid=$!
sleep 1.5
lab exec h1 "$cli" say "$work/long.wav" --name long "${private[@]}" >/dev/null 2>&1 &
sayPid=$!
sleep 2
measure "$(program_pid "$privatePid")" 10 "listen, receiving one talker, private channel" 1.5
wait $sayPid || true
kill -TERM "$(program_pid "$privatePid")" 2>/dev/null || true
lab_background lab exec h1 "$cli" talk --seconds 14 --name mouth "${private[@]}" >/dev/null 2>&1
talkPid=$!
sleep 2
measure "$(program_pid "$talkPid")" 10 "talk, transmitting, noise suppression on, private channel" 2
wait $talkPid || true

echo "== first spurt after idle: mouth-to-ear delay"
# Each click is its own press, after the listener has had nothing to play for
# longer than its quiet period (its playback stream closed).
parecord --latency-msec=10 -d spk.monitor --file-format=wav "$work/idle.wav" &
recPid=$!
for i in $(seq 10); do
    sleep 4.5
    # The press comes 0.7 s after on air, once the peers have answered.
    lab exec h1 "$cli" talk --seconds 2.3 --name mouth >/dev/null 2>&1 &
    talkPid=$!
    sleep 1.9
    paplay -d stim "$work/click.wav"
    wait $talkPid || true
done
sleep 0.5
kill -TERM $recPid; wait $recPid 2>/dev/null || true
python3 "$root/bench/click_delays.py" "$work/idle.wav" first-spurt-after-idle || true

echo "== sound server killed and started again: time to audio heard"
sox -n -r 16000 -c 1 -b 16 "$work/steady.wav" synth 20 sine 440 vol 0.3
lab exec h1 "$cli" say "$work/steady.wav" --name steady >/dev/null 2>&1 &
sayPid=$!
sleep 2
"$root/scripts/audiolab.sh" stop --kill
sleep 2
"$root/scripts/audiolab.sh" start >/dev/null &
upPid=$!
# Back once its speaker exists (the lab makes the devices after the server answers).
for i in $(seq 400); do pactl list short sources 2>/dev/null | grep -q 'spk.monitor' && break; sleep 0.02; done
back=$(date +%s.%N)
parecord --latency-msec=10 -d spk.monitor --file-format=wav "$work/back.wav" &
recPid=$!
recStart=$(date +%s.%N)
sleep 6
kill -TERM $recPid; wait $recPid 2>/dev/null || true
wait $upPid || true
python3 - "$work/back.wav" "$back" "$recStart" <<'PY'
import struct, sys, wave
w = wave.open(sys.argv[1])
r, ch, n = w.getframerate(), w.getnchannels(), w.getnframes()
x = struct.unpack('<%dh' % (n * ch), w.readframes(n))[::ch]
step = r // 100
onset = next((i / r for i in range(0, len(x) - step, step)
              if (sum(v * v for v in x[i:i + step]) / step) ** 0.5 / 32768 > 0.02), None)
if onset is None:
    print("server return to audio heard: nothing heard within 6 s (target <= 3 s)")
else:
    print("server return to audio heard: %.2f s (target <= 3 s)" % (float(sys.argv[3]) - float(sys.argv[2]) + onset))
PY
wait $sayPid || true

echo "== tray program, idle (panel never opened)"
if [ -x "$build/app/hollerhopper" ]; then
    # With a stand-in tray, as on a desktop: without one the program would
    # show its panel as a window at once.
    lab_background lab exec h2 "$root/tests/app/ui/tray/with_display.sh" "$root/tests/app/ui/tray/with_tray.py" \
        "$build/app/hollerhopper" >/dev/null 2>&1
    trayPid=""
    for i in $(seq 100); do
        trayPid=$(pgrep -f -x "$build/app/hollerhopper" | head -1 || true)
        [ -n "$trayPid" ] && break
        sleep 0.1
    done
    if [ -n "$trayPid" ]; then
        sleep 8
        before=$(cpu_ns "$trayPid")
        sleep 10
        after=$(cpu_ns "$trayPid")
        awk -v b="$before" -v a="$after" -v h="$(awk '/VmHWM/ {print $2}' /proc/"$trayPid"/status)" \
            'BEGIN {printf "tray program, idle: %.2f %% of a core (target <= 0.2 %%), peak RSS %.1f MB (target <= 60 MB)\n", (a - b) / 1e8, h / 1024}'
    else
        echo "tray program: did not start"
    fi
else
    echo "tray program: not built (-DHH_BUILD_APP=ON)"
fi
