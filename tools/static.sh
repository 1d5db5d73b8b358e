#!/usr/bin/env bash
# Builds ecbcat and ecbcat-batch linked statically (libcrypto and the C and C++ runtimes inside)
# into BUILD_DIR/static/ARCH/: x86_64 with the host's g++ and Debian's libcrypto.a, arm64 with
# clang against the Debian 12 sysroot that check-cross uses. As root it installs clang, lld and
# mmdebstrap when they are missing.
#
#   tools/static.sh BUILD_DIR      (STATIC_ARCHS, default "x86_64 arm64")
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/apt.sh"
build=$(mkdir -p "${1:?usage: static.sh BUILD_DIR}" && cd "$1" && pwd)
read -ra archs <<<"${STATIC_ARCHS:-x86_64 arm64}"
declare -A triple=([x86_64]=x86_64-linux-gnu [arm64]=aarch64-linux-gnu)
declare -A debian=([x86_64]=amd64 [arm64]=arm64)

for arch in "${archs[@]}"; do
  [[ -n ${triple[$arch]:-} ]] || { echo "static: unknown architecture $arch (known: ${!triple[*]})" >&2; exit 2; }
  options=(-DECBCAT_STATIC=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release)
  if [[ ${debian[$arch]} != $(dpkg --print-architecture) ]]; then
    for tool in clang++ ld.lld mmdebstrap; do
      command -v $tool >/dev/null && continue
      ((EUID == 0)) || { echo "static: $tool missing (apt-get install clang lld mmdebstrap)" >&2; exit 1; }
      apt_install clang lld mmdebstrap || exit 1
    done
    options+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/cross-clang.cmake" -DCROSS_TRIPLE="${triple[$arch]}"
      -DCROSS_SYSROOT="$("$root/tools/sysroot.sh" "${debian[$arch]}")" -DCROSS_LINKER=lld)
  fi
  out=$build/static/$arch
  mkdir -p "$out"
  { cmake -S "$root" -B "$out" "${options[@]}" && cmake --build "$out" --parallel; } >"$out.log" 2>&1 ||
    { tail -n 40 "$out.log" >&2; exit 1; }
  # A link warning would mean a libc function that needs the shared glibc at run time.
  ! grep -i 'warning' "$out.log" || { echo "static: the link warned" >&2; exit 1; }
  echo "static: $out/ecbcat $out/ecbcat-batch"
done
