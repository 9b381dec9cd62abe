#!/usr/bin/env bash
# Installs everything the build and the tests need, and nothing twice:
# Debian packages, a Python virtual environment in .venv and its pip
# packages. Python 3.13 is used when present (pyenv or the system);
# otherwise Debian's own python3 (3.11 on Debian 12), with python3-venv and
# python3-dev. Safe to run again; every step says what it does.
#   scripts/setup.sh        what the build and the tests need
#   scripts/setup.sh docs   that, and the packages of requirements-docs.txt
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '[setup] %s\n' "$*"; }

# libtbb-dev: the parallel algorithms of the HIP CPU runtime, which runs the
# CUDA backend on an emulated device in the tests. libeigen3-dev: the
# smooth fill's sparse solver (headers only).
APT_PACKAGES=(build-essential cmake ninja-build pkg-config
              libgtest-dev libpng-dev libjpeg62-turbo-dev zlib1g-dev libtbb-dev
              libtiff-dev libwebp-dev libeigen3-dev)

find_python313() {
  for cand in "PYENV_VERSION=3.13.0 python3.13" "python3.13" "/root/.pyenv/versions/3.13.0/bin/python3.13"; do
    if env $cand -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
      echo "$cand"; return 0
    fi
  done
  return 1
}

venv_works() {
  [ -x .venv/bin/python ] && .venv/bin/python -c 'import sys, venv' >/dev/null 2>&1
}

# Debian's python3 needs its venv and header packages; a pyenv build has both.
py=""
if ! venv_works; then
  py=$(find_python313) || py=""
  [ -n "$py" ] || APT_PACKAGES+=(python3 python3-venv python3-dev)
fi

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing Debian packages: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    say "error: installing packages needs root (run as root or install them yourself)"
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  say "Debian packages present"
fi

if venv_works; then
  say "virtual environment .venv present ($(.venv/bin/python --version))"
else
  if [ -n "$py" ]; then
    say "creating virtual environment .venv with Python 3.13: $py"
  else
    py=/usr/bin/python3
    say "Python 3.13 not found: creating virtual environment .venv with Debian's $($py --version)"
  fi
  rm -rf .venv
  env $py -m venv .venv
fi

stamp=.venv/.requirements.stamp
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  say "installing pip packages from requirements-dev.txt"
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
else
  say "pip packages present"
fi

if [ "${1:-}" = docs ]; then
  stamp=.venv/.requirements-docs.stamp
  if [ ! -f "$stamp" ] || ! cmp -s requirements-docs.txt "$stamp"; then
    say "installing pip packages from requirements-docs.txt"
    .venv/bin/python -m pip install -q -r requirements-docs.txt
    cp requirements-docs.txt "$stamp"
  else
    say "documentation's pip packages present"
  fi
fi
say "ready"
