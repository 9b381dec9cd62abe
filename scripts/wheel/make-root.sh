#!/usr/bin/env bash
# make-root.sh NAME SUITE [PACKAGE...]
# A minimal Debian root (debootstrap, variant minbase) of SUITE with the
# PACKAGEs installed, kept as the tarball cache/NAME-<key>.tar.zst; prints
# its path. The key covers the suite and the packages (and ROOT_FORMAT
# below, raised when a change here needs new roots); an existing root is
# reused.
source "$(dirname "$0")/common.sh"

name=$1 suite=$2; shift 2
ROOT_FORMAT=1
key=$(echo "$ROOT_FORMAT $suite $*" | sha256sum | cut -c1-12)
tarball=$CACHE/$name-$key.tar.zst
if [ -f "$tarball" ]; then
  say "root $name ($suite) from the cache" >&2
  echo "$tarball"; exit 0
fi

# The host's tools for the roots and the wheels (Debian packages).
missing=()
for tool in debootstrap curl unzip; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]} (Debian packages)" >&2
  # A fresh machine may not have read the package lists yet.
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q --no-install-recommends "${missing[@]}" >&2 || {
    apt-get update -q >&2
    apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
  }
fi

mkdir -p "$CACHE"
dir=$WROOT/tmp-$name
rm -rf "$dir"
say "debootstrap $suite into $dir" >&2
# debootstrap mounts proc and sys inside the root: a private namespace
# keeps those mounts from the rest of the machine.
unshare --mount --propagation private -- \
  debootstrap --variant=minbase "$suite" "$dir" "$MIRROR" >"$WROOT/$name-debootstrap.log" 2>&1 \
  || die "debootstrap failed; see $WROOT/$name-debootstrap.log"
if [ $# -gt 0 ]; then
  say "installing into the root: $*" >&2
  in_root "$dir" -- bash -c '
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q && apt-get install -y -q --no-install-recommends "$@" && apt-get clean
  ' sh "$@" >>"$WROOT/$name-debootstrap.log" 2>&1 \
    || die "installing packages failed; see $WROOT/$name-debootstrap.log"
fi
pack "$dir" "$tarball"
rm -rf "$dir"
echo "$tarball"
