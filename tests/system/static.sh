#!/usr/bin/env bash
# The static programs (make static) in an empty root, a folder that holds the program and its
# inputs alone (arm64 through qemu-user): output, standard error and exit status equal to the
# dynamic build's on a table of inputs and failures; no dynamic section; and no call left to
# the glibc functions that a static program could only serve with the shared glibc.
#
#   tests/system/static.sh BUILD_DIR     (BUILD_DIR holds the native build and static/ARCH/;
#                                         STATIC_ARCHS, default "x86_64 arm64")
source "$(dirname "$0")/../shell/lib.sh"
build=$(cd "${1:?usage: static.sh BUILD_DIR}" && pwd)
read -ra archs <<<"${STATIC_ARCHS:-x86_64 arm64}"
declare -A runner=([x86_64]="" [arm64]=qemu-aarch64)
for arch in "${archs[@]}"; do
  [[ -v runner[$arch] ]] || usage "STATIC_ARCHS='${!runner[*]}' static.sh BUILD_DIR, not $arch"
  [[ -x $build/static/$arch/ecbcat ]] || { echo "static: no $build/static/$arch/ecbcat (make static)" >&2 && exit 1; }
done
command -v llvm-objdump >/dev/null || install_packages llvm || say "the install failed"
command -v llvm-objdump >/dev/null || skip "no llvm-objdump (apt-get install llvm)"
[[ " ${archs[*]} " != *" arm64 "* ]] || command -v qemu-aarch64 >/dev/null || install_packages qemu-user ||
  say "the install failed"
[[ " ${archs[*]} " != *" arm64 "* ]] || command -v qemu-aarch64 >/dev/null || skip "no qemu-aarch64 (apt-get install qemu-user)"
# chroot needs root, or a user namespace where the caller is root.
enter=(chroot)
((EUID == 0)) || enter=(unshare -r chroot)

work=$(mktemp -d)
at_exit 'rm -rf "$work"'
inputs=$work/inputs
mkdir -p "$inputs/dir.enc" "$inputs/tree/sub"
for n in 0 5 16 55 $((2 * 131072 + 21)); do random_file "$inputs/$n.enc" "$n"; done
cp "$inputs/55.enc" "$inputs/tree/a.enc" && cp "$inputs/16.enc" "$inputs/tree/sub/b.enc"

same_as_dynamic() {  # program args...: run in the empty root and from the dynamic build alike
  local program=$1 empty=$work/root
  shift
  rm -rf "$empty" "$work/dynamic" && mkdir -p "$empty" "$work/dynamic"
  cp -a "$inputs/." "$empty/" && cp -a "$inputs/." "$work/dynamic/"
  cp "$build/static/$arch/$program" "$empty/"
  local status=0 want=0
  if [[ -n ${runner[$arch]} ]]; then
    (cd "$empty" && "${runner[$arch]}" -L "$empty" "./$program" "$@") >"$work/out" 2>"$work/err" || status=$?
  else
    "${enter[@]}" "$empty" "/$program" "$@" >"$work/out" 2>"$work/err" || status=$?
  fi
  (cd "$work/dynamic" && "$build/$program" "$@") >"$work/out.want" 2>"$work/err.want" || want=$?
  equal "$want" "$status" "exit status"
  same "$work/out.want" "$work/out" "standard output"
  same "$work/err.want" "$work/err" "standard error"
  if [[ $program == ecbcat-batch ]]; then
    diff -r "$work/dynamic" "$empty" -x "$program" >/dev/null || fail "the trees differ after ecbcat-batch"
  fi
}
self_contained() {
  local bin=$build/static/$arch/ecbcat
  ! readelf -l "$bin" | grep -q INTERP || fail "it names a dynamic loader"
  ! readelf -d "$bin" | grep -q NEEDED || fail "it needs shared libraries"
  # libcrypto's references go to the stand-ins; glibc's own copies, if linked, are never called.
  llvm-objdump -d --no-show-raw-insn "$bin" >"$work/disassembly"
  equal 0 "$(grep -cE '<(dlopen|getaddrinfo|gethostbyname)>$' "$work/disassembly" || true)" \
    "calls to glibc's dlopen, getaddrinfo or gethostbyname"
  grep -qE '<__wrap_dlopen>$' "$work/disassembly" || fail "libcrypto's dlopen is not the stand-in"
}

for arch in "${archs[@]}"; do
  row "$arch: self-contained" self_contained
  for n in 0 5 16 55 $((2 * 131072 + 21)); do row "$arch: $n bytes" same_as_dynamic ecbcat "$n.enc"; done
  row "$arch: a missing file" same_as_dynamic ecbcat missing.enc
  row "$arch: a directory" same_as_dynamic ecbcat dir.enc
  row "$arch: no argument" same_as_dynamic ecbcat
  row "$arch: ecbcat-batch" same_as_dynamic ecbcat-batch tree 5.enc
done
finish
