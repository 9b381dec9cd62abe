#!/usr/bin/env bash
# stage.sh ROOT NAME DIR KEY... -- COMMAND...
# One cached step of the build root: when cache/NAME-<key>.tar.zst exists it
# is unpacked into ROOT/DIR; otherwise COMMAND runs inside ROOT (this folder
# at /wheel, read-only; the source-package cache at /srcpkg; pip's cache at
# /root/.cache/pip) and what it left in DIR is packed into that tarball. The
# key covers the KEYs (files, or =TEXT for the text itself).
source "$(dirname "$0")/common.sh"

root=$1 name=$2 dir=$3; shift 3
keys=()
while [ "$1" != -- ]; do keys+=("$1"); shift; done
shift
key=$(for k in "${keys[@]}"; do case $k in =*) echo "${k#=}" ;; *) cat "$k" ;; esac; done \
      | sha256sum | cut -c1-12)
tarball=$CACHE/$name-$key.tar.zst
stamp=$root/.wheel-stamp-$name
if [ "$(cat "$stamp" 2>/dev/null)" = "$(basename "$tarball")" ] && [ -f "$tarball" ]; then
  say "$name present"
  exit 0
fi
rm -rf "${root:?}/$dir" "$stamp"
mkdir -p "$root/$dir"
if [ -f "$tarball" ]; then
  say "$name from the cache"
  tar -C "$root/$dir" --zstd -xpf "$tarball"
  basename "$tarball" >"$stamp"
  exit 0
fi
say "$name: building (log in $WROOT/$name.log)"
mkdir -p "$CACHE/sources" "$PIP_CACHE"
start=$SECONDS
in_root "$root" --bind "$REPO/scripts/wheel:/wheel:ro" --bind "$CACHE/sources:/srcpkg" \
  --bind "$PIP_CACHE:/root/.cache/pip" -- nice "$@" >"$WROOT/$name.log" 2>&1 \
  || { tail -30 "$WROOT/$name.log" >&2; die "$name failed; see $WROOT/$name.log"; }
pack "$root/$dir" "$tarball"
basename "$tarball" >"$stamp"
say "$name built in $((SECONDS - start)) s"
