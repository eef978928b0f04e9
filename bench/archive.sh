#!/usr/bin/env bash
# examples/archive.py in files per second: serially, on threads in one
# process, and on Dask local clusters of 1 and 2 worker processes.
#
#   bench/archive.sh [BUILD_DIR]      (FILES=1200 ROUNDS=3 by default)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
export PYTHONPATH="$build/python"
if ! /usr/bin/python3 -c 'import kexio, dask.distributed, PIL, scipy' 2>/dev/null; then
  echo "archive.sh: skipped, the Python module, Dask, Pillow and scipy are needed" >&2
  exit 0
fi
exec /usr/bin/python3 "$here/archive_bench.py" "${FILES:-1200}"
