#!/usr/bin/env bash
# Builds the C++ library, the command and the unit tests with
# AddressSanitizer and UndefinedBehaviorSanitizer in build/asan and runs the
# tests there: among them the truncated and corrupted files of every format
# and the replay of the readers' regression corpus (tests/corpus), the
# thread start failures (with the pthread_create shim preloaded), and the
# command-line tool's tests (tests/python/test_cli.py) against the
# sanitized command. The last need the module in .venv (make install).
#   scripts/sanitize.sh [GTEST_FILTER]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPATCHWELL_SANITIZE=ON -DPATCHWELL_BUILD_TESTS=ON \
  -DPATCHWELL_BUILD_PYTHON=OFF -DPATCHWELL_CUDA=OFF >/dev/null
cmake --build build/asan -j "${JOBS:-2}" --target patchwell_tests patchwell-cli pw_fail_thread_start
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build/asan/patchwell_tests --gtest_brief=1 --gtest_filter="${1:-*}"

echo "[sanitize] thread start failures"
LD_PRELOAD=$PWD/build/asan/libpw_fail_thread_start.so \
  ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0 \
  build/asan/patchwell_tests --gtest_brief=1 --gtest_filter='ThreadStartFailure.*'

echo "[sanitize] the command's tests against build/asan/patchwell"
# The shim test preloads a library ahead of the sanitizer's runtime.
PATCHWELL_CLI=$PWD/build/asan/patchwell \
  ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0 \
  .venv/bin/python -m pytest -q -p no:cacheprovider tests/python/test_cli.py
