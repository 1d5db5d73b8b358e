#!/usr/bin/env bash
# Writes the release into BUILD_DIR/dist/: the source tarball, the static Linux programs
# (x86_64, arm64), the Windows programs (i686, x86_64) each in a .zip with the README's Windows
# section and the licence, the .deb, and SHA256SUMS. Byte for byte the same from the same
# commit, wherever and whenever it runs: times come from SOURCE_DATE_EPOCH (the commit's time),
# archive members are sorted, owned by root and given fixed modes, and no link time is kept.
# Expects `make deb` and `make static` to have run into BUILD_DIR; needs git, zip and
# MinGW-w64 (installed as root when missing).
#
#   tools/dist.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/apt.sh"
build=$(cd "${1:?usage: dist.sh BUILD_DIR}" && pwd)
version=$(sed -n 's/^project(ecbcat VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
export TZ=UTC LC_ALL=C
command -v zip >/dev/null || ((EUID != 0)) || apt_install zip || exit 1
dist=$build/dist
rm -rf "$dist" && mkdir -p "$dist"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# Files in a folder, given the commit's time and modes that do not depend on the umask.
settle() {
  find "$1" -type d -exec chmod 755 {} + && find "$1" -type f -exec chmod u=rw,go=r {} +
  find "$1" -type f \( -name ecbcat -o -name ecbcat-batch -o -name '*.exe' \) -exec chmod 755 {} +
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}
tarball() {  # name folder: a gzip'd tar of the folder's contents under name/
  tar -C "$2/.." --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
    --pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime -cf - "$(basename "$2")" |
    gzip -9n >"$dist/$1.tar.gz"
}

git -C "$root" archive --format=tar --prefix="ecbcat-$version/" HEAD | gzip -9n >"$dist/ecbcat-$version.tar.gz"

for arch in x86_64 arm64; do
  folder=$stage/ecbcat-$version-linux-$arch
  mkdir -p "$folder"
  cp "$build/static/$arch/ecbcat" "$build/static/$arch/ecbcat-batch" "$root/man/ecbcat.1" \
    "$root/man/ecbcat-batch.1" "$root/LICENSE" "$folder/"
  settle "$folder" && tarball "ecbcat-$version-linux-$arch" "$folder"
done

awk '/^## Windows$/ {on = 1} /^## / && !/^## Windows$/ {on = 0} on' "$root/README.md" >"$stage/README.txt"
for arch in i686 x86_64; do
  folder=$stage/ecbcat-$version-windows-$arch
  mkdir -p "$folder"
  exe=$("$root/tools/windows.sh" "$build" "$arch")
  cp "$exe" "${exe%/*}/ecbcat-batch.exe" "$stage/README.txt" "$root/LICENSE" "$folder/"
  settle "$folder"
  (cd "$stage" && zip -q -X -D "$dist/$(basename "$folder").zip" \
    "$(basename "$folder")"/{LICENSE,README.txt,ecbcat.exe,ecbcat-batch.exe})
done

cp "$build"/ecbcat_"$version"_*.deb "$dist/"
(cd "$dist" && sha256sum -- * >SHA256SUMS)
echo "dist: $dist"
cat "$dist/SHA256SUMS"
