#!/usr/bin/env bash
# READBIN and WRITEBIN against numpy on the same 8,000,000 values, in the same
# run: reading int16 and double files (numpy.fromfile(...).astype(float64))
# and writing a column of doubles as int16 and as double
# (ndarray.astype(...).tofile(...)). The two sides take turns operation by
# operation; the medians of all repetitions are compared, for wall time (the
# target) and for processor time (steadier on a busy machine). A ratio above
# 1 means kexio is faster. ROUNDS and REPS (environment) set the counts.
#
# Usage: bench/binary.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build = /* ]] || build=$root/$build
prog=$build/bin/bench_binary
py=/usr/bin/python3
if [ ! -x "$prog" ]; then
  echo "binary.sh: $prog is missing; build first (cmake --build $build)" >&2
  exit 1
fi
if ! "$py" -c 'import numpy' 2>/dev/null; then
  echo "binary.sh: $py with numpy is needed as the peer" >&2
  exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/kexbin.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$py" - "$prog" "$work" "${ROUNDS:-5}" "${REPS:-3}" <<'PY'
import json, os, statistics, subprocess, sys, time
import numpy as np

prog, work, rounds, reps = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
n = 8_000_000
rng = np.random.default_rng(7)
np.clip(rng.normal(0, 8000, n), -32768, 32767).round().astype('<i2').tofile(f'{work}/i16.bin')
rng.standard_normal(n).tofile(f'{work}/f64.bin')
values = np.clip(rng.normal(0, 8000, n), -32768, 32767)
values.tofile(f'{work}/values.bin')

def write_as(dtype):
    # Each call writes a new file and removes the one before (outside the
    # timing, like the kexio side), so that no run waits on the write-back of
    # the one before.
    state = {'k': 0}
    def run():
        path = f'{work}/peer{state["k"]}.bin'
        values.astype(dtype).tofile(path)
        state['k'] += 1
        return path
    return run

peers = {
    'READBIN int16': lambda: np.fromfile(f'{work}/i16.bin', dtype='<i2').astype(np.float64),
    'READBIN double': lambda: np.fromfile(f'{work}/f64.bin', dtype='<f8').astype(np.float64),
    'WRITEBIN int16': write_as('<i2'),
    'WRITEBIN double': write_as('<f8'),
}
names = {'READBIN int16': 'BM_ReadbinInt16', 'READBIN double': 'BM_ReadbinDouble',
         'WRITEBIN int16': 'BM_WritebinInt16', 'WRITEBIN double': 'BM_WritebinDouble'}
wall = {k: ([], []) for k in peers}  # kexio, numpy
cpu = {k: ([], []) for k in peers}
env = dict(os.environ, KEXIO_BENCH_DIR=work)
# The two sides take turns operation by operation, so that both see the
# same load on the machine.
for _ in range(rounds):
    for k, f in peers.items():
        out = subprocess.run([prog, f'--benchmark_filter=^{names[k]}/',
                              f'--benchmark_repetitions={reps}', '--benchmark_format=json'],
                             env=env, check=True, capture_output=True, text=True).stdout
        for b in json.loads(out)['benchmarks']:
            if b.get('run_type') == 'iteration':
                wall[k][0].append(b['real_time'])
                cpu[k][0].append(b['cpu_time'])
        for i in range(reps + 1):  # the first is a warm-up, untimed
            t0, c0 = time.perf_counter(), time.process_time()
            written = f()
            t1, c1 = time.perf_counter(), time.process_time()
            if isinstance(written, str):
                os.remove(written)
            if i > 0:
                wall[k][1].append((t1 - t0) * 1e3)
                cpu[k][1].append((c1 - c0) * 1e3)

med = statistics.median
print(f'{"8,000,000 values":16} {"kexio ms":>9} {"numpy ms":>9} {"ratio":>6}   '
      f'{"cpu kexio":>9} {"cpu numpy":>9} {"ratio":>6}')
for k in peers:
    (a, b), (c, d) = wall[k], cpu[k]
    print(f'{k:16} {med(a):9.1f} {med(b):9.1f} {med(b) / med(a):6.2f}   '
          f'{med(c):9.1f} {med(d):9.1f} {med(d) / med(c):6.2f}')
print(f'medians of {rounds} x {reps} runs each; ratio = numpy time / kexio time '
      '(above 1: kexio is faster); cpu = processor time of the timed code')
PY
