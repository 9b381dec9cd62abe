#!/usr/bin/env bash
# test-wheels.sh [SUITE|host-X.Y...]: the wheel of dist/ for the Python of a
# clean, minimal root of each SUITE (by default bullseye, bookworm and
# trixie: Debian 11, 12 and 13, with Python 3.9, 3.11 and 3.13):
# the root has the suite's python3 and python3-venv and nothing else (no
# compiler, no -dev package); the wheel for that Python goes into a fresh
# venv with NumPy, Pillow and Dask from PyPI, and smoke.py runs.
# host-X.Y does the same on this machine with its installed CPython X.Y
# (host_python): by default for each wheel of dist/ that no suite's Python
# takes (those built against headers, 3.10 and 3.12).
source "$(dirname "$0")/common.sh"
W=$REPO/scripts/wheel
suites=("$@")
if [ ${#suites[@]} -eq 0 ]; then
  suites=(bullseye bookworm trixie)
  for v in $PYTHONS_BY_HEADERS; do
    ! ls "$DIST"/patchwell-*-cp${v/./}-cp${v/./}-*.whl >/dev/null 2>&1 || suites+=("host-$v")
  done
fi
ls "$DIST"/patchwell-*.whl >/dev/null 2>&1 || die "no wheels in dist/ (make wheel)"
# The wheels carry the CUDA backend when this machine built them with nvcc.
expect_cuda=0
if [ "${PATCHWELL_CUDA:-AUTO}" != OFF ] && [ -x /usr/local/cuda/bin/nvcc ]; then expect_cuda=1; fi
mkdir -p "$PIP_CACHE"
for suite in "${suites[@]}"; do
  start=$SECONDS
  if [[ $suite == host-* ]]; then
    v=${suite#host-}
    python=$(host_python "$v") || die "no Python $v installed here (PATCHWELL_PYTHON_HEADERS)"
    say "smoke test with this machine's $python (log in $WROOT/test-$suite.log)"
    env SMOKE_DIST="$DIST" SMOKE_VENV="$WROOT/$suite-venv" SMOKE_WHEEL_DIR="$W" \
      PIP_CACHE_DIR="$PIP_CACHE" PIP_DISABLE_PIP_VERSION_CHECK=1 PW_EXPECT_CUDA=$expect_cuda \
      "$W/root-smoke.sh" "$python" >"$WROOT/test-$suite.log" 2>&1 \
      || { tail -30 "$WROOT/test-$suite.log" >&2; die "the smoke test failed with $python"; }
    grep -E '^(installing|import patchwell|Patchwell|smoke test)' "$WROOT/test-$suite.log" | sed 's/^/    /'
    rm -rf "$WROOT/$suite-venv"
    say "$suite: passed in $((SECONDS - start)) s"
    continue
  fi
  tarball=$("$W/make-root.sh" "test-$suite" "$suite" $TEST_ROOT_PACKAGES)
  root=$WROOT/test-$suite
  unpack "$tarball" "$root"
  say "smoke test in a clean $suite root (log in $WROOT/test-$suite.log)"
  in_root "$root" --bind "$DIST:/dist:ro" --bind "$W:/wheel:ro" --bind "$PIP_CACHE:/root/.cache/pip" \
    -- env PW_EXPECT_CUDA=$expect_cuda /wheel/root-smoke.sh python3 >"$WROOT/test-$suite.log" 2>&1 \
    || { tail -30 "$WROOT/test-$suite.log" >&2; die "the smoke test failed in the $suite root"; }
  grep -E '^(installing|import patchwell|Patchwell|smoke test)' "$WROOT/test-$suite.log" | sed 's/^/    /'
  rm -rf "$root"
  say "$suite: passed in $((SECONDS - start)) s"
done
