#!/usr/bin/env bash
# Builds ecbcat and its test suite for other CPUs (by default arm64, and s390x, which is
# big-endian) with clang against a Debian 12 sysroot, runs the suite under qemu-user, and
# compares each foreign binary's output byte for byte with the native build's. As root it
# installs the tools when they are missing; otherwise it prints SKIPPED. Sysroots are made
# once, under BUILD_DIR/cross.
#
#   scripts/check-cross.sh BUILD_DIR [ARCH...]     (BUILD_DIR holds the native build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: check-cross.sh BUILD_DIR [ARCH...]}" && pwd)
shift
archs=("$@")
((${#archs[@]})) || archs=(arm64 s390x)

# Debian architecture: GNU triple, qemu-user binary, linker for clang's -fuse-ld and the
# program that provides it. lld 14 cannot link s390x, so GNU ld does there.
declare -A triple=([arm64]=aarch64-linux-gnu [s390x]=s390x-linux-gnu)
declare -A qemu=([arm64]=qemu-aarch64 [s390x]=qemu-s390x)
declare -A linker=([arm64]=lld [s390x]=bfd)
declare -A linker_tool=([arm64]=ld.lld [s390x]=s390x-linux-gnu-ld.bfd)

tools=(clang++ mmdebstrap)
for arch in "${archs[@]}"; do
  [[ -n ${triple[$arch]:-} ]] || { echo "check-cross: unknown architecture $arch (known: ${!triple[*]})" >&2; exit 1; }
  tools+=("${qemu[$arch]}" "${linker_tool[$arch]}")
done
missing() { for t in "${tools[@]}"; do command -v "$t" >/dev/null || echo "$t"; done; }
if [[ -n $(missing) && $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
  echo "check-cross: installing qemu-user, mmdebstrap, lld and binutils-s390x-linux-gnu"
  # Without --no-install-recommends qemu-user brings binfmt handlers for the host: not wanted.
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends qemu-user mmdebstrap lld binutils-s390x-linux-gnu clang; } ||
    echo "check-cross: the install failed"
fi
if [[ -n $(missing) ]]; then
  echo "SKIPPED: check-cross: missing $(missing | xargs) (apt-get install --no-install-recommends qemu-user mmdebstrap lld binutils-s390x-linux-gnu clang, as root)"
  exit 0
fi

# Runs a command with its output in a log, shown only when it fails.
quietly() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log"; return 1; }
}

inputs=$build/cross/inputs
mkdir -p "$inputs"
sizes=(0 5 16 55 $((2 * 131072 + 21)))  # empty, short, one block, short last block, past a chunk
for n in "${sizes[@]}"; do
  [[ -f $inputs/$n.bin ]] || head -c "$n" /dev/urandom >"$inputs/$n.bin"
done

for arch in "${archs[@]}"; do
  started=$SECONDS
  sysroot=$build/cross/sysroot-$arch
  if [[ ! -f $sysroot/.complete ]]; then
    echo "check-cross: making the $arch sysroot"
    rm -rf "$sysroot" && mkdir -p "$sysroot"
    # ./dev is left out so that qemu -L falls back to the host's /dev/stdin.
    mmdebstrap --quiet --arch="$arch" --variant=extract --format=tar \
      --include=libc6-dev,libssl-dev,libstdc++-12-dev,libgcc-12-dev,libgtest-dev bookworm - |
      tar -C "$sysroot" -x --exclude=./dev
    touch "$sysroot/.complete"
  fi

  out=$build/cross/$arch
  emulator=("$(command -v "${qemu[$arch]}")" -L "$sysroot")
  mkdir -p "$out"
  quietly "$out/configure.log" cmake -S "$root" -B "$out" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/cross-clang.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCROSS_TRIPLE="${triple[$arch]}" -DCROSS_SYSROOT="$sysroot" -DCROSS_QEMU="${emulator[0]}" \
    -DCROSS_LINKER="${linker[$arch]}"
  quietly "$out/build.log" cmake --build "$out" --parallel
  quietly "$out/ctest.log" ctest --test-dir "$out" --output-on-failure
  tail -n 3 "$out/ctest.log"
  echo "check-cross: $arch: valgrind memcheck skipped (it cannot run a foreign build)"

  # Byte for byte against the native build, on each input and through a pipe; on arm64 also
  # with libcrypto's plain C AES instead of the ARMv8 AES instructions.
  variants=("")
  [[ $arch == arm64 ]] && variants+=(OPENSSL_armcap=0)
  for v in "${variants[@]}"; do
    foreign() { env $v "${emulator[@]}" "$out/ecbcat" "$1"; }
    differs() { echo "check-cross: $arch ${v:-default}: $1 differs from the native build" >&2; exit 1; }
    for n in "${sizes[@]}"; do
      f=$inputs/$n.bin
      cmp <(foreign "$f") <("$build/ecbcat" "$f") || differs "the $n-byte input"
    done
    cmp <(cat "$f" | foreign /dev/stdin) <("$build/ecbcat" "$f") || differs "/dev/stdin from a pipe"
  done
  compared=$((${#variants[@]} * (${#sizes[@]} + 1)))
  echo "check-cross: $arch: suite passed, $compared outputs equal to the native build's ($((SECONDS - started)) s)"
done
