#!/usr/bin/env bash
# root-wheel.sh X.Y (inside the build root: the repository at /src,
# read-only; this folder at /wheel; build folders kept in /obj; the wheel
# into /out): the wheel for CPython X.Y, with the codecs of /opt/codecs
# and the CUDA backend when /usr/local/cuda/bin/nvcc is there.
set -euo pipefail
v=$1
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
/opt/python/$v/build-venv/bin/python -m pip wheel --no-build-isolation --no-deps \
  -w /out -C build-dir=/obj/{wheel_tag} -C build.verbose=false /src
