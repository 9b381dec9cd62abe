#!/usr/bin/env bash
# ci-wheel.sh: what continuous integration runs of the wheels: the wheel
# for Python 3.11 (a fresh Debian 12's own) with the sdist, built, repaired
# and checked as `make wheel` does, then its smoke test in a clean Debian 12
# root. Caches in build/wheel-root are used where present; on a fresh
# machine everything is built (network: Debian's archive and PyPI).
source "$(dirname "$0")/common.sh"
W=$REPO/scripts/wheel
start=$SECONDS
"$W/build-wheels.sh" 3.11
"$W/test-wheels.sh" bookworm
say "ci-wheel: $((SECONDS - start)) s"
