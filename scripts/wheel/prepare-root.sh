#!/usr/bin/env bash
# prepare-root.sh X.Y...: a fresh build root in build/wheel-root/build with
# the tools, the codecs and the interpreters for X.Y..., each step from the
# cache when it has been built before.
source "$(dirname "$0")/common.sh"
W=$REPO/scripts/wheel

base=$("$W/build-root.sh")
root=$WROOT/build
# The root of an earlier run is kept, with a stamp of each tarball unpacked
# into it (here and in stage.sh): unpacking and deleting a root costs more
# than building a wheel.
if [ "$(cat "$root/.wheel-stamp-base" 2>/dev/null)" != "$(basename "$base")" ]; then
  say "unpacking the build root"
  unpack "$base" "$root"
  basename "$base" >"$root/.wheel-stamp-base"
fi
b="=$(basename "$base")"
"$W/stage.sh" "$root" tools opt/tools "$b" "$W/requirements-build.txt" "$W/root-tools.sh" \
  -- /wheel/root-tools.sh
"$W/fetch-source.sh" zlib libpng1.6 libjpeg-turbo libwebp tiff
# The sources taken (fetch-source.sh) key the steps built from them.
used() { local p; for p in "$@"; do cat "$CACHE/sources/$p.used" 2>/dev/null || true; done; }
"$W/stage.sh" "$root" codecs opt/codecs "$b" "=$(used zlib libpng1.6 libjpeg-turbo libwebp tiff)" \
  "$W/root-codecs.sh" "$W/root-unpack-source.sh" -- /wheel/root-codecs.sh
# The interpreters: those of sources.txt built in the root, the root's own,
# and for a version built against headers (python_headers), the root's own
# to drive its build.
interpreters=()
for v in "$@"; do
  if grep -q "^python$v " "$SOURCES" || [ "$v" = "$ROOT_PYTHON" ]; then
    interpreters+=("$v")
  elif python_headers "$v" >/dev/null; then
    interpreters+=("$ROOT_PYTHON")
  else
    die "no source of Python $v: $SOURCES pins $(grep -o '^python[0-9.]*' "$SOURCES" | tr '\n' ' ')($ROOT_PYTHON is the root's own), and no headers of an installed Python $v were found (PATCHWELL_PYTHON_HEADERS)"
  fi
done
for v in $(printf '%s\n' "${interpreters[@]}" | sort -uV); do
  [ "$v" = "$ROOT_PYTHON" ] || "$W/fetch-source.sh" "python$v"
  "$W/stage.sh" "$root" "python-$v" "opt/python/$v" "$b" "=$v $(used "python$v")" \
    "$W/root-python.sh" "$W/root-unpack-source.sh" "$W/requirements-build.txt" \
    -- /wheel/root-python.sh "$v"
done
