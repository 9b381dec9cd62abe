#!/usr/bin/env bash
# fetch-source.sh PACKAGE...: downloads the Debian source packages at the
# versions sources.txt pins into build/wheel-root/cache/sources, checking
# the .dsc against its pinned SHA-256 and the files it lists against the
# .dsc; what is there already is kept.
# fetch-source.sh --hash PACKAGE VERSION: prints the SHA-256 of that .dsc.
source "$(dirname "$0")/common.sh"
dir=$CACHE/sources
mkdir -p "$dir"

pool_url() {  # pool_url PACKAGE FILE
  local prefix=${1:0:1}
  case $1 in lib?*) prefix=${1:0:4} ;; esac
  echo "$MIRROR/pool/main/$prefix/$1/${2//+/%2b}"
}

download() {  # download URL FILE
  [ -f "$2" ] && return 0
  curl -sSf --retry 3 -o "$2.part" "$1" || die "cannot download $1"
  mv "$2.part" "$2"
}

if [ "${1:-}" = --hash ]; then
  f=$dir/${2}_${3#*:}.dsc
  download "$(pool_url "$2" "$(basename "$f")")" "$f"
  sha256sum "$f" | cut -d' ' -f1
  exit 0
fi

for pkg in "$@"; do
  read -r _ version sha < <(awk -v p="$pkg" '$1 == p' "$REPO/scripts/wheel/sources.txt")
  [ -n "${sha:-}" ] || die "no pin for $pkg in scripts/wheel/sources.txt"
  dsc=${pkg}_${version#*:}.dsc
  cd "$dir"
  download "$(pool_url "$pkg" "$dsc")" "$dsc"
  echo "$sha  $dsc" | sha256sum --quiet -c - \
    || { rm -f "$dsc"; die "$dsc does not match its pinned checksum"; }
  # The files the .dsc lists, each checked against it.
  awk '/^Checksums-Sha256:/{on=1; next} /^[^ ]/{on=0} on && NF == 3 {print $1, $3}' "$dsc" \
    | while read -r fsha file; do
        download "$(pool_url "$pkg" "$file")" "$file"
        echo "$fsha  $file" | sha256sum --quiet -c - \
          || { rm -f "$file"; die "$file does not match $dsc"; }
      done
  say "source $pkg $version"
done
