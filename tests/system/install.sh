#!/usr/bin/env bash
# `cmake --install` into a staging directory lays out the binary and the manual page, the
# installed binary works, and the manual page is clean under groff's warnings.
#   install.sh BUILD_DIR
source "$(dirname "$0")/lib.sh"
build=${1:?usage: install.sh BUILD_DIR}
emulator=${ECBCAT_EMULATOR:-}  # words put before a cross-compiled binary; empty natively
stage=$(mktemp -d)
at_exit 'rm -rf "$stage"'

DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
installed() {
  [[ -x $stage/usr/bin/ecbcat ]] || fail "no usr/bin/ecbcat"
  [[ -f $stage/usr/share/man/man1/ecbcat.1 ]] || fail "no usr/share/man/man1/ecbcat.1"
  $emulator "$stage/usr/bin/ecbcat" "$root/examples/hello.enc" >"$stage/out"
  same "$root/examples/hello.txt" "$stage/out" "the installed program's output"
}
groff_clean() { equal "" "$(groff -man -ww -z "$root/man/ecbcat.1" 2>&1)" "groff's warnings"; }
row "staged install" installed
if command -v groff >/dev/null; then row "manual page" groff_clean; fi
finish
