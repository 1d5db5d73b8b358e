#!/usr/bin/env bash
# Builds the tree and runs its whole suite (make test) in a minimal chroot of each supported
# Debian release, with that release's own compiler, CMake, libcrypto and GoogleTest, and runs
# the static program (make static) there too. The chroots are made with mmdebstrap from
# Debian's archive once and kept as tarballs in a cache outside the tree. Needs root (chroot,
# mounts); as root it installs mmdebstrap when it is missing.
#
#   tests/system/distros.sh BUILD_DIR     (DISTROS, default "bullseye bookworm trixie")
source "$(dirname "$0")/../shell/lib.sh"
build=$(cd "${1:?usage: distros.sh BUILD_DIR}" && pwd)
read -ra suites <<<"${DISTROS:-bullseye bookworm trixie}"
((EUID == 0)) || skip "needs root to make and enter chroots"
command -v mmdebstrap >/dev/null || install_packages mmdebstrap || say "the install failed"
command -v mmdebstrap >/dev/null || skip "no mmdebstrap (apt-get install --no-install-recommends mmdebstrap)"

# What building and testing needs, and nothing more: a release's own toolchain and libraries,
# openssl for the expected outputs, valgrind for the memcheck, groff for the manual pages,
# strace, acl, bash-completion, exfat-fuse and exfatprogs for the rows of ecbcat-batch that need
# them.
packages=g++,make,cmake,libssl-dev,libgtest-dev,openssl,valgrind,groff-base,dpkg-dev,util-linux
packages+=,strace,acl,bash-completion,exfat-fuse,exfatprogs
cache=${XDG_CACHE_HOME:-$HOME/.cache}/ecbcat/distros
mkdir -p "$cache"

in_chroot() {  # root command: with /dev, /proc and /sys (systemd-analyze reads its cgroup), in a
  # mount namespace of its own
  unshare --mount --fork sh -c 'mount --rbind /dev "$0/dev" && mount -t proc proc "$0/proc" &&
    mount --rbind /sys "$0/sys" &&
    exec chroot "$0" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
      CI="$1" sh -c "$2"' "$1" "${CI:-}" "$2"
}
suite_passes() {  # suite: the tree builds there and make test passes
  local dir=$build/distros/$1 tarball
  tarball=$cache/$1-$(echo "$packages" | md5sum | cut -c1-8).tar
  if [[ ! -f $tarball ]]; then
    say "making the $1 chroot (once; kept in $cache)"
    mmdebstrap --quiet --variant=minbase --format=tar --include="$packages" "$1" "$tarball.part" &&
      mv "$tarball.part" "$tarball"
  fi
  rm -rf "$dir" && mkdir -p "$dir/src"
  tar -C "$dir" -xf "$tarball"
  tar -C "$root" --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$dir/src" -xf -
  in_chroot "$dir" 'echo "$(cmake --version | head -n 1); $(g++ --version | head -n 1);
    $(openssl version)"; cd /src && make test >/tmp/make-test.log 2>&1 ||
    { tail -n 60 /tmp/make-test.log; exit 1; }; grep "tests passed" /tmp/make-test.log'
  if [[ -x $build/static/x86_64/ecbcat ]]; then  # the static program on this userland
    cp "$build/static/x86_64/ecbcat" "$dir/ecbcat-static"
    in_chroot "$dir" '/ecbcat-static /src/examples/hello.enc | cmp - /src/examples/hello.txt'
  fi
  rm -rf "$dir"
}
for suite in "${suites[@]}"; do row "$suite: make test" suite_passes "$suite"; done
finish
