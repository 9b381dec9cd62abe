#!/usr/bin/env bash
# root-tools.sh (inside the build root, this folder at /wheel): CMake and
# Ninja from PyPI in /opt/tools (Debian 11's CMake is older than the
# project's 3.25).
set -euo pipefail
python3 -m venv /opt/tools
/opt/tools/bin/python -m pip install -q --upgrade pip
/opt/tools/bin/python -m pip install -q $(grep -E '^(cmake|ninja)==' /wheel/requirements-build.txt)
/opt/tools/bin/cmake --version | head -1
