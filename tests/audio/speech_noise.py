#!/usr/bin/env python3
"""Speech-in-noise material and measures for noise_lab.sh (pure Python and sox: no numpy).

  speech_noise.py make CLEAN.wav LEVEL_DBFS SNR_DB OUT_CLEAN.wav OUT_NOISY.wav
  speech_noise.py measure CLEAN.wav LISTEN_LOG NAME...
"""
import json, math, subprocess, struct, sys, wave

RATE = 16000
BLOCK = 160  # 10 ms
BANDS = [(300, 800), (800, 1600), (1600, 3200), (3200, 6000)]


def write(path, x):
    w = wave.open(path, 'wb')
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(RATE)
    w.writeframes(struct.pack('<%dh' % len(x), *[max(-32768, min(32767, int(round(v)))) for v in x]))
    w.close()


def db(power):
    return 10 * math.log10(max(power, 1e-12) / (32768.0 ** 2))


def block_powers(x):
    return [sum(v * v for v in x[i:i + BLOCK]) / BLOCK for i in range(0, len(x) - BLOCK + 1, BLOCK)]


def speech_blocks(clean):
    """Blocks that are speech (above -50 dBFS), and pauses (no speech within 100 ms)."""
    speech = [db(v) > -50 for v in block_powers(clean)]
    return speech, [not any(speech[max(0, i - 10):i + 11]) for i in range(len(speech))]


def mean(v):
    return sum(v) / max(1, len(v))


def make(clean_path, level, snr, out_clean, out_noisy):
    # CLEAN (16 kHz mono) scaled so its speech is at LEVEL_DBFS RMS; the noisy
    # copy adds steady pink noise SNR_DB below it.
    x = sox([clean_path], [])
    speech, _ = speech_blocks(x)
    gain = 10 ** ((level - db(mean([v for v, s in zip(block_powers(x), speech) if s]))) / 20)
    x = [v * gain for v in x]
    n = sox(['-n'], ['synth', '%.3f' % (len(x) / RATE), 'pinknoise', 'vol', '0.3'])[:len(x)]
    n += [0] * (len(x) - len(n))
    ngain = 10 ** ((level - snr - db(mean([v * v for v in n]))) / 20)
    write(out_clean, x)
    write(out_noisy, [a + b * ngain for a, b in zip(x, n)])


def sox(inputs, effects, x=()):
    """16-bit 16 kHz mono samples out of sox; `x` is fed in when `inputs` reads it ('-')."""
    raw = subprocess.run(['sox'] + inputs + ['-t', 's16', '-r', str(RATE), '-c', '1', '-'] + effects,
                         input=struct.pack('<%dh' % len(x), *x), capture_output=True, check=True).stdout
    return list(struct.unpack('<%dh' % (len(raw) // 2), raw))


def envelopes(x):
    # Per band, the log of the mean magnitude in each 10 ms block.
    out = []
    for lo, hi in BANDS:
        y = sox(['-t', 's16', '-r', str(RATE), '-c', '1', '-'], ['sinc', '%d-%d' % (lo, hi)], x)
        out.append([math.log10(1 + mean([abs(v) for v in y[i:i + BLOCK]]))
                    for i in range(0, len(y) - BLOCK + 1, BLOCK)])
    return out


def corr(a, b):
    n = min(len(a), len(b))
    a, b = a[:n], b[:n]
    ma, mb = mean(a), mean(b)
    sa = math.sqrt(sum((x - ma) ** 2 for x in a)) or 1
    sb = math.sqrt(sum((y - mb) ** 2 for y in b)) or 1
    return sum((x - ma) * (y - mb) for x, y in zip(a, b)) / (sa * sb)


def measure(clean, heard):
    # Align on the broadband envelope (10 ms steps).
    ec = [math.sqrt(v) for v in block_powers(clean)]
    eh = [math.sqrt(v) for v in block_powers(heard)]
    lag = max(range(-100, min(500, len(eh) - 10)), key=lambda k: corr(ec[max(0, -k):], eh[max(0, k):]))
    heard = heard[lag * BLOCK:] if lag >= 0 else [0] * (-lag * BLOCK) + heard
    heard = (heard + [0] * len(clean))[:len(clean)]
    speech, pause = speech_blocks(clean)
    p = block_powers(heard)
    # Pauses after the first 2.5 s: the steady state, not the first moments of the very first press.
    pauses = [v for i, (v, q) in enumerate(zip(p, pause)) if q and i >= 250]
    bc, bh = envelopes(clean), envelopes(heard)
    # Over speech and the 200 ms around it, where the words are.
    near = sorted({j for i, s in enumerate(speech) if s for j in range(max(0, i - 20), i + 21)})
    c = mean([corr([a[i] for i in near if i < len(a)], [b[i] for i in near if i < len(b)])
              for a, b in zip(bc, bh)])
    return db(mean(pauses)), db(mean([v for v, s in zip(p, speech) if s])), c


def measure_talkers(clean_path, log, names):
    # Per talker: the noise level in the pauses, the speech level, and the
    # correlation of the band envelopes with CLEAN's (a recognisability
    # measure that level changes do not affect), as shell assignments.
    events = []
    for line in open(log):
        try:
            events.append(json.loads(line))
        except ValueError:
            pass
    clean = sox([clean_path], [])
    for name in names:
        # A talker's spurts in order (a stall under load can split a press), joined.
        files = [e['file'] for e in events if e.get('event') == 'recorded' and e.get('name') == 'mouth-' + name]
        if not files:
            raise SystemExit('nothing recorded from mouth-' + name)
        noise, level, c = measure(clean, sox(files, []))
        print('noise_%s=%.1f speech_%s=%.1f corr_%s=%.3f' % (name, noise, name, level, name, c))


if __name__ == '__main__':
    if sys.argv[1] == 'make':
        make(sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), sys.argv[5], sys.argv[6])
    elif sys.argv[1] == 'measure':
        measure_talkers(sys.argv[2], sys.argv[3], sys.argv[4:])
    else:
        raise SystemExit(__doc__)
