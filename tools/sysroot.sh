#!/usr/bin/env bash
# Makes a Debian 12 sysroot for another architecture (libc, libstdc++, libcrypto and GoogleTest,
# headers and static libraries included) and prints its folder. Made once with mmdebstrap and
# kept in a cache outside the tree, keyed by architecture and package list. Programs run under
# qemu -L read their libraries from it, also as other accounts (the tests drop root), so for
# root it is /var/cache/ecbcat rather than a home that others cannot enter.
#
#   tools/sysroot.sh ARCH      (a Debian architecture: arm64, s390x, ...)
set -euo pipefail
arch=${1:?usage: sysroot.sh ARCH}
packages=libc6-dev,libssl-dev,libstdc++-12-dev,libgcc-12-dev,libgtest-dev
if [[ -n ${XDG_CACHE_HOME:-} ]]; then
  cache=$XDG_CACHE_HOME/ecbcat
elif ((EUID == 0)); then
  cache=/var/cache/ecbcat
else
  cache=$HOME/.cache/ecbcat
fi
out=$cache/sysroot-$arch-$(echo "$packages" | md5sum | cut -c1-8)
if [[ ! -f $out/.complete ]]; then
  echo "sysroot: making the $arch sysroot (once, about 25 MB to download)" >&2
  rm -rf "$out" && mkdir -p "$out"
  # ./dev is left out so that qemu -L falls back to the host's /dev/stdin.
  mmdebstrap --quiet --arch="$arch" --variant=extract --format=tar --include="$packages" \
    bookworm - | tar -C "$out" -x --exclude=./dev
  touch "$out/.complete"
fi
echo "$out"
