#!/usr/bin/env python3
"""Speech-in-noise material and measures for the noise-suppression lab.

  speech_noise.py make CLEAN.wav LEVEL_DBFS SNR_DB OUT_CLEAN.wav OUT_NOISY.wav
      scales 16 kHz mono CLEAN so its speech (10 ms blocks above -50 dBFS) is at
      LEVEL_DBFS RMS, and adds steady pink noise SNR_DB below it.
  speech_noise.py measure CLEAN.wav HEARD.wav
      aligns HEARD to CLEAN and prints one JSON line: the noise level in the
      pauses, the speech level, and the correlation of the band envelopes of
      HEARD with those of CLEAN (a recognisability measure that level changes
      do not affect).
Pure Python with sox for filtering: the test machines have no numpy.
"""
import json, math, os, struct, subprocess, sys, tempfile, wave

RATE = 16000
BLOCK = 160  # 10 ms
BANDS = [(300, 800), (800, 1600), (1600, 3200), (3200, 6000)]


def read(path):
    w = wave.open(path)
    assert w.getsampwidth() == 2, path
    ch, n = w.getnchannels(), w.getnframes()
    x = struct.unpack('<%dh' % (n * ch), w.readframes(n))[::ch]
    if w.getframerate() != RATE:
        raise SystemExit('%s: %d Hz, want %d' % (path, w.getframerate(), RATE))
    return list(x)


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
    """Blocks of the clean speech that are speech (above -50 dBFS) and pauses
    (the clean signal silent 100 ms around them)."""
    p = block_powers(clean)
    speech = [db(v) > -50 for v in p]
    pause = [not any(speech[max(0, i - 10):i + 11]) for i in range(len(p))]
    return speech, pause


def make(clean_path, level, snr, out_clean, out_noisy):
    x = read(clean_path)
    speech, _ = speech_blocks(x)
    p = block_powers(x)
    active = [v for v, s in zip(p, speech) if s]
    gain = 10 ** ((level - db(sum(active) / len(active))) / 20)
    x = [v * gain for v in x]
    with tempfile.TemporaryDirectory() as t:
        noise = os.path.join(t, 'n.wav')
        subprocess.run(['sox', '-n', '-r', str(RATE), '-c', '1', '-b', '16', noise, 'synth',
                        '%.3f' % (len(x) / RATE), 'pinknoise', 'vol', '0.3'], check=True)
        n = read(noise)[:len(x)]
    n += [0] * (len(x) - len(n))
    ngain = 10 ** ((level - snr - db(sum(v * v for v in n) / len(n))) / 20)
    write(out_clean, x)
    write(out_noisy, [a + b * ngain for a, b in zip(x, n)])


def envelopes(path):
    out = []
    with tempfile.TemporaryDirectory() as t:
        for lo, hi in BANDS:
            f = os.path.join(t, 'b.wav')
            subprocess.run(['sox', path, f, 'sinc', '%d-%d' % (lo, hi)], check=True)
            y = read(f)
            out.append([math.log10(1 + sum(abs(v) for v in y[i:i + BLOCK]) / BLOCK)
                        for i in range(0, len(y) - BLOCK + 1, BLOCK)])
    return out


def corr(a, b):
    n = min(len(a), len(b))
    if n < 2:
        return 0.0
    a, b = a[:n], b[:n]
    ma, mb = sum(a) / n, sum(b) / n
    sab = sum((x - ma) * (y - mb) for x, y in zip(a, b))
    sa = math.sqrt(sum((x - ma) ** 2 for x in a)) or 1
    sb = math.sqrt(sum((y - mb) ** 2 for y in b)) or 1
    return sab / (sa * sb)


def measure(clean_path, heard_path):
    clean, heard = read(clean_path), read(heard_path)
    # Align on the broadband envelope (10 ms steps), then on samples within a block.
    ec = [math.sqrt(v) for v in block_powers(clean)]
    eh = [math.sqrt(v) for v in block_powers(heard)]
    lag = max(range(-100, min(500, len(eh) - 10)), key=lambda k: corr(ec[max(0, -k):], eh[max(0, k):]))
    if lag >= 0:
        heard = heard[lag * BLOCK:]
    else:
        heard = [0] * (-lag * BLOCK) + heard
    heard = heard[:len(clean)]
    heard += [0] * (len(clean) - len(heard))
    speech, pause = speech_blocks(clean)
    p = block_powers(heard)
    # Pauses after the first 2.5 s of the material: the measure is of the
    # steady state, not of the first moments of the very first press.
    skip = 250
    pauses = [v for i, (v, q) in enumerate(zip(p, pause)) if q and i >= skip]
    voiced = [v for v, s in zip(p, speech) if s]
    with tempfile.TemporaryDirectory() as t:
        h = os.path.join(t, 'h.wav')
        write(h, heard)
        bc, bh = envelopes(clean_path), envelopes(h)
    sp = [i for i, s in enumerate(speech) if s]
    # Over speech and the 200 ms around it, where the words are.
    near = sorted({j for i in sp for j in range(max(0, i - 20), i + 21)})
    c = sum(corr([a[i] for i in near if i < len(a)], [b[i] for i in near if i < len(b)])
            for a, b in zip(bc, bh)) / len(BANDS)
    return {'lagMs': lag * 10, 'pauseNoiseDb': round(db(sum(pauses) / max(1, len(pauses))), 1),
            'speechDb': round(db(sum(voiced) / max(1, len(voiced))), 1), 'correlation': round(c, 3)}


if __name__ == '__main__':
    if sys.argv[1] == 'make':
        make(sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), sys.argv[5], sys.argv[6])
    elif sys.argv[1] == 'measure':
        print(json.dumps(measure(sys.argv[2], sys.argv[3])))
    else:
        raise SystemExit(__doc__)
