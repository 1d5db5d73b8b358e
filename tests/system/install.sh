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
  local f
  for f in bin/ecbcat bin/ecbcat-batch share/man/man1/ecbcat.1 share/man/man1/ecbcat-batch.1; do
    [[ -e $stage/usr/$f ]] || fail "no usr/$f"
  done
  $emulator "$stage/usr/bin/ecbcat" "$root/examples/hello.enc" >"$stage/out"
  same "$root/examples/hello.txt" "$stage/out" "the installed program's output"
  mkdir "$stage/d" && cp "$root/examples/hello.enc" "$stage/d/"
  $emulator "$stage/usr/bin/ecbcat-batch" "$stage/d"
  same "$root/examples/hello.txt" "$stage/d/hello" "the installed ecbcat-batch's output"
}
groff_clean() {
  equal "" "$(groff -man -ww -z "$root/man/ecbcat.1" "$root/man/ecbcat-batch.1" 2>&1)" "groff's warnings"
}
row "staged install" installed
command -v groff >/dev/null || install_packages groff-base || say "the install of groff failed"
if command -v groff >/dev/null; then
  row "manual pages" groff_clean
else
  skip_row "manual pages" "no groff (apt-get install groff)"
fi
finish
