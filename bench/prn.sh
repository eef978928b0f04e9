#!/usr/bin/env bash
# Text tables against their Python peers, in the same run: READPRN against
# numpy.loadtxt and pandas.read_csv, WRITEPRN against numpy.savetxt, and
# APPENDPRN of one row against one READPRN plus one WRITEPRN. The table is
# 1,000,000 x 8 values of 6 to 10 digits, once separated by ", " and once by
# blanks. Every measurement runs in its own process, the tools taking turns,
# ROUNDS times (default 5); the ratios are of medians, of wall-clock time and,
# since a shared machine's load weighs on them differently, of CPU time too.
# Peak memory is the growth of the peak resident size during the call.
#
#   bench/prn.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
bench="$build/bin/bench_prn"
py=/usr/bin/python3
peer="$here/prn_peer.py"
rounds="${ROUNDS:-5}"

if [ ! -x "$bench" ]; then
  echo "prn.sh: $bench not built" >&2
  exit 1
fi
if ! "$py" -c 'import numpy, pandas' 2>/dev/null; then
  echo "prn.sh: skipped, $py with numpy and pandas is needed" >&2
  exit 0
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/kexio-prn-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
comma="$work/comma.prn"
blank="$work/blank.prn"
echo "generating the 1,000,000 x 8 tables in $work ..."
"$py" "$peer" gen "$comma" ", "
"$py" "$peer" gen "$blank" " "
size=$(stat -c %s "$comma")
echo "table with ', ': $size bytes; with blanks: $(stat -c %s "$blank") bytes"

results="$work/results"
: >"$results"
# Runs a command and appends "<label> <seconds> <peak-bytes> <cpu-seconds>"
# to the results.
run() {
  local label="$1"
  shift
  "$@" | awk -v l="$label" '{ print l, $2, $3, $4 }' >>"$results"
}

for ((i = 1; i <= rounds; i++)); do
  echo "round $i of $rounds"
  run read_comma "$bench" read "$comma"
  run loadtxt_comma "$py" "$peer" loadtxt "$comma" ","
  run read_csv_comma "$py" "$peer" read_csv "$comma" ","
  run read_blank "$bench" read "$blank"
  run loadtxt_blank "$py" "$peer" loadtxt "$blank" " "
  run read_csv_blank "$py" "$peer" read_csv "$blank" " "
  run write4 "$bench" write "$comma" "$work/out4.prn" 4 8
  run savetxt4 "$py" "$peer" savetxt "$comma" "$work/np4.txt" "%8.4g"
  run write15 "$bench" write "$comma" "$work/out15.prn" 15 8
  run savetxt15 "$py" "$peer" savetxt "$comma" "$work/np15.txt" "%.15g"
  # APPENDPRN rewrites the file; each round starts again from the table
  # written at precision 15 (which reads back the same table).
  cp "$work/out15.prn" "$work/append.prn"
  run append "$bench" append "$work/append.prn" 1 15 8
  run read_out15 "$bench" read "$work/out15.prn"
done

"$py" - "$results" "$size" <<'PY'
import sys, statistics
size = int(sys.argv[2])
wall, cpu, mem = {}, {}, {}
for label, sec, peak, used in (l.split() for l in open(sys.argv[1])):
    wall.setdefault(label, []).append(float(sec))
    cpu.setdefault(label, []).append(float(used))
    mem.setdefault(label, []).append(int(peak))
w = {k: statistics.median(v) for k, v in wall.items()}
c = {k: statistics.median(v) for k, v in cpu.items()}
print("\nmedians of %d rounds      ours (wall)  peer (wall)  ratio  | ratio of CPU time" % len(wall["read_comma"]))
def line(text, ours, peer, target):
    rw, rc = w[peer] / w[ours], c[peer] / c[ours]
    print("%-40s %7.3f s %9.3f s %6.2f  | %5.2f   target %.1f: %s" % (
        text, w[ours], w[peer], rw, rc, target, "met" if rw >= target else "NOT met"))
line("READPRN ', '   vs numpy.loadtxt", "read_comma", "loadtxt_comma", 2.5)
line("READPRN ', '   vs pandas.read_csv", "read_comma", "read_csv_comma", 2.0)
line("READPRN blanks vs numpy.loadtxt", "read_blank", "loadtxt_blank", 2.5)
line("READPRN blanks vs pandas.read_csv", "read_blank", "read_csv_blank", 2.0)
line("WRITEPRN p4 w8 vs numpy.savetxt %8.4g", "write4", "savetxt4", 3.0)
line("WRITEPRN p15   vs numpy.savetxt %.15g", "write15", "savetxt15", 3.0)
# APPENDPRN is the one being compared: the "peer" is one read plus one write.
for med in (w, c):
    med["read_write"] = med["read_out15"] + med["write15"]
line("APPENDPRN 1 row vs READPRN + WRITEPRN", "append", "read_write", 1.0)
result = 8 * 1000000 * 8
peak = max(mem["read_comma"] + mem["read_blank"])
print("READPRN peak memory growth %.1f MB; limit file + 2 x result = %.1f MB (%s)" % (
    peak / 1e6, (size + 2 * result) / 1e6, "met" if peak <= size + 2 * result else "NOT met"))
PY
