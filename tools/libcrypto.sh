#!/usr/bin/env bash
# Makes a static libcrypto for a target this host builds for but has no libcrypto of (Debian's
# OpenSSL source, no DLLs or shared objects, assembly kept, so AES-NI is used where the CPU has
# it) and prints the folder that holds include/ and lib/libcrypto.a. Kept in a cache outside the
# tree, keyed by OpenSSL version, target and options, since CI clones afresh each time: the
# first build takes minutes, later calls nothing. No foreign dpkg architecture is needed.
#
#   tools/libcrypto.sh TARGET      (i686-w64-mingw32 or x86_64-w64-mingw32, with the MinGW-w64
#                                   g++ for it; i686-linux-gnu, with g++-multilib)
set -euo pipefail
source "$(dirname "$0")/apt.sh"

target=${1:?usage: libcrypto.sh i686-w64-mingw32|x86_64-w64-mingw32|i686-linux-gnu}
declare -A configure=([i686-w64-mingw32]="mingw --cross-compile-prefix=i686-w64-mingw32-"
  [x86_64-w64-mingw32]="mingw64 --cross-compile-prefix=x86_64-w64-mingw32-"
  [i686-linux-gnu]="linux-x86 -m32")
[[ -n ${configure[$target]:-} ]] || { echo "libcrypto: unknown target $target" >&2; exit 2; }
options=(no-shared no-module no-dso no-engine no-tests no-ui-console)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/ecbcat
mkdir -p "$cache"
shopt -s nullglob
newest() { printf '%s\n' "$@" | sort -V | tail -n 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT  # a failed download or build leaves nothing behind

# The upstream version of the OpenSSL that apt would give this system now, so that a security
# update of Debian's OpenSSL makes a new libcrypto; without apt, the newest source in the cache.
want=$(apt-cache policy libssl-dev 2>/dev/null | awk '/Candidate:/ {print $2}' | sed 's/^[0-9]*://; s/-[^-]*$//')
[[ $want == "(none)" ]] && want=
tarball=$(newest "$cache"/openssl_"${want:-}"*.orig.tar.gz)
[[ -z $want || $tarball == "$cache/openssl_$want.orig.tar.gz" ]] || tarball=

# Debian's OpenSSL source, fetched through a deb-src list of our own (the system's sources
# with Types: deb-src), so the machine's apt configuration is left as it was.
if [[ -z $tarball ]]; then
  mkdir -p "$work/sources" "$work/lists/partial"
  for f in /etc/apt/sources.list.d/*.sources; do
    sed 's/^Types: deb$/Types: deb-src/' "$f" >"$work/sources/$(basename "$f")"
  done
  own=(-o Dir::Etc::SourceParts="$work/sources" -o Dir::Etc::SourceList=/dev/null
    -o Dir::State::Lists="$work/lists")
  apt_update "${own[@]}" || true
  # The security archive may lack the .dsc, so apt-get fails after the tarball has come.
  (cd "$work" && apt-get "${own[@]}" source --download-only openssl >&2) || true
  tarball=$(newest "$work"/openssl_*.orig.tar.gz)
  [[ -n $tarball ]] || { echo "libcrypto: could not download OpenSSL's source" >&2; exit 1; }
  mv "$tarball" "$cache/" && tarball=$cache/$(basename "$tarball")
fi
version=$(basename "$tarball" .orig.tar.gz)
version=${version#openssl_}

read -ra args <<<"${configure[$target]}"
out=$cache/openssl-$version-$target-$(echo "${args[*]} ${options[*]}" | md5sum | cut -c1-8)
if [[ ! -f $out/.complete ]]; then
  echo "libcrypto: building OpenSSL $version for $target (a few minutes)" >&2
  src=$work/src
  mkdir -p "$src"
  tar -C "$src" -xzf "$tarball" --strip-components=1
  (
    cd "$src"
    ./Configure "${args[@]}" "${options[@]}" --prefix=/nonexistent
    make -j"$(nproc)" build_generated libcrypto.a
  ) >"$cache/build-$target.log" 2>&1 || { tail -n 30 "$cache/build-$target.log" >&2; exit 1; }
  rm -rf "$out" && mkdir -p "$out/lib" "$out/include"
  cp "$src/libcrypto.a" "$out/lib/"
  cp -r "$src/include/openssl" "$out/include/"
  touch "$out/.complete"
fi
echo "$out"
