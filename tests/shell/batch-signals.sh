#!/usr/bin/env bash
# ecbcat-batch stopped: SIGINT, SIGTERM and SIGKILL in the middle of a big file leave no output
# under its final name and nothing hidden, then a rerun decrypts it; signals ignored from the
# start stay so; a standard error that is closed or that nobody reads. And files still being
# written: held open by a writer, opened by one mid-read, changed mid-read by one that no lease
# can see.
source "$(dirname "$0")/batch-fixture.sh"
limit=()  # words before the program: a resource limit

interrupted() {  # signal expected-status [environment [-o DIR]]: mid-file, then a rerun
  fresh
  local o=("${@:4}") out=$dir/run/${4:+out/}big
  if [[ -n ${4:-} ]]; then mkdir "$dir/run/out" && chown nobody: "$dir/run/out" 2>/dev/null || true; fi
  (cd "$dir/run" && exec "${as_user[@]}" "${limit[@]}" env ECBCAT_READ_PIECE=4 ECBCAT_READ_ANY_FILE=1 ${3:-} $emulator "$faulty" "${o[@]}" -j 1 big.enc) \
    2>"$dir/err" &
  local pid=$!
  reading "$pid" big.enc && sleep 0.2
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
unread() {  # a tree with many "left alone" lines to say, and a FIFO that nobody reads
  fresh
  local n
  for n in $(seq 3000); do echo x >"$dir/run/sub/unread-file-number-$n" && : >"$dir/run/sub/unread-file-number-$n.enc"; done
  rm -f "$dir/fifo" && mkfifo "$dir/fifo"
  sleep 30 <"$dir/fifo" &
}
terminal_unread() {  # SIGTERM ends a run on a terminal that nobody reads (script's output is
  # the FIFO), though the terminal takes a little at times
  unread
  (cd "$dir/run" && exec "${as_user[@]}" script -qec "echo \$\$ >pid && exec ${limit[*]} '$batch' -j 1 ." /dev/null) >"$dir/fifo" 2>&1 &
  sleep 1 && local pid n && pid=$(cat "$dir/run/pid") && kill -TERM "$pid"
  local running='[[ $(cut -d" " -f3 "/proc/$pid/stat" 2>/dev/null) == [RSD] ]]'  # not a zombie
  for n in $(seq 30); do eval "$running" && sleep 0.1; done
  ! eval "$running" || { fail "still running 3 s after SIGTERM" && kill -KILL "$pid"; }
  pkill -f 'sleep 30' 2>/dev/null || true
}
stderr_unread() {  # SIGTERM ends a run whose standard error nobody reads
  unread
  local n pid
  (cd "$dir/run" && exec "${as_user[@]}" "${limit[@]}" $emulator "$batch" -j 1 .) 2>"$dir/fifo" &
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

arriving() {  # [root]: a file still being written is left for a later run, then taken whole
  fresh
  local pid
  exec 7>>"$dir/run/big.enc"  # a writer that has the file open
  run_batch "$dir/run" "$batch" big.enc
  exec 7>&-
  status_is 3 && named "big.enc: still being written: left for a later run"
  [[ ! -e $dir/run/big ]] || fail "an output of a file held open for writing"
  # A writer that opens it mid-read (or, for root, writes one that another user owns, whose
  # lease that user cannot take): no output, and the writer is not held up until the run ends.
  [[ -z ${1:-} ]] || chown root "$dir/run/big.enc"
  (cd "$dir/run" && exec "${as_user[@]}" env ECBCAT_READ_PIECE=4 ECBCAT_READ_ANY_FILE=1 $emulator "$faulty" -j 1 big.enc) \
    2>"$dir/err" &
  pid=$!
  reading "$pid" big.enc && sleep 0.2
  echo more >>"$dir/run/big.enc"
  [[ -n $emulator ]] || kill -0 "$pid" 2>/dev/null || fail "the writer waited until the run ended"
  status=0 && { wait "$pid"; } 2>/dev/null || status=$?
  status_is 3 && named "big.enc: ${1:-still being written}: left for a later run"
  [[ ! -e $dir/run/big ]] || fail "an output of a file written while it was read"
  run_batch "$dir/run" "$batch" big.enc
  status_is 0 && same <(expected_of "$dir/run/big.enc") "$dir/run/big" "big after the writer"
  run_batch "$dir/run" "$batch" big.enc
  status_is 0 && equal "" "$(cat "$dir/err")" "standard error of the run after"
}

row "a file still being written" arriving
if ((EUID == 0)); then
  row "a file another user owns, written mid-read" arriving "changed while being read"
else
  skip_row "a file another user owns, written mid-read" "needs root, to run as a user who cannot take the lease"
fi
row "SIGINT mid-file" interrupted INT 130
row "SIGTERM mid-file" interrupted TERM 143
row "SIGINT mid-file without O_TMPFILE" interrupted INT 130 ECBCAT_NO_TMPFILE=1
row "SIGKILL mid-file" interrupted KILL 137
row "SIGKILL mid-file without O_TMPFILE" interrupted KILL 137 ECBCAT_NO_TMPFILE=1
row "SIGTERM mid-file into an output folder" interrupted TERM 143 "" -o out
row "SIGKILL mid-file into an output folder without O_TMPFILE" interrupted KILL 137 ECBCAT_NO_TMPFILE=1 -o out
if command -v strace >/dev/null; then
  row "standard error closed" closed_stderr
else
  skip_row "standard error closed" "no strace (apt-get install strace)"
fi
row "SIGTERM while nobody reads standard error" stderr_unread
row "SIGINT and SIGHUP ignored from the start" ignored_signals
no_thread() {  # with no thread to wait for them (RLIMIT_NPROC reached), signals end a run at once
  local limit=(prlimit --nproc=1)
  interrupted TERM 143 ECBCAT_NO_TMPFILE=1
  stderr_unread
  ! command -v script >/dev/null || terminal_unread
}
if [[ -z ${ECBCAT_SANITIZED:-} && -z $emulator ]]; then  # they need threads of their own
  row "SIGTERM mid-file and to an unread standard error, without a thread" no_thread
fi
row "SIGTERM at any moment without O_TMPFILE" term_loop

# --watch: the watcher runs in the background on a folder nobody owns (as root) and is ended by
# SIGTERM; within() waits for what it should have made.
watcher() {  # options...: started once its first pass made w/first
  rm -rf "$dir/w" "$dir/w2" && mkdir "$dir/w" "$dir/w2" && cp "$tree/a.enc" "$dir/w/first.enc"
  ((EUID == 0)) && chown nobody: "$dir/w" "$dir/w2"
  (cd "$dir/w" && exec "${as_user[@]}" $emulator "$batch" --watch -v "$@" .) >"$dir/out" 2>"$dir/err" &
  watching=$!
  within 10 '[[ -e $dir/w/first ]]'
}
within() {  # seconds test: true once the test (shell code) holds, within the seconds
  local tenth
  for tenth in $(seq $(($1 * 10))); do eval "$2" && return; sleep 0.1; done
  fail "not within $1 s: $2"
}
stop_watcher() {  # SIGTERM: 143, the interrupted line, nothing hidden
  kill -TERM "$watching"
  status=0 && { wait "$watching"; } 2>/dev/null || status=$?
  status_is 143 && named "ecbcat-batch: interrupted: "
  equal "" "$(find "$dir/w" -name '.*.ecbcat-*')" "hidden files"
}
as_owner() { if ((EUID == 0)); then setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; else "$@"; fi; }
watch_arrivals() {  # written, held open, made in a new folder, moved in, too young
  watcher --min-age 2
  cp "$tree/a.enc" "$dir/w/young.enc" && sleep 1
  [[ ! -e $dir/w/young ]] || fail "a file younger than --min-age taken"
  # A writer that pauses, as the folder's owner, whose file a lease tells of.
  as_owner sh -c 'exec >"$2" && head -c 100 "$1" && sleep 4 && cat "$1"' - "$tree/big.enc" "$dir/w/held.enc" &
  as_owner mkdir -p "$dir/w/new/deeper" "$dir/w2/in/deeper"
  cp "$tree/a.enc.enc" "$dir/w/new/deeper/n.enc" && cp "$tree/e.enc" "$dir/w2/in/deeper/m.enc"
  mv "$dir/w2/in" "$dir/w/in" && sleep 3
  [[ ! -e $dir/w/held ]] || fail "a file held open by its writer taken"
  wait $!
  within 10 '[[ -e $dir/w/held && -e $dir/w/young && -e $dir/w/new/deeper/n && -e $dir/w/in/deeper/m ]]'
  same <(expected_of "$dir/w/held.enc") "$dir/w/held" held
  same "$expected/a" "$dir/w/young" young
  same <(expected_of "$tree/a.enc.enc") "$dir/w/new/deeper/n" "a new folder's"
  same <(expected_of "$tree/e.enc") "$dir/w/in/deeper/m" "a moved-in folder's"
  chmod 600 "$dir/w/young.enc"  # its owner narrows it: so is its output
  within 3 '[[ $(stat -c %a "$dir/w/young") == 600 ]]'
  stop_watcher
  equal 5 "$(grep -c ' -> ' "$dir/out")" "-v lines"
}
row "--watch: written, held open, too young, in a new folder and one moved in" watch_arrivals
many_at_once() {  # 20,000 files: half written at once into the folder, half moved in as a folder
  local n=10000 blob=$dir/blob
  head -c $((n * 2 * 32)) /dev/urandom >"$blob"
  head -c $((n * 32)) "$blob" >"$blob.1" && tail -c $((n * 32)) "$blob" >"$blob.2"
  watcher
  as_owner mkdir "$dir/w/out" && sleep 0.5
  kill -STOP "$watching"  # busy elsewhere: the events pass the queue's length, and are lost
  as_owner split -b 32 -a 5 -d --additional-suffix=.enc "$blob.1" "$dir/w2/m" &&
    as_owner mkdir "$dir/w2/moved" && as_owner sh -c "mv '$dir'/w2/m*.enc '$dir/w2/moved/'" &&
    as_owner split -b 32 -a 5 -d --additional-suffix=.enc "$blob.2" "$dir/w/f" &&
    mv "$dir/w2/moved" "$dir/w/moved" && mv "$dir/w/out" "$dir/w2/out"  # out, once events are lost
  kill -CONT "$watching"
  within 60 '(($(find "$dir/w" -name "[fm]?????" | wc -l) == 2 * n))'
  cp "$tree/a.enc" "$dir/w2/out/a.enc" && sleep 0.5
  [[ ! -e $dir/w2/out/a ]] || fail "a file decrypted in a folder moved out of the tree"
  local rss
  rss=$(awk '/VmHWM/ {print $2}' "/proc/$watching/status")
  [[ -n $emulator ]] || ((rss < 64 * 1024)) || fail "peak memory ${rss} KiB, not under 64 MiB"
  same <(openssl enc -d -aes-128-ecb -nopad -K "$key" -in "$blob") \
    <(cat "$dir"/w/moved/m????? "$dir"/w/f?????) "the 20,000 outputs in order"
  stop_watcher
}
watches_run_out() {  # allowed 4 watches (the PATH's parent takes one): the folders past them
  # searched on a timer; and a file linked in whole
  rm -rf "$dir/w" && mkdir -p "$dir/w/a/b/c/d" && cp "$tree/a.enc" "$dir/w/first.enc"
  (cd "$dir/w" && exec env ECBCAT_MAX_WATCHES=4 $emulator "$faulty" --watch .) >"$dir/out" 2>"$dir/err" &
  watching=$!
  within 10 '[[ -e $dir/w/first ]]'
  cp "$tree/a.enc" "$dir/w/a/b/c/d/late.enc" && cp "$tree/a.enc" "$dir/w/a/b/early.enc"
  cp "$tree/k.enc/inner.enc" "$dir/inner" && ln "$dir/inner" "$dir/w/a/linked.enc"  # made whole: no close
  within 5 '[[ -e $dir/w/a/b/early && -e $dir/w/a/linked ]]'
  [[ ! -e $dir/w/a/b/c/d/late ]] || fail "a file in a folder past the watches taken at once"
  within 12 '[[ -e $dir/w/a/b/c/d/late ]]'
  stop_watcher
  equal 1 "$(grep -c 'no more folders can be watched (fs.inotify.max_user_watches): those past it are searched every 10 s' "$dir/err")" "the message, once"
}
row "--watch: past the most watches a user may have, and a file linked in" watches_run_out
reader_gone() {  # -v into a pipe whose reader went: the watch ends with 1 and says why
  rm -rf "$dir/w" && mkdir "$dir/w"
  (sleep 1 && cp "$tree/a.enc" "$dir/w/a.enc" && sleep 0.5 && cp "$tree/e.enc" "$dir/w/e.enc") &
  { timeout 20 $emulator "$batch" --watch -v "$dir/w" 2>"$dir/err" | head -c 1 >/dev/null; status=${PIPESTATUS[0]}; } || true
  status_is 1 && named "failed writing to standard output: Broken pipe"
}
row "--watch: standard output's reader gone" reader_gone
path_removed() {  # the watched PATH removed: said, and the watch ends with 1
  watcher && rm -rf "$dir/w"
  within 5 '! kill -0 "$watching" 2>/dev/null'
  kill -KILL "$watching" 2>/dev/null || true
  status=0 && { wait "$watching"; } 2>/dev/null || status=$?
  status_is 1 && named ".: moved or removed: no longer watched"
}
row "--watch: the PATH removed" path_removed
[[ -n ${ECBCAT_SANITIZED:-} ]] || row "--watch: 10,000 files at once, and a folder of 10,000 moved in" many_at_once
finish
