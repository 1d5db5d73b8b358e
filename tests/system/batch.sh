#!/usr/bin/env bash
# ecbcat-batch on a table of trees: what must come out, what must stay as it was, what is
# reported and the exit status; then faults (a read error mid-file, no O_TMPFILE) and signals
# in the middle of a big file, from the fault-injection build. As root the runs are made as
# the account nobody, so that an unreadable file and a read-only folder fail.
#   batch.sh ECBCAT_BATCH ECBCAT_BATCH_FAULTY
source "$(dirname "$0")/lib.sh"
batch=${1:?usage: batch.sh ECBCAT_BATCH ECBCAT_BATCH_FAULTY}
faulty=${2:?usage: batch.sh ECBCAT_BATCH ECBCAT_BATCH_FAULTY}
emulator=${ECBCAT_EMULATOR:-}  # words put before a cross-compiled binary; empty natively
command -v openssl >/dev/null || skip "no openssl for the expected outputs"
dir=$(mktemp -d)
at_exit 'chmod -R u+rwx "$dir" && rm -rf "$dir"'
chmod 755 "$dir"
as_user=()
((EUID == 0)) && as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)

# The tree: inputs of every kind, and the files the runs must leave as they are.
tree=$dir/tree
mkdir -p "$tree/k.enc" "$tree/ro" "$tree/sub/deeper" "$tree/closed"
for f in a.enc a.enc.enc k.enc/inner.enc e.enc ro/x.enc target.bin $'new\nline.enc' -lead.enc \
  $'latin1-\xe9.enc' sub/deeper/z.enc; do
  random_file "$tree/$f" $((RANDOM % 300))
done
echo keep >"$tree/k" && echo keep >"$tree/e"
ln -s target.bin "$tree/good.enc" && ln -s nowhere "$tree/dangling.enc"
: >"$tree/locked.enc" && mkfifo "$tree/pipe.enc"
random_file "$tree/closed/c.enc" 40
random_file "$tree/big.enc" $((8 << 20))
decrypted=(a k.enc/inner good $'new\nline' -lead $'latin1-\xe9' sub/deeper/z big)
untouched=(a.enc a.enc.enc k e target.bin)
failing=(dangling.enc locked.enc ro/x.enc closed/c.enc pipe.enc)
left_alone=(a.enc.enc e.enc)
expected=$dir/expected
mkdir -p "$expected"
for f in "${decrypted[@]}"; do
  mkdir -p "$(dirname "$expected/$f")" && expected_of "$tree/$f.enc" >"$expected/$f"
done
for f in "${untouched[@]}"; do cp "$tree/$f" "$expected/$f"; done

run_batch() {  # directory [NAME=VALUE...] program args...: as nobody when root, status kept
  local d=$1 vars=()
  shift
  while [[ ${1:-} == *=* ]]; do vars+=("$1") && shift; done
  status=0
  (cd "$d" && "${as_user[@]}" env "${vars[@]}" $emulator "$@") >"$dir/out" 2>"$dir/err" || status=$?
}
fresh() {  # a copy of the tree, with the unreadable and unwritable parts made so
  [[ ! -d $dir/run ]] || { chmod -R u+rwx "$dir/run" && rm -rf "$dir/run"; }
  cp -a "$tree" "$dir/run"
  ((EUID == 0)) && chown -R nobody: "$dir/run"
  chmod 000 "$dir/run/locked.enc" "$dir/run/closed" && chmod 555 "$dir/run/ro"
}
status_is() { equal "$1" "$status" "exit status (stderr: $(head -c 300 "$dir/err"))"; }
outputs_right() {
  local f
  for f in "${decrypted[@]}" "${untouched[@]}"; do
    cmp -s "$expected/$f" "$dir/run/$f" || fail "${f@Q}: wrong or missing"
  done
  for f in "${failing[@]}"; do [[ ! -e $dir/run/${f%.enc} ]] || fail "${f@Q} failed, yet has an output"; done
  equal "" "$(cd "$dir/run" && find . -path ./closed -prune -o -name '.*.ecbcat-*' -print)" \
    "hidden files left behind"
}
named() {  # text...: each appears on standard error
  local t
  for t; do grep -aqF -- "$t" "$dir/err" || fail "'$t' not on standard error: $(cat "$dir/err")"; done
}

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
  # A second run does nothing more and says what it left alone.
  run_batch "$dir/run" "$batch" -j 1 -- .
  status_is 1
  outputs_right
  named "ecbcat-batch: 0 decrypted, 5 failed, 10 left alone" \
    './new\012line.enc: left alone: new\012line exists' "./-lead.enc: left alone: -lead exists"
}
statuses() {
  mkdir -p "$dir/ok" && cp "$tree/a.enc" "$tree/target.bin" "$dir/ok/"
  ((EUID == 0)) && chown -R nobody: "$dir/ok"
  run_batch "$dir/ok" "$batch" a.enc
  status_is 0 && equal "" "$(cat "$dir/err")" "standard error of a clean run"
  run_batch "$dir/ok" "$batch" a.enc
  status_is 2
  for args in "" "-j" "-j 0" "-x ." "-j x ."; do
    run_batch "$dir/ok" "$batch" $args
    status_is 64
  done
  run_batch "$dir/ok" "$batch" target.bin
  status_is 1 && named "target.bin: name does not end in .enc"
}
read_error() {
  fresh
  run_batch "$dir/run" ECBCAT_FAIL_READ_AT=100000 ECBCAT_READ_ANY_FILE=1 "$faulty" -j 1 big.enc
  status_is 1
  named "big.enc: failed reading file: Input/output error"
  [[ ! -e $dir/run/big ]] || fail "a partial output under the final name"
}
interrupted() {  # signal expected-status [environment]: mid-file, then a rerun finishes it
  fresh
  (cd "$dir/run" && exec env ECBCAT_READ_PIECE=4 ECBCAT_READ_ANY_FILE=1 ${3:-} $emulator "$faulty" -j 1 big.enc) \
    2>"$dir/err" &
  local pid=$!
  sleep 0.5
  kill -s "$1" "$pid"
  status=0 && { wait "$pid"; } 2>/dev/null || status=$?
  status_is "$2"
  [[ ! -e $dir/run/big ]] || fail "an output under the final name after SIG$1"
  [[ $1 == KILL ]] || named "ecbcat-batch: interrupted: 0 decrypted, 0 failed, 0 left alone, 1 dropped"
  local hidden
  hidden=$(cd "$dir/run" && find . -path ./closed -prune -o -name '.big.ecbcat-*' -print | wc -l)
  if [[ $1 == KILL && -n ${3:-} ]]; then equal 1 "$hidden" "hidden files after SIGKILL"; else equal 0 "$hidden" "hidden files"; fi
  rm -f "$dir/run"/.big.ecbcat-*
  run_batch "$dir/run" "$batch" big.enc
  status_is 0
  expected_of "$dir/run/big.enc" >"$dir/big.expected"
  same "$dir/big.expected" "$dir/run/big" "big after the rerun"
}
progress() {  # on a terminal, and only there
  command -v script >/dev/null || return 0
  fresh
  (cd "$dir/run" && script -qec "$emulator $batch -j 1 sub" /dev/null) >"$dir/tty" 2>&1 || true
  grep -aq '1/1 files' "$dir/tty" || fail "no progress on a terminal: $(cat -v "$dir/tty")"
}

row "a tree of every kind" the_tree
row "the same without O_TMPFILE" the_tree ECBCAT_NO_TMPFILE=1
row "exit statuses" statuses
row "a read error mid-file" read_error
row "SIGINT mid-file" interrupted INT 130
row "SIGTERM mid-file" interrupted TERM 143
row "SIGINT mid-file without O_TMPFILE" interrupted INT 130 ECBCAT_NO_TMPFILE=1
row "SIGKILL mid-file" interrupted KILL 137
row "SIGKILL mid-file without O_TMPFILE" interrupted KILL 137 ECBCAT_NO_TMPFILE=1
row "progress on a terminal" progress
finish
