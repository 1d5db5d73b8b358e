#!/usr/bin/env bash
# Builds ecbcat and its test suite for other CPUs (by default arm64, and s390x, which is
# big-endian) with clang against a Debian 12 sysroot, runs the suite under qemu-user, and
# compares each foreign binary's output byte for byte with the native build's. As root it
# installs the tools when they are missing. Sysroots are made once (tools/sysroot.sh).
#
#   tests/system/cross.sh BUILD_DIR     (BUILD_DIR holds the native build;
#                                        CROSS_ARCHS, default "arm64 s390x")
source "$(dirname "$0")/../shell/lib.sh"
build=$(cd "${1:?usage: cross.sh BUILD_DIR}" && pwd)
read -ra archs <<<"${CROSS_ARCHS:-arm64 s390x}"

# Debian architecture: GNU triple, qemu-user binary, linker for clang's -fuse-ld and the
# program that provides it. lld 14 cannot link s390x, so GNU ld does there.
declare -A triple=([arm64]=aarch64-linux-gnu [s390x]=s390x-linux-gnu)
declare -A qemu=([arm64]=qemu-aarch64 [s390x]=qemu-s390x)
declare -A linker=([arm64]=lld [s390x]=bfd)
declare -A linker_tool=([arm64]=ld.lld [s390x]=s390x-linux-gnu-ld.bfd)

tools=(clang++ mmdebstrap)
for arch in "${archs[@]}"; do
  [[ -n ${triple[$arch]:-} ]] || usage "CROSS_ARCHS='${!triple[*]}' cross.sh BUILD_DIR, not $arch"
  tools+=("${qemu[$arch]}" "${linker_tool[$arch]}")
done
missing() { for t in "${tools[@]}"; do command -v "$t" >/dev/null || echo "$t"; done; }
# Without --no-install-recommends qemu-user brings binfmt handlers for the host: not wanted.
packages=(qemu-user mmdebstrap lld binutils-s390x-linux-gnu clang)
[[ -z $(missing) ]] || install_packages "${packages[@]}" || say "the install failed"
[[ -z $(missing) ]] || skip "missing $(missing | xargs) (apt-get install --no-install-recommends ${packages[*]}, as root)"

# Runs a command with its output in a log, shown only when it fails.
quietly() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log"; return 1; }
}

inputs=$build/cross/inputs
sizes=(0 5 16 55 $((2 * 131072 + 21)))  # empty, short, one block, short last block, past a chunk
for n in "${sizes[@]}"; do random_file "$inputs/$n.bin" "$n"; done

suite() {  # builds the suite for $arch and runs it under qemu
  quietly "$out/configure.log" cmake -S "$root" -B "$out" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/cross-clang.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCROSS_TRIPLE="${triple[$arch]}" -DCROSS_SYSROOT="$sysroot" -DCROSS_QEMU="${emulator[0]}" \
    -DCROSS_LINKER="${linker[$arch]}"
  quietly "$out/build.log" cmake --build "$out" --parallel
  quietly "$out/ctest.log" sh -c "cd '$out' && ctest --output-on-failure -LE system"
  tail -n 3 "$out/ctest.log"
}
same_as_native() {  # env-setting input [stdin]: the foreign binary's output equals the native one's
  local got=$out/got
  if [[ -n ${3:-} ]]; then
    env $1 "${emulator[@]}" "$out/ecbcat" /dev/stdin <"$2" >"$got"
  else
    env $1 "${emulator[@]}" "$out/ecbcat" "$2" >"$got"
  fi
  "$build/ecbcat" "$2" >"$got.native"
  same "$got.native" "$got" "output"
}

for arch in "${archs[@]}"; do
  started=$SECONDS
  sysroot=$("$root/tools/sysroot.sh" "$arch")
  out=$build/cross/$arch
  emulator=("$(command -v "${qemu[$arch]}")" -L "$sysroot")
  mkdir -p "$out"
  row "$arch: the suite under qemu" suite
  say "$arch: valgrind memcheck skipped (it cannot run a foreign build)"
  # Byte for byte against the native build, on each input and through a pipe; on arm64 also
  # with libcrypto's plain C AES instead of the ARMv8 AES instructions.
  variants=(ECBCAT_VARIANT=default)
  [[ $arch == arm64 ]] && variants+=(OPENSSL_armcap=0)
  for v in "${variants[@]}"; do
    for n in "${sizes[@]}"; do row "$arch $v: $n bytes" same_as_native "$v" "$inputs/$n.bin"; done
    row "$arch $v: /dev/stdin" same_as_native "$v" "$inputs/55.bin" stdin
  done
  say "$arch: done ($((SECONDS - started)) s)"
done
finish
