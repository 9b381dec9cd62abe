#!/usr/bin/env bash
# root-sdist.sh X.Y (inside the build root: the repository at /src,
# read-only; the sdist into /out): the source distribution, which builds
# with pip where the codecs' -dev packages are installed.
set -euo pipefail
cd /src
/opt/python/$1/build-venv/bin/python -c '
from scikit_build_core.build import build_sdist
print(build_sdist("/out"))'
