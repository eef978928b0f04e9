#!/bin/sh
# Image reading and writing against Pillow + numpy, in the same run:
#   READRGB    of a 4096 x 4096 24-bit BMP  vs  asarray(open().convert("RGB"), float64)
#   READ_IMAGE of the same file             vs  asarray(open().convert("L"), float64)
#   WRITERGB   of a 4096 x 12288 matrix     vs  fromarray(uint8 of float64).save(BMP)
#   WRITEBMP   of a 4096 x 4096 matrix      vs  the same for a grey image
# Each side is timed 5 times after a warm-up; the best times are compared and
# the ratios (peer time / our time, above 1 means we are faster) printed, for
# wall-clock time and for the CPU time of the process (user + system), which
# is the steadier figure on a machine shared with other work.
# Usage: bench/image.sh [BUILD_DIR]
set -eu
BUILD=${1:-build}
PY=/usr/bin/python3
BIN="$BUILD/bin/bench_image"
if [ ! -x "$BIN" ]; then
  echo "image: $BIN is missing (build with Google Benchmark installed)" >&2
  exit 1
fi
if ! "$PY" -c 'import PIL, numpy' 2>/dev/null; then
  echo "image: needs $PY with PIL and numpy" >&2
  exit 1
fi
TMP=$(mktemp -d "${TMPDIR:-/tmp}/kexio-bench-image-XXXXXX")
trap 'rm -rf "$TMP"' EXIT

"$PY" - "$TMP/input.bmp" <<'PYEOF'
import sys
import numpy as np
from PIL import Image
rng = np.random.default_rng(7)
# Smooth gradients with noise: like a photograph, not like white noise.
y, x = np.mgrid[0:4096, 0:4096]
base = np.stack([(x // 16) % 256, (y // 16) % 256, ((x + y) // 32) % 256], axis=-1)
noise = rng.integers(0, 16, size=base.shape)
Image.fromarray(((base + noise) % 256).astype(np.uint8), "RGB").save(sys.argv[1])
PYEOF

KEXIO_BENCH_IMAGE="$TMP/input.bmp" KEXIO_BENCH_DIR="$TMP" "$BIN" \
  --benchmark_format=json --benchmark_out="$TMP/ours.json" --benchmark_out_format=json \
  --benchmark_filter="${KEXIO_BENCH_FILTER:-.}" >/dev/null

"$PY" - "$TMP" <<'PYEOF'
import json, sys, time
import numpy as np
from PIL import Image
tmp = sys.argv[1]
src = tmp + "/input.bmp"

ours = {}
for b in json.load(open(tmp + "/ours.json"))["benchmarks"]:
    if b.get("run_type") == "iteration" and "error_occurred" not in b:
        name = b["run_name"].split("/")[0].replace("BM_", "")
        ours.setdefault(name, []).append((b["real_time"] / 1e3, b["cpu_time"] / 1e3))  # ms -> s

grey = (np.arange(4096 * 4096, dtype=np.float64).reshape(4096, 4096) * 0.37) % 256
rgb = (np.arange(4096 * 4096 * 3, dtype=np.float64).reshape(4096, 4096, 3) * 0.37) % 256

def best(f):
    f()
    wall, cpu = [], []
    for _ in range(5):
        w, c = time.perf_counter(), time.process_time()
        f()
        wall.append(time.perf_counter() - w)
        cpu.append(time.process_time() - c)
    return min(wall), min(cpu)

peers = {
    "READRGB": lambda: np.asarray(Image.open(src).convert("RGB"), dtype=np.float64),
    "READ_IMAGE": lambda: np.asarray(Image.open(src).convert("L"), dtype=np.float64),
    "WRITERGB": lambda: Image.fromarray(rgb.astype(np.uint8), "RGB").save(tmp + "/peer.bmp"),
    "WRITEBMP": lambda: Image.fromarray(grey.astype(np.uint8), "L").save(tmp + "/peer.bmp"),
}
print("%-11s %21s %21s %17s" % ("", "kexio ms", "Pillow+numpy ms", "ratio"))
print("%-11s %10s %10s %10s %10s %8s %8s" % ("function", "wall", "cpu", "wall", "cpu", "wall", "cpu"))
for name, peer in peers.items():
    if name not in ours:
        print("%-11s %10s" % (name, "not run"))
        continue
    us_wall = min(t[0] for t in ours[name])
    us_cpu = min(t[1] for t in ours[name])
    them_wall, them_cpu = best(peer)
    print("%-11s %10.1f %10.1f %10.1f %10.1f %7.2fx %7.2fx" %
          (name, us_wall * 1e3, us_cpu * 1e3, them_wall * 1e3, them_cpu * 1e3,
           them_wall / us_wall, them_cpu / us_cpu))
PYEOF
