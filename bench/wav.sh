#!/bin/sh
# READWAV and WRITEWAV of 60 s of 44.1 kHz 16-bit stereo against scipy in the
# same run: scipy.io.wavfile.read followed by .astype(numpy.float64), and
# scipy.io.wavfile.write of the int16 array including the conversion from
# float64.
#
# The two sides take turns for several rounds, each round timing 10
# repetitions of 3 calls per side; the best repetition over all rounds
# counts, in wall-clock time and in CPU time (the latter is steadier on a
# busy machine). A ratio above 1 means kexio is faster.
#
#   bench/wav.sh [BUILD_DIR] [ROUNDS]
set -eu
build=${1:-build}
rounds=${2:-5}
bin=$build/bin/bench_wav
py=/usr/bin/python3

if [ ! -x "$bin" ]; then
  echo "wav: $bin is not built (Google Benchmark missing?)"
  exit 0
fi
if ! "$py" -c 'import numpy, scipy.io.wavfile' 2>/dev/null; then
  echo "wav: skipped, needs $py with numpy and scipy"
  exit 0
fi

# The files live in memory (/dev/shm) unless TMPDIR says otherwise: rewriting
# a file on disk waits for the writeback of its previous version, a wait that
# grows the faster the writer is and would drown the difference measured.
base=${TMPDIR:-}
if [ -z "$base" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; else base=/tmp; fi
fi
dir=$(mktemp -d "$base/wavbench.XXXXXX")
trap 'rm -rf "$dir"' EXIT

# A tone with noise, so that the samples are not trivially compressible.
"$py" - "$dir/in.wav" <<'PY'
import sys
import numpy as np
from scipy.io import wavfile
rate, seconds = 44100, 60
t = np.arange(rate * seconds) / rate
rng = np.random.default_rng(0)
left = 12000 * np.sin(2 * np.pi * 440 * t) + rng.normal(0, 2000, t.size)
right = 9000 * np.sin(2 * np.pi * 660 * t) + rng.normal(0, 2000, t.size)
x = np.clip(np.stack([left, right], axis=1), -32768, 32767).astype(np.int16)
wavfile.write(sys.argv[1], rate, x)
PY

# One round of scipy: the best wall and CPU times in ms, appended to a file.
peer() {
  "$py" - "$dir" <<'PY'
import json, os, sys, time, timeit
import numpy
from scipy.io import wavfile
d = sys.argv[1]
src, dst = os.path.join(d, 'in.wav'), os.path.join(d, 'scipy.wav')
rate, x = wavfile.read(src)
m = x.astype(numpy.float64)
def read():
    wavfile.read(src)[1].astype(numpy.float64)
def write():
    wavfile.write(dst, rate, m.astype(numpy.int16))
def best_ms(f, timer):
    return min(timeit.Timer(f, timer=timer).repeat(number=3, repeat=10)) / 3 * 1e3
with open(os.path.join(d, 'scipy.jsonl'), 'a') as out:
    for name, f in (('ReadWav', read), ('WriteWav', write)):
        out.write(json.dumps({'name': name, 'real_time': best_ms(f, time.perf_counter),
                              'cpu_time': best_ms(f, time.process_time)}) + '\n')
PY
}

i=0
while [ "$i" -lt "$rounds" ]; do
  "$bin" --benchmark_repetitions=10 --benchmark_report_aggregates_only=true \
    --benchmark_out="$dir/kexio$i.json" --benchmark_out_format=json \
    "$dir/in.wav" "$dir/kexio.wav" >/dev/null 2>&1
  peer
  i=$((i + 1))
done

"$py" - "$dir" "$rounds" <<'PY'
import glob, json, os, sys
d, rounds = sys.argv[1], sys.argv[2]
def best(rows):
    out = {}
    for r in rows:
        for k in ('real_time', 'cpu_time'):
            out.setdefault(r['name'], {}).setdefault(k, []).append(r[k])
    return {n: {k: min(v) for k, v in t.items()} for n, t in out.items()}
ours = []
for f in glob.glob(os.path.join(d, 'kexio*.json')):
    for b in json.load(open(f))['benchmarks']:
        if b.get('aggregate_name') == 'min':
            assert b['time_unit'] == 'ms'
            ours.append(dict(b, name=b['run_name'].split('/')[0]))
ours = best(ours)
peer = best(json.loads(l) for l in open(os.path.join(d, 'scipy.jsonl')))
print('60 s of 44.1 kHz 16-bit stereo; best of %s rounds x 10 repetitions of 3 calls' % rounds)
for name, what in (('ReadWav', 'READWAV  vs wavfile.read + astype(float64)'),
                   ('WriteWav', 'WRITEWAV vs astype(int16) + wavfile.write ')):
    o, p = ours[name], peer[name]
    print('%s  wall: kexio %6.2f ms scipy %6.2f ms ratio %.2f | cpu: kexio %6.2f ms scipy %6.2f ms ratio %.2f' %
          (what, o['real_time'], p['real_time'], p['real_time'] / o['real_time'],
           o['cpu_time'], p['cpu_time'], p['cpu_time'] / o['cpu_time']))
PY
