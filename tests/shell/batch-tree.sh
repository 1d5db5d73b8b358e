#!/usr/bin/env bash
# ecbcat-batch on a table of trees: what must come out, what must stay as it was, what is
# reported and the exit status; a read error mid-file, no O_TMPFILE and no hard links, from the
# fault-injection build; a deep tree, two runs at once, and the limits of a file's size, a stack
# and threads.
source "$(dirname "$0")/batch-fixture.sh"

the_tree() {  # environment for the faulty build, or nothing
  fresh
  run_batch "$dir/run" ${1:-} "$faulty" .
  status_is 1
  outputs_right
  named "./dangling.enc: failed opening file: No such file or directory" \
    "./locked.enc: failed opening file: Permission denied" \
    "./ro/x.enc: failed creating output: Permission denied" \
    "./closed: failed reading folder: Permission denied" "./pipe.enc: not a regular file" \
    "./a.enc.enc: left alone: a.enc exists" "./e.enc: left alone: e exists" \
    "ecbcat-batch: 8 decrypted, 5 failed, 2 left alone"
  # A second run does nothing more, and says nothing of the files it decrypted before.
  run_batch "$dir/run" "$batch" -j 1 -- .
  status_is 1
  outputs_right
  named "ecbcat-batch: 0 decrypted, 5 failed, 2 left alone"
  equal 8 "$(wc -l <"$dir/err")" "lines of the second run"
}
reruns() {  # an output of this input, of another version of it (same time), cut short, or not ours
  fresh
  run_batch "$dir/run" "$batch" -j 1 a.enc sub big.enc
  status_is 0
  cp "$dir/run/a" "$dir/a.before"
  (cd "$dir/run" && random_file a.new 100 && touch -r a.enc a.new && mv a.new a.enc &&
    head -c -16 sub/deeper/z >z.cut && touch -r sub/deeper/z.enc z.cut && mv z.cut sub/deeper/z &&
    echo mine >k.enc/inner && chown -R --reference=. a.enc sub k.enc)
  run_batch "$dir/run" "$batch" -v -j 1 a.enc sub big.enc k.enc
  status_is 1
  named "a.enc: left alone: a is not the decryption of a.enc as it is now" \
    "sub/deeper/z.enc: left alone: z is not the decryption of z.enc as it is now" \
    "k.enc/inner.enc: left alone: inner exists" "ecbcat-batch: 0 decrypted, 2 failed, 1 left alone"
  grep -q "^big.enc was decrypted before into big$" "$dir/out" || fail "no -v line for big: $(cat "$dir/out")"
  same "$dir/a.before" "$dir/run/a" "a, which is not replaced"
}
removing() {  # --rm: exactly the inputs decrypted go, each once its output and name are on the disk
  mkdir -p "$dir/rm/sub" && cp "$tree/a.enc" "$tree/e.enc" "$tree/e" "$dir/rm/" && cp "$tree/a.enc" "$dir/rm/sub/w.enc"
  cp "$tree/a.enc" "$dir/rm/held.enc" && ((EUID == 0)) && chown -R nobody: "$dir/rm"
  run_batch "$dir/rm" "$batch" sub  # decrypted before, without --rm: its input goes too
  run_batch "$dir/rm" "$batch" -n --rm .
  grep -q "^./a.enc would be decrypted and removed" "$dir/out" || fail "no dry-run line: $(cat "$dir/out")"
  grep -q "^./sub/w.enc was decrypted before into ./sub/w, would be removed" "$dir/out" || fail "no dry-run line for sub/w"
  exec 7>>"$dir/rm/held.enc"
  local trace=() before
  : >"$dir/rm.trace" && chmod 666 "$dir/rm.trace"
  [[ -n $emulator ]] || ! command -v strace >/dev/null || trace=(strace -f -qq -e trace=fdatasync,fsync,unlinkat -o "$dir/rm.trace")
  run_batch "$dir/rm" "${trace[@]}" "$batch" -j 1 --rm .
  exec 7>&-
  status_is 2
  named "./held.enc: still being written" "./e.enc: left alone: e exists"
  same "$expected/a" "$dir/rm/a" "a" && same "$expected/a" "$dir/rm/sub/w" "sub/w"
  equal "./e ./e.enc ./held.enc" "$(cd "$dir/rm" && echo $(find . -name '*.enc' -o -name 'e' -o -name held | sort))" \
    "inputs left, and no output of the one still being written"
  if ((${#trace[@]})); then  # before each removal, a data sync (the output) and a sync (its folder)
    before=$(awk '/fdatasync\(/ {d = 1} /fsync\(/ && d {f = 1} /unlinkat\(/ {n++; if (d && f) ok++; d = f = 0} END {print ok "/" n}' "$dir/rm.trace")
    equal 2/2 "$before" "removals after a sync of the output and of its folder"
  fi
}
statuses() {  # args | status | text on standard output or error
  mkdir -p "$dir/ok" && cp "$tree/a.enc" "$tree/target.bin" "$dir/ok/" && cp "$tree/a.enc" "$dir/ok/b.enc"
  ((EUID == 0)) && chown -R nobody: "$dir/ok"
  run_batch "$dir/ok" "$batch" a.enc
  status_is 0 && equal "" "$(cat "$dir/err")" "standard error of a clean run"
  local args want text version
  version=$(sed -n 's/^project(ecbcat VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  while IFS='|' read -r args want text; do
    run_batch "$dir/ok" "$batch" $args
    status_is "$want" "$args"
    [[ -z $text ]] || grep -aqF -- "$text" "$dir/out" "$dir/err" || fail "$args: no '$text' in: $(cat "$dir/out" "$dir/err")"
    ((want != 64)) || named "Try 'ecbcat-batch --help'"
  done <<ROWS
--min-age 3600 b.enc|3|b.enc: changed less than --min-age ago
--rm -n b.enc|0|b.enc would be decrypted and removed, into b
a.enc|0|
-v . -j 1|0|a.enc was decrypted before into ./a
--min-age x .|64|--min-age wants a number of seconds, not 'x'
--sync=x .|64|option '--sync=x'
target.bin|1|target.bin: name does not end in .enc
-j abc .|64|-j wants a number from 1 to 1024, not 'abc'
--jobs=0 .|64|not '0'
-j2000 .|64|not '2000'
. -j|64|-j wants a number from 1 to 1024
-x .|64|option '-x'
--bogus .|64|option '--bogus'
-j +3 .|64|not '+3'
|64|no PATH given
-o|64|-o wants a folder
-q -v .|64|opposite
--help|0|-n, --dry-run
-V|0|ecbcat-batch (ecbcat) $version
ROWS
}
suffix() {  # -S .aes: X.aes becomes X; X.enc, and names with nothing, . or .. before .aes, stay
  mkdir -p "$dir/aes" && cp "$tree/a.enc" "$dir/aes/x.aes" && cp "$tree/a.enc" "$dir/aes/z.enc"
  for f in .aes ..aes ...aes; do cp "$tree/a.enc" "$dir/aes/$f"; done
  ((EUID == 0)) && chown -R nobody: "$dir/aes"
  run_batch "$dir" "$batch" -v -S .aes aes
  status_is 0 && equal "aes/x.aes -> aes/x" "$(cat "$dir/out")" "the -v line"
  same "$expected/a" "$dir/aes/x" aes/x
  equal "...aes ..aes .aes x x.aes z.enc" "$(cd "$dir/aes" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort | xargs)" \
    "the folder after the run"
  run_batch "$dir" "$batch" -n -S s aes/x.aes  # a suffix of another length
  equal "aes/x.aes would be decrypted into aes/x.ae" "$(cat "$dir/out")" "the dry run's line"
  run_batch "$dir" "$batch" --suffix=.gpg aes
  status_is 0 && named "ecbcat-batch: no file ending in .gpg found"
  run_batch "$dir" "$batch" -S .aes aes/..aes
  status_is 1 && named "aes/..aes: name has no file name before .aes"
}
lists() {  # --files0-from: a pipe beside a PATH, a file alone; names with a newline, empty, too long
  fresh
  run_batch "$dir/run" "$batch" --files0-from=- big.enc < <(printf '%s\0' a.enc $'new\nline.enc' '' sub)
  status_is 1 && named "-:3: an empty name"
  equal "ecbcat-batch: 4 decrypted, 1 failed, 0 left alone" "$(grep -a '^ecbcat-batch:' "$dir/err")" "the last line"
  local f
  for f in a $'new\nline' sub/deeper/z big; do same "$expected/$f" "$dir/run/$f" "${f@Q}"; done
  printf '%s\0%s\0%s' k.enc "$(printf 'x%.0s' $(seq 5000))" good.enc >"$dir/list"
  run_batch "$dir/run" "$batch" --progress --files0-from "$dir/list"  # read twice: totals, then the run
  status_is 1 && named "$dir/list:2: a name longer than a path may be"
  same "$expected/k.enc/inner" "$dir/run/k.enc/inner" k.enc/inner && same "$expected/good" "$dir/run/good" good
}
long_list() {  # a name of 512 MiB costs no more memory than a short one
  fresh
  status=0
  (cd "$dir/run" && tr '\0' x </dev/zero | head -c 512M |
    "${as_user[@]}" prlimit --as=$((384 << 20)) $emulator "$batch" -j 1 --files0-from=-) >"$dir/out" 2>"$dir/err" || status=$?
  status_is 1 && named "-:1: a name longer than a path may be"
}
quiet_verbose() {  # -v: a line on standard output for each file decrypted; -q: none left alone
  fresh
  cp "$tree/a.enc" "$dir/run/x -> y.enc"
  run_batch "$dir/run" "$batch" -v .
  equal "$((${#decrypted[@]} + 1))" "$(grep -c ' -> ' "$dir/out")" "lines of -v"
  grep -qxF './x -\076 y.enc -> ./x -\076 y' "$dir/out" || fail "a name with an arrow: $(grep x "$dir/out")"
  run_batch "$dir/run" "$batch" -q .
  equal "" "$(grep -a 'left alone:' "$dir/err" || true)" "left-alone lines under -q"
  named "ecbcat-batch: 0 decrypted, 5 failed, 2 left alone"
  run_batch "$dir/run" "$batch" -q -n sub
  equal "" "$(cat "$dir/err")" "standard error of a dry run under -q, where nothing fails"
  mkdir -p "$dir/none" && run_batch "$dir/none" "$batch" .
  status_is 0 && named "no file ending in .enc found"
}
read_error() {
  fresh
  run_batch "$dir/run" ECBCAT_FAIL_READ_AT=100000 ECBCAT_READ_ANY_FILE=1 "$faulty" -j 1 big.enc
  status_is 1
  named "big.enc: failed reading file: Input/output error"
  [[ ! -e $dir/run/big ]] || fail "a partial output under the final name"
}
progress() {  # on a terminal, and only there
  fresh
  (cd "$dir/run" && script -qec "$emulator $batch -j 1 sub" /dev/null) >"$dir/tty" 2>&1 || true
  grep -aq '1/1 files' "$dir/tty" || fail "no progress on a terminal: $(cat -v "$dir/tty")"
}
deep_and_twice() {  # a tree deeper than the walk goes; a folder named twice is searched once
  fresh
  (cd "$dir/run/sub" && perl -e 'for (1..4200) { mkdir "d" or die; chdir "d" or die }')
  cp "$tree/a.enc" "$dir/run/sub/y.enc.enc"
  run_batch "$dir/run" "$batch" -q sub sub
  status_is 1
  named "not searched: deeper than 4096 folders"
  [[ -e $dir/run/sub/y.enc && ! -e $dir/run/sub/y ]] || fail "an output taken for an input"
}
two_at_once() {  # two runs on one tree: every output once and right, each count true
  fresh
  { (cd "$dir/run" && "${as_user[@]}" $emulator "$batch" -j 2 .) 2>"$dir/err1" || true; } &
  (cd "$dir/run" && "${as_user[@]}" $emulator "$batch" -j 2 .) 2>"$dir/err2" || true
  wait $!
  outputs_right
  local total
  total=$(cat "$dir/err1" "$dir/err2" | awk '/^ecbcat-batch: [0-9]+ decrypted/ {n += $2} END {print n}')
  equal "${#decrypted[@]}" "$total" "files decrypted by the two runs together"
}
file_size_limit() {  # [NAME=VALUE]: the big file fails, the run goes on, nothing is left behind
  fresh
  (ulimit -f 1024 && run_batch "$dir/run" ${1:-} "$faulty" -j 1 big.enc a.enc && echo "$status" >"$dir/status")
  status=$(cat "$dir/status")
  status_is 1
  named "big.enc: failed writing output: File too large"
  [[ ! -e $dir/run/big ]] || fail "a partial big"
  cmp -s "$expected/a" "$dir/run/a" || fail "a: wrong or missing after big failed"
  equal "" "$(cd "$dir/run" && find . -path ./closed -prune -o -name '.*.ecbcat-*' -print)" "hidden files"
}
long_name() {  # without O_TMPFILE the hidden name of a 251-byte output still fits
  fresh
  local long
  long=$(printf 'n%.0s' $(seq 251))
  cp "$tree/a.enc" "$dir/run/$long.enc" && chown nobody "$dir/run/$long.enc" 2>/dev/null || true
  run_batch "$dir/run" ECBCAT_NO_TMPFILE=1 "$faulty" "$long.enc"
  status_is 0
  same "$expected/a" "$dir/run/$long" "the long-named output"
}
limited() {  # prlimit option: the tree decrypts as ever, on whatever threads can be had
  fresh
  status=0
  (cd "$dir/run" && exec "${as_user[@]}" prlimit "$1" $emulator "$batch" -j 4 .) >"$dir/out" 2>"$dir/err" ||
    status=$?
  status_is 1
  outputs_right
}

row "a tree of every kind" the_tree
row "the same without O_TMPFILE" the_tree ECBCAT_NO_TMPFILE=1
row "the same without O_TMPFILE or hard links" the_tree "ECBCAT_NO_TMPFILE=1 ECBCAT_NO_LINK=1"
row "reruns: this input's output, another version's, one cut short, one not ours" reruns
row "--rm" removing
row "exit statuses and the command line" statuses
row "-S, another suffix" suffix
row "--files0-from" lists
row "quiet and verbose" quiet_verbose
row "a read error mid-file" read_error
if command -v script >/dev/null; then
  row "progress on a terminal" progress
else
  skip_row "progress on a terminal" "no script(1) for a terminal (apt-get install bsdutils)"
fi
row "a deep tree, and a folder named twice" deep_and_twice
row "two runs at once" two_at_once
row "a file-size limit" file_size_limit
row "a file-size limit without O_TMPFILE" file_size_limit ECBCAT_NO_TMPFILE=1
row "a long name without O_TMPFILE" long_name
if [[ -z ${ECBCAT_SANITIZED:-} ]]; then  # sanitizers and emulators need stack and threads
  row "a 256 KiB stack" limited --stack=262144
  [[ -n $emulator ]] || row "a list in bounded memory" long_list
  [[ -n $emulator ]] || row "no thread can be started" limited --nproc=1
fi
finish
