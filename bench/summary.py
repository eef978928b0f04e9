#!/usr/bin/python3
"""The speed goals of the readers and writers, in one table, measured as a user meets them.

    bench/summary.py [BUILD_DIR]        (ROUNDS in the environment: repetitions, default 5)

Ours: the wall time of one fresh `kexio -e 'M := CALL'` process minus that of `kexio -e
'x := 1'` (start-up); for a write, the process that reads and writes minus the one that
only reads. Peer: the same work in this Python, timed in-process after one warm-up call,
in a Python process of its own for each goal.
Both sides take turns; the ratio is of medians (peer / ours: above 1, we are faster).
Page faults are counted with `perf stat -e page-faults` the same way: our process minus
its start-up (or minus the read alone), and a fresh Python process doing the peer's work
once minus one that only prepares it. Inputs are written to a scratch folder first.
"""
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PY = "/usr/bin/python3"

# name, our statement (with the read alone before a write), goal ratio, peer
OPS = [
    ("READPRN 1M x 8, blanks", 'M := READPRN("blank.prn")', None, 2.5, "loadtxt_blank"),
    ("READPRN 1M x 8, commas", 'M := READPRN("comma.prn")', None, 2.5, "loadtxt_comma"),
    ("READBIN 8M int16", 'M := READBIN("i16.bin", "int16")', None, 1.1, "fromfile_i16"),
    ("READWAV 60 s stereo 16-bit", 'M := READWAV("stereo16.wav")', None, 1.1, "wavfile"),
    ("READRGB 4096^2 24-bit BMP", 'M := READRGB("photo.bmp")', None, 1.4, "pillow_rgb"),
    ("READ_IMAGE same file", 'M := READ_IMAGE("photo.bmp")', None, 1.6, "pillow_grey"),
    ("WRITEPRN p4", 'M := READPRN("blank.prn"); PRNPRECISION := 4; PRNCOLWIDTH := 8; '
     'W := WRITEPRN("ours.txt", M)', 'M := READPRN("blank.prn")', 3.0, "savetxt_p4"),
    ("WRITEPRN p15", 'M := READPRN("blank.prn"); PRNPRECISION := 15; PRNCOLWIDTH := 1; '
     'W := WRITEPRN("ours.txt", M)', 'M := READPRN("blank.prn")', 3.0, "savetxt_p15"),
]
PEER_NAMES = {
    "loadtxt_blank": "numpy.loadtxt", "loadtxt_comma": "numpy.loadtxt",
    "fromfile_i16": "numpy.fromfile + astype", "wavfile": "scipy + astype",
    "pillow_rgb": "Pillow + numpy", "pillow_grey": "Pillow + numpy",
    "savetxt_p4": "numpy.savetxt", "savetxt_p15": "numpy.savetxt",
}


def peer(name, work):
    """The peer's work as a function of no arguments, prepared (its input loaded)."""
    import numpy as np
    if name.startswith("loadtxt"):
        path = f"{work}/blank.prn" if name == "loadtxt_blank" else f"{work}/comma.prn"
        kw = {} if name == "loadtxt_blank" else {"delimiter": ","}
        return lambda: np.loadtxt(path, **kw)
    if name == "fromfile_i16":
        return lambda: np.fromfile(f"{work}/i16.bin", dtype="<i2").astype(np.float64)
    if name == "wavfile":
        from scipy.io import wavfile
        return lambda: wavfile.read(f"{work}/stereo16.wav")[1].astype(np.float64)
    if name.startswith("pillow"):
        from PIL import Image
        mode = "RGB" if name == "pillow_rgb" else "L"
        return lambda: np.asarray(Image.open(f"{work}/photo.bmp").convert(mode), dtype=np.float64)
    if name.startswith("savetxt"):
        a = np.loadtxt(f"{work}/blank.prn")
        fmt = "%8.4g" if name == "savetxt_p4" else "%.15g"
        return lambda: np.savetxt(f"{work}/peer.txt", a, fmt=fmt)
    raise SystemExit(f"unknown peer {name}")


def generate(work):
    import numpy as np
    subprocess.run([PY, f"{HERE}/prn_peer.py", "gen", f"{work}/blank.prn", " "], check=True)
    subprocess.run([PY, f"{HERE}/prn_peer.py", "gen", f"{work}/comma.prn", ","], check=True)
    rng = np.random.default_rng(7)
    np.clip(rng.normal(0, 8000, 8_000_000), -32768, 32767).astype("<i2").tofile(f"{work}/i16.bin")
    from scipy.io import wavfile
    t = np.arange(60 * 44100) / 44100.0
    wave = np.stack([np.sin(2 * np.pi * 440 * t), np.sin(2 * np.pi * 660 * t)], axis=1)
    noise = rng.normal(0, 0.05, wave.shape)
    wavfile.write(f"{work}/stereo16.wav", 44100, ((wave * 0.8 + noise) * 30000).astype("<i2"))
    from PIL import Image
    y, x = np.mgrid[0:4096, 0:4096]
    base = np.stack([(x // 16) % 256, (y // 16) % 256, ((x + y) // 32) % 256], axis=-1)
    image = (base + rng.integers(0, 16, size=base.shape)) % 256
    Image.fromarray(image.astype(np.uint8), "RGB").save(f"{work}/photo.bmp")


def page_faults(cmd):
    """The page faults of one run of cmd, or None without perf."""
    if shutil.which("perf") is None:
        return None
    r = subprocess.run(["perf", "stat", "-x,", "-e", "page-faults", *cmd],
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for line in r.stderr.splitlines():
        fields = line.split(",")
        if len(fields) > 2 and fields[2] == "page-faults" and fields[0].isdigit():
            return int(fields[0])
    return None


def wall(cmd):
    t0 = time.perf_counter()
    r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    t = time.perf_counter() - t0
    if r.returncode != 0:
        raise SystemExit(f"{' '.join(cmd)} failed: {r.stderr.decode(errors='replace')[:300]}")
    return t


def machine():
    model = platform.processor() or "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()[0]
    return (f"{model}, {os.cpu_count()} cores, Linux {platform.release()}, "
            f"load average {load:.1f} at the start")


def measure(i, work, kexio, rounds):
    """Medians of our time and the peer's for goal i, taking turns."""
    _, stmt, base, _, peer_name = OPS[i]
    base = base or "x := 1"
    run = lambda s: [kexio, "--cwd", work, "-e", s]
    fn = peer(peer_name, work)
    fn()  # warm-up: the file in the page cache, the modules loaded
    wall(run(stmt))
    ours, theirs = [], []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        theirs.append(time.perf_counter() - t0)
        ours.append(wall(run(stmt)) - wall(run(base)))
    # On a busy machine the start-up's time varies by more than a short
    # operation takes: a median at or below zero says nothing.
    print(statistics.median(ours), statistics.median(theirs))


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--measure":
        measure(int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5]))
        return 0
    if len(sys.argv) == 4 and sys.argv[1] in ("--peer", "--peer-setup"):
        # One run of a peer in a process of its own, for counting its page faults.
        fn = peer(sys.argv[2], sys.argv[3])
        if sys.argv[1] == "--peer":
            fn()
        return 0
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    kexio = f"{build}/bin/kexio"
    rounds = int(os.environ.get("ROUNDS", "5"))
    if not os.path.exists(kexio):
        print(f"summary: {kexio} is missing; build first", file=sys.stderr)
        return 1
    try:
        import numpy, scipy.io.wavfile, PIL  # noqa: F401
    except ImportError as e:
        print(f"summary: skipped, {PY} lacks {e.name}", file=sys.stderr)
        return 0
    print(f"machine: {machine()}")
    work = tempfile.mkdtemp(prefix="kexio-bench-summary-", dir=os.environ.get("TMPDIR"))
    try:
        print(f"generating the inputs in {work} ...", flush=True)
        generate(work)
        run = lambda s: [kexio, "--cwd", work, "-e", s]
        rows = []
        for i, (name, stmt, base, goal, peer_name) in enumerate(OPS):
            base = base or "x := 1"
            # Each goal in a Python process of its own, as the yardstick measures
            # one operation a run: a peer that followed the others in one process
            # would reuse memory they had already touched, which no user's first
            # call does.
            out = subprocess.run([PY, os.path.abspath(__file__), "--measure", str(i), work,
                                  kexio, str(rounds)], check=True, capture_output=True,
                                 text=True).stdout.split()
            o, p = float(out[-2]), float(out[-1])
            faults_ours = page_faults(run(stmt))
            faults_base = page_faults(run(base))
            me = [PY, os.path.abspath(__file__)]
            faults_peer = page_faults(me + ["--peer", peer_name, work])
            faults_setup = page_faults(me + ["--peer-setup", peer_name, work])
            df = lambda a, b: "n/a" if a is None or b is None else str(a - b)
            rows.append((name, PEER_NAMES[peer_name], o, p, goal, df(faults_ours, faults_base),
                         df(faults_peer, faults_setup)))
            print(f"  {name}: " + (f"ratio {p / o:.2f}" if o > 0 else "lost in noise"), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"\nmedians of {rounds} runs; ratio = peer time / our time (above 1: we are faster)")
    print(f"{'operation':28} {'peer':24} {'ours ms':>8} {'peer ms':>8} {'ratio':>6} {'goal':>5}"
          f"  {'':7} {'faults ours':>11} {'faults peer':>11}")
    for name, who, o, p, goal, fo, fp in rows:
        ratio = f"{p / o:6.2f}" if o > 0 else f"{'noise':>6}"
        met = "noise" if o <= 0 else "met" if p / o >= goal else "NOT met"
        print(f"{name:28} {who:24} {o * 1e3:8.0f} {p * 1e3:8.0f} {ratio} {goal:5.1f}"
              f"  {met:7} {fo:>11} {fp:>11}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
