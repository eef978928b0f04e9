"""Peers of the text-table benchmark, run with Debian's /usr/bin/python3.

  prn_peer.py gen FILE SEP            write the 1,000,000 x 8 benchmark table
  prn_peer.py loadtxt FILE SEP        time numpy.loadtxt
  prn_peer.py read_csv FILE SEP       time pandas.read_csv
  prn_peer.py savetxt FILE OUT FMT    time numpy.savetxt of the table in FILE

Each timing prints "<what> <seconds> <peak-rss-growth-bytes> <cpu-seconds>" like
bench_prn.
"""
import resource
import sys
import time


def rss_now():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def cpu():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def measure(what, call):
    before = rss_now()
    c0 = cpu()
    t0 = time.perf_counter()
    result = call()
    t1 = time.perf_counter()
    print("%s %.6f %d %.6f" % (what, t1 - t0, peak() - before, cpu() - c0), flush=True)
    return result


def generate(path, sep, rows=1000000, cols=8):
    # Values of 6 to 10 significant digits with 0 to 5 decimals, half of them
    # negative: about 94 MB with ", " between values.
    import numpy as np
    rng = np.random.default_rng(42)
    n = rows * cols
    digits = rng.integers(6, 11, size=n)
    mant = (rng.random(n) * 9 * 10.0 ** (digits - 1)).astype(np.int64) + 10 ** (digits - 1)
    point = rng.integers(0, 6, size=n)
    neg = rng.random(n) < 0.5
    out = []
    for m, p, s in zip(mant.tolist(), point.tolist(), neg.tolist()):
        t = str(m)
        if p:
            t = t[:-p] + "." + t[-p:]
        out.append("-" + t if s else t)
    with open(path, "w") as f:
        for r in range(0, n, cols):
            f.write(sep.join(out[r:r + cols]))
            f.write("\n")


def main(argv):
    mode = argv[1]
    if mode == "gen":
        generate(argv[2], argv[3])
    elif mode == "loadtxt":
        import numpy as np
        sep = argv[3].strip() or None
        measure("loadtxt", lambda: np.loadtxt(argv[2], delimiter=sep))
    elif mode == "read_csv":
        import pandas as pd
        sep = argv[3].strip() or r"\s+"
        measure("read_csv", lambda: pd.read_csv(argv[2], sep=sep, header=None).to_numpy())
    elif mode == "savetxt":
        import numpy as np
        data = np.loadtxt(argv[2], delimiter=",")
        measure("savetxt", lambda: np.savetxt(argv[3], data, fmt=argv[4]))
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main(sys.argv)
