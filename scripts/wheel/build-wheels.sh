#!/usr/bin/env bash
# build-wheels.sh [X.Y...]: everything `make wheel` makes: the build root
# with its codecs and interpreters, a wheel per Python version (all of
# PYTHONS_DEFAULT unless named), each repaired and checked, and the sdist,
# all in dist/.
source "$(dirname "$0")/common.sh"
W=$REPO/scripts/wheel
versions=("$@")
[ ${#versions[@]} -gt 0 ] || read -r -a versions <<<"$PYTHONS_DEFAULT"
start=$SECONDS
"$W/prepare-root.sh" "${versions[@]}"
for v in "${versions[@]}"; do
  "$W/build-wheel.sh" "$v"
done
say "the sdist"
mkdir -p "$WROOT/raw"; rm -f "$WROOT/raw"/*.tar.gz
in_root "$WROOT/build" --bind "$REPO:/src:ro" --bind "$W:/wheel:ro" --bind "$WROOT/raw:/out" \
  -- /wheel/root-sdist.sh "${versions[0]}" >"$WROOT/sdist.log" 2>&1 \
  || { cat "$WROOT/sdist.log" >&2; die "the sdist failed"; }
mv "$WROOT/raw"/patchwell-*.tar.gz "$DIST/"
ls -l "$DIST"
say "make wheel: $((SECONDS - start)) s"
