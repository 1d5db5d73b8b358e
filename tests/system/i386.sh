#!/usr/bin/env bash
# Builds ecbcat for 32-bit x86 and checks that it streams a file past 4 GiB byte for byte as
# the native build does. The compiler is g++-multilib from the host's own architecture and
# libcrypto a static one made from Debian's OpenSSL source (tools/libcrypto.sh), so no foreign
# dpkg architecture is added; as root it installs g++-multilib when it is missing.
#
#   tests/system/i386.sh BUILD_DIR     (BUILD_DIR holds the native build)
source "$(dirname "$0")/../shell/lib.sh"
build=$(cd "${1:?usage: i386.sh BUILD_DIR}" && pwd)
out=$build/i386

can_build_32() { printf 'int main() {}\n' | g++ -m32 -x c++ - -o /dev/null 2>/dev/null; }
can_build_32 || { ((EUID == 0)) && install_packages g++-multilib; } || true
can_build_32 || skip "no 32-bit g++ (apt-get install --no-install-recommends g++-multilib, as root)"
libcrypto=$("$root/tools/libcrypto.sh" i686-linux-gnu) || skip "no 32-bit libcrypto (tools/libcrypto.sh i686-linux-gnu failed)"

cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386-linux-gnu.cmake" \
  -DOPENSSL_ROOT_DIR="$libcrypto" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >"$out.log" 2>&1 &&
  cmake --build "$out" --parallel >>"$out.log" 2>&1 || { cat "$out.log" && exit 1; }

# Where the kernel cannot run 32-bit x86 programs (no IA32 emulation), qemu-i386 runs them,
# registered with binfmt_misc while the check runs. The program's code is still 32-bit, but the
# 64-bit host kernel then opens every file as large, so a missing O_LARGEFILE would go unseen;
# a 32-bit off_t in the C library's calls would not.
runs_i386 ||
  skip "this host cannot run 32-bit x86 programs, and qemu-i386 could not be registered for them (binfmt_misc, as root)"
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
# Under qemu-i386 the kernel never sees a 32-bit open, so the program's own objects are read: each
# file call must be its 64-bit-offset form (open64, fstat64, ...), whatever libcrypto calls.
large_file_calls() {
  local narrow
  narrow=$(find "$out/CMakeFiles" -name '*.o' -exec nm -u {} + | awk '{print $NF}' | grep -xE \
    '(open|openat|creat|fopen|stat|fstat|fstatat|lstat|lseek|ftruncate|truncate|pread|pwrite|readdir|mmap|fseeko|ftello|fstatfs|posix_fallocate|posix_fadvise)' |
    sort -u | xargs || true)
  equal "" "$narrow" "calls with 32-bit file offsets in the program's own code"
}
row "a 32-bit x86 binary" is_32_bit
row "64-bit file offsets in every call" large_file_calls
row "a file past 4 GiB" past_4gib
finish
