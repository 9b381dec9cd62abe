#!/usr/bin/env bash
# root-wheel.sh X.Y (inside the build root: the repository at /src,
# read-only; this folder at /wheel; build folders kept in /obj; the wheel
# into /out): the wheel for CPython X.Y, with the codecs of /opt/codecs
# and the CUDA backend when /usr/local/cuda/bin/nvcc is there.
# Where the root has no interpreter X.Y but its headers are mounted at
# /opt/python-headers/X.Y, the root's own Python drives the build against
# those headers (target-python/FindPython.cmake) and the wheel is retagged.
set -euo pipefail
v=$1 headers=/opt/python-headers/$1
export PATH=/opt/tools/bin:$PATH
export CMAKE_PREFIX_PATH=/opt/codecs PKG_CONFIG_PATH=/opt/codecs/lib/pkgconfig
export CMAKE_ARGS="-DCMAKE_PROJECT_INCLUDE=/wheel/static-codecs.cmake -DZLIB_ROOT=/opt/codecs -DZLIB_USE_STATIC_LIBS=ON"
export CMAKE_BUILD_PARALLEL_LEVEL=$(nproc)
if [ -x /usr/local/cuda/bin/nvcc ]; then
  export CUDACXX=/usr/local/cuda/bin/nvcc
  echo "CUDA backend: $($CUDACXX --version | tail -1)"
else
  CMAKE_ARGS+=" -DPATCHWELL_CUDA=OFF"
  echo "CUDA backend: none (no nvcc)"
fi
tag=cp${v/./}
if [ -x "/opt/python/$v/build-venv/bin/python" ]; then
  python=/opt/python/$v/build-venv/bin/python
else
  [ -f "$headers/Python.h" ] || { echo "no Python $v and no headers of it in the build root" >&2; exit 1; }
  own=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  python=/opt/python/$own/build-venv/bin/python
  [ -x "$python" ] || { echo "no build environment of the root's Python $own" >&2; exit 1; }
  echo "Python $v: headers $(grep -o '"[0-9.]*"' "$headers/patchlevel.h" | head -1), built with $("$python" -V)"
  CMAKE_ARGS+=" -DCMAKE_MODULE_PATH=/wheel/target-python -DPATCHWELL_TARGET_PYTHON_INCLUDE_DIR=$headers"
fi
mkdir -p /tmp/wheel
rm -f /tmp/wheel/*.whl
"$python" -m pip wheel --no-build-isolation --no-deps \
  -w /tmp/wheel -C build-dir=/obj/$tag-$tag-linux_x86_64 -C build.verbose=false /src
whl=$(ls /tmp/wheel/*.whl)
case $(basename "$whl") in
  *-$tag-$tag-*) ;;
  *) whl=$("$python" /wheel/retag-wheel.py "$whl" "$tag") ;;
esac
mv "$whl" /out/
