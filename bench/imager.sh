#!/usr/bin/env bash
# The image library against its peers, as a user meets it: one statement in a
# fresh `kexio -e` process, against the same work in Debian's python3, in the
# same run.
#   WRITERGB of a 4096 x 4096 photograph to PNG   vs  Image.fromarray(a).save(".png")
#   WRITERGB of the same to TIFF                  vs  Image.fromarray(a).save(".tif")
#   READRAW  of 8,388,608 uint16 samples          vs  numpy.fromfile(...).astype(float64)
# Ours is the wall time of the process minus that of a process doing the same
# but the timed call (start-up, and for the writers reading the picture);
# the peer is timed in-process after a warm-up, its result freed inside the
# timing, each operation in a Python process of its own (importing only what
# its peer needs) so that no peer reuses memory an earlier one touched. The
# sides take turns; the medians are compared and the ratio printed (peer time
# / our time: above 1, kexio is faster). REPS (environment) sets the number
# of turns, 7 unless set.
# This is how the shared yardstick times the same operations, with a picture
# made by the same recipe, in the same environment: the two must agree. Each
# writer replaces the file an earlier turn wrote, as a user rewriting a
# picture does; replacing a 48 MiB file costs tens of milliseconds that
# writing to a new name does not (the file system writes the new data out
# and frees the old file's pages), on both sides.
#
# Usage: bench/imager.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build = /* ]] || build=$root/$build
kexio=$build/bin/kexio
py=/usr/bin/python3
if [ ! -x "$kexio" ]; then
  echo "imager.sh: $kexio is missing; build first (cmake --build $build)" >&2
  exit 1
fi
if ! "$py" -c 'import numpy, PIL' 2>/dev/null; then
  echo "imager.sh: $py with numpy and PIL is needed as the peer" >&2
  exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/keximager-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

run() { "$py" - "$kexio" "$work" "${REPS:-7}" "$@"; }
script=$(cat <<'PY'
import os, statistics, subprocess, sys, time
import numpy as np

kexio, work, reps, what = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
# Pillow only where the peer needs it, as ratio.py imports its peers: what
# else a process has loaded changes how its heap serves numpy's buffers.
if what != "raw":
    from PIL import Image

if what == "gen":
    rng = np.random.default_rng(3)
    # A photograph-like picture, by the yardstick's recipe: a smooth colour
    # field, a texture and noise, so that the PNG encoders meet what they
    # meet in photographs.
    n = 4096
    field = rng.uniform(0, 255, (32, 32, 3)).astype(np.float32)
    smooth = np.asarray(Image.fromarray(field.astype(np.uint8)).resize((n, n), Image.BICUBIC),
                        np.float32)
    y, x = np.mgrid[0:n, 0:n].astype(np.float32)
    picture = smooth + (30 * np.sin(x / 37.0) * np.cos(y / 23.0))[..., None]
    picture += rng.normal(0, 12, (n, n, 3)).astype(np.float32)
    picture = np.clip(picture, 0, 255).astype(np.uint8)
    Image.fromarray(picture, "RGB").save(f"{work}/photo.bmp")
    # 4096 x 2048 uint16 samples, little endian.
    rng.integers(0, 65536, 4096 * 2048, dtype=np.uint16).astype("<u2").tofile(f"{work}/samples.raw")
    print(f'{"operation":15} {"kexio ms":>9} {"peer ms":>9} {"ratio":>6}  peer')
    sys.exit()

read = 'M := READRGB("photo.bmp")'
cases = {
    "png": ("WRITERGB png", "Pillow save", read, read + '; W := WRITERGB("ours.png", M)',
            lambda a: Image.fromarray(a).save(f"{work}/peer.png")),
    "tif": ("WRITERGB tif", "Pillow save", read, read + '; W := WRITERGB("ours.tif", M)',
            lambda a: Image.fromarray(a).save(f"{work}/peer.tif")),
    "raw": ("READRAW uint16", "numpy fromfile", "x := 1",
            'M := READRAW("samples.raw", 4096, 2048, 1, "uint16", 0)',
            lambda a: np.fromfile(f"{work}/samples.raw", dtype="<u2").astype(np.float64)),
}
name, peer_name, base, statement, f = cases[what]
picture = np.asarray(Image.open(f"{work}/photo.bmp").convert("RGB")) if what != "raw" else None


def wall(statement):
    t0 = time.perf_counter()
    r = subprocess.run([kexio, "--cwd", work, "-e", statement], stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    t = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit(f"imager.sh: kexio failed on {statement!r}: {r.stderr.decode()[:200]}")
    return t


def peer_time():
    t0 = time.perf_counter()
    result = f(picture)
    del result
    return time.perf_counter() - t0


f(picture)  # warm-up: the page cache, the encoders' tables
wall(statement)
ours, theirs = [], []
for _ in range(reps):
    theirs.append(peer_time())
    ours.append(wall(statement) - wall(base))
o, p = max(statistics.median(ours), 1e-6), statistics.median(theirs)
print(f"{name:15} {o * 1e3:9.1f} {p * 1e3:9.1f} {p / o:6.2f}  {peer_name}")
PY
)
run gen <<<"$script"
for what in png tif raw; do run "$what" <<<"$script"; done
echo "medians of ${REPS:-7} turns; ratio = peer time / kexio time (above 1: kexio is faster)"
