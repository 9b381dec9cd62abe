#!/usr/bin/env bash
# root-unpack-source.sh PACKAGE DIR [--upstream] (inside a build root, the
# downloaded sources at /srcpkg, this folder at /wheel): unpacks the Debian
# source package that fetch-source.sh took (PACKAGE.used) into DIR, with
# Debian's patches applied, or as upstream released it with --upstream.
set -euo pipefail
pkg=$1 dir=$(realpath -m "$2") patches=${3:-}
read -r _ version _ </srcpkg/"$pkg.used"
rm -rf "$dir"
dpkg-source --no-check ${patches:+--skip-patches} -x "/srcpkg/${pkg}_${version#*:}.dsc" "$dir" >/dev/null
echo "$pkg $version"
