#!/usr/bin/env bash
# Builds ecbcat.exe for Windows with MinGW-w64 against a static libcrypto (made once and kept
# in a cache, see tools/windows-libcrypto.sh), checks that it imports only system DLLs and
# declares itself long-path aware, and runs it under wine: byte for byte and with its exit
# status against the native build on a table of inputs, to a file, through a pipe and from
# /dev/stdin, then the cases of a table (a Unicode name, failures with their message and
# status as Windows' cmd sees it, the same-file refusal through cmd, pipes whose reader goes
# away, a file past 4 GiB). The i686 program runs under wine directly where the host runs
# 32-bit x86 programs; otherwise under qemu-i386, on fewer inputs, for it is slow there. As
# root it installs what it needs. The programs are left in BUILD_DIR/win-ARCH/ecbcat.exe.
#
#   tests/system/windows.sh BUILD_DIR     (BUILD_DIR holds the native build;
#                                          WINDOWS_ARCHS, default "i686 x86_64")
source "$(dirname "$0")/lib.sh"
build=$(cd "${1:?usage: windows.sh BUILD_DIR}" && pwd)
read -ra archs <<<"${WINDOWS_ARCHS:-i686 x86_64}"
native=$build/ecbcat

# --- tools -----------------------------------------------------------------------------------
declare -A gxx_package=([i686]=g++-mingw-w64-i686-win32 [x86_64]=g++-mingw-w64-x86-64-win32)
for arch in "${archs[@]}"; do
  [[ -n ${gxx_package[$arch]:-} ]] || usage "WINDOWS_ARCHS='i686 x86_64' windows.sh BUILD_DIR, not $arch"
done
wine64=/usr/lib/wine/wine64 wine32=/usr/lib/wine/wine
can_run_32() { [[ -x /usr/lib/wine/wine ]] && "$wine32" --version >/dev/null 2>&1; }
missing() {
  for arch in "${archs[@]}"; do
    command -v "$arch-w64-mingw32-g++" >/dev/null || echo "${gxx_package[$arch]}"
  done
  [[ -x $wine64 ]] || echo wine64
  if [[ " ${archs[*]} " == *" i686 "* ]]; then
    [[ -x $wine32 ]] || echo wine32:i386
    can_run_32 || command -v qemu-i386 >/dev/null || echo qemu-user
  fi
  for t in perl make cmp; do command -v $t >/dev/null || echo $t; done
}
if [[ -n $(missing) ]]; then
  [[ " ${archs[*]} " == *" i686 "* && $EUID -eq 0 ]] && dpkg --add-architecture i386
  install_packages $(missing) || say "the install failed"
fi
[[ -z $(missing) ]] || skip "missing $(missing | xargs) (apt-get install --no-install-recommends, as root)"

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
at_exit '/usr/lib/wine/wineserver -k 2>/dev/null || true'
say "wine prefix ready ($((SECONDS - started)) s)"

# The 32-bit program without a host that runs 32-bit x86: wine's own 32-bit loader under
# qemu-i386, told not to re-exec itself.
runner_i686=("$wine32")
can_run_32 || runner_i686=(env WINELOADERNOEXEC=1 qemu-i386 "$wine32")

# --- inputs ------------------------------------------------------------------------------------
inputs=$build/wine/inputs
mkdir -p "$inputs/dir.enc"
for n in 0 5 16 55 $((2 * 131072 + 21)); do random_file "$inputs/$n.bin" "$n"; done
mv -f "$inputs/$((2 * 131072 + 21)).bin" "$inputs/chunk.bin"
# Line ends and ^Z in the ciphertext catch a text-mode standard input; a plaintext full of
# them catches a text-mode standard output.
[[ -s $inputs/newlines-in.bin ]] || perl -e 'print "\r\n\n\r\x1a" x 838861' >"$inputs/newlines-in.bin"
[[ -s $inputs/newlines-out.bin ]] || perl -e 'print "\r\n\n\r" x (1 << 20)' | encrypt >"$inputs/newlines-out.bin"
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
got=$build/wine/out err=$build/wine/err
same_as_native() {  # way input: the Windows program's output and status equal the native build's
  local status=0
  case $1 in
    file) win "$inputs/$2" >"$got" || status=$? ;;
    pipe)
      echo 0 >"$got.status"
      { win "$inputs/$2" || echo $? >"$got.status"; } | cat >"$got"
      status=$(cat "$got.status")
      ;;
    stdin) cat "$inputs/$2" | win /dev/stdin >"$got" || status=$? ;;
  esac
  equal 0 "$status" "exit status"
  "$native" "$inputs/$2" >"$got.native"
  same "$got.native" "$got" "output"
}
says() {  # expected-status expected-stderr command...: status and message, CR LF and all
  local status=0
  "${@:3}" >/dev/null 2>"$err" || status=$?
  equal "$1" "$status" "exit status"
  equal "$2"$'\r' "$(cat "$err")" "standard error"
}
in_cmd() (  # expected-errorlevel command-line: through wine's cmd from a batch file, which
  # reads the whole status as a Windows parent does (a Linux parent keeps only its low 8 bits)
  cd "$build/wine" && cp "$exe" . && cp "$inputs/chunk.bin" same.enc
  printf '@%s\r\n@echo errorlevel %%errorlevel%%\r\n' "$2" >run.bat
  "${runner[@]}" cmd /c run.bat >cmd.out 2>/dev/null || true
  equal "errorlevel $1" "$(grep -a errorlevel cmd.out | tr -d '\r')" "%errorlevel% after: $2"
)
refuses_same_file() (  # through wine's cmd, which opens the file for the program itself
  cd "$build/wine" && cp "$exe" . && cp "$inputs/chunk.bin" same.enc
  ulimit -f 65536  # a program that reads its own output back stops at 64 MiB
  says 255 "failed writing output: input file is output file" \
    "${runner[@]}" cmd /c "ecbcat.exe same.enc >> same.enc"
  same "$inputs/chunk.bin" same.enc "same.enc after the refusal"
)
reader_gone() {  # consumer: the reader of the pipe goes away, before or after the first write
  echo 0 >"$got.status"
  { win "$inputs/newlines-out.bin" 2>"$err" || echo $? >"$got.status"; } | $1 >/dev/null
  equal 255 "$(cat "$got.status")" "exit status"
  equal "failed writing output: Broken pipe"$'\r' "$(cat "$err")" "standard error"
}
imports_only_system_dlls() {
  local dlls
  dlls=$("$arch-w64-mingw32-objdump" -p "$exe" | awk '/DLL Name:/ {print toupper($3)}' | sort -u | xargs)
  [[ $dlls =~ ^((ADVAPI32|CRYPT32|KERNEL32|MSVCRT|USER32|WS2_32)\.DLL ?)+$ ]] ||
    fail "imports: $dlls"
}
long_path_aware() {  # the manifest is embedded, so Windows lifts the 260-character limit
  grep -aq '<longPathAware[^>]*>true</longPathAware>' "$exe" || fail "no longPathAware manifest"
}
quoted_program_name() (  # the runtime reads `e64.exe"x y"` as the program, base55.enc as FILE;
  # CommandLineToArgvW would read `y base55.enc`. A launcher gives ecbcat.exe that command line.
  cd "$build/wine" && cp "$exe" . && cp "$inputs/55.bin" base55.enc && cp "$inputs/16.bin" 'y base55.enc'
  "$arch-w64-mingw32-g++" -municode -static -o launch.exe -x c++ - <<'LAUNCHER'
#include <windows.h>
int wmain(int, wchar_t** argv) {  // launch.exe PROGRAM COMMAND-LINE
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi;
  DWORD code = 99;
  if (!CreateProcessW(argv[1], argv[2], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 99;
  WaitForSingleObject(pi.hProcess, INFINITE);
  GetExitCodeProcess(pi.hProcess, &code);
  return static_cast<int>(code);
}
LAUNCHER
  local status=0
  "${runner[@]}" launch.exe ecbcat.exe 'e64.exe"x y" base55.enc' >"$got" || status=$?
  equal 0 "$status" "exit status"
  "$native" base55.enc >"$got.native"
  same "$got.native" "$got" "output"
)
readme_commands() (  # the README's cmd lines, each through wine's cmd on a file of line ends
  cd "$build/wine" && cp "$exe" .
  local line ran=0
  while IFS= read -r line; do
    cp "$inputs/newlines-out.bin" records.enc && rm -f records.bin
    "${runner[@]}" cmd /c "$line" || fail "status $? in cmd: $line"
    "$native" records.enc >records.native
    same records.native records.bin "records.bin after: $line"
    ran=$((ran + 1))
  done < <(awk '/^```bat$/ {on = 1; next} /^```$/ {on = 0} on' "$root/README.md")
  ((ran > 0)) || fail "the README shows no cmd lines"
)
past_4gib() {
  local f=$build/wine/past-4GiB.bin
  sparse_past_4gib "$f"
  win "$f" | cmp - <("$native" "$f")
  equal "0 0" "${PIPESTATUS[*]}" "exit statuses of ecbcat.exe and cmp"
  rm -f "$f"
}

for arch in "${archs[@]}"; do
  started=$SECONDS
  exe=$("$root/tools/windows.sh" "$build" "$arch")
  if [[ $arch == x86_64 ]]; then runner=("$wine64"); else runner=("${runner_i686[@]}"); fi
  win() { "${runner[@]}" "$exe" "$@"; }
  slow=
  [[ ${runner[0]} == env ]] && slow=1
  runs=("${all_runs[@]}")
  [[ -n $slow ]] && runs=("${slow_runs[@]}")

  row "$arch: imports only system DLLs" imports_only_system_dlls
  row "$arch: long-path aware" long_path_aware
  for run in "${runs[@]}"; do row "$arch: $run" same_as_native $run; done
  row "$arch: a name outside the code page" same_as_native file 日本.enc
  row "$arch: failed open" says 255 "failed opening file: No such file or directory" win nonexistent.enc
  row "$arch: failure status in cmd" in_cmd 255 "ecbcat.exe nonexistent.enc"
  row "$arch: same file through cmd" refuses_same_file
  row "$arch: reader gone after the first write" reader_gone "head -c 100"
  if [[ -z $slow ]]; then  # the same code as the runs above, or too long under qemu
    row "$arch: success status in cmd" in_cmd 0 "ecbcat.exe same.enc > nul"
    row "$arch: reader gone before the first write" reader_gone true
    row "$arch: a directory" says 255 "failed opening file: Permission denied" win "$inputs/dir.enc"
    row "$arch: closed standard output" says 255 "failed writing output: Bad file descriptor" \
      eval 'win "$inputs/16.bin" >&-'
    row "$arch: no argument" says 255 "usage: ecbcat FILE" win
    row "$arch: a quote in the program's name" quoted_program_name
    row "$arch: the README's commands in cmd" readme_commands
    row "$arch: a file past 4 GiB" past_4gib
  fi
  say "$arch: $exe ($((SECONDS - started)) s)"
done
finish
