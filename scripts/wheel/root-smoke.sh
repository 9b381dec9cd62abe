#!/usr/bin/env bash
# root-smoke.sh PYTHON (inside a clean test root: the wheels at /dist, this
# folder at /wheel; or on this machine with SMOKE_DIST, SMOKE_VENV and
# SMOKE_WHEEL_DIR naming those places): a fresh venv of PYTHON, the wheel
# for its version with NumPy, Pillow and Dask from PyPI, then smoke.py.
set -euo pipefail
python=$1 dist=${SMOKE_DIST:-/dist} venv=${SMOKE_VENV:-/tmp/venv} here=${SMOKE_WHEEL_DIR:-/wheel}
tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls "$dist"/patchwell-*-"$tag"-"$tag"-*.whl 2>/dev/null | head -1)
[ -n "$wheel" ] || { echo "no wheel for $tag in dist/" >&2; exit 1; }
rm -rf "$venv"
"$python" -m venv "$venv"
echo "installing $(basename "$wheel") with numpy, pillow and dask[distributed] ($("$venv"/bin/pip --version | cut -d' ' -f1-2))"
"$venv"/bin/pip install -q "$wheel" numpy pillow "dask[distributed]"
cd /tmp
"$venv"/bin/python "$here/smoke.py"
