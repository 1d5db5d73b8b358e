#!/usr/bin/env bash
# Whole-process benchmark of ecbcat against `openssl enc` and `cat`, all writing to
# /dev/null, interleaved so that machine noise hits every command alike. Prints a Markdown
# table with each target and whether this run met it.
#
#   scripts/bench.sh BUILD_DIR      BENCH_MB (default 1024), BENCH_RUNS (default 5)
set -euo pipefail

build=${1:?usage: bench.sh BUILD_DIR}
bin=$build/ecbcat
mb=${BENCH_MB:-1024}
runs=${BENCH_RUNS:-5}
key=5e0b9a31c874e2061fd94ba76328f08d

missing=()
for tool in openssl:openssl valgrind:valgrind strace:strace /usr/bin/time:time awk:gawk; do
  command -v "${tool%%:*}" >/dev/null || missing+=("${tool##*:}")
done
if ((${#missing[@]})); then
  echo "bench: missing tools; install them with: apt-get install ${missing[*]}" >&2
  exit 1
fi
[[ -x $bin ]] || { echo "bench: $bin not built (run make)" >&2; exit 1; }

dir=$build/bench
mkdir -p "$dir"
make_input() {  # path bytes: random data, made once and kept
  [[ -f $1 && $(stat -c %s "$1") -eq $2 ]] && return
  head -c "$2" /dev/urandom >"$1.part" && mv "$1.part" "$1"
}
big=$dir/input-${mb}MiB.bin
small=$dir/input-1MiB.bin
tiny=$dir/input-32B.bin
make_input "$big" $((mb << 20))
make_input "$small" $((1 << 20))
make_input "$tiny" 32

# Wall time in microseconds of `reps` runs of a command, output to /dev/null, in $took.
# EPOCHREALTIME is read without forking, so the clock adds nothing to what it measures.
timed() {
  local reps=$1 start i
  shift
  start=${EPOCHREALTIME/./}
  for ((i = 0; i < reps; i++)); do "$@" >/dev/null; done
  took=$((${EPOCHREALTIME/./} - start))
}
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
calc() { awk "BEGIN {printf \"$1\", $2}"; }

ecbcat=("$bin" "$big")
openssl=(openssl enc -d -aes-128-ecb -nopad -K "$key" -in "$big")
catcmd=(cat "$big")

# Warm-up: the input into the page cache, each program once.
"${ecbcat[@]}" >/dev/null
"${openssl[@]}" >/dev/null
"${catcmd[@]}" >/dev/null
t_e=() t_o=() t_c=()
for ((i = 0; i < runs; i++)); do
  timed 1 "${ecbcat[@]}" && t_e+=("$took")
  timed 1 "${openssl[@]}" && t_o+=("$took")
  timed 1 "${catcmd[@]}" && t_c+=("$took")
done
m_e=$(median "${t_e[@]}") m_o=$(median "${t_o[@]}") m_c=$(median "${t_c[@]}")

rss_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
rss_small=$(rss_kib "$bin" "$small")
rss_big=$(rss_kib "$bin" "$big")

instructions=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bin" "$tiny" 2>&1 >/dev/null |
  awk '/Collected :/ {print $NF}')
t_s=()
for ((i = 0; i < 9; i++)); do timed 20 "$bin" "$tiny" && t_s+=("$took"); done
m_s=$(median "${t_s[@]}")  # per 20 runs

calls=$(strace -c -e trace=read,write "$bin" "$big" 2>&1 >/dev/null |
  awk '$NF == "read" || $NF == "write" {n += $(NF - 1)} END {print n}')

# The cipher alone, in memory, with ecbcat's chunk size: with one copy from the page cache
# (what cat costs) it bounds what any single-threaded read(2)-based decryptor can reach.
cipher_kbps=$(openssl speed -elapsed -seconds 2 -evp aes-128-ecb -decrypt -bytes 131072 2>/dev/null |
  awk '/^AES-128-ECB/ {sub(/k$/, "", $NF); print $NF}')
floor_us=$(calc %.0f "$mb * 1048576 / ($cipher_kbps * 1000) * 1e6 + $m_c")

verdict() { awk "BEGIN {print ($1) ? \"yes\" : \"**no**\"}"; }
ratio_o=$(calc %.2f "$m_o / $m_e")
ratio_c=$(calc %.2f "$m_e / $m_c")
per_mib=$(calc %.1f "$calls / $mb")

cat <<TABLE
| measure ($mb MiB input in the page cache, output to /dev/null; medians of $runs) | value | target | met |
| --- | --- | --- | --- |
| ecbcat throughput | $(calc %.0f "$mb * 1e6 / $m_e") MiB/s | | |
| openssl enc -d -aes-128-ecb -nopad throughput | $(calc %.0f "$mb * 1e6 / $m_o") MiB/s | | |
| cat throughput | $(calc %.0f "$mb * 1e6 / $m_c") MiB/s | | |
| ecbcat / openssl throughput | ${ratio_o}x | ≥ 2.5x | $(verdict "$ratio_o >= 2.5") |
| ecbcat / cat wall time | ${ratio_c}x | ≤ 2.0x | $(verdict "$ratio_c <= 2.0") |
| ecbcat peak RSS, 1 MiB input | $rss_small KiB | ≤ 8192 KiB | $(verdict "$rss_small <= 8192") |
| ecbcat peak RSS, $mb MiB input | $rss_big KiB | ≤ 1 MiB above 1 MiB run | $(verdict "$rss_big <= 8192 && $rss_big - $rss_small <= 1024") |
| start-up, 32-byte input: instructions (callgrind) | $instructions | ≤ 8,000,000 | $(verdict "$instructions <= 8000000") |
| start-up, 32-byte input: wall time per run (median of 9 batches of 20) | $(calc %.2f "$m_s / 20e3") ms | | |
| floor for one thread: cipher alone ($(calc %.0f "$cipher_kbps * 1000 / 1048576") MiB/s, openssl speed) + cat | $(calc %.0f "$mb * 1e6 / $floor_us") MiB/s = $(calc %.2f "$m_o / $floor_us")x openssl, $(calc %.2f "$floor_us / $m_c")x cat | | |
| read+write system calls per MiB | $per_mib | ≤ 40 | $(verdict "$per_mib <= 40") |
TABLE
