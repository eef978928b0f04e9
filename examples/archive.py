#!/usr/bin/python3
"""Summarises a folder tree of files that kexio reads: one row per file in one CSV table.

    archive.py FOLDER --out TABLE.csv [--workers N | --scheduler ADDRESS]
               [--bin GLOB=TYPE[:COLS] ...] [--batch FILES]

Every file below FOLDER that kexio can read is read once (twice for a picture: its grey
levels and its colour planes) and summarised:

  image   width, height, mean and population standard deviation of the grey levels,
          the mean of each colour plane (red;green;blue)
  wav     rate, channels, duration in seconds, RMS and peak of each channel
  table   rows, columns and the mean of each column (.prn and .txt through READPRN,
          .csv and .tsv through READFILE, files matching a --bin GLOB through READBIN)

Pictures are found by their content (whatever the image readers know); other files are
passed over. A file that fails gives a row with the error (the message, and the detail
when there is one) and the run goes on. The table is sorted by path (relative to FOLDER).

The files are read on dask.distributed: a local cluster of N worker processes (the
default: one per core), or an existing cluster at --scheduler ADDRESS, whose workers must
have kexio installed and see FOLDER at the same path. --workers 0 reads them one after the
other in this process. Files go to the workers in batches, so that scheduling costs little
against reading; on a terminal, Dask's progress bar shows how far the run is.
"""
import argparse
import csv
import fnmatch
import math
import os
import sys
import time

import numpy as np

COLUMNS = ["path", "kind", "error", "width", "height", "grey_mean", "grey_std",
           "channel_means", "rate", "channels", "duration", "rms", "peak", "rows",
           "columns", "column_means"]

# Names read as tables; every other file is offered to the image readers.
PRN = (".prn", ".txt")
IMPORT = {".csv": "csv", ".tsv": "tab"}


def joined(values):
    """Several figures in one field, separated by ';' (repr-exact floats)."""
    return ";".join(repr(float(v)) for v in values)


def kind_of(rel, bin_rules):
    """What a file is read as, by its name: wav, prn, import, bin or image (by content)."""
    name = os.path.basename(rel)
    for glob, rule in bin_rules:
        if fnmatch.fnmatch(rel, glob) or fnmatch.fnmatch(name, glob):
            return "bin", rule
    ext = os.path.splitext(name)[1].lower()
    if ext == ".wav":
        return "wav", None
    if ext in PRN:
        return "table", None
    if ext in IMPORT:
        return "table", IMPORT[ext]
    return "image", None


def table_figures(m):
    m = np.asarray(m)
    if m.dtype == object:  # texts or nested matrices: numbers only are averaged
        numeric = np.vectorize(lambda v: isinstance(v, (int, float, complex, np.number)))(m)
        means = [np.mean(np.real(m[numeric[:, j], j].astype(complex))) if numeric[:, j].any()
                 else float("nan") for j in range(m.shape[1])]
    else:
        means = np.real(m).mean(axis=0) if m.shape[0] else [float("nan")] * m.shape[1]
    return {"rows": m.shape[0], "columns": m.shape[1], "column_means": joined(means)}


def summarise(folder, rel, bin_rules):
    """The row of one file, or None when it is not a file kexio reads."""
    import kexio
    path = os.path.join(folder, rel)
    kind, rule = kind_of(rel, bin_rules)
    row = {"path": rel, "kind": kind}
    try:
        if kind == "image":
            try:
                grey = kexio.read_image(path)
            except kexio.Error as e:
                if e.message == "unknown file format":
                    return None  # not a picture: nothing of ours reads it
                raise
            rgb = kexio.read_rgb(path)
            w = grey.shape[1]
            row.update(width=w, height=grey.shape[0], grey_mean=repr(float(grey.mean())),
                       grey_std=repr(float(grey.std())),
                       channel_means=joined(rgb[:, k * w:(k + 1) * w].mean() for k in range(3)))
        elif kind == "wav":
            channels, rate = (int(v) for v in kexio.get_wav_info(path)[:2, 0])
            samples = kexio.read_wav(path)
            row.update(rate=rate, channels=channels, duration=repr(samples.shape[0] / rate),
                       rms=joined(np.sqrt(np.mean(np.square(samples), axis=0))),
                       peak=joined(np.max(np.abs(samples), axis=0)))
        elif kind == "table":
            m = kexio.read_prn(path) if rule is None else kexio.read_file(path, rule)
            row.update(table_figures(m))
        else:
            type_, _, cols = rule.partition(":")
            m = (kexio.read_bin(path, type_, 0, int(cols)) if cols
                 else kexio.read_bin(path, type_))
            row.update(table_figures(m))
    except kexio.Error as e:
        detail = getattr(e, "detail", None)
        row["error"] = e.message + (f": {detail}" if detail else "")
    except Exception as e:  # anything else ends this file, never the run
        row["error"] = f"{type(e).__name__}: {e}"
    return row


def summarise_batch(folder, rels, bin_rules):
    return [r for r in (summarise(folder, rel, bin_rules) for rel in rels) if r is not None]


def files_below(folder):
    for top, dirs, names in os.walk(folder):
        dirs.sort()
        for n in sorted(names):
            p = os.path.join(top, n)
            if os.path.isfile(p):
                yield os.path.relpath(p, folder)


def batches(items, size):
    return [items[i:i + size] for i in range(0, len(items), size)]


def run_dask(folder, rels, bin_rules, args):
    from dask.distributed import Client, LocalCluster, progress
    if args.scheduler:
        client = Client(args.scheduler)
        workers = max(len(client.scheduler_info()["workers"]), 1)
    else:
        workers = args.workers
        # One thread per worker process: each call holds a core while it reads.
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        size = args.batch or max(1, min(64, math.ceil(len(rels) / (workers * 8))))
        parts = batches(rels, size)
        futures = client.map(summarise_batch, [folder] * len(parts), parts,
                             [bin_rules] * len(parts), pure=False)
        if sys.stderr.isatty():
            progress(futures)
        rows = [r for part in client.gather(futures) for r in part]
    finally:
        client.close()
        if not args.scheduler:
            cluster.close()
    return rows


def write_table(out, rows):
    rows = sorted(rows, key=lambda r: r["path"])
    with open(out, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=COLUMNS, lineterminator="\n")
        w.writeheader()
        for r in rows:
            w.writerow({c: r.get(c, "") for c in COLUMNS})
    return rows


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("folder")
    ap.add_argument("--out", required=True, help="the summary table (CSV) to write")
    where = ap.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                       help="worker processes of a local cluster; 0: serially in this process")
    where.add_argument("--scheduler", help="the address of an existing Dask scheduler")
    ap.add_argument("--bin", action="append", default=[], metavar="GLOB=TYPE[:COLS]",
                    help="read files matching GLOB with READBIN (e.g. '*.i16=int16:4')")
    ap.add_argument("--batch", type=int, default=0, help="files per task (default: chosen)")
    args = ap.parse_args(argv)
    if args.workers < 0:
        ap.error("--workers must be 0 or more")
    bin_rules = []
    for b in args.bin:
        glob, eq, rule = b.partition("=")
        if not eq or not glob or not rule:
            ap.error(f"--bin {b!r}: give GLOB=TYPE[:COLS]")
        bin_rules.append((glob, rule))

    folder = os.path.abspath(args.folder)
    if not os.path.isdir(folder):
        ap.error(f"{args.folder}: not a folder")
    rels = list(files_below(folder))
    t0 = time.perf_counter()
    if args.workers == 0 and not args.scheduler:
        rows = summarise_batch(folder, rels, bin_rules)
    else:
        rows = run_dask(folder, rels, bin_rules, args)
    rows = write_table(args.out, rows)
    seconds = time.perf_counter() - t0
    failed = sum(1 for r in rows if r.get("error"))
    print(f"{len(rows)} files summarised ({failed} with errors) of {len(rels)} in "
          f"{seconds:.2f} s: {len(rels) / max(seconds, 1e-9):.0f} files/s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
