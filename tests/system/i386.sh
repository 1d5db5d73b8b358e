#!/usr/bin/env bash
# Builds ecbcat for 32-bit x86 and checks that it streams a file past 4 GiB byte for byte as
# the native build does. Installs the 32-bit toolchain when it is missing and we are root.
#
#   tests/system/i386.sh BUILD_DIR     (BUILD_DIR holds the native build)
source "$(dirname "$0")/lib.sh"
build=$(cd "${1:?usage: i386.sh BUILD_DIR}" && pwd)
out=$build/i386

can_build_32() {
  printf '#include <openssl/evp.h>\nint main() { return EVP_aes_128_ecb() == 0; }\n' |
    g++ -m32 -x c++ - -o /dev/null -lcrypto 2>/dev/null
}
if ! can_build_32; then
  { ((EUID == 0)) && dpkg --add-architecture i386 && install_packages g++-multilib libssl-dev:i386; } ||
    say "the install failed"
  can_build_32 || skip "no 32-bit g++ with libssl-dev:i386 (apt-get install g++-multilib libssl-dev:i386 as root)"
fi

cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >"$out.log" 2>&1 &&
  cmake --build "$out" --parallel >>"$out.log" 2>&1 || { cat "$out.log" && exit 1; }

# Where the kernel cannot run 32-bit x86 programs (no IA32 emulation), qemu-i386 runs them,
# registered with binfmt_misc while the check runs. The program's code is still 32-bit, but the
# 64-bit host kernel then opens every file as large, so a missing O_LARGEFILE would go unseen.
runs_i386 "$out/ecbcat" /dev/null ||
  skip "this host cannot run 32-bit x86 programs, and qemu-i386 could not be registered for them (binfmt_misc and apt-get install --no-install-recommends qemu-user, as root)"
[[ -z $i386_emulated ]] || say "32-bit x86 programs run under qemu-i386 here: a missing O_LARGEFILE would go unseen"

is_32_bit() { file -L "$out/ecbcat" | grep -q 'ELF 32-bit.*Intel 80386' || fail "$(file -L "$out/ecbcat")"; }
past_4gib() {  # byte for byte against the native build; the pipe statuses catch an early end
  local input=$out/past-4GiB.bin
  sparse_past_4gib "$input"
  local same=0
  { "$out/ecbcat" "$input"; echo "$?" >"$out/status"; } | cmp - <("$build/ecbcat" "$input") || same=$?
  equal 0 "$(cat "$out/status")" "exit status of the 32-bit program"
  equal 0 "$same" "cmp's status against the native build"
  rm -f "$input"
}
row "a 32-bit x86 binary" is_32_bit
row "a file past 4 GiB" past_4gib
finish
