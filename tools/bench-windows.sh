#!/usr/bin/env bash
# Many small files under wine: ecbcat-batch.exe against the cmd loop that Windows users write,
# a process of ecbcat.exe per file, on the same files in the same run. Whole-process times,
# the median of BENCH_RUNS (default 3), as a Markdown table. Builds the x86_64 programs with
# tools/windows.sh; needs wine64 (and, as check-windows makes it, a wine prefix).
#
#   tools/bench-windows.sh BUILD_DIR      BENCH_FILES (default 2000), BENCH_FILE_KB (default 4)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: bench-windows.sh BUILD_DIR}" && pwd)
files=${BENCH_FILES:-2000} kb=${BENCH_FILE_KB:-4} runs=${BENCH_RUNS:-3}
wine64=/usr/lib/wine/wine64
[[ -x $wine64 ]] || { echo "bench-windows: no wine64 (apt-get install wine64)" >&2; exit 1; }
exe=$("$root/tools/windows.sh" "$build" x86_64)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$build/wine/prefix
[[ -d $WINEPREFIX ]] || "$wine64" wineboot -i >/dev/null 2>&1

dir=$build/bench-windows
rm -rf "$dir" && mkdir -p "$dir/files"
cp "$exe" "${exe%/*}/ecbcat-batch.exe" "$dir/"
for ((n = 0; n < files; n++)); do head -c $((kb * 1024)) /dev/urandom >"$dir/files/f$n.enc"; done
# The loop of the Windows section of the README, run in the folder of the files.
printf '@cd files\r\n@for %%%%f in (*.enc) do @..\\ecbcat.exe "%%%%f" > "%%%%~nf"\r\n' >"$dir/loop.bat"
clean() { find "$dir/files" -type f ! -name '*.enc' -delete; }
seconds() {  # command...: the wall time of one run, in seconds
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {print b - a}'
}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
batch=() loop=()
cd "$dir"
"$wine64" cmd /c exit 0  # the wine server up before the first timing
for ((r = 0; r < runs; r++)); do
  clean && batch+=("$(seconds "$wine64" ecbcat-batch.exe files)")
  [[ $(find files -type f ! -name '*.enc' | wc -l) == "$files" ]] || { echo "bench-windows: ecbcat-batch.exe missed files" >&2; exit 1; }
  clean && loop+=("$(seconds "$wine64" cmd /c loop.bat)")
done
b=$(printf '%s\n' "${batch[@]}" | median) l=$(printf '%s\n' "${loop[@]}" | median)
echo "Many files under $(/usr/lib/wine/wine64 --version), $files files of $kb KiB, $( ((runs > 1)) && echo "median of $runs runs" || echo "one run"), $(nproc) CPUs ($(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo))"
echo
echo "| command | seconds | files/s | ratio |"
echo "|---|---:|---:|---:|"
awk -v n="$files" -v b="$b" -v l="$l" 'BEGIN {
  printf "| `ecbcat-batch.exe files` | %.2f | %.0f | 1.00 |\n", b, n / b
  printf "| cmd loop, ecbcat.exe per file | %.2f | %.0f | %.1f |\n", l, n / l, l / b
}'
