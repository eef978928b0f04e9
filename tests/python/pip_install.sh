#!/bin/sh
# pip builds a wheel of the checkout (offline, with the system's build tools) and installs
# it into a fresh virtual environment; the module's tests then run against that copy from
# another folder. Exits 77 (skipped) without python3-venv and python3-pip.
#   pip_install.sh SOURCE WORK HOST
set -eu
source=$1 work=$2 host=$3
rm -rf "$work"
mkdir -p "$work"
if ! /usr/bin/python3 -m venv --system-site-packages "$work/venv" >/dev/null 2>&1 ||
   ! "$work/venv/bin/python" -m pip --version >/dev/null 2>&1; then
  echo "skipped: python3-venv and python3-pip are needed"
  exit 77
fi
"$work/venv/bin/pip" wheel --quiet --no-build-isolation --no-index --no-deps -w "$work/wheels" "$source"
"$work/venv/bin/pip" install --quiet --no-index "$work"/wheels/kexio-*.whl
cd "$work"
"$work/venv/bin/python" -c "import kexio, sys; assert kexio.__file__.startswith(sys.prefix), kexio.__file__"
# The Jupyter kernel comes with it, its kernel.json where Jupyter looks in the environment.
"$work/venv/bin/python" -c "import kexio_kernel.kernel, sys; assert kexio_kernel.__file__.startswith(sys.prefix)"
test -f "$work/venv/share/jupyter/kernels/kexio/kernel.json"
env -u PYTHONPATH KEXIO_BIN="$host" PYTHONDONTWRITEBYTECODE=1 \
  "$work/venv/bin/python" "$source/tests/python/test_module.py"
