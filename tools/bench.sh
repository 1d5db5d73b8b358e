#!/usr/bin/env bash
# Whole-process benchmark of ecbcat against `openssl enc` and `cat`, alone with output to
# /dev/null and inside pipelines, interleaved so that machine noise hits every command alike.
# Prints Markdown tables: the measured values, the floor and the ratios; many files with
# ecbcat-batch against a process per file; --watch's latency and its CPU while idle; start-up of
# the dynamic and the static build.
#
#   tools/bench.sh BUILD_DIR      BENCH_MB (default 1024), BENCH_RUNS (default 5), and the
#                                 BENCH_SMALL_FILES, BENCH_BIG_FILES, BENCH_BIG_MB of the many-files table,
#                                 BENCH_WATCH_FILES (1000), BENCH_IDLE_SECONDS (60) of --watch's
set -euo pipefail

build=${1:?usage: bench.sh BUILD_DIR}
build=$(cd "$build" && pwd)
bin=$build/ecbcat
mb=${BENCH_MB:-1024}
runs=${BENCH_RUNS:-5}
key=5e0b9a31c874e2061fd94ba76328f08d

missing=()
for tool in openssl:openssl valgrind:valgrind strace:strace /usr/bin/time:time awk:gawk perl:perl; do
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

# Pipelines, with X standing for each program in turn. The shell makes 64 KiB pipes; the
# floor's cat gets 1 MiB ones from perl's fcntl (1031 is Linux's F_SETPIPE_SZ) before it
# starts, which is what ecbcat does for itself.
x_ecbcat() { "$bin" "$1"; }
x_openssl() { openssl enc -d -aes-128-ecb -nopad -K "$key" -in "$1"; }
x_cat() { cat "$1"; }
x_widecat() { perl -e 'fcntl(STDIN, 1031, 1 << 20); fcntl(STDOUT, 1031, 1 << 20); exec @ARGV' cat "$1"; }
p_in() { cat "$big" | "$1" /dev/stdin; }
p_out() { "$1" "$big" | cat; }
p_both() { cat "$big" | "$1" /dev/stdin | cat; }
pipelines=(p_in p_out p_both)
declare -A labels=([p_in]="cat F | X /dev/stdin > /dev/null" [p_out]="X F | cat > /dev/null"
  [p_both]="cat F | X /dev/stdin | cat > /dev/null")
declare -A t_p=()
for ((i = 0; i < runs; i++)); do
  for p in "${pipelines[@]}"; do
    for x in ecbcat openssl cat widecat; do timed 1 "$p" "x_$x" && t_p[$p.$x]+=" $took"; done
  done
done

rss_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
rss_small=$(rss_kib "$bin" "$small")
rss_big=$(rss_kib "$bin" "$big")

instructions=$(valgrind --tool=callgrind --callgrind-out-file="$dir/callgrind.out" "$bin" "$tiny" 2>&1 >/dev/null |
  awk '/Collected :/ {print $NF}')
# Where the start-up goes: the dynamic loader (relocations), libcrypto's cipher fetch and the
# clean-up at exit, each with all it calls, and the instructions of our own source files.
by_caller=$(callgrind_annotate --inclusive=yes --threshold=100 "$dir/callgrind.out")
inclusive() { awk -v f=":$1 [" 'index($0, f) {gsub(",", "", $1); print $1; exit}' <<<"$by_caller"; }
own=$(callgrind_annotate --threshold=100 "$dir/callgrind.out" |
  awk '/\/src\/[a-z_]+\.[ch]pp:/ {gsub(",", "", $1); n += $1} END {print n + 0}')
t_s=()
for ((i = 0; i < 9; i++)); do timed 20 "$bin" "$tiny" && t_s+=("$took"); done
m_s=$(median "${t_s[@]}")  # per 20 runs

calls=$(strace -c -e trace=read,write "$bin" "$big" 2>&1 >/dev/null |
  awk '$NF == "read" || $NF == "write" {n += $(NF - 1)} END {print n}')

# The cipher alone, in memory, with ecbcat's chunk size: with one copy from the page cache
# (what cat costs) it bounds what any single-threaded read(2)-based decryptor can reach.
cipher_kbps=$(openssl speed -elapsed -seconds 2 -evp aes-128-ecb -decrypt -bytes 131072 2>/dev/null |
  awk '/^AES-128-ECB/ {sub(/k$/, "", $NF); print $NF}')
cipher_us=$(calc %.0f "$mb * 1048576 / ($cipher_kbps * 1000) * 1e6")
floor_us=$(calc %.0f "$cipher_us + $m_c")

ratio_o=$(calc %.2f "$m_o / $m_e")
ratio_c=$(calc %.2f "$m_e / $m_c")
cipher_mibs=$(calc %.0f "$cipher_kbps * 1000 / 1048576")

cat <<TABLE
| measure ($mb MiB input in the page cache, output to /dev/null; medians of $runs) | value |
| --- | --- |
| ecbcat throughput | $(calc %.0f "$mb * 1e6 / $m_e") MiB/s |
| openssl enc -d -aes-128-ecb -nopad throughput | $(calc %.0f "$mb * 1e6 / $m_o") MiB/s |
| cat throughput | $(calc %.0f "$mb * 1e6 / $m_c") MiB/s |
| ecbcat / openssl throughput | ${ratio_o}x |
| ecbcat / cat wall time | ${ratio_c}x |
| floor for one thread: cipher alone ($cipher_mibs MiB/s, openssl speed) + cat | $(calc %.0f "$mb * 1e6 / $floor_us") MiB/s |
| ecbcat / floor wall time | $(calc %.2f "$m_e / $floor_us")x |
| ecbcat peak RSS, 1 MiB input | $rss_small KiB |
| ecbcat peak RSS, $mb MiB input | $rss_big KiB |
| start-up, 32-byte input: instructions (callgrind) | $instructions |
| of which the dynamic loader (\`_dl_start\`) | $(inclusive _dl_start) |
| of which libcrypto's \`EVP_CIPHER_fetch\` | $(inclusive EVP_CIPHER_fetch) |
| of which the clean-up at \`exit\` | $(inclusive exit) |
| of which ecbcat's own code | $own |
| start-up, 32-byte input: wall time per run (median of 9 batches of 20) | $(calc %.2f "$m_s / 20e3") ms |
| read+write system calls per MiB | $(calc %.1f "$calls / $mb") |

| pipeline, X in the middle (medians of $runs, wall time) | X = ecbcat | X = openssl enc | X = cat | floor | ecbcat speed / openssl | ecbcat / floor |
| --- | --- | --- | --- | --- | --- | --- |
TABLE
s() { calc %.2f "$1 / 1e6"; }
for p in "${pipelines[@]}"; do
  e=$(median ${t_p[$p.ecbcat]}) o=$(median ${t_p[$p.openssl]}) c=$(median ${t_p[$p.cat]})
  floor=$(calc %.0f "$(median ${t_p[$p.widecat]}) + $cipher_us")
  echo "| \`${labels[$p]//|/\\|}\` | $(s "$e") s | $(s "$o") s | $(s "$c") s | $(s "$floor") s | $(calc %.2f "$o / $e")x | $(calc %.2f "$e / $floor")x |"
done
echo
echo "floor: the same pipeline with cat as X through pipes enlarged to 1 MiB, plus the cipher alone."

# --- many files: ecbcat-batch against a process per file ----------------------------------
# BENCH_SMALL_FILES (default 5000) of 1 B to 4 KiB, BENCH_BIG_FILES (default 20) of
# BENCH_BIG_MB (default 100) MiB; X.enc becomes X beside it. The process-per-file lines are the
# xargs line users ran before ecbcat-batch, with ecbcat and with cat; before each run the
# outputs of the last are removed (ecbcat-batch never replaces a file), untimed. --rm runs on a
# copy made untimed; a rerun is one over the outputs of the run before; cp -r and a tar pipe
# copy the inputs to a folder removed untimed.
cores=$(nproc)
many_small=$dir/many-small many_big=$dir/many-big
mkdir -p "$many_small" "$many_big"
for ((i = 0; i < ${BENCH_SMALL_FILES:-5000}; i++)); do
  [[ -f $many_small/$i.enc ]] || head -c $((1 + (i * 7919) % 4096)) /dev/urandom >"$many_small/$i.enc"
done
for ((i = 0; i < ${BENCH_BIG_FILES:-20}; i++)); do
  make_input "$many_big/$i.enc" $((${BENCH_BIG_MB:-100} << 20))
done
x_batch() { "$build/ecbcat-batch" "$1"; }
x_batch_sync() { "$build/ecbcat-batch" --sync "$1"; }
x_batch_rm() { "$build/ecbcat-batch" --rm "$1.rm"; }
x_batch_rerun() { "$build/ecbcat-batch" "$1"; }
x_cp() { cp -r "$1" "$1.copy"; }
x_tar() { mkdir "$1.copy" && tar -C "$1" -cf - . | tar -C "$1.copy" -xf -; }
x_xargs_ecbcat() { find "$1" -name '*.enc' -print0 | xargs -0 -n1 -P"$cores" sh -c '"$0" "$1" > "${1%.enc}"' "$bin"; }
x_xargs_cat() { find "$1" -name '*.enc' -print0 | xargs -0 -n1 -P"$cores" sh -c 'cat "$1" > "${1%.enc}"' sh; }
declare -A t_m=()
for ((i = 0; i < runs; i++)); do
  for set in many_small many_big; do
    for x in batch batch_rerun batch_sync batch_rm xargs_ecbcat xargs_cat cp tar; do
      [[ $x == batch_rerun ]] || find "${!set}" -type f ! -name '*.enc' -delete
      rm -rf "${!set}.copy" "${!set}.rm"
      [[ $x != batch_rm ]] || cp -r "${!set}" "${!set}.rm"
      timed 1 "x_$x" "${!set}" && t_m[$set.$x]+=" $took"
    done
  done
done
find "$many_small" "$many_big" -type f ! -name '*.enc' -delete
rm -rf "$many_small".{copy,rm} "$many_big".{copy,rm}
big_bytes=$(du -b --apparent-size -s "$many_big" | cut -f1)
# The floor on all cores: cat's copies in parallel, plus the cipher alone spread over the cores.
cipher_all_us=$(calc %.0f "$big_bytes / ($cipher_kbps * 1000) * 1e6 / $cores")
cat <<TABLE

| many files on $cores cores (medians of $runs, wall time) | ecbcat-batch | a rerun, all done | ecbcat-batch --sync | ecbcat-batch --rm | xargs, ecbcat per file | xargs, cat per file | cp -r | tar \| tar | floor | xargs ecbcat / ecbcat-batch | ecbcat-batch / fastest copy | ecbcat-batch / floor |
| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |
TABLE
for set in many_small many_big; do
  b=$(median ${t_m[$set.batch]}) y=$(median ${t_m[$set.batch_sync]})
  e=$(median ${t_m[$set.xargs_ecbcat]}) c=$(median ${t_m[$set.xargs_cat]})
  again=$(median ${t_m[$set.batch_rerun]}) rm=$(median ${t_m[$set.batch_rm]})
  cp=$(median ${t_m[$set.cp]}) tar=$(median ${t_m[$set.tar]})
  copy=$(calc %.0f "($cp < $tar) ? $cp : $tar")
  if [[ $set == many_small ]]; then
    label="${BENCH_SMALL_FILES:-5000} files of 1 B to 4 KiB" floor="—" vs_floor="—"
  else
    label="${BENCH_BIG_FILES:-20} files of ${BENCH_BIG_MB:-100} MiB"
    floor=$(calc %.0f "$c + $cipher_all_us")
    vs_floor="$(calc %.2f "$b / $floor")x" floor="$(s "$floor") s"
  fi
  echo "| $label | $(s "$b") s | $(s "$again") s | $(s "$y") s | $(s "$rm") s | $(s "$e") s | $(s "$c") s | $(s "$cp") s | $(s "$tar") s | $floor | $(calc %.1f "$e / $b")x | $(calc %.2f "$b / $copy")x | $vs_floor |"
done
echo
echo "floor (big files): cat per file on every core, plus the cipher alone (openssl speed) spread over the cores."

# --- --watch: from a writer's close to its output's name, and the CPU of a minute idle --------
# A writer makes one 4 KiB file at a time and waits for its -v line, which comes once the output
# has its name; then the watcher is left alone for a minute.
watched=$dir/watched
rm -rf "$watched" && mkdir -p "$watched/in" && rm -f "$watched.fifo" && mkfifo "$watched.fifo"
"$build/ecbcat-batch" --watch -v "$watched/in" >"$watched.fifo" 2>/dev/null &
watcher=$!
cpu_ticks() { awk '{print $14 + $15}' "/proc/$watcher/stat"; }
latency=$(perl -MTime::HiRes=time -e '
  my ($fifo, $dir, $n) = @ARGV;
  open(my $in, "<", $fifo) or die "$fifo: $!";
  my $data = join "", map { chr(($_ * 7) % 256) } 1 .. 4096;
  my @took;
  for my $i (1 .. $n) {
    open(my $f, ">:raw", "$dir/$i.enc") or die; print $f $data; close $f;
    my $closed = time; my $line = <$in>; push @took, (time - $closed) * 1000;
  }
  @took = sort { $a <=> $b } @took;
  printf "%.0f %.0f", $took[$#took / 2], $took[int(0.99 * $#took)];
' "$watched.fifo" "$watched/in" "${BENCH_WATCH_FILES:-1000}")
idle_start=$(cpu_ticks)
sleep "${BENCH_IDLE_SECONDS:-60}"
idle_ms=$((($(cpu_ticks) - idle_start) * 1000 / $(getconf CLK_TCK)))
kill -TERM "$watcher" && wait "$watcher" 2>/dev/null || true
rm -rf "$watched" "$watched.fifo"
cat <<TABLE

| ecbcat-batch --watch, ${BENCH_WATCH_FILES:-1000} files of 4 KiB written one at a time | median | 99th percentile |
| --- | --- | --- |
| writer's close to the output's name | ${latency% *} ms | ${latency#* } ms |

CPU time of the watcher left idle for ${BENCH_IDLE_SECONDS:-60} s: $idle_ms ms.
TABLE

# --- start-up: the dynamic build, the static one (make static) and cat ----------------------
# Instructions from callgrind and wall time per start, on the 32-byte input, batches interleaved.
static_bin=$build/static/$(uname -m)/ecbcat
starters=(dynamic cat)
[[ -x $static_bin ]] && starters=(dynamic static cat)
start_dynamic() { "$bin" "$tiny"; }
start_static() { "$static_bin" "$tiny"; }
start_cat() { cat "$tiny"; }
declare -A t_start=()
for ((i = 0; i < 9; i++)); do
  for x in "${starters[@]}"; do timed 20 "start_$x" && t_start[$x]+=" $took"; done
done
cat <<TABLE

| start-up, 32-byte input | instructions (callgrind) | wall time per start (median of 9 batches of 20) |
| --- | --- | --- |
TABLE
declare -A program=([dynamic]=$bin [static]=$static_bin [cat]=$(command -v cat))
for x in "${starters[@]}"; do
  n=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "${program[$x]}" "$tiny" 2>&1 >/dev/null |
    awk '/Collected :/ {print $NF}')
  echo "| $x | $n | $(calc %.2f "$(median ${t_start[$x]}) / 20e3") ms |"
done
[[ -x $static_bin ]] || printf '\n%s\n' "No static build, so no row for it: make static before make bench adds one."
