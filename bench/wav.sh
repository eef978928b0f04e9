#!/bin/sh
# READWAV and WRITEWAV of 60 s of 44.1 kHz 16-bit stereo against scipy in the
# same run: scipy.io.wavfile.read followed by .astype(numpy.float64), and
# scipy.io.wavfile.write of the int16 array including the conversion from
# float64. Both sides time 30 repetitions of 3 calls and keep the best; a
# ratio above 1 means kexio is faster.
#
#   bench/wav.sh [BUILD_DIR]
set -eu
build=${1:-build}
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

dir=$(mktemp -d "${TMPDIR:-/tmp}/wavbench.XXXXXX")
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

"$bin" --benchmark_repetitions=30 --benchmark_report_aggregates_only=true \
  --benchmark_out="$dir/kexio.json" --benchmark_out_format=json \
  "$dir/in.wav" "$dir/kexio.wav" >/dev/null 2>&1

"$py" - "$dir" <<'PY'
import json, os, sys, timeit
import numpy
from scipy.io import wavfile
d = sys.argv[1]
src, dst = os.path.join(d, 'in.wav'), os.path.join(d, 'scipy.wav')
ours = {}
for b in json.load(open(os.path.join(d, 'kexio.json')))['benchmarks']:
    if b.get('aggregate_name') == 'min':
        assert b['time_unit'] == 'ms'
        ours[b['run_name'].split('/')[0]] = b['real_time']
rate, x = wavfile.read(src)
m = x.astype(numpy.float64)
def read():
    wavfile.read(src)[1].astype(numpy.float64)
def write():
    wavfile.write(dst, rate, m.astype(numpy.int16))
def best_ms(f):
    return min(timeit.repeat(f, number=3, repeat=30)) / 3 * 1e3
peer = {'ReadWav': best_ms(read), 'WriteWav': best_ms(write)}
print('60 s of 44.1 kHz 16-bit stereo (%d frames), best of repetitions' % len(x))
for name, what in (('ReadWav', 'READWAV  vs wavfile.read + astype(float64)'),
                   ('WriteWav', 'WRITEWAV vs astype(int16) + wavfile.write ')):
    print('%s: kexio %7.2f ms  scipy %7.2f ms  ratio %.2f' %
          (what, ours[name], peer[name], peer[name] / ours[name]))
PY
