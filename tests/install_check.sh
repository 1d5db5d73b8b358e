#!/usr/bin/env bash
# `cmake --install` into a staging directory lays out the binary and the manual page, the
# installed binary works, and the manual page is clean under groff's warnings.
#   install_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=${1:?usage: install_check.sh BUILD_DIR SOURCE_DIR}
src=${2:?usage: install_check.sh BUILD_DIR SOURCE_DIR}
emulator=${ECBCAT_EMULATOR:-}  # words put before a cross-compiled binary; empty natively
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

passed=0 failed=0
check() {  # description command...
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)) && echo "FAILED: $what"; fi
}

DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
check "binary installed" test -x "$stage/usr/bin/ecbcat"
check "manual page installed" test -f "$stage/usr/share/man/man1/ecbcat.1"
check "installed binary decrypts the sample" \
  cmp <($emulator "$stage/usr/bin/ecbcat" "$src/examples/hello.enc") "$src/examples/hello.txt"
if command -v groff >/dev/null; then
  check "manual page has no groff warnings" \
    test -z "$(groff -man -ww -z "$src/man/ecbcat.1" 2>&1)"
fi
echo "install: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
