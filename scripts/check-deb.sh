#!/usr/bin/env bash
# The package that `make deb` wrote holds the binary, the gzipped manual page and the
# copyright file, and depends on the system's libssl.
#   scripts/check-deb.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: check-deb.sh BUILD_DIR}
version=$(sed -n 's/^project(ecbcat VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
deb=$build/ecbcat_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || { echo "check-deb: no $deb (run make deb)" >&2; exit 1; }
info=$(dpkg-deb -I "$deb")
files=$(dpkg-deb -c "$deb")
grep -q '^ Depends:.*libssl3' <<<"$info" || { echo "check-deb: no libssl dependency" >&2; exit 1; }
for f in ./usr/bin/ecbcat ./usr/share/man/man1/ecbcat.1.gz ./usr/share/doc/ecbcat/copyright; do
  grep -q " $f\$" <<<"$files" || { echo "check-deb: $f missing" >&2; exit 1; }
done
echo "check-deb: $deb: $(grep '^ Depends:' <<<"$info")"
