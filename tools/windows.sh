#!/usr/bin/env bash
# Builds ecbcat.exe and ecbcat-batch.exe for Windows with MinGW-w64 against a static libcrypto (libcrypto.sh)
# into BUILD_DIR/win-ARCH/ and prints its path; the build's output goes to BUILD_DIR/win-ARCH.log.
# As root it installs the MinGW-w64 compiler when it is missing.
#
#   tools/windows.sh BUILD_DIR ARCH      (i686 or x86_64)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/apt.sh"
build=$(cd "${1:?usage: windows.sh BUILD_DIR ARCH}" && pwd)
arch=${2:?usage: windows.sh BUILD_DIR ARCH}
declare -A package=([i686]=g++-mingw-w64-i686-posix [x86_64]=g++-mingw-w64-x86-64-posix)
[[ -n ${package[$arch]:-} ]] || { echo "windows: unknown architecture $arch (i686 or x86_64)" >&2; exit 2; }
command -v "$arch-w64-mingw32-g++-posix" >/dev/null || ((EUID != 0)) || apt_install "${package[$arch]}" || exit 1
libcrypto=$("$root/tools/libcrypto.sh" "$arch-w64-mingw32")
out=$build/win-$arch
# A build made with the compiler of the win32 thread model, which has no std::thread, is made
# anew: CMake keeps the compiler its cache names.
grep -qs 'CMAKE_CXX_COMPILER:.*-posix$' "$out/CMakeCache.txt" || rm -rf "$out"
{ cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw.cmake" -DMINGW_ARCH="$arch" \
  -DOPENSSL_ROOT_DIR="$libcrypto" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
  cmake --build "$out" --parallel; } >"$out.log" 2>&1 || { tail -n 40 "$out.log" >&2; exit 1; }
echo "$out/ecbcat.exe"
