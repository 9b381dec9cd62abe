#!/usr/bin/env bash
# fetch-source.sh PACKAGE...: downloads the Debian source packages at the
# versions sources.txt pins into build/wheel-root/cache/sources, checking
# the .dsc against its pinned SHA-256 and the files it lists against the
# .dsc; what is there already is kept. Writes PACKAGE.used there: the
# package, version and .dsc checksum actually taken, which the build steps
# unpack and key their caches on.
# When the archive no longer serves the pinned version (it drops
# superseded revisions after an update), the suite's current one is taken
# instead, downloaded by apt in a root of that suite, which verifies the
# suite's signed Release file and, through it, the checksums of the
# sources: never an unverified download. It says so, with the line to pin.
# fetch-source.sh --hash PACKAGE VERSION: prints the SHA-256 of that .dsc.
source "$(dirname "$0")/common.sh"
dir=$CACHE/sources
mkdir -p "$dir"

pool_url() {  # pool_url PACKAGE FILE
  local prefix=${1:0:1}
  case $1 in lib?*) prefix=${1:0:4} ;; esac
  echo "$MIRROR/pool/main/$prefix/$1/${2//+/%2b}"
}

download() {  # download URL FILE; fails where the archive lacks it
  [ -f "$2" ] && return 0
  curl -sSf --retry 3 -o "$2.part" "$1" 2>"$2.err" || { rm -f "$2.part"; return 1; }
  rm -f "$2.err"
  mv "$2.part" "$2"
}

# check_files DSC: the files DSC lists, each present and matching it.
check_files() {
  awk '/^Checksums-Sha256:/{on=1; next} /^[^ ]/{on=0} on && NF == 3 {print $1, $3}' "$1" \
    | while read -r fsha file; do
        echo "$fsha  $file" | sha256sum --quiet -c - 2>/dev/null \
          || { rm -f "$file"; echo "$file does not match $1" >&2; return 1; }
      done
}

# pinned PACKAGE VERSION SHA: the pinned version from the pool; fails
# (leaving nothing) where the archive no longer has its .dsc.
pinned() {
  local pkg=$1 dsc=${1}_${2#*:}.dsc
  download "$(pool_url "$pkg" "$dsc")" "$dsc" || return 1
  echo "$3  $dsc" | sha256sum --quiet -c - \
    || { rm -f "$dsc"; die "$dsc does not match its pinned checksum"; }
  awk '/^Checksums-Sha256:/{on=1; next} /^[^ ]/{on=0} on && NF == 3 {print $3}' "$dsc" \
    | while read -r file; do
        download "$(pool_url "$pkg" "$file")" "$file" || die "cannot download $file: $(cat "$file.err")"
      done
  check_files "$dsc" || die "$pkg $2: a file does not match its .dsc"
}

# current PACKAGE SUITE: the suite's current version, by apt-get source in
# a fresh copy of a minimal root of SUITE (the test roots' own, cached),
# with deb-src lines for the suite, its updates and its security updates.
# Prints the .dsc's name.
current() {
  local pkg=$1 suite=$2 tarball tmp
  tarball=$("$REPO/scripts/wheel/make-root.sh" "test-$suite" "$suite" $TEST_ROOT_PACKAGES)
  tmp=$WROOT/tmp-apt-$suite
  unpack "$tarball" "$tmp"
  cat >"$tmp/etc/apt/sources.list" <<LIST
deb-src $MIRROR $suite main
deb-src $MIRROR $suite-updates main
deb-src ${MIRROR}-security $suite-security main
LIST
  rm -rf "$tmp/etc/apt/sources.list.d"
  mkdir -p "$tmp/srcpkg"
  in_root "$tmp" -- bash -c 'apt-get update -q && cd /srcpkg && apt-get source -q --download-only "$1"' \
    sh "$pkg" >"$WROOT/apt-source-$pkg.log" 2>&1 \
    || { tail -20 "$WROOT/apt-source-$pkg.log" >&2; rm -rf "$tmp"; die "apt-get source $pkg failed in a $suite root"; }
  local dsc
  dsc=$(cd "$tmp/srcpkg" && ls "${pkg}"_*.dsc)
  cp "$tmp/srcpkg"/* "$dir/"
  rm -rf "$tmp"
  echo "$dsc"
}

if [ "${1:-}" = --hash ]; then
  f=$dir/${2}_${3#*:}.dsc
  download "$(pool_url "$2" "$(basename "$f")")" "$f" || die "cannot download $(basename "$f")"
  sha256sum "$f" | cut -d' ' -f1
  exit 0
fi

cd "$dir"
for pkg in "$@"; do
  read -r _ version sha suite < <(awk -v p="$pkg" '$1 == p' "$SOURCES")
  [ -n "${suite:-}" ] || die "no pin for $pkg in $SOURCES"
  # A fallback taken on an earlier run for this same pin is kept.
  if [ -f "$pkg.used" ] && read -r _ uversion usha upin <"$pkg.used" && [ "$upin" = "$version" ] \
     && [ -f "${pkg}_${uversion#*:}.dsc" ] && echo "$usha  ${pkg}_${uversion#*:}.dsc" | sha256sum --quiet -c - 2>/dev/null \
     && check_files "${pkg}_${uversion#*:}.dsc"; then
    [ "$uversion" = "$version" ] || say "source $pkg $uversion (in place of the pinned $version, no longer served)"
    [ "$uversion" != "$version" ] || say "source $pkg $version"
    continue
  fi
  if pinned "$pkg" "$version" "$sha"; then
    echo "$pkg $version $sha $version" >"$pkg.used"
    say "source $pkg $version"
    continue
  fi
  say "warning: $pkg $version is no longer served by $MIRROR ($(cat "${pkg}_${version#*:}.dsc.err" 2>/dev/null))"
  rm -f "${pkg}_${version#*:}.dsc.err"
  dsc=$(current "$pkg" "$suite")
  check_files "$dsc" || die "$dsc: a file does not match it"
  now=$(awk '/^Version:/ {print $2; exit}' "$dsc")
  nsha=$(sha256sum "$dsc" | cut -d' ' -f1)
  echo "$pkg $now $nsha $version" >"$pkg.used"
  say "warning: using $pkg $now, $suite's current, verified by apt (signed Release, checksums);" \
      "to pin it, in scripts/wheel/sources.txt: $pkg $now $nsha $suite"
done
