#!/usr/bin/env bash
# root-smoke.sh PYTHON (inside a clean test root: the wheels at /dist, this
# folder at /wheel): a fresh venv of PYTHON, the wheel for its version with
# NumPy, Pillow and Dask from PyPI, then smoke.py.
set -euo pipefail
python=$1
tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls /dist/patchwell-*-"$tag"-"$tag"-*.whl 2>/dev/null | head -1)
[ -n "$wheel" ] || { echo "no wheel for $tag in dist/" >&2; exit 1; }
rm -rf /tmp/venv
"$python" -m venv /tmp/venv
echo "installing $(basename "$wheel") with numpy, pillow and dask[distributed] ($(/tmp/venv/bin/pip --version | cut -d' ' -f1-2))"
/tmp/venv/bin/pip install -q "$wheel" numpy pillow "dask[distributed]"
cd /tmp
/tmp/venv/bin/python /wheel/smoke.py
