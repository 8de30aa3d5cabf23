#!/usr/bin/env bash
# The sink a spurt plays on removed while it plays (a USB headset pulled out):
# the audio goes on on the server's new default within 1 s. h1 talks, h2
# listens. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhdev "$1"
export HH_AUDIOLAB_SINKS="spk3"
eval "$("$root/scripts/audiolab.sh" up)"
lab up 2


lab_background lab exec h2 "$cli" listen --name ear --cues off >"$tmp/listen.log" 2>/dev/null
for _ in $(seq 100); do grep -q '"on air"' "$tmp/listen.log" && break; sleep 0.1; done

# spk3 is the default while a 3 s tone plays on it; its module is unloaded
# halfway, just after spk3's recorder stops (the server would move a recorder
# left on it elsewhere). Every sink's monitor is recorded throughout (their
# readers keep them clocked); what spk3 heard and what the new default heard
# after may leave a gap of at most 1 s.
pactl set-default-sink spk3
sox -n -r 16000 -c 1 -b 16 "$tmp/tone.wav" synth 3 sine 440 vol 0.5
recPids=()
for s in $(pactl list sinks short | awk '$2 != "spk3" {print $2}'); do
    parecord --latency-msec=10 -d "$s.monitor" --file-format=wav "$tmp/rec-$s.wav" & recPids+=($!)
done
parecord --latency-msec=10 -d spk3.monitor --file-format=wav "$tmp/rec-spk3.wav" & spk3Rec=$!
sleep 1
lab exec h1 "$cli" say "$tmp/tone.wav" --name mouth >/dev/null 2>&1 & sayPid=$!
sleep 1.5
playing=$(pactl list sink-inputs | grep -c 'Hollerhopper playback' || true)
module=$(pactl list modules short | awk '/sink_name=spk3/ {print $1; exit}')
kill -TERM $spk3Rec; wait $spk3Rec 2>/dev/null || true
pactl unload-module "$module"
wait $sayPid || true
sleep 1.5
kill -TERM "${recPids[@]}"; wait "${recPids[@]}" 2>/dev/null || true
newDefault=$(pactl info | sed -n 's/^Default Sink: //p')
before=$(tone_ms "$tmp/rec-spk3.wav")
after=$(tone_ms "$tmp/rec-$newDefault.wav")
for s in $(pactl list sinks short | awk '{print $2}'); do echo "heard on $s: $(tone_ms "$tmp/rec-$s.wav") ms"; done
check "our stream plays on spk3 when it is removed" 1 "$playing"
check "spk3 heard the tone before ($before ms)" 1 "$((before >= 500))"
gap=$((3000 - before - after))
check "the tone goes on on the new default $newDefault ($after ms): a gap of $gap ms, at most 1 s" 1 "$((gap <= 1000))"

lab_summary
