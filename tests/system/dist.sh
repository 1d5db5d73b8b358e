#!/usr/bin/env bash
# make dist twice from the same commit, in two clones in different folders and at different
# times, must give the same files byte for byte; and the release holds what it should.
#
#   tests/system/dist.sh BUILD_DIR
source "$(dirname "$0")/../shell/lib.sh"
git -C "$root" rev-parse HEAD >/dev/null 2>&1 || skip "not a git checkout"
work=$(mktemp -d)
at_exit 'rm -rf "$work"'
version=$(sed -n 's/^project(ecbcat VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

release() {  # n: a clone of HEAD, and make dist in it
  git clone -q --no-hardlinks "$root" "$work/clone-$1"
  env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS make -C "$work/clone-$1" dist >"$work/dist-$1.log" 2>&1 || { tail -n 40 "$work/dist-$1.log"; return 1; }
}
reproducible() {
  release 1 && sleep 2 && release 2
  local a=$work/clone-1/build/dist b=$work/clone-2/build/dist
  equal "$(ls "$a")" "$(ls "$b")" "the files of the two releases"
  local f
  for f in "$a"/*; do same "$f" "$b/${f##*/}" "${f##*/} of the second release"; done
  say "SHA256SUMS: $(sha256sum <"$a/SHA256SUMS" | cut -d' ' -f1) and $(sha256sum <"$b/SHA256SUMS" | cut -d' ' -f1)"
}
complete() {
  local dist=$work/clone-1/build/dist f
  for f in "ecbcat-$version.tar.gz" "ecbcat-$version-linux-x86_64.tar.gz" \
    "ecbcat-$version-linux-arm64.tar.gz" "ecbcat-$version-windows-i686.zip" \
    "ecbcat-$version-windows-x86_64.zip" "ecbcat_${version}_amd64.deb" SHA256SUMS; do
    [[ -f $dist/$f ]] || fail "no $f"
  done
  (cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
  local members
  members=$(tar -tzf "$dist/ecbcat-$version-linux-x86_64.tar.gz")
  grep -qx "ecbcat-$version-linux-x86_64/ecbcat" <<<"$members" || fail "the x86_64 tarball has no ecbcat"
  members=$(unzip -Z1 "$dist/ecbcat-$version-windows-x86_64.zip")
  for f in README.txt ecbcat.exe ecbcat-batch.exe; do
    grep -qx "ecbcat-$version-windows-x86_64/$f" <<<"$members" || fail "the zip has no $f"
  done
}
row "two releases are the same" reproducible
row "the release is complete" complete
finish
