#!/bin/sh
# Writes the sample CSV file of the tour into the folder given as the first
# argument (default: the examples folder).
set -eu
dir="${1:-$(dirname "$0")/..}"
mkdir -p "$dir"

# Readings of four sensors: a header row, quoted labels holding a comma and
# doubled quotes, UTF-8 text, and one reading missing.
cat >"$dir/stations.csv" <<'TABLE'
site,label,lat,lon,reading
1,"North gate, east",47.3769,8.5417,21.5
2,Weiß-Halle,47.3770,8.5420,
3,"Pier ""B""",47.3775,8.5431,19.75
4,South,47.3760,8.5400,22.125
TABLE
