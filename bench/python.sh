#!/usr/bin/env bash
# The Python module against its peers, in the same run: kexio.read_rgb of a
# 4096 x 4096 24-bit BMP against Pillow + numpy, kexio.read_prn of a
# 1,000,000 x 8 table against numpy.loadtxt, and the time of one call on a
# 1 x 1 table. Every measurement is one call in a fresh process, ours and the
# peer's taking turns, ROUNDS times (default 5); the ratios (peer / ours,
# above 1: we are faster) are of the medians.
#
#   bench/python.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
py=/usr/bin/python3
peer="$here/python_peer.py"
rounds="${ROUNDS:-5}"
export PYTHONPATH="$build/python"

if ! "$py" -c 'import kexio' 2>/dev/null; then
  echo "python.sh: skipped, the Python module is not built in $build/python" >&2
  exit 0
fi
if ! "$py" -c 'import numpy, PIL' 2>/dev/null; then
  echo "python.sh: skipped, $py with numpy and Pillow is needed" >&2
  exit 0
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/kexio-python-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
echo "generating a 4096 x 4096 BMP and a 1,000,000 x 8 table in $work ..."
"$py" "$peer" image "$work/photo.bmp"
"$py" "$here/prn_peer.py" gen "$work/table.prn" ", "
"$py" "$peer" tiny "$work/tiny.prn"

results="$work/results"
: >"$results"
for ((i = 1; i <= rounds; i++)); do
  echo "round $i of $rounds"
  "$py" "$peer" read_rgb "$work/photo.bmp" >>"$results"
  "$py" "$peer" pillow_rgb "$work/photo.bmp" >>"$results"
  "$py" "$peer" read_prn "$work/table.prn" >>"$results"
  "$py" "$peer" loadtxt "$work/table.prn" >>"$results"
  "$py" "$peer" overhead "$work/tiny.prn" >>"$results"
done

"$py" - "$results" <<'PY'
import sys, statistics
t = {}
for op, sec in (l.split() for l in open(sys.argv[1])):
    t.setdefault(op, []).append(float(sec))
m = {k: statistics.median(v) for k, v in t.items()}
print("\nmedians of %d rounds                      ours        peer   ratio" % len(t["read_rgb"]))
def line(text, ours, peer, target):
    r = m[peer] / m[ours]
    print("%-40s %8.3f s %9.3f s %6.2f  target %.1f: %s" % (
        text, m[ours], m[peer], r, target, "met" if r >= target else "NOT met"))
line("kexio.read_rgb 4096^2 BMP vs Pillow+numpy", "read_rgb", "pillow_rgb", 1.3)
line("kexio.read_prn 1M x 8 vs numpy.loadtxt", "read_prn", "loadtxt", 2.0)
us = m["overhead"] * 1e6
print("kexio.read_prn of a 1 x 1 table: %.1f us per call  target < 20 us: %s" % (
    us, "met" if us < 20 else "NOT met"))
PY
