#!/usr/bin/env bash
# build-root.sh: the Debian 11 build root (glibc 2.31, so that the wheels run
# on any Linux with that glibc or newer) with the compiler and the tools
# for the codecs and the interpreters; prints the cached tarball's path.
source "$(dirname "$0")/common.sh"

# nasm: libjpeg-turbo's SIMD code. The -dev packages serve the
# interpreters' own modules (ssl for pip, zlib, ctypes, bz2, lzma); the
# codecs the wheels link come from source (build-codecs.sh), never from
# Debian 11's -dev packages.
exec "$(dirname "$0")/make-root.sh" build bullseye \
  build-essential nasm pkg-config dpkg-dev xz-utils ca-certificates file \
  python3 python3-venv python3-dev libeigen3-dev \
  libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
