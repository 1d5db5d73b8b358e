#!/usr/bin/env bash
# Makes a static libcrypto for MinGW-w64 (Debian's OpenSSL source, no DLLs, assembly kept, so
# AES-NI is used where the CPU has it) and prints the folder that holds include/ and
# lib/libcrypto.a. Kept in a cache outside the tree, keyed by OpenSSL version, architecture
# and options, since CI clones afresh each time: the first build takes minutes, later calls
# nothing.
#
#   tools/windows-libcrypto.sh ARCH      (i686 or x86_64; needs the MinGW-w64 g++ for it)
set -euo pipefail

arch=${1:?usage: windows-libcrypto.sh i686|x86_64}
declare -A target=([i686]=mingw [x86_64]=mingw64)
[[ -n ${target[$arch]:-} ]] || { echo "windows-libcrypto: unknown architecture $arch" >&2; exit 1; }
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
  apt-get "${own[@]}" update -qq >&2
  # The security archive may lack the .dsc, so apt-get fails after the tarball has come.
  (cd "$work" && apt-get "${own[@]}" source --download-only openssl >&2) || true
  tarball=$(newest "$work"/openssl_*.orig.tar.gz)
  [[ -n $tarball ]] || { echo "windows-libcrypto: could not download OpenSSL's source" >&2; exit 1; }
  mv "$tarball" "$cache/" && tarball=$cache/$(basename "$tarball")
fi
version=$(basename "$tarball" .orig.tar.gz)
version=${version#openssl_}

out=$cache/openssl-$version-$arch-$(echo "${options[*]}" | md5sum | cut -c1-8)
if [[ ! -f $out/.complete ]]; then
  echo "windows-libcrypto: building OpenSSL $version for $arch-w64-mingw32 (a few minutes)" >&2
  src=$work/src
  mkdir -p "$src"
  tar -C "$src" -xzf "$tarball" --strip-components=1
  (
    cd "$src"
    ./Configure "${target[$arch]}" --cross-compile-prefix="$arch-w64-mingw32-" "${options[@]}" \
      --prefix=/nonexistent
    make -j"$(nproc)" build_generated libcrypto.a
  ) >"$cache/build-$arch.log" 2>&1 || { tail -n 30 "$cache/build-$arch.log" >&2; exit 1; }
  rm -rf "$out" && mkdir -p "$out/lib" "$out/include"
  cp "$src/libcrypto.a" "$out/lib/"
  cp -r "$src/include/openssl" "$out/include/"
  touch "$out/.complete"
fi
echo "$out"
