#!/usr/bin/env bash
# The package that `make deb` wrote holds the binary, the gzipped manual page, the bash and zsh
# completions, the systemd unit (starting the packaged program), changelog and copyright file,
# depends on the system's libssl, carries Debian's hardening, decrypts the sample, and passes
# lintian without an error, a warning or a hardening finding.
#   tests/system/deb.sh BUILD_DIR
source "$(dirname "$0")/../shell/lib.sh"
build=${1:?usage: deb.sh BUILD_DIR}
version=$(sed -n 's/^project(ecbcat VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
deb=$build/ecbcat_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || { echo "deb: no $deb (run make deb)" >&2 && exit 1; }
command -v lintian >/dev/null || install_packages lintian || say "the install failed"
command -v lintian >/dev/null || skip "no lintian (apt-get install --no-install-recommends lintian)"
unpacked=$(mktemp -d)
at_exit 'rm -rf "$unpacked"'
dpkg-deb -x "$deb" "$unpacked"
bin=$unpacked/usr/bin/ecbcat

contents() {
  local info files f
  info=$(dpkg-deb -I "$deb") files=$(dpkg-deb -c "$deb")
  grep -q '^ Depends:.*libssl' <<<"$info" || fail "no libssl dependency"
  for f in ./usr/bin/ecbcat ./usr/bin/ecbcat-batch ./usr/share/man/man1/ecbcat.1.gz \
    ./usr/share/man/man1/ecbcat-batch.1.gz ./usr/share/bash-completion/completions/ecbcat-batch \
    ./usr/share/zsh/vendor-completions/_ecbcat-batch ./usr/share/doc/ecbcat/copyright \
    ./usr/share/doc/ecbcat/changelog.gz ./usr/lib/systemd/system/ecbcat-batch@.service; do
    grep -q " $f\$" <<<"$files" || fail "$f missing"
  done
  grep -qx 'ExecStart=/usr/bin/ecbcat-batch --watch $OPTIONS %f' "$unpacked/usr/lib/systemd/system/ecbcat-batch@.service" ||
    fail "the unit does not start /usr/bin/ecbcat-batch --watch"
}
decrypts() {
  "$bin" "$root/examples/hello.enc" >"$unpacked/out"
  same "$root/examples/hello.txt" "$unpacked/out" "the packaged program's output"
  cp "$root/examples/hello.enc" "$unpacked/hello.enc"
  "$unpacked/usr/bin/ecbcat-batch" "$unpacked/hello.enc"
  same "$root/examples/hello.txt" "$unpacked/hello" "the packaged ecbcat-batch's output"
}
hardened() {  # program
  local dynamic symbols bin=$unpacked/usr/bin/$1
  dynamic=$(readelf -d "$bin") symbols=$(readelf --dyn-syms -W "$bin")
  grep -q 'FLAGS_1.*NOW.*PIE' <<<"$dynamic" || fail "not PIE with immediate binding"
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "no stack protector"
  grep -q '__[a-z]*_chk@' <<<"$symbols" || fail "no fortified calls"
  ! readelf -S "$bin" | grep -q '\.comment' || fail ".comment section not stripped"
}
lintian_clean() {
  local report
  report=$(lintian -I -E --pedantic "$deb" 2>&1 | grep -v 'running with root privileges') || true
  ! grep -qE '^[EW]: |hardening-' <<<"$report" || fail "lintian: $report"
}
row "contents" contents
row "decrypts the sample" decrypts
row "hardening of ecbcat" hardened ecbcat
row "hardening of ecbcat-batch" hardened ecbcat-batch
row "lintian" lintian_clean
finish
