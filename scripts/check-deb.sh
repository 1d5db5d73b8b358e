#!/usr/bin/env bash
# The package that `make deb` wrote holds the binary, the gzipped manual page, changelog and
# copyright file, depends on the system's libssl, carries Debian's hardening, decrypts the
# sample, and passes lintian (when it is installed) without an error, a warning or a
# hardening finding.
#   scripts/check-deb.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: check-deb.sh BUILD_DIR}
version=$(sed -n 's/^project(ecbcat VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
deb=$build/ecbcat_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || { echo "check-deb: no $deb (run make deb)" >&2; exit 1; }
fail() { echo "check-deb: $*" >&2; exit 1; }
info=$(dpkg-deb -I "$deb")
files=$(dpkg-deb -c "$deb")
grep -q '^ Depends:.*libssl3' <<<"$info" || fail "no libssl dependency"
for f in ./usr/bin/ecbcat ./usr/share/man/man1/ecbcat.1.gz ./usr/share/doc/ecbcat/copyright \
  ./usr/share/doc/ecbcat/changelog.gz; do
  grep -q " $f\$" <<<"$files" || fail "$f missing"
done

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
bin=$unpacked/usr/bin/ecbcat
cmp <("$bin" "$root/examples/hello.enc") "$root/examples/hello.txt" || fail "packaged binary does not decrypt"
dynamic=$(readelf -d "$bin") symbols=$(readelf --dyn-syms -W "$bin")
grep -q 'FLAGS_1.*NOW.*PIE' <<<"$dynamic" || fail "not PIE with immediate binding"
grep -q '__stack_chk_fail' <<<"$symbols" || fail "no stack protector"
grep -q '__[a-z]*_chk@' <<<"$symbols" || fail "no fortified calls"
readelf -S "$bin" | grep -q '\.comment' && fail ".comment section not stripped"

if command -v lintian >/dev/null; then
  report=$(lintian -I -E --pedantic "$deb" 2>&1 | grep -v 'running with root privileges') || true
  [[ -n $report ]] && echo "$report"
  grep -qE '^[EW]: |hardening-' <<<"$report" && fail "lintian found errors, warnings or hardening gaps"
  echo "check-deb: lintian: no errors, warnings or hardening findings"
else
  echo "check-deb: lintian SKIPPED (not installed; apt-get install --no-install-recommends lintian)"
fi
echo "check-deb: $deb: $(grep '^ Depends:' <<<"$info")"
