#!/usr/bin/env bash
# Builds ecbcat.exe for Windows with MinGW-w64 against a static libcrypto (made once and kept
# in a cache, see tools/windows-libcrypto.sh), checks that it imports only system DLLs and
# declares itself long-path aware, and runs it under wine: byte for byte and with its exit
# status against the native build on a table of inputs, to a file, through a pipe and from
# /dev/stdin, then the cases of a table (a Unicode name, failures with their message and
# status as Windows' cmd sees it, the same-file refusal through cmd, pipes whose reader goes
# away, a file past 4 GiB). Where the kernel cannot run 32-bit x86 programs, wine's 32-bit half
# and the i686 program run under qemu-i386, registered with binfmt_misc while the check runs
# (runs_i386 in lib.sh), on fewer cases, for it is slow there. As root it installs what it
# needs. Then ecbcat-batch.exe: a tree with collisions, an existing output, names outside the
# code page, a folder named k.enc and a file held open without sharing, through cmd with a
# rerun once the file is let go; a run killed mid-file (taskkill /F) and one stopped by Ctrl-C
# leave nothing behind. The programs are left in BUILD_DIR/win-ARCH/.
#
#   tests/system/windows.sh BUILD_DIR     (BUILD_DIR holds the native build;
#                                          WINDOWS_ARCHS, default "i686 x86_64")
source "$(dirname "$0")/lib.sh"
build=$(cd "${1:?usage: windows.sh BUILD_DIR}" && pwd)
read -ra archs <<<"${WINDOWS_ARCHS:-i686 x86_64}"
native=$build/ecbcat

# --- tools -----------------------------------------------------------------------------------
declare -A gxx_package=([i686]=g++-mingw-w64-i686-posix [x86_64]=g++-mingw-w64-x86-64-posix)
for arch in "${archs[@]}"; do
  [[ -n ${gxx_package[$arch]:-} ]] || usage "WINDOWS_ARCHS='i686 x86_64' windows.sh BUILD_DIR, not $arch"
done
wine64=/usr/lib/wine/wine64 wine32=/usr/lib/wine/wine
declare -A wine=([i686]=$wine32 [x86_64]=$wine64)  # the loader that starts each one's programs
with_i686() { [[ " ${archs[*]} " == *" i686 "* ]]; }
missing() {
  for arch in "${archs[@]}"; do
    command -v "$arch-w64-mingw32-g++-posix" >/dev/null || echo "${gxx_package[$arch]}"
    [[ -x ${wine[$arch]} ]] || { [[ $arch == x86_64 ]] && echo wine64 || echo wine32:i386; }
  done
  for t in perl make cmp; do command -v $t >/dev/null || echo $t; done
}
if [[ -n $(missing) ]]; then
  with_i686 && ((EUID == 0)) && dpkg --add-architecture i386
  install_packages $(missing) || say "the install failed"
fi
[[ -z $(missing) ]] || skip "missing $(missing | xargs) (apt-get install --no-install-recommends, as root)"

# --- wine, quiet and headless, one prefix, one server for all runs --------------------------
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$build/wine/prefix
unset DISPLAY
mkdir -p "$build/wine"
at_exit '/usr/lib/wine/wineserver -k 2>/dev/null || true'  # before the 32-bit programs lose qemu
# Wine's 32-bit half is a 32-bit x86 program: without it the prefix has no syswow64.
if with_i686 && ! runs_i386 "$wine32" --version; then
  skip_row i686 "this host cannot run 32-bit x86 programs, and qemu-i386 could not be registered for them (binfmt_misc, as root)"
  read -ra archs <<<"${archs[*]/i686/}"
fi
[[ -z $i386_emulated ]] || ! with_i686 || say "32-bit x86 programs run under qemu-i386 here, each start of one taking about a minute"
started=$SECONDS
# A prefix made while wine's 32-bit half could not run lacks the 32-bit DLLs: make it again.
if [[ ! -f $WINEPREFIX/system.reg ]] ||
  { with_i686 && [[ ! -f $WINEPREFIX/drive_c/windows/syswow64/kernel32.dll ]]; }; then
  rm -rf "$WINEPREFIX" && "$wine64" wineboot -i >/dev/null 2>&1
fi
/usr/lib/wine/wineserver -p 2>/dev/null || true  # stays until the last run is done
say "wine prefix ready ($((SECONDS - started)) s)"

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

# Each input in each way: to a file, through a pipe, from /dev/stdin. Under qemu-i386 fewer:
# each way on an input that catches text mode, and from a file the one that catches a file
# opened in text mode.
all_runs=()
for way in file pipe stdin; do
  for input in 0.bin 5.bin 16.bin 55.bin chunk.bin newlines-in.bin newlines-out.bin; do
    all_runs+=("$way $input")
  done
done
slow_runs=("file newlines-in.bin" "file newlines-out.bin" "pipe newlines-out.bin" "stdin newlines-in.bin")

# --- cases: run side by side, then checked one row each ---------------------------------------
# Under qemu-i386 each start of a 32-bit wine process costs about 50 s of CPU, whether it is
# started from the shell or by cmd in a running wine session, while the session itself (one
# server for all runs) costs next to nothing. So the cases run at once, one per core, each in a
# folder of its own, and are then checked one by one, each its own row.
cores=$(nproc) cases=$build/wine/cases names=() checks=()
runs() {  # name check... -- command...: starts command in its folder, standard output to out,
  # standard error to err, exit status to status; `check... FOLDER` is its row, in check_cases
  local name=$1 check=() dir=$cases/${#names[@]}
  shift
  while [[ $1 != -- ]]; do check+=("$1") && shift; done
  shift
  ((${#names[@]})) || cases_started=$SECONDS
  names+=("$name") checks+=("$(printf '%q ' "${check[@]}")")
  while (($(jobs -pr | wc -l) >= cores)); do wait -n || true; done
  rm -rf "$dir" && mkdir -p "$dir"
  (cd "$dir" && { "$@" >out 2>err && echo 0 >status || echo $? >status; }) &
}
check_cases() {
  local i
  wait
  for i in "${!names[@]}"; do eval "row \"\$arch: \${names[i]}\" ${checks[i]} \"\$cases/$i\""; done
  say "$arch: ${#names[@]} cases ran in $((SECONDS - cases_started)) s"
  names=() checks=()
}

# What the cases do, in their folder.
declare -A way=([file]=to_file [pipe]=to_pipe [stdin]=from_stdin)
to_file() { win "$inputs/$1"; }
to_pipe() { win "$inputs/$1" | cat; }
from_stdin() { cat "$inputs/$1" | win /dev/stdin; }  # a pipe, not the file, as standard input
closed_stdout() { win "$inputs/16.bin" >&-; }
to_reader() { win "$inputs/newlines-out.bin" | "$@" >/dev/null; }  # the status is ecbcat.exe's
in_cmd() {  # command-line: from a batch file in wine's cmd, which reads the whole status as a
  # Windows parent does (a Linux parent keeps only its low 8 bits)
  cp "$exe" "$batch" . && cp "$inputs/chunk.bin" same.enc
  printf '@%s\r\n@echo errorlevel %%errorlevel%%\r\n' "$1" >run.bat
  "$wine64" cmd /c run.bat
}
same_file() {  # through wine's cmd, which opens the file for the program itself
  cp "$exe" . && cp "$inputs/chunk.bin" same.enc
  ulimit -f 65536  # a program that reads its own output back stops at 64 MiB
  "$wine64" cmd /c "ecbcat.exe same.enc >> same.enc"
}

# --- checks ----------------------------------------------------------------------------------
same_as_native() {  # input folder: status 0 and the native build's output
  equal 0 "$(cat "$2/status")" "exit status"
  "$native" "$inputs/$1" >"$2/native"
  same "$2/native" "$2/out" "output"
}
says() {  # status message folder: status and standard error, CR LF and all
  equal "$1" "$(cat "$3/status")" "exit status"
  equal "$2"$'\r' "$(cat "$3/err")" "standard error"
}
errorlevel() {  # level folder
  equal "errorlevel $1" "$(grep -a errorlevel "$2/out" | tr -d '\r')" "%errorlevel% in cmd"
}
refused_same_file() {  # folder
  says 255 "failed writing output: input file is output file" "$1"
  same "$inputs/chunk.bin" "$1/same.enc" "same.enc after the refusal"
}
imports_only_system_dlls() {
  local dlls
  dlls=$("$arch-w64-mingw32-objdump" -p "$exe" | awk '/DLL Name:/ {print toupper($3)}' | sort -u | xargs)
  [[ $dlls =~ ^((ADVAPI32|CRYPT32|KERNEL32|MSVCRT|NTDLL|USER32|WS2_32)\.DLL ?)+$ ]] ||
    fail "imports: $dlls"
}
long_path_aware() {  # the manifest is embedded, so Windows lifts the 260-character limit
  grep -aq '<longPathAware[^>]*>true</longPathAware>' "$exe" || fail "no longPathAware manifest"
}
quoted_program_name() (  # the runtime reads `e64.exe"x y"` as the program, base55.enc as FILE;
  # CommandLineToArgvW would read `y base55.enc`. A launcher gives ecbcat.exe that command line.
  cd "$build/wine" && cp "$exe" . && cp "$inputs/55.bin" base55.enc && cp "$inputs/16.bin" 'y base55.enc'
  "$arch-w64-mingw32-g++-posix" -municode -static -o launch.exe -x c++ - <<'LAUNCHER'
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
  "${wine[$arch]}" launch.exe ecbcat.exe 'e64.exe"x y" base55.enc' >out || status=$?
  equal 0 "$status" "exit status"
  "$native" base55.enc >out.native
  same out.native out "output"
)
readme_commands() (  # the README's cmd lines, each through wine's cmd on a file of line ends
  # (records.enc into records.bin; for ecbcat-batch, drop\records.enc into drop\records)
  cd "$build/wine" && cp "$exe" "$batch" .
  local line ran=0 out
  while IFS= read -r line; do
    rm -rf records.bin drop && mkdir drop && cp "$inputs/newlines-out.bin" records.enc
    cp records.enc drop/ && out=records.bin
    [[ $line == ecbcat-batch* ]] && out=drop/records
    "$wine64" cmd /c "$line" || fail "status $? in cmd: $line"
    "$native" records.enc >records.native
    same records.native "$out" "$out after: $line"
    ran=$((ran + 1))
  done < <(awk '/^```bat$/ {on = 1; next} /^```$/ {on = 0} on' "$root/README.md")
  ((ran > 0)) || fail "the README shows no cmd lines"
)
past_4gib() {
  local f=$build/wine/past-4GiB.bin
  sparse_past_4gib "$f"
  local same=0
  { win "$f"; echo "$?" >"$f.status"; } | cmp - <("$native" "$f") || same=$?
  equal 0 "$(cat "$f.status")" "exit status of ecbcat.exe"
  equal 0 "$same" "cmp's status against the native build"
  rm -f "$f"
}

# --- ecbcat-batch.exe ---------------------------------------------------------------------------
hold=$build/wine/hold.exe  # hold.exe FILE: holds FILE open, shared with nobody, from when the
# file "held" appears until the file "release" does; "held" goes once FILE is let go
[[ -f $hold ]] || x86_64-w64-mingw32-g++-posix -municode -static -o "$hold" -x c++ - <<'HOLD'
#include <windows.h>
int wmain(int, wchar_t** argv) {
  HANDLE h = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(CreateFileW(L"held", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  while (GetFileAttributesW(L"release") == INVALID_FILE_ATTRIBUTES) Sleep(50);
  CloseHandle(h);
  DeleteFileW(L"held");
}
HOLD
tree_outputs=(a 日本 Ωmega😀 k.enc/c sub/d locked)
batch_tree() {  # the tree, run through cmd while locked.enc is held, then again once it is not
  cp "$batch" "$hold" . && mkdir -p tree/sub tree/k.enc
  cp "$inputs/55.bin" tree/a.enc && cp "$inputs/16.bin" tree/a.enc.enc
  cp "$inputs/16.bin" tree/b.enc && echo mine >tree/b
  cp "$inputs/55.bin" tree/日本.enc && cp "$inputs/5.bin" tree/Ωmega😀.enc
  cp "$inputs/chunk.bin" tree/k.enc/c.enc && cp "$inputs/0.bin" tree/sub/d.enc
  cp "$inputs/16.bin" tree/locked.enc && touch -d '2001-02-03 04:05:06' tree/a.enc
  printf '%s\r\n' '@echo off' 'start /b hold.exe tree\locked.enc' ':held' 'if not exist held goto held' \
    'ecbcat-batch.exe tree' 'echo errorlevel %errorlevel%' 'echo.>release' ':gone' \
    'if exist held goto gone' 'ecbcat-batch.exe tree' 'echo errorlevel %errorlevel%' >run.bat
  timeout 900 "$wine64" cmd /c run.bat  # a hang fails the case rather than the whole check
}
case_pair() {  # a.enc and A.enc aim at one output, in a dry run as in the run
  mkdir pair && cp "$inputs/16.bin" pair/a.enc && cp "$inputs/16.bin" pair/A.enc && in_cmd "$1"
}
tree_done() {  # folder
  local d=$1 line f
  equal $'errorlevel 1\nerrorlevel 2' "$(grep -a errorlevel "$d/out" | tr -d '\r')" "%errorlevel%s"
  for line in 'tree\a.enc.enc: left alone: a.enc exists' 'tree\b.enc: left alone: b exists' \
    'tree\locked.enc: failed opening file: Permission denied' \
    'ecbcat-batch: 5 decrypted, 1 failed, 2 left alone' 'ecbcat-batch: 1 decrypted, 0 failed, 7 left alone'; do
    tr -d '\r' <"$d/err" | grep -qxF "$line" || fail "no line '$line' in: $(cat "$d/err")"
  done
  for f in "${tree_outputs[@]}"; do
    "$native" "$d/tree/$f.enc" | cmp -s - "$d/tree/$f" || fail "output $f"
  done
  equal mine "$(cat "$d/tree/b")" "b, left alone"
  equal "$(stat -c %Y "$d/tree/a.enc")" "$(stat -c %Y "$d/tree/a")" "a's last-write time"
  equal "" "$(find "$d/tree" -name '*.ecbcat-*')" "hidden outputs left"
}
stopped_mid_file() (  # how: taskkill or Ctrl-C; then a rerun
  cd "$build/wine" && rm -rf stop && mkdir stop && cp "$batch" stop/
  head -c 1G /dev/zero | encrypt >stop/big.enc
  local status=0 n
  (cd stop && exec "${wine[$arch]}" ecbcat-batch.exe . >out 2>err) & local pid=$!
  for n in $(seq 500); do compgen -G 'stop/.big.ecbcat-*' >/dev/null && break; sleep 0.02; done
  if [[ $1 == taskkill ]]; then "$wine64" taskkill /F /IM ecbcat-batch.exe >/dev/null; else kill -INT "$pid"; fi
  wait "$pid" || status=$?
  ((n < 500)) || fail "no hidden output seen"
  equal "big.enc ecbcat-batch.exe err out" "$(ls -A stop | xargs)" "the folder after the stop"
  if [[ $1 == ctrl-c ]]; then
    equal 130 "$status" "exit status after Ctrl-C"
    equal "ecbcat-batch: interrupted: 0 decrypted, 0 failed, 0 left alone, 1 dropped unfinished, the rest not started" \
      "$(tr -d '\r' <stop/err)" "standard error"
  fi
  (cd stop && timeout 300 "${wine[$arch]}" ecbcat-batch.exe .) || fail "rerun: status $?"
  cmp -s stop/big <(head -c 1G /dev/zero) || fail "rerun: output"
  rm -rf stop
)

for arch in "${archs[@]}"; do
  started=$SECONDS
  exe=$("$root/tools/windows.sh" "$build" "$arch")
  batch=${exe%/*}/ecbcat-batch.exe
  win() { "${wine[$arch]}" "$exe" "$@"; }
  slow=
  [[ $arch == i686 && -n $i386_emulated ]] && slow=1
  runs=("${all_runs[@]}")
  [[ -n $slow ]] && runs=("${slow_runs[@]}")

  row "$arch: imports only system DLLs" imports_only_system_dlls
  row "$arch: long-path aware" long_path_aware
  exe=$batch row "$arch: ecbcat-batch.exe imports only system DLLs" imports_only_system_dlls
  exe=$batch row "$arch: ecbcat-batch.exe long-path aware" long_path_aware
  # Under qemu-i386, the i686 ecbcat-batch.exe died or hung in the emulator in three runs of four
  # (SIGSEGV; "wine client error: read: Bad address"), at random points, where the x86_64 one
  # never did: there it is built and inspected but not run. Natively it runs the tree.
  if [[ -z $slow ]]; then
    runs "ecbcat-batch.exe: a tree through cmd, and a rerun" tree_done -- batch_tree
  else
    say "$arch: ecbcat-batch.exe not run: 32-bit wine's threads are unreliable under qemu-i386"
  fi
  for run in "${runs[@]}"; do
    read -r how input <<<"$run"
    runs "$run" same_as_native "$input" -- "${way[$how]}" "$input"
  done
  runs "failed open" says 255 "failed opening file: No such file or directory" -- win nonexistent.enc
  runs "failure status in cmd" errorlevel 255 -- in_cmd "ecbcat.exe nonexistent.enc"
  runs "same file through cmd" refused_same_file -- same_file
  runs "reader gone after the first write" says 255 "failed writing output: Broken pipe" -- \
    to_reader head -c 100
  if [[ -z $slow ]]; then  # the same code as the cases above, or too long under qemu
    runs "a name outside the code page" same_as_native 日本.enc -- to_file 日本.enc
    runs "success status in cmd" errorlevel 0 -- in_cmd "ecbcat.exe same.enc > nul"
    runs "reader gone before the first write" says 255 "failed writing output: Broken pipe" -- \
      to_reader true
    runs "a directory" says 255 "failed opening file: Permission denied" -- win "$inputs/dir.enc"
    runs "closed standard output" says 255 "failed writing output: Bad file descriptor" -- closed_stdout
    runs "no argument" says 255 "usage: ecbcat FILE" -- win
    runs "ecbcat-batch.exe: a wrong option in cmd" errorlevel 64 -- in_cmd "ecbcat-batch.exe --bogus"
    runs "ecbcat-batch.exe: a.enc and A.enc, dry run" errorlevel 2 -- case_pair "ecbcat-batch.exe -n pair"
  fi
  check_cases
  if [[ -z $slow ]]; then
    row "$arch: a quote in the program's name" quoted_program_name
    row "$arch: the README's commands in cmd" readme_commands
    row "$arch: a file past 4 GiB" past_4gib
    row "$arch: ecbcat-batch.exe killed mid-file (taskkill /F), then a rerun" stopped_mid_file taskkill
    row "$arch: ecbcat-batch.exe stopped by Ctrl-C mid-file, then a rerun" stopped_mid_file ctrl-c
  fi
  say "$arch: $exe ($((SECONDS - started)) s)"
done
finish
