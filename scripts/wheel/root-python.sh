#!/usr/bin/env bash
# root-python.sh X.Y (inside the build root, this folder at /wheel)
# CPython X.Y in /opt/python/X.Y with a build environment (scikit-build-core,
# pybind11) in /opt/python/X.Y/build-venv. The root's own Python 3 is
# used as it is; other versions are built from the upstream sources that
# Debian's source package carries (without Debian's changes to the
# installation layout).
set -euo pipefail
v=$1 prefix=/opt/python/$1
if [ "$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$v" ]; then
  python=/usr/bin/python3
else
  /wheel/root-unpack-source.sh "python$v" /usr/src/python$v --upstream
  cd /usr/src/python$v
  # No test modules, no optimisation passes: the interpreter only drives
  # the builds.
  ./configure --prefix="$prefix" --disable-test-modules --with-ensurepip=install >configure.log
  make -j "$(nproc)" >make.log 2>&1 || { tail -40 make.log; exit 1; }
  make install >install.log 2>&1 || { tail -40 install.log; exit 1; }
  python=$prefix/bin/python$v
fi
"$python" -m venv "$prefix/build-venv"
"$prefix/build-venv/bin/python" -m pip install -q --upgrade pip
"$prefix/build-venv/bin/python" -m pip install -q $(grep -E '^(scikit-build-core|pybind11)==' /wheel/requirements-build.txt)
"$prefix/build-venv/bin/python" -c 'import sys, ssl, zlib; print(sys.version)'
