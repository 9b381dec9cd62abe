#!/usr/bin/env bash
# build-wheel.sh X.Y: the wheel for CPython X.Y, built in the prepared
# build root (prepare-root.sh) with its interpreter X.Y, or against the
# headers of one installed here (python_headers), and repaired into dist/. The CUDA backend is
# built when this machine has /usr/local/cuda/bin/nvcc (PATCHWELL_CUDA=OFF
# leaves it out): the toolkit is mounted read-only into the root.
source "$(dirname "$0")/common.sh"
v=$1 root=$WROOT/build
binds=(--bind "$REPO:/src:ro" --bind "$REPO/scripts/wheel:/wheel:ro"
       --bind "$WROOT/obj:/obj" --bind "$WROOT/raw:/out")
if [ ! -f "$root/opt/python/$v/build-venv/pyvenv.cfg" ]; then
  # No interpreter X.Y in the root: the headers of an installed one, with
  # the root's own Python driving the build.
  headers=$(python_headers "$v") || die "no Python $v in the build root (prepare-root.sh $v) and no headers of it here"
  [ -f "$root/opt/python/$ROOT_PYTHON/build-venv/pyvenv.cfg" ] || die "no Python $ROOT_PYTHON in the build root (prepare-root.sh $v)"
  binds+=(--bind "$headers:/opt/python-headers/$v:ro")
fi
if [ "${PATCHWELL_CUDA:-AUTO}" != OFF ] && [ -x /usr/local/cuda/bin/nvcc ]; then
  binds+=(--bind "$(realpath /usr/local/cuda):/usr/local/cuda:ro")
fi
mkdir -p "$WROOT/obj" "$WROOT/raw"
rm -f "$WROOT/raw"/*.whl
say "building the wheel for Python $v (log in $WROOT/wheel-$v.log)"
start=$SECONDS
in_root "$root" "${binds[@]}" -- nice /wheel/root-wheel.sh "$v" >"$WROOT/wheel-$v.log" 2>&1 \
  || { tail -40 "$WROOT/wheel-$v.log" >&2; die "the wheel for Python $v failed; see $WROOT/wheel-$v.log"; }
say "built in $((SECONDS - start)) s: $(grep '^CUDA backend' "$WROOT/wheel-$v.log")"
"$REPO/scripts/wheel/repair-wheel.sh" "$(ls "$WROOT/raw"/*.whl)"
