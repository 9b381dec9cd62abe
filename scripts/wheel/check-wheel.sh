#!/usr/bin/env bash
# check-wheel.sh WHEEL (auditwheel on PATH): what a wheel for any Linux
# must be: at most 6 MB, manylinux_2_31 or lower by auditwheel, no
# libraries of its own (patchwell.libs/), the patchwell command native in
# the wheel's scripts, and no symbol of the codecs exported.
source "$(dirname "$0")/common.sh"
whl=$1 name=$(basename "$1")
fail() { die "$name: $*"; }

size=$(stat -c %s "$whl")
[ "$size" -le 6000000 ] || fail "$size bytes, over 6 MB"

show=$(auditwheel show "$whl" | tr -s " \n" "  ")
tag=$(grep -o 'following platform tag: "[^"]*"' <<<"$show" | cut -d'"' -f2)
[[ $tag =~ ^manylinux_2_([0-9]+)_x86_64$ ]] || fail "auditwheel gives no manylinux tag: $show"
[ "${BASH_REMATCH[1]}" -le 31 ] || fail "$tag needs a glibc newer than 2.31"
[[ $name == *manylinux_2_${BASH_REMATCH[1]}_x86_64* ]] || fail "file name lacks $tag"

list=$(unzip -Z1 "$whl")
! grep -qE '^patchwell\.(libs|scripts)/' <<<"$list" || fail "carries patchwell.libs/ or patchwell.scripts/"
cmd=$(grep -E '^patchwell-[^/]+\.data/scripts/patchwell$' <<<"$list") || fail "no patchwell command in its scripts"
core=$(grep -E '^patchwell/_core\.[^/]*\.so$' <<<"$list") || fail "no patchwell/_core module"

tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
unzip -q "$whl" "$cmd" "$core" -d "$tmp"
[ "$(head -c 4 "$tmp/$cmd" | od -An -c | tr -d ' ')" = '177ELF' ] || fail "the patchwell command is not a native program"
# The codecs' (zlib, libpng, libjpeg, libtiff, libwebp) and the CUDA
# runtime's symbols, which another library in the process may also have.
codec='^(png_|jpeg_|jinit_|jcopy_|jdiv_|jround_|jzero_|_?TIFF|WebP|VP8|SharpYuv|deflate|inflate|crc32|adler32|(un)?compress|zlib|gz|_?_?cuda|NvOptimus)'
for f in "$tmp/$core" "$tmp/$cmd"; do
  exported=$(nm -D --defined-only "$f" | awk '{print $3}' | grep -E "$codec" || true)
  [ -z "$exported" ] || fail "$(basename "$f") exports its libraries' symbols: $(echo $exported | cut -c1-200)"
done
say "$name: $size bytes, $tag, native command, nothing bundled"
