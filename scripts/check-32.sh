#!/usr/bin/env bash
# Builds ecbcat for 32-bit x86 and checks that it streams a file past 4 GiB byte for byte
# as the native build does. Installs the 32-bit toolchain when it is missing and we are
# root; prints SKIPPED when it cannot be had. Any build or comparison failure fails.
#
#   scripts/check-32.sh BUILD_DIR     (BUILD_DIR holds the native build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: check-32.sh BUILD_DIR}
out=$build/i386

can_build_32() {
  printf '#include <openssl/evp.h>\nint main() { return EVP_CIPHER_fetch(0, "AES-128-ECB", 0) == 0; }\n' |
    g++ -m32 -x c++ - -o /dev/null -lcrypto 2>/dev/null
}

if ! can_build_32; then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    echo "check-32: installing g++-multilib and libssl-dev:i386"
    { dpkg --add-architecture i386 && apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove g++-multilib libssl-dev:i386; } ||
      echo "check-32: the install failed"
  fi
  if ! can_build_32; then
    echo "SKIPPED: check-32: no 32-bit g++ with libssl-dev:i386 (apt-get install g++-multilib libssl-dev:i386 as root)"
    exit 0
  fi
fi

cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build "$out" --parallel
file -L "$out/ecbcat" | grep -q 'ELF 32-bit.*Intel 80386' || { echo "check-32: not a 32-bit x86 binary" >&2; exit 1; }

# Some hosts (sandboxes, kernels without IA32 emulation) cannot run 32-bit x86 binaries; there
# the binary runs under qemu-i386. Its own code stays 32-bit, but the host's 64-bit kernel
# then opens every file as large, so a missing O_LARGEFILE would go unseen.
run32=("$out/ecbcat")
if ! "$out/ecbcat" /dev/null 2>/dev/null; then
  if ! command -v qemu-i386 >/dev/null && [[ $(id -u) -eq 0 ]]; then
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user; } ||
      echo "check-32: the install of qemu-user failed"
  fi
  if ! command -v qemu-i386 >/dev/null; then
    echo "SKIPPED: check-32: this host cannot run 32-bit x86 binaries and has no qemu-i386 (apt-get install --no-install-recommends qemu-user)"
    exit 0
  fi
  echo "check-32: this host cannot run 32-bit x86 binaries; running the build under qemu-i386"
  run32=(qemu-i386 "$out/ecbcat")
fi

# Sparse, so it costs a few MiB of disk: zeros with random data across the 2 GiB and
# 4 GiB marks and at the end, which is a short block.
input=$out/past-4GiB.bin
size=$(((4 << 30) + (1 << 20) + 5))
rm -f "$input"
truncate -s "$size" "$input"
head -c 4096 /dev/urandom | dd of="$input" bs=1 seek=$(((2 << 30) - 2048)) conv=notrunc status=none
head -c 4096 /dev/urandom | dd of="$input" bs=1 seek=$(((4 << 30) - 2048)) conv=notrunc status=none
head -c 8192 /dev/urandom | dd of="$input" bs=1 seek=$((size - 8192)) conv=notrunc status=none

expected=$(((size + 15) / 16 * 16))
got=$("${run32[@]}" "$input" | wc -c)
echo "check-32: 32-bit output $got bytes, expected $expected"
[[ $got -eq $expected ]]
# Byte for byte against the native build; cmp also fails if either stream ends early.
"${run32[@]}" "$input" | cmp - <("$build/ecbcat" "$input")
rm -f "$input"
echo "check-32: passed"
