#!/usr/bin/env bash
# Builds ecbcat.exe for Windows with MinGW-w64 against a static libcrypto (made once and kept
# in a cache, see tools/windows-libcrypto.sh), checks that it imports only system DLLs and
# declares itself long-path aware, and runs it under wine: byte for byte and with its exit
# status against the native build on a table of inputs, to a file, through a pipe and from
# /dev/stdin, then the cases of a table (a Unicode name, failures with their message and
# status as Windows' cmd sees it, the same-file refusal through cmd, pipes whose reader goes
# away, a file past 4 GiB). The x86_64 programs run under the host's wine; the i686 ones under the
# 32-bit wine of an i386 chroot of Debian 13, made once with mmdebstrap and kept in the cache, so
# that the host needs no foreign dpkg architecture. Where the kernel cannot run 32-bit x86
# programs, Debian 13's qemu-i386 runs them, registered with binfmt_misc while the check runs
# (runs_i386 in lib.sh). As root it installs what it needs. Then ecbcat-batch.exe: a tree with collisions, an existing output, names outside the
# code page, a folder named k.enc and a file held open without sharing, through cmd with a
# rerun with --rm once the file is let go; a run killed mid-file (taskkill /F) and one stopped by Ctrl-C
# leave nothing behind; --watch takes a file written in two parts 1.5 s apart whole, one held
# without sharing once it is let go, and a file in a folder made meanwhile. The programs are left
# in BUILD_DIR/win-ARCH/.
#
#   tests/system/windows.sh BUILD_DIR     (BUILD_DIR holds the native build;
#                                          WINDOWS_ARCHS, default "i686 x86_64")
# The chroot's mounts must end with the check and never show on the host: a mount namespace of
# the check's own.
if ((EUID == 0)) && [[ -z ${ECBCAT_OWN_MOUNTS:-} && " ${WINDOWS_ARCHS:-i686} " == *" i686 "* ]]; then
  ECBCAT_OWN_MOUNTS=1 exec unshare --mount --propagation private "$0" "$@"
fi
source "$(dirname "$0")/../shell/lib.sh"
build=$(cd "${1:?usage: windows.sh BUILD_DIR}" && pwd)
read -ra archs <<<"${WINDOWS_ARCHS:-i686 x86_64}"
native=$build/ecbcat

# --- tools -----------------------------------------------------------------------------------
declare -A gxx_package=([i686]=g++-mingw-w64-i686-posix [x86_64]=g++-mingw-w64-x86-64-posix)
for arch in "${archs[@]}"; do
  [[ -n ${gxx_package[$arch]:-} ]] || usage "WINDOWS_ARCHS='i686 x86_64' windows.sh BUILD_DIR, not $arch"
done
wine64=/usr/lib/wine/wine64 i686_bin=$build/wine/i686
declare -A wine=([i686]=$i686_bin/wine [x86_64]=$wine64)  # the loader that starts each one's programs
with_i686() { [[ " ${archs[*]} " == *" i686 "* ]]; }
missing() {
  for arch in "${archs[@]}"; do
    command -v "$arch-w64-mingw32-g++-posix" >/dev/null || echo "${gxx_package[$arch]}"
  done
  [[ " ${archs[*]} " != *" x86_64 "* || -x $wine64 ]] || echo wine64
  with_i686 && ! command -v mmdebstrap >/dev/null && echo mmdebstrap
  for t in perl make cmp; do command -v $t >/dev/null || echo $t; done
}
[[ -z $(missing) ]] || install_packages $(missing) || true
[[ -z $(missing) ]] || skip "missing $(missing | xargs) (apt-get install --no-install-recommends, as root)"

# --- wine, quiet and headless, one prefix and one server for each architecture ---------------
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$build/wine/prefix
unset DISPLAY
mkdir -p "$build/wine"
at_exit '/usr/lib/wine/wineserver -k 2>/dev/null || true'
at_exit '[[ ! -x $i686_bin/wineserver ]] || "$i686_bin/wineserver" -k 2>/dev/null || true'  # before qemu goes

# i386 chroot of Debian 13 with wine 10.0, with this system's mirror and no security archive
# when its i386 index does not download (a mirror in the middle of a sync).
wine_root() {  # prints its path
  local mirror security work dir sources=()
  mirror=$(debian_mirror) security=$(debian_mirror security)
  sources=("deb $mirror trixie main")
  if [[ -n $security ]]; then
    work=$(mktemp -d) && mkdir -p "$work/lists/partial" "$work/sources"
    echo "deb [arch=i386] $security trixie-security main" >"$work/sources/security.list"
    if apt_update -o Dir::Etc::SourceParts="$work/sources" -o Dir::Etc::SourceList=/dev/null \
      -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work" -o APT::Architectures::=i386; then
      sources+=("deb $security trixie-security main")
    else
      say "the i386 chroot is made without the security archive, whose i386 index does not download" >&2
    fi
    rm -rf "$work"
  fi
  dir=$cache/wine-root/i386-trixie-$(printf '%s\n' "${sources[@]}" | md5sum | cut -c1-8)
  if [[ ! -f $dir/.complete ]]; then
    say "making the i386 chroot with wine (once; kept in $cache/wine-root)" >&2
    rm -rf "$dir.part" && mkdir -p "$(dirname "$dir")"
    # Its maintainer scripts are 32-bit x86 programs: under qemu-i386 where the kernel cannot run
    # them, through our binfmt_misc entry, which mmdebstrap does not know by name.
    mmdebstrap --quiet --variant=minbase --architectures=i386 --skip=check/qemu \
      --aptopt='APT::Install-Recommends "false"' --include=wine,wine32 trixie "$dir.part" \
      "${sources[@]}" >"$dir.log" 2>&1 || { tail -n 20 "$dir.log" >&2 && return 1; }
    rm -rf "$dir" && mv "$dir.part" "$dir" && touch "$dir/.complete"
  fi
  echo "$dir"
}
i686_ready() {  # binfmt_misc where needed, the chroot, the build folder bound into it
  runs_i386 || { say "this host cannot run 32-bit x86 programs, and qemu-i386 could not be registered for them (binfmt_misc, as root)" && return 1; }
  ((EUID == 0)) || { say "the i386 chroot needs root" && return 1; }
  local dir
  dir=$(wine_root) || return 1
  mkdir -p "$dir$build"
  mount --rbind /dev "$dir/dev" && mount -t proc proc "$dir/proc" && mount --bind "$build" "$dir$build" || return 1
  # wine and wineserver of the chroot, as programs that run in the current folder; a runtime
  # folder, so that wine's Wayland driver finds no display quietly
  mkdir -p "$i686_bin" && mkdir -p -m 700 "$dir/tmp/runtime"
  for tool in wine wineserver; do
    printf '#!/bin/sh\nexec chroot %q /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LC_ALL=C.UTF-8 \\\n  XDG_RUNTIME_DIR=/tmp/runtime WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win32 \\\n  WINEPREFIX=%q /bin/sh -c %q "$PWD" "$@"\n' \
      "$dir" "$build/wine/prefix-i686" "cd \"\$0\" && exec /usr/lib/wine/$tool \"\$@\"" >"$i686_bin/$tool"
    chmod +x "$i686_bin/$tool"
  done
}
if with_i686 && ! i686_ready; then
  skip_row i686 "no 32-bit wine here"
  read -ra archs <<<"${archs[*]/i686/}"
fi
[[ -z $i386_emulated ]] || ! with_i686 || say "32-bit x86 programs run under Debian 13's qemu-i386 here"
started=$SECONDS
if [[ " ${archs[*]} " == *" x86_64 "* ]]; then
  [[ -f $WINEPREFIX/system.reg ]] || "$wine64" wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver -p 2>/dev/null || true  # stays until the last run is done
fi
if with_i686; then
  [[ -f $build/wine/prefix-i686/system.reg ]] || "$i686_bin/wine" wineboot -i >/dev/null 2>&1
  "$i686_bin/wineserver" -p 2>/dev/null || true
fi
say "wine ready ($((SECONDS - started)) s)"

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

# Each input in each way: to a file, through a pipe, from /dev/stdin.
runs=()
for way in file pipe stdin; do
  for input in 0.bin 5.bin 16.bin 55.bin chunk.bin newlines-in.bin newlines-out.bin; do
    runs+=("$way $input")
  done
done

# --- cases: run side by side, then checked one row each ---------------------------------------
# Each start of a wine process costs far more than the run itself (seconds for a 32-bit one under
# qemu-i386), while the session (one server for all runs) costs next to nothing. So the cases
# run at once, one per core, each in a folder of its own, and are then checked one by one, each
# its own row.
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
  "${wine[$arch]}" cmd /c run.bat
}
same_file() {  # through wine's cmd, which opens the file for the program itself
  cp "$exe" . && cp "$inputs/chunk.bin" same.enc
  ulimit -f 65536  # a program that reads its own output back stops at 64 MiB
  "${wine[$arch]}" cmd /c "ecbcat.exe same.enc >> same.enc"
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
    "${wine[$arch]}" cmd /c "$line" || fail "status $? in cmd: $line"
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
hold_source=$(cat <<'HOLD'
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
)
declare -A tree_outputs=([a]=55.bin [日本]=55.bin [Ωmega😀]=5.bin [k.enc/c]=chunk.bin [sub/d]=0.bin [locked]=16.bin)
batch_tree() {  # the tree, run through cmd while locked.enc is held, then again once it is not
  cp "$batch" "${exe%/*}/hold.exe" . && mkdir -p tree/sub tree/k.enc
  cp "$inputs/55.bin" tree/a.enc && cp "$inputs/16.bin" tree/b.enc.enc
  cp "$inputs/16.bin" tree/b.enc && echo mine >tree/b
  cp "$inputs/55.bin" tree/日本.enc && cp "$inputs/5.bin" tree/Ωmega😀.enc
  cp "$inputs/chunk.bin" tree/k.enc/c.enc && cp "$inputs/0.bin" tree/sub/d.enc
  cp "$inputs/16.bin" tree/locked.enc && touch -d '2001-02-03 04:05:06' tree/a.enc
  printf '%s\r\n' '@echo off' 'start /b hold.exe tree\locked.enc' ':held' 'if not exist held goto held' \
    'ecbcat-batch.exe tree' 'echo errorlevel %errorlevel%' 'echo.>release' ':gone' \
    'if exist held goto gone' 'ecbcat-batch.exe --rm tree' 'echo errorlevel %errorlevel%' >run.bat
  timeout 900 "${wine[$arch]}" cmd /c run.bat  # a hang fails the case rather than the whole check
}
case_pair() {  # a.enc and A.enc aim at one output, in a dry run as in the run
  mkdir pair && cp "$inputs/16.bin" pair/a.enc && cp "$inputs/16.bin" pair/A.enc && in_cmd "$1"
}
tree_done() {  # folder
  local d=$1 line f
  equal $'errorlevel 2\nerrorlevel 2' "$(grep -a errorlevel "$d/out" | tr -d '\r')" "%errorlevel%s"
  for line in 'tree\b.enc.enc: left alone: b.enc exists' 'tree\b.enc: left alone: b exists' \
    'tree\locked.enc: still being written: left for a later run' \
    'ecbcat-batch: 5 decrypted, 0 failed, 2 left alone, 1 for a later run' 'ecbcat-batch: 1 decrypted, 0 failed, 2 left alone'; do
    tr -d '\r' <"$d/err" | grep -qxF "$line" || fail "no line '$line' in: $(cat "$d/err")"
  done
  # --rm on the rerun: the file it decrypted then goes, and those decrypted before; the ones
  # left alone stay.
  for f in "${!tree_outputs[@]}"; do
    "$native" "$inputs/${tree_outputs[$f]}" | cmp -s - "$d/tree/$f" || fail "output $f"
    [[ ! -e $d/tree/$f.enc ]] || fail "$f.enc, decrypted, is still there after --rm"
  done
  [[ -e $d/tree/b.enc.enc && -e $d/tree/b.enc ]] || fail "an input left alone was removed"
  equal mine "$(cat "$d/tree/b")" "b, left alone"
  equal "$(date -d '2001-02-03 04:05:06' +%s)" "$(stat -c %Y "$d/tree/a")" "a's last-write time"
  equal "" "$(find "$d/tree" -name '*.ecbcat-*')" "hidden outputs left"
}
# slow.exe SRC DST: writes SRC's first 4 KiB into DST, shared with all (only the reader's own
# sharing mode keeps it from reading a part), holds it open for 1.5 s, then writes the rest
slow_source=$(cat <<'SLOW'
#include <windows.h>
static char data[1 << 20];
int wmain(int, wchar_t** argv) {
  HANDLE in = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE out = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, CREATE_NEW, 0, nullptr);
  DWORD n = 0, done;
  if (!ReadFile(in, data, sizeof data, &n, nullptr) || out == INVALID_HANDLE_VALUE || n < 4096) return 1;
  WriteFile(out, data, 4096, &done, nullptr);
  Sleep(1500);
  WriteFile(out, data + 4096, n - 4096, &done, nullptr);
  return !CloseHandle(out);
}
SLOW
)
appears() {  # path: within a minute
  local n
  for n in $(seq 600); do [[ -e $1 ]] && return; sleep 0.1; done
  fail "no $1 after a minute"
}
watch_session() (  # ecbcat-batch.exe --watch -v w, once its first pass is done: slow.exe writes
  # slow.enc; held.enc, held by hold.exe since before the start, is let go 2 s later; a folder
  # named like an input is made, and a file moved into it. Then Ctrl-C.
  rm -rf "$build/wine/watch" && mkdir -p "$build/wine/watch/w"
  cd "$build/wine/watch" && cp "$batch" "${exe%/*}"/{hold,slow}.exe .
  cp "$inputs/16.bin" w/held.enc && cp "$inputs/0.bin" w/ready.enc
  "${wine[$arch]}" hold.exe w/held.enc & appears held
  "${wine[$arch]}" ecbcat-batch.exe --watch -v w >out 2>err & local pid=$! status=0
  appears w/ready
  "${wine[$arch]}" slow.exe "$inputs/chunk.bin" w/slow.enc &
  mkdir w/new.enc && sleep 1 && cp "$inputs/55.bin" w/new.enc/part && mv w/new.enc/part w/new.enc/x.enc
  sleep 1 && touch release
  for f in slow held new.enc/x; do appears w/$f; done
  kill -INT "$(pgrep -n -f '[A-Z]:\\.*\\watch\\ecbcat-batch\.exe' || echo "$pid")"
  wait "$pid" || status=$?
  equal 130 "$status" "exit status after Ctrl-C"
  tr -d '\r' <err | grep -qF 'interrupted: 4 decrypted, 0 failed, 0 left alone,' || fail "standard error: $(cat err)"
)
watched() {  # input output: the watch made w/OUTPUT, openssl's decryption of INPUT
  expected_of "$inputs/$1" >"$build/wine/watch/$1.plain"
  same "$build/wine/watch/$1.plain" "$build/wine/watch/w/$2" "w/$2"
}
stopped_mid_file() (  # how: taskkill or Ctrl-C; then a rerun
  cd "$build/wine" && rm -rf stop && mkdir stop && cp "$batch" stop/
  head -c 1G /dev/zero | encrypt >stop/big.enc
  local status=0 n
  (cd stop && exec "${wine[$arch]}" ecbcat-batch.exe . >out 2>err) & local pid=$!
  for n in $(seq 500); do compgen -G 'stop/.big.ecbcat-*' >/dev/null && break; sleep 0.02; done
  # wine 10 runs the program in a process of its own, which the one started waits for: the
  # signal goes to the process whose command line is the program's Windows path, where there is one.
  local program
  program=$(pgrep -n -f '[A-Z]:\\.*\\stop\\ecbcat-batch\.exe' || echo "$pid")
  if [[ $1 == taskkill ]]; then "${wine[$arch]}" taskkill /F /IM ecbcat-batch.exe >/dev/null; else kill -INT "$program"; fi
  wait "$pid" || status=$?
  ((n < 500)) || fail "no hidden output seen"
  equal "big.enc ecbcat-batch.exe err out" "$(ls -A stop | xargs)" "the folder after the stop"
  if [[ $1 == ctrl-c ]]; then
    equal 130 "$status" "exit status after Ctrl-C"
    # qemu-i386 says so when one of wine's own processes crashes as the program ends; that line
    # is the emulator's, not the program's.
    equal "ecbcat-batch: interrupted: 0 decrypted, 0 failed, 0 left alone, 1 dropped unfinished, the rest not started" \
      "$(tr -d '\r' <stop/err | grep -v '^qemu: uncaught target signal' || true)" "standard error"
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
  # hold.exe FILE: holds FILE open, shared with nobody, from when the file "held" appears until
  # the file "release" does; "held" goes once FILE is let go
  "$arch-w64-mingw32-g++-posix" -municode -static -o "${exe%/*}/hold.exe" -x c++ - <<<"$hold_source"
  "$arch-w64-mingw32-g++-posix" -municode -static -o "${exe%/*}/slow.exe" -x c++ - <<<"$slow_source"

  row "$arch: imports only system DLLs" imports_only_system_dlls
  row "$arch: long-path aware" long_path_aware
  exe=$batch row "$arch: ecbcat-batch.exe imports only system DLLs" imports_only_system_dlls
  exe=$batch row "$arch: ecbcat-batch.exe long-path aware" long_path_aware
  runs "ecbcat-batch.exe: a tree through cmd, and a rerun" tree_done -- batch_tree
  for run in "${runs[@]}"; do
    read -r how input <<<"$run"
    runs "$run" same_as_native "$input" -- "${way[$how]}" "$input"
  done
  runs "failed open" says 255 "failed opening file: No such file or directory" -- win nonexistent.enc
  runs "failure status in cmd" errorlevel 255 -- in_cmd "ecbcat.exe nonexistent.enc"
  runs "same file through cmd" refused_same_file -- same_file
  runs "reader gone after the first write" says 255 "failed writing output: Broken pipe" -- \
    to_reader head -c 100
  runs "a name outside the code page" same_as_native 日本.enc -- to_file 日本.enc
  runs "success status in cmd" errorlevel 0 -- in_cmd "ecbcat.exe same.enc > nul"
  runs "reader gone before the first write" says 255 "failed writing output: Broken pipe" -- \
    to_reader true
  runs "a directory" says 255 "failed opening file: Permission denied" -- win "$inputs/dir.enc"
  runs "closed standard output" says 255 "failed writing output: Bad file descriptor" -- closed_stdout
  runs "no argument" says 255 "usage: ecbcat FILE" -- win
  runs "ecbcat-batch.exe: a wrong option in cmd" errorlevel 64 -- in_cmd "ecbcat-batch.exe --bogus"
  runs "ecbcat-batch.exe: a.enc and A.enc, dry run" errorlevel 2 -- case_pair "ecbcat-batch.exe -n pair"
  check_cases
  row "$arch: a quote in the program's name" quoted_program_name
  row "$arch: the README's commands in cmd" readme_commands
  row "$arch: a file past 4 GiB" past_4gib
  row "$arch: ecbcat-batch.exe killed mid-file (taskkill /F), then a rerun" stopped_mid_file taskkill
  row "$arch: ecbcat-batch.exe stopped by Ctrl-C mid-file, then a rerun" stopped_mid_file ctrl-c
  row "$arch: ecbcat-batch.exe --watch, stopped by Ctrl-C" watch_session
  row "$arch: --watch: a file written with a pause, decrypted whole" watched chunk.bin slow
  row "$arch: --watch: a file held without sharing, decrypted once let go" watched 16.bin held
  row "$arch: --watch: a file in a folder made while watching" watched 55.bin new.enc/x
  say "$arch: $exe ($((SECONDS - started)) s)"
done
finish
