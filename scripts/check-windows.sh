#!/usr/bin/env bash
# Builds ecbcat.exe for Windows with MinGW-w64 against a static libcrypto (made once and kept
# in a cache, see windows-libcrypto.sh), checks that it imports only system DLLs, and runs it
# under wine: byte for byte against the native build on a table of inputs, to a file, through
# a pipe and from /dev/stdin, then the cases of a table (a Unicode name, the failed open, the
# same-file refusal through wine's cmd, a broken pipe, a file past 4 GiB). The i686 program
# runs under wine directly where the host runs 32-bit x86 programs; otherwise under qemu-i386,
# on fewer inputs, for it is slow there. As root it installs what it needs; otherwise it
# prints SKIPPED. The programs are left in BUILD_DIR/win-ARCH/ecbcat.exe.
#
#   scripts/check-windows.sh BUILD_DIR [ARCH...]     (BUILD_DIR holds the native build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: check-windows.sh BUILD_DIR [ARCH...]}" && pwd)
shift
archs=("$@")
((${#archs[@]})) || archs=(i686 x86_64)
native=$build/ecbcat
key=5e0b9a31c874e2061fd94ba76328f08d

# --- tools -----------------------------------------------------------------------------------
declare -A gxx_package=([i686]=g++-mingw-w64-i686-win32 [x86_64]=g++-mingw-w64-x86-64-win32)
wine64=/usr/lib/wine/wine64 wine32=/usr/lib/wine/wine
can_run_32() { [[ -x /usr/lib/wine/wine ]] && "$wine32" --version >/dev/null 2>&1; }
missing() {
  for arch in "${archs[@]}"; do
    [[ -n ${gxx_package[$arch]:-} ]] || { echo "unknown-architecture-$arch" && continue; }
    command -v "$arch-w64-mingw32-g++" >/dev/null || echo "${gxx_package[$arch]}"
  done
  [[ -x $wine64 ]] || echo wine64
  if [[ " ${archs[*]} " == *" i686 "* ]]; then
    [[ -x $wine32 ]] || echo wine32:i386
    can_run_32 || command -v qemu-i386 >/dev/null || echo qemu-user
  fi
  for t in perl make cmp; do command -v $t >/dev/null || echo $t; done
}
if [[ -n $(missing) && $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
  echo "check-windows: installing $(missing | xargs)"
  [[ " ${archs[*]} " == *" i686 "* ]] && dpkg --add-architecture i386
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends $(missing | xargs); } || echo "check-windows: the install failed"
fi
if [[ -n $(missing) ]]; then
  echo "SKIPPED: check-windows: missing $(missing | xargs) (apt-get install --no-install-recommends, as root)"
  exit 0
fi

# --- wine, quiet and headless, one prefix, one server for all runs --------------------------
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$build/wine/prefix
unset DISPLAY
mkdir -p "$build/wine"
started=$SECONDS
# A prefix made before wine32 was installed lacks the 32-bit DLLs: make it again.
if [[ ! -f $WINEPREFIX/system.reg ||
  (" ${archs[*]} " == *" i686 "* && ! -f $WINEPREFIX/drive_c/windows/syswow64/kernel32.dll) ]]; then
  rm -rf "$WINEPREFIX" && "$wine64" wineboot -i >/dev/null 2>&1
fi
/usr/lib/wine/wineserver -p 2>/dev/null || true  # stays until the last run is done
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
echo "check-windows: wine prefix ready ($((SECONDS - started)) s)"

# The 32-bit program without a host that runs 32-bit x86: wine's own 32-bit loader under
# qemu-i386, told not to re-exec itself.
runner_i686=("$wine32")
can_run_32 || runner_i686=(env WINELOADERNOEXEC=1 qemu-i386 "$wine32")

# --- inputs ------------------------------------------------------------------------------------
inputs=$build/wine/inputs
mkdir -p "$inputs"
make_input() {  # name shell-code: made once and kept
  [[ -f $inputs/$1 ]] || bash -c "$2" >"$inputs/$1"
}
make_input 0.bin true
make_input 5.bin 'head -c 5 /dev/urandom'
make_input 16.bin 'head -c 16 /dev/urandom'
make_input 55.bin 'head -c 55 /dev/urandom'  # a short last block
make_input chunk.bin 'head -c $((2 * 131072 + 21)) /dev/urandom'
# Line ends and ^Z in the ciphertext catch a text-mode standard input; a plaintext full of
# them catches a text-mode standard output.
make_input newlines-in.bin "perl -e 'print \"\\r\\n\\n\\r\\x1a\" x 838861'"
make_input newlines-out.bin "perl -e 'print \"\\r\\n\\n\\r\" x (1 << 20)' |
  openssl enc -e -aes-128-ecb -nopad -K $key"
cp "$inputs/55.bin" "$inputs/日本.enc"

# Each input in each way: to a file, through a pipe, from /dev/stdin. Under qemu-i386 a run
# takes about a minute, so there one run each way, on the inputs that catch text mode.
all_runs=()
for way in file pipe stdin; do
  for input in 0.bin 5.bin 16.bin 55.bin chunk.bin newlines-in.bin newlines-out.bin; do
    all_runs+=("$way $input")
  done
done
slow_runs=("file newlines-out.bin" "pipe 55.bin" "stdin newlines-in.bin")

# --- checks ----------------------------------------------------------------------------------
passed=0 failed=0
check() {  # description command...
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)) && echo "FAILED: $arch: $what"; fi
}
same_as_native() {  # way input: the Windows program's output equals the native build's
  local got=$build/wine/out
  case $1 in
    file) win "$inputs/$2" >"$got" ;;
    pipe) win "$inputs/$2" | cat >"$got" ;;
    stdin) cat "$inputs/$2" | win /dev/stdin >"$got" ;;
  esac
  cmp -s "$got" <("$native" "$inputs/$2")
}
says() {  # expected-status expected-stderr command...: status and message, CR LF and all
  local status=0 err
  err=$("${@:3}" 2>&1 >/dev/null) || status=$?
  [[ $status -eq $1 && $err == "$2"$'\r' ]] || { echo "  got status $status: $err" && return 1; }
}
refuses_same_file() (  # through wine's cmd, which opens the file for the program itself
  cd "$build/wine" && cp "$exe" . && cp "$inputs/chunk.bin" same.enc
  says 255 "failed writing output: input file is output file" \
    "${runner[@]}" cmd /c "ecbcat.exe same.enc >> same.enc" && cmp -s same.enc "$inputs/chunk.bin"
)
broken_pipe() {  # the reader goes away after 100 bytes
  local status
  win "$inputs/newlines-out.bin" 2>"$build/wine/err" | head -c 100 >/dev/null
  status=${PIPESTATUS[0]}
  [[ $status -eq 255 && $(cat "$build/wine/err") == "failed writing output: Broken pipe"$'\r' ]] ||
    { echo "  got status $status: $(cat "$build/wine/err")" && return 1; }
}
imports_only_system_dlls() {
  local dlls
  dlls=$("$arch-w64-mingw32-objdump" -p "$exe" | awk '/DLL Name:/ {print toupper($3)}' | sort -u | xargs)
  [[ $dlls =~ ^((ADVAPI32|CRYPT32|KERNEL32|MSVCRT|SHELL32|USER32|WS2_32)\.DLL ?)+$ ]] ||
    { echo "  imports: $dlls" && return 1; }
}
readme_commands() (  # the README's cmd lines, each through wine's cmd on a file of line ends
  cd "$build/wine" && cp "$exe" . || return 1
  local line ran=0
  while IFS= read -r line; do
    cp "$inputs/newlines-out.bin" records.enc && rm -f records.bin
    "${runner[@]}" cmd /c "$line" && cmp -s records.bin <("$native" records.enc) ||
      { echo "  in cmd: $line" && return 1; }
    ran=$((ran + 1))
  done < <(awk '/^```bat$/ {on = 1; next} /^```$/ {on = 0} on' "$root/README.md")
  ((ran > 0)) || { echo "  the README shows no cmd lines" && return 1; }
)
past_4gib() {  # sparse: zeros with random data across the 4 GiB mark and a short last block
  local f=$build/wine/past-4GiB.bin size=$(((4 << 30) + (1 << 20) + 5))
  rm -f "$f" && truncate -s "$size" "$f"
  head -c 8192 /dev/urandom | dd of="$f" bs=1 seek=$(((4 << 30) - 4096)) conv=notrunc status=none
  cmp -s <(win "$f") <("$native" "$f")
  local status=$?
  rm -f "$f"
  return $status
}

for arch in "${archs[@]}"; do
  started=$SECONDS
  libcrypto=$("$root/scripts/windows-libcrypto.sh" "$arch")
  out=$build/win-$arch
  cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw.cmake" -DMINGW_ARCH="$arch" \
    -DOPENSSL_ROOT_DIR="$libcrypto" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >"$out.log" 2>&1 &&
    cmake --build "$out" --parallel >>"$out.log" 2>&1 || { cat "$out.log" && exit 1; }
  exe=$out/ecbcat.exe
  if [[ $arch == x86_64 ]]; then runner=("$wine64"); else runner=("${runner_i686[@]}"); fi
  win() { "${runner[@]}" "$exe" "$@"; }
  slow=
  [[ ${runner[0]} == env ]] && slow=1
  runs=("${all_runs[@]}")
  [[ -n $slow ]] && runs=("${slow_runs[@]}")

  check "imports only system DLLs" imports_only_system_dlls
  for run in "${runs[@]}"; do check "$run" same_as_native $run; done
  check "a name outside the code page" cmp -s <(cd "$inputs" && win 日本.enc) <("$native" "$inputs/55.bin")
  check "failed open" says 255 "failed opening file: No such file or directory" win nonexistent.enc
  check "same file through cmd" refuses_same_file
  check "broken pipe" broken_pipe
  if [[ -z $slow ]]; then  # the same code as the runs above, or too long under qemu
    check "no argument" says 255 "usage: ecbcat FILE" win
    check "the README's commands in cmd" readme_commands
    check "a file past 4 GiB" past_4gib
  fi
  echo "check-windows: $arch: $exe ($((SECONDS - started)) s)"
done
echo "check-windows: $passed passed, $failed failed"
((failed == 0))
