# Sourced by the scripts of this folder: where the wheel builds keep their
# roots, caches and outputs, and how a command runs inside a root.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WROOT=${PATCHWELL_WHEEL_ROOT:-$REPO/build/wheel-root}
CACHE=$WROOT/cache
PIP_CACHE=$WROOT/pip-cache
DIST=$REPO/dist
MIRROR=http://deb.debian.org/debian
# The pinned Debian sources (PATCHWELL_WHEEL_SOURCES: another list).
SOURCES=${PATCHWELL_WHEEL_SOURCES:-$REPO/scripts/wheel/sources.txt}
# What the clean test roots hold (and the roots apt fetches sources in).
TEST_ROOT_PACKAGES="python3 python3-venv"

# The interpreters the wheels are built for: 3.9 is the build root's own
# (Debian 11); 3.11 and 3.13 are built inside the root from the sources of
# sources.txt. Debian's archive has no source package of 3.10 or 3.12:
# their wheels are built against the headers of an installed CPython of
# that version (python_headers), and only where one is found.
PYTHONS_DEFAULT="3.9 3.11 3.13"
PYTHONS_BY_HEADERS="3.10 3.12"
ROOT_PYTHON=3.9

say() { printf '[wheel] %s\n' "$*"; }
die() { printf '[wheel] error: %s\n' "$*" >&2; exit 1; }

# python_headers X.Y: the folder with Python.h of the newest CPython X.Y
# installed under PATCHWELL_PYTHON_HEADERS (by default pyenv's versions:
# DIR/X.Y.Z/include/pythonX.Y); fails where there is none.
python_headers() {
  local base=${PATCHWELL_PYTHON_HEADERS:-${PYENV_ROOT:-$HOME/.pyenv}/versions} d
  for d in $(ls -d "$base/$1".*/include/"python$1" 2>/dev/null | sort -V -r); do
    [ -f "$d/Python.h" ] && [ -f "$d/patchlevel.h" ] && { echo "$d"; return 0; }
  done
  return 1
}

# host_python X.Y: the newest CPython X.Y installed where python_headers
# looks (DIR/X.Y.Z/bin/pythonX.Y); fails where there is none.
host_python() {
  local base=${PATCHWELL_PYTHON_HEADERS:-${PYENV_ROOT:-$HOME/.pyenv}/versions} p
  for p in $(ls -d "$base/$1".*/bin/"python$1" 2>/dev/null | sort -V -r); do
    [ -x "$p" ] && { echo "$p"; return 0; }
  done
  return 1
}

# default_pythons: PYTHONS_DEFAULT and those of PYTHONS_BY_HEADERS whose
# headers are found here.
default_pythons() {
  local v list=$PYTHONS_DEFAULT
  for v in $PYTHONS_BY_HEADERS; do
    if python_headers "$v" >/dev/null; then list+=" $v"; else say "no headers of Python $v here: no wheel for it" >&2; fi
  done
  tr ' ' '\n' <<<"$list" | sort -V | tr '\n' ' '
}

[ "$(id -u)" -eq 0 ] || die "building and testing wheels in Debian roots needs root"

# in_root ROOT [--bind HOST:INSIDE[:ro]]... -- COMMAND...
# Runs COMMAND in ROOT (chroot) within a private mount namespace: the
# mounts made for it (proc, dev, binds) vanish with the command and never
# show outside. The environment is a clean one, but for the machine's
# certificate authorities (the root's own may lack those that reaching
# PyPI from here needs), which pip and Python's ssl use.
in_root() {
  local root=$1; shift
  local binds=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    case $1 in
      --bind) binds+=("$2"); shift 2 ;;
      *) die "in_root: unknown option $1" ;;
    esac
  done
  shift
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  local ca=/etc/ssl/certs/ca-certificates.crt
  mkdir -p "$root/etc/ssl"; touch "$root/etc/ssl/host-ca.crt"
  binds+=("$ca:/etc/ssl/host-ca.crt:ro")
  unshare --mount --propagation private -- bash -euo pipefail -c '
    root=$1; nbinds=$2; shift 2
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    for ((i = 0; i < nbinds; i++)); do
      IFS=: read -r src dst mode <<<"$1"; shift
      [ -e "$root$dst" ] || mkdir -p "$root$dst"
      mount --bind "$src" "$root$dst"
      [ "$mode" != ro ] || mount -o remount,bind,ro "$root$dst"
    done
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      SSL_CERT_FILE=/etc/ssl/host-ca.crt PIP_CERT=/etc/ssl/host-ca.crt \
      PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 "$@"
  ' in_root "$root" "${#binds[@]}" "${binds[@]}" "$@"
}

# unpack TARBALL DIR: a fresh copy of a cached root.
unpack() {
  rm -rf "$2"; mkdir -p "$2"
  tar -C "$2" --zstd -xpf "$1"
}

# pack DIR TARBALL: the root as a tarball, written whole or not at all.
pack() {
  tar -C "$1" --zstd -cpf "$2.part" --exclude=./proc/* --exclude=./dev/* .
  mv "$2.part" "$2"
}
