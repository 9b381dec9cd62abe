#!/usr/bin/env bash
# root-codecs.sh (inside the build root, this folder at /wheel, the tools
# venv at /opt/tools): zlib, libpng, libjpeg-turbo, libwebp and libtiff from
# Debian source packages as static, position-independent libraries in
# /opt/codecs. Their symbols are hidden, so that the module and the command
# that link them export none of them and meet no other copy at run time.
set -euo pipefail
P=/opt/codecs
export PATH=/opt/tools/bin:$PATH
export CFLAGS="-O2 -fPIC -fvisibility=hidden" CXXFLAGS="-O2 -fPIC -fvisibility=hidden"
jobs=$(nproc)
mkdir -p /usr/src/codecs $P
cd /usr/src/codecs

cmake_build() {  # cmake_build SOURCE-DIR OPTIONS...
  local src=$1; shift
  cmake -S "$src" -B "$src/_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=$P -DCMAKE_INSTALL_LIBDIR=$P/lib -DCMAKE_PREFIX_PATH=$P \
    -DCMAKE_POLICY_DEFAULT_CMP0074=NEW -Wno-dev -Wno-deprecated \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF "$@" >/dev/null
  cmake --build "$src/_build" -j "$jobs" >/dev/null
  cmake --install "$src/_build" >/dev/null
}

/wheel/root-unpack-source.sh zlib zlib
(cd zlib && ./configure --static --prefix=$P >/dev/null && make -j "$jobs" >/dev/null && make install >/dev/null)

/wheel/root-unpack-source.sh libpng1.6 libpng
cmake_build libpng -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_TOOLS=OFF \
  -DPNG_FRAMEWORK=OFF -DZLIB_ROOT=$P

/wheel/root-unpack-source.sh libjpeg-turbo libjpeg-turbo
cmake_build libjpeg-turbo -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
  -DWITH_JPEG8=OFF

/wheel/root-unpack-source.sh libwebp libwebp
cmake_build libwebp -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF \
  -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF \
  -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF \
  -DWEBP_BUILD_LIBWEBPMUX=ON -DWEBP_USE_THREAD=ON

# zlib (deflate) alone: the readers refuse JPEG-in-TIFF, and every other
# codec would be one more library to carry.
/wheel/root-unpack-source.sh tiff tiff
cmake_build tiff -Dzlib=ON -Djpeg=OFF -Dold-jpeg=OFF -Dwebp=OFF -Dlzma=OFF -Dzstd=OFF \
  -Djbig=OFF -Dlerc=OFF -Dlibdeflate=OFF -Dpixarlog=OFF -Dcxx=OFF -Dtiff-tools=OFF \
  -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -DZLIB_ROOT=$P

ls $P/lib/*.a
for lib in z png16 jpeg tiff webp webpmux webpdemux sharpyuv; do
  [ -f $P/lib/lib$lib.a ] || { echo "lib$lib.a is missing" >&2; exit 1; }
done
