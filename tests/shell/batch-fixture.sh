# What the checks of ecbcat-batch share (sourced, bash): the programs, copied where nobody can
# run them, and a tree of inputs of every kind with the files the runs must leave as they are.
# As root the runs are made as nobody, so that an unreadable file and a read-only folder fail.
#   batch-*.sh ECBCAT_BATCH ECBCAT_BATCH_FAULTY   (ECBCAT_SANITIZED=1: leave out the rows of
#                                                  resource limits, which sanitizers cannot meet)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
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
  random_file "$tree/$f" $((RANDOM % 300 + 1))  # never empty: a row cuts an output short
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
reading() {  # pid name: waits (10 s at most) until the process has the file `name` open, as a
  # slow start (an emulator, a sanitizer) may take longer than any fixed pause
  local n
  for n in $(seq 100); do
    find "/proc/$1/fd" -lname "*/$2" 2>/dev/null | grep -q . && return
    sleep 0.1
  done
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

