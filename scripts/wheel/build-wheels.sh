#!/usr/bin/env bash
# build-wheels.sh [X.Y...]: everything `make wheel` makes: the build root
# with its codecs and interpreters, a wheel per Python version (those of
# default_pythons unless named), each repaired and checked, and the sdist,
# all in dist/.
source "$(dirname "$0")/common.sh"
W=$REPO/scripts/wheel
versions=("$@")
[ ${#versions[@]} -gt 0 ] || read -r -a versions <<<"$(default_pythons)"
start=$SECONDS
"$W/prepare-root.sh" "${versions[@]}"
for v in "${versions[@]}"; do
  "$W/build-wheel.sh" "$v"
done
say "the sdist"
for py in "${versions[@]}" "$ROOT_PYTHON"; do  # an interpreter of the root
  [ ! -f "$WROOT/build/opt/python/$py/build-venv/pyvenv.cfg" ] || break
done
mkdir -p "$WROOT/raw"; rm -f "$WROOT/raw"/*.tar.gz
in_root "$WROOT/build" --bind "$REPO:/src:ro" --bind "$W:/wheel:ro" --bind "$WROOT/raw:/out" \
  -- /wheel/root-sdist.sh "$py" >"$WROOT/sdist.log" 2>&1 \
  || { cat "$WROOT/sdist.log" >&2; die "the sdist failed"; }
mv "$WROOT/raw"/patchwell-*.tar.gz "$DIST/"
ls -l "$DIST"
say "make wheel: $((SECONDS - start)) s"
