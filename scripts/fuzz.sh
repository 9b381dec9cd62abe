#!/usr/bin/env bash
# Builds the libFuzzer targets of the image readers with clang (AddressSanitizer
# and UndefinedBehaviorSanitizer) in build/fuzz and runs each for SECONDS
# (default 60), one after another, starting from the seed corpus in
# tests/corpus/<reader>. Inputs that make a reader fail land in
# build/fuzz/findings/<reader>/; copy each one into tests/corpus/<reader>/
# once fixed, so that `make test` replays it from then on.
#   scripts/fuzz.sh [SECONDS] [READER...]     readers: text bmp ppm png jpeg tiff webp
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
readers=("$@")
[ ${#readers[@]} -gt 0 ] || readers=(text bmp ppm png jpeg tiff webp)

# clang and its libFuzzer runtime (Debian 12: clang, libclang-rt-14-dev).
if ! command -v "${CXX:-clang++}" >/dev/null ||
   ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "[fuzz] installing clang and its libFuzzer runtime"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends clang libclang-rt-14-dev
  else
    echo "[fuzz] clang is needed: apt-get install -y clang libclang-rt-14-dev" >&2
    exit 1
  fi
fi

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B build/fuzz -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATCHWELL_FUZZ=ON \
  -DPATCHWELL_BUILD_PYTHON=OFF -DPATCHWELL_BUILD_CLI=OFF \
  -DPATCHWELL_CUDA=OFF >/dev/null
cmake --build build/fuzz -j "${JOBS:-2}" --target $(printf 'fuzz_%s ' "${readers[@]}")

status=0
for reader in "${readers[@]}"; do
  work=build/fuzz/corpus/$reader
  findings=build/fuzz/findings/$reader
  mkdir -p "$work" "$findings"
  echo "[fuzz] $reader for ${seconds}s"
  if ! build/fuzz/fuzz_"$reader" "$work" "tests/corpus/$reader" \
       -max_total_time="$seconds" -max_len=16384 -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$findings/" 2> "build/fuzz/$reader.log"; then
    echo "[fuzz] $reader: FINDING, see build/fuzz/$reader.log and $findings/"
    status=1
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' \
    "build/fuzz/$reader.log" | sed "s/^/[fuzz] $reader /" || true
done
exit $status
