#!/usr/bin/env bash
# ecbcat-batch on a table of trees: what must come out, what must stay as it was, what is
# reported and the exit status; then faults (a read error mid-file, no O_TMPFILE) and signals
# in the middle of a big file, from the fault-injection build; then, as root, a tree that the
# account nobody owns and attacks. As root the other runs are made as nobody too, so that an
# unreadable file and a read-only folder fail.
#   batch.sh ECBCAT_BATCH ECBCAT_BATCH_FAULTY   (ECBCAT_SANITIZED=1: leave out the rows of
#                                                resource limits, which sanitizers cannot meet)
source "$(dirname "$0")/lib.sh"
command -v openssl >/dev/null || skip "no openssl for the expected outputs"
dir=$(mktemp -d)
at_exit 'chmod -R u+rwx "$dir" && rm -rf "$dir"'
chmod 755 "$dir"
stderr_file=$dir/err
# The programs run from here, which nobody can reach wherever the build is (a 0700 home).
mkdir -m 755 "$dir/bin"
cp "${1:?usage: batch.sh ECBCAT_BATCH ECBCAT_BATCH_FAULTY}" "$dir/bin/batch"
cp "${2:?usage: batch.sh ECBCAT_BATCH ECBCAT_BATCH_FAULTY}" "$dir/bin/faulty"
batch=$dir/bin/batch faulty=$dir/bin/faulty
emulator=${ECBCAT_EMULATOR:-}  # words put before a cross-compiled binary; empty natively
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
  ! grep -aq 'Sanitizer' "$dir/err" || fail "a sanitizer's report: $(grep -a -A5 Sanitizer "$dir/err")"
}
fresh() {  # a copy of the tree, with the unreadable and unwritable parts made so
  [[ ! -d $dir/run ]] || { chmod -R u+rwx "$dir/run" && rm -rf "$dir/run"; }
  cp -a "$tree" "$dir/run"
  ((EUID == 0)) && chown -R nobody: "$dir/run"
  chmod 000 "$dir/run/locked.enc" "$dir/run/closed" && chmod 555 "$dir/run/ro"
}
outputs_right() {
  local f
  for f in "${decrypted[@]}" "${untouched[@]}"; do
    cmp -s "$expected/$f" "$dir/run/$f" || fail "${f@Q}: wrong or missing"
  done
  for f in "${failing[@]}"; do [[ ! -e $dir/run/${f%.enc} ]] || fail "${f@Q} failed, yet has an output"; done
  equal "" "$(cd "$dir/run" && find . -path ./closed -prune -o -name '.*.ecbcat-*' -print)" \
    "hidden files left behind"
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
statuses() {  # args | status | text on standard output or error
  mkdir -p "$dir/ok" && cp "$tree/a.enc" "$tree/target.bin" "$dir/ok/"
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
a.enc|2|a.enc: left alone: a exists
. -j 1 -q|2|
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
quiet_verbose() {  # -v: a line on standard output for each file decrypted; -q: none left alone
  fresh
  run_batch "$dir/run" "$batch" -v .
  equal "${#decrypted[@]}" "$(grep -c ' -> ' "$dir/out")" "lines of -v"
  run_batch "$dir/run" "$batch" -q .
  equal "" "$(grep -a 'left alone:' "$dir/err" || true)" "left-alone lines under -q"
  named "ecbcat-batch: 0 decrypted, 5 failed, 10 left alone"
  mkdir -p "$dir/none" && run_batch "$dir/none" "$batch" .
  status_is 0 && named "no file ending in .enc found"
}
snapshot() { (cd "$dir/run" && find . -path ./closed -prune -o -printf '%p %s %m %T@\n' | sort); }
dry_run() {  # writes nothing, says what the run then does, exits as it does
  fresh
  local before
  before=$(snapshot)
  run_batch "$dir/run" "$batch" -n .
  local dry_status=$status
  equal "$before" "$(snapshot)" "the tree after a dry run"
  sed 's/ would be decrypted into / -> /' "$dir/out" | sort >"$dir/dry"
  run_batch "$dir/run" "$batch" -v .
  equal "$status" "$dry_status" "the dry run's status"
  sort "$dir/out" | same "$dir/dry" /dev/stdin "what the run decrypted"
  run_batch "$dir/run" "$batch" -n -o new sub/deeper/z.enc sub/deeper/z.enc
  status_is 2
  [[ ! -e $dir/run/new ]] || fail "a dry run made DIR"
}
writable() {  # mode: chmod of the copy of the tree, but for the closed folder, which even its
  # owner cannot enter
  find "$dir/run" -path "$dir/run/closed" -prune -o ! -type l -exec chmod "$1" {} +
}
output_dir() {  # -o from a read-only tree; two inputs onto one output; DIR inside the PATH
  fresh
  writable a-w && mkdir -p "$dir/o"
  ((EUID != 0)) || chown nobody: "$dir/o"
  run_batch "$dir" "$batch" -o o run
  status_is 1
  local f
  for f in "${decrypted[@]}" ro/x; do
    same <(expected_of "$dir/run/$f.enc") "$dir/o/run/$f" "o/run/$f"
  done
  # The group's and others' bits of the source; the owner may always fill it.
  equal "7$(stat -c %a "$dir/run/sub" | cut -c2-)" "$(stat -c %a "$dir/o/run/sub")" "a mirrored folder's mode"
  rm -rf "$dir/o"/* && run_batch "$dir" "$batch" -o o run/a.enc run/./a.enc
  status_is 2 && named "left alone: a exists"
  writable u+w && run_batch "$dir/run" "$batch" -o plain . && run_batch "$dir/run" "$batch" -o plain .
  named "ecbcat-batch: 0 decrypted"
  [[ ! -e $dir/run/plain/plain ]] || fail "DIR was searched"
}
read_error() {
  fresh
  run_batch "$dir/run" ECBCAT_FAIL_READ_AT=100000 ECBCAT_READ_ANY_FILE=1 "$faulty" -j 1 big.enc
  status_is 1
  named "big.enc: failed reading file: Input/output error"
  [[ ! -e $dir/run/big ]] || fail "a partial output under the final name"
}
interrupted() {  # signal expected-status [environment [-o DIR]]: mid-file, then a rerun
  fresh
  local o=("${@:4}") out=$dir/run/${4:+out/}big
  if [[ -n ${4:-} ]]; then mkdir "$dir/run/out" && chown nobody: "$dir/run/out" 2>/dev/null || true; fi
  (cd "$dir/run" && exec "${as_user[@]}" env ECBCAT_READ_PIECE=4 ECBCAT_READ_ANY_FILE=1 ${3:-} $emulator "$faulty" "${o[@]}" -j 1 big.enc) \
    2>"$dir/err" &
  local pid=$!
  sleep 0.5
  kill -s "$1" "$pid"
  status=0 && { wait "$pid"; } 2>/dev/null || status=$?
  status_is "$2"
  [[ ! -e $out ]] || fail "an output under the final name after SIG$1"
  [[ $1 == KILL ]] || named "ecbcat-batch: interrupted: 0 decrypted, 0 failed, 0 left alone, 1 dropped"
  local hidden
  hidden=$(cd "$dir/run" && find . -path ./closed -prune -o -name '.big.ecbcat-*' -print | wc -l)
  find "$dir/run" -path "$dir/run/closed" -prune -o -name '.big.ecbcat-*' -exec rm {} +
  if [[ $1 == KILL && -n ${3:-} ]]; then equal 1 "$hidden" "hidden files after SIGKILL"; else equal 0 "$hidden" "hidden files"; fi
  run_batch "$dir/run" "$batch" "${o[@]}" big.enc
  status_is 0
  expected_of "$dir/run/big.enc" >"$dir/big.expected"
  same "$dir/big.expected" "$out" "big after the rerun"
}
progress() {  # on a terminal, and only there
  fresh
  (cd "$dir/run" && script -qec "$emulator $batch -j 1 sub" /dev/null) >"$dir/tty" 2>&1 || true
  grep -aq '1/1 files' "$dir/tty" || fail "no progress on a terminal: $(cat -v "$dir/tty")"
}

row "a tree of every kind" the_tree
row "the same without O_TMPFILE" the_tree ECBCAT_NO_TMPFILE=1
row "exit statuses and the command line" statuses
row "quiet and verbose" quiet_verbose
row "a dry run" dry_run
row "an output folder" output_dir
row "a read error mid-file" read_error
row "SIGINT mid-file" interrupted INT 130
row "SIGTERM mid-file" interrupted TERM 143
row "SIGINT mid-file without O_TMPFILE" interrupted INT 130 ECBCAT_NO_TMPFILE=1
row "SIGKILL mid-file" interrupted KILL 137
row "SIGKILL mid-file without O_TMPFILE" interrupted KILL 137 ECBCAT_NO_TMPFILE=1
row "SIGTERM mid-file into an output folder" interrupted TERM 143 "" -o out
row "SIGKILL mid-file into an output folder without O_TMPFILE" interrupted KILL 137 ECBCAT_NO_TMPFILE=1 -o out
if command -v script >/dev/null; then
  row "progress on a terminal" progress
else
  skip_row "progress on a terminal" "no script(1) for a terminal (apt-get install bsdutils)"
fi

# --- a tree that someone else controls: root decrypts what nobody owns and attacks ----------
# A root-only folder holds secrets; their plaintext must never land where nobody can read it.
secret=$dir/secret
mkdir -m 700 "$secret"
for n in 1 2 3 4; do random_file "$secret/$n.enc" 65536 && chmod 600 "$secret/$n.enc"; done
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
hostile() {  # a fresh tree of nobody's: sub/ with slow inputs, a link of nobody's to a secret,
  # one of root's to a file of the tree, and files of four modes with a fixed time
  rm -rf "$dir/h" && mkdir -p "$dir/h/sub" && cp "$secret"/*.enc "$dir/h/sub/"
  for m in 600 640 644 4755; do random_file "$dir/h/m$m.enc" 40 && chmod "$m" "$dir/h/m$m.enc"; done
  touch -d @1000000000 "$dir"/h/m*.enc
  chown -R nobody:nogroup "$dir/h"
  as_nobody ln -s "$secret/1.enc" "$dir/h/theirs.enc"
  ln -s m644.enc "$dir/h/roots.enc" && ln -s via/3.enc "$dir/h/roots-via.enc"
  as_nobody ln -s "$secret" "$dir/h/via"
}
as_root() {  # [NAME=VALUE...] program args...: root's run over the tree, status kept
  local as_user=()
  run_batch "$dir/h" "$@"
}
links_and_modes() {  # links of other users refused; the input's permission bits (never
  # set-id), owner, group and time on each output
  hostile
  as_root "$batch" .
  status_is 1
  named "./theirs.enc: not followed: a symbolic link of another user" \
    "./roots-via.enc: not followed: a symbolic link whose target passes through another link"
  [[ ! -e $dir/h/theirs && ! -e $dir/h/roots-via ]] || fail "a link of nobody's to a secret was followed"
  same <(expected_of "$dir/h/m644.enc") "$dir/h/roots" "the plaintext through root's link"
  local m
  for m in 600 640 644 4755; do
    equal "${m#4} nobody nogroup 1000000000" "$(stat -c '%a %U %G %Y' "$dir/h/m$m")" "m$m's attributes"
  done
}
swapped_file() {  # nobody swaps a file for a link to a secret and back, as fast as it can
  hostile
  setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c \
    'cd "$1" && while :; do ln -sfn "$2" t.enc; cp -f m600.enc t.new && mv -fT t.new t.enc; done' \
    sh "$dir/h" "$secret/2.enc" 2>/dev/null &
  local swapper=$! n leaked=0
  expected_of "$secret/2.enc" >"$dir/secret.plain"
  for n in $(seq 100); do
    rm -f "$dir/h/t" && as_root "$batch" .
    as_nobody cat "$dir/h/t" 2>/dev/null | cmp -s - "$dir/secret.plain" && leaked=$((leaked + 1))
  done
  kill "$swapper" && wait "$swapper" 2>/dev/null || true
  equal 0 "$leaked" "runs that decrypted the secret into nobody's tree"
}
swapped_folder() {  # nobody swaps sub/ for a link to the secret folder while root is in it
  hostile
  (cd "$dir/h" && exec env ECBCAT_READ_PIECE=2 ECBCAT_READ_ANY_FILE=1 $emulator "$faulty" -j 1 sub) \
    2>"$dir/err" &
  local pid=$!
  sleep 0.1
  as_nobody sh -c 'cd "$1" && mv sub sub.old && ln -s "$2" sub' sh "$dir/h" "$secret"
  wait "$pid" || true
  equal "1.enc 2.enc 3.enc 4.enc" "$(ls "$secret" | xargs)" "the secret folder after the run"
}
closed_stderr() {  # many "left alone" lines to nowhere while outputs are written
  fresh
  local n
  for n in $(seq 300); do echo x >"$dir/run/sub/l$n" && cp "$tree/a.enc" "$dir/run/sub/l$n.enc"; done
  status=0 && : >"$dir/trace" && chmod 666 "$dir/trace"
  # Under an emulator strace would see the emulator's opens: there only the outputs count.
  local trace=(strace -f -qq -e trace=openat -o "$dir/trace")
  [[ -z $emulator ]] || trace=()
  (cd "$dir/run" && exec "${as_user[@]}" "${trace[@]}" $emulator "$batch" . 2>&-) || status=$?
  equal 1 "$status" "exit status"
  outputs_right
  # The loader's opens of libraries, and a sanitizer runtime's of /proc/self, come and go
  # before the program runs; /dev/null is the program's own, made to hold descriptor 2.
  equal "" "$(grep -E '= [012]$' "$dir/trace" | grep -vE '\.so|/proc/self/|/dev/null' |
    head -n 3 || true)" \
    "opens that returned 0, 1 or 2"
}
stderr_unread() {  # SIGTERM ends a run whose standard error nobody reads
  fresh
  local n pid
  for n in $(seq 3000); do : >"$dir/run/sub/unread-file-number-$n" && : >"$dir/run/sub/unread-file-number-$n.enc"; done
  mkfifo "$dir/fifo"
  sleep 30 <"$dir/fifo" &
  (cd "$dir/run" && exec $emulator "$batch" -j 1 .) 2>"$dir/fifo" &
  pid=$!
  sleep 1 && kill -TERM "$pid"
  for n in $(seq 30); do kill -0 "$pid" 2>/dev/null && sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && fail "still running 3 s after SIGTERM" && kill -KILL "$pid"
  status=0 && { wait "$pid"; } 2>/dev/null || status=$?
  status_is 143
  pkill -f 'sleep 30' 2>/dev/null || true
}
ignored_signals() {  # SIGINT and SIGHUP ignored at the start (nohup, trap '' INT) stay so
  fresh
  (cd "$dir/run" && trap '' INT HUP && exec env ECBCAT_READ_PIECE=4 ECBCAT_READ_ANY_FILE=1 $emulator "$faulty" -j 1 big.enc) 2>"$dir/err" &
  local pid=$!
  sleep 0.3 && kill -INT "$pid" && kill -HUP "$pid" && sleep 0.3
  kill -0 "$pid" 2>/dev/null || fail "ended by an ignored signal"
  kill -TERM "$pid"
  status=0 && { wait "$pid"; } 2>/dev/null || status=$?
  status_is 143
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
term_loop() {  # SIGTERM at any moment leaves no hidden file without O_TMPFILE
  local n left=0
  mkdir "$dir/many" && for n in $(seq 200); do echo "$n" >"$dir/many/$n.enc"; done
  for n in $(seq 40); do
    rm -rf "$dir/t" && cp -a "$dir/many" "$dir/t"
    (cd "$dir/t" && exec env ECBCAT_NO_TMPFILE=1 $emulator "$faulty" -j 2 .) 2>/dev/null &
    sleep "0.00$((RANDOM % 10))" && kill -TERM $! 2>/dev/null || true
    wait $! 2>/dev/null || true
    left=$((left + $(find "$dir/t" -name '.*.ecbcat-*' | wc -l)))
  done
  equal 0 "$left" "hidden files after 40 SIGTERMs"
}
limited() {  # prlimit option: the tree decrypts as ever, on whatever threads can be had
  fresh
  status=0
  (cd "$dir/run" && exec "${as_user[@]}" prlimit "$1" $emulator "$batch" -j 4 .) >"$dir/out" 2>"$dir/err" ||
    status=$?
  status_is 1
  outputs_right
}
planted_output_dir() {  # nobody's link as DIR, nobody's folder inside DIR: neither is used
  hostile
  as_nobody ln -s "$secret" "$dir/h/plain"
  as_root "$batch" -o plain .
  status_is 1 && named "plain: not followed: a symbolic link of another user"
  mkdir -p "$dir/po/h" && chown nobody "$dir/po/h" && as_nobody mkdir -m 777 "$dir/po/h/sub"
  as_root "$batch" -o "$dir/po" "$dir/h"
  named "sub/1.enc: failed making output folder: Operation not permitted"
  equal "1.enc 2.enc 3.enc 4.enc" "$(ls "$secret" | xargs)" "the secret folder after the runs"
}
default_acl() {  # a default ACL of nobody's on their folder lets them read no output
  hostile
  setfacl -d -m u:nobody:rwx "$dir/h" && cp "$secret/4.enc" "$dir/h/acl.enc"
  setfacl -b "$dir/h/acl.enc" && chmod 640 "$dir/h/acl.enc"  # nobody cannot read it
  as_root "$batch" acl.enc
  status_is 0
  ! as_nobody cat "$dir/h/acl" >/dev/null 2>&1 || fail "nobody reads the plaintext of a file they cannot read"
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

if ((EUID == 0)); then
  row "root: links of other users; the input's mode, owner, group and time" links_and_modes
  row "root: a file swapped for a link, 100 runs" swapped_file
  row "root: a folder swapped for a link mid-run" swapped_folder
  row "root: DIR and output folders that nobody planted" planted_output_dir
  if command -v setfacl >/dev/null || install_packages acl; then
    row "root: a default ACL on the folder" default_acl
  else
    skip_row "root: a default ACL on the folder" "no setfacl (apt-get install acl)"
  fi
else
  skip_row "a tree that another account controls" "it needs root to be that account"
fi
row "a deep tree, and a folder named twice" deep_and_twice
if command -v strace >/dev/null; then
  row "standard error closed" closed_stderr
else
  skip_row "standard error closed" "no strace (apt-get install strace)"
fi
row "SIGTERM while nobody reads standard error" stderr_unread
row "SIGINT and SIGHUP ignored from the start" ignored_signals
row "a file-size limit" file_size_limit
row "a file-size limit without O_TMPFILE" file_size_limit ECBCAT_NO_TMPFILE=1
row "a long name without O_TMPFILE" long_name
row "SIGTERM at any moment without O_TMPFILE" term_loop
if [[ -z ${ECBCAT_SANITIZED:-} ]]; then  # sanitizers and emulators need stack and threads
  row "a 256 KiB stack" limited --stack=262144
  [[ -n $emulator ]] || row "no thread can be started" limited --nproc=1
fi
row "two runs at once" two_at_once
finish
