#!/usr/bin/env bash
# Builds the C++ library, the command and the unit tests with
# AddressSanitizer and UndefinedBehaviorSanitizer in build/asan and runs the
# tests there: among them the truncated and corrupted files of every format
# and the replay of the readers' regression corpus (tests/corpus).
#   scripts/sanitize.sh [GTEST_FILTER]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPATCHWELL_SANITIZE=ON -DPATCHWELL_BUILD_TESTS=ON \
  -DPATCHWELL_BUILD_PYTHON=OFF -DPATCHWELL_CUDA=OFF >/dev/null
cmake --build build/asan --target patchwell_tests
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build/asan/patchwell_tests --gtest_brief=1 --gtest_filter="${1:-*}"
