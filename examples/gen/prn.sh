#!/bin/sh
# Writes the sample text tables of the tour into the folder given as the
# first argument (default: the examples folder).
set -eu
dir="${1:-$(dirname "$0")/..}"
mkdir -p "$dir"

# A logged table: a comment, a header line of words, values separated by
# commas and blanks.
cat >"$dir/measurements.prn" <<'TABLE'
// Temperature log, one row per reading
time  temp  humidity
0.0,  21.5,  40
0.5,  21.7,  41
1.0,  22.1,  43
1.5,  22.4,  44
TABLE
