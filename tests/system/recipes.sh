#!/usr/bin/env bash
# Runs every command that README.md's shell blocks and the manual page's examples show, as they
# are written there, under bash and under dash, and checks what each one made byte for byte.
# The commands are read from the two documents; the table below only says how to check each,
# and the run fails when a command has no row or a row has no command.
#
# Files with awkward names and sizes stand in for the user's, with three that cannot be
# decrypted (a directory, a dangling link, an unreadable file), each of which must be named on
# standard error and counted in the exit status. The line for several machines runs against
# two sshd listening on 127.0.0.1 and 127.0.0.2, each with a test account of its own, and must
# fail when one of them is down. As root the script installs what it needs and runs the
# commands as an unprivileged test account; otherwise it runs them as the caller and skips the
# line that needs the ssh servers. It writes only below its own temporary folder: the commands
# that run in the source tree run in a copy of it.
#
#   tests/system/recipes.sh BUILD_DIR     (BUILD_DIR holds the native build)
source "$(dirname "$0")/../shell/lib.sh"
build=$(cd "${1:?usage: recipes.sh BUILD_DIR}" && pwd)

# How each documented command is checked: a function below (check_NAME) run after the command
# on a fresh copy of the files, or `ci` / `not_run` with the reason printed.
table=$(cat <<'TABLE'
one_file     ecbcat records.enc > records.bin
producer     producer | ecbcat /dev/stdin | consumer
progress     pv big.enc | ecbcat /dev/stdin > big.bin
timed        time ecbcat big.enc > /dev/null
timed        time env OPENSSL_ia32cap= ecbcat big.enc > /dev/null
in_place     ecbcat records.enc 1<>records.enc
cross_check  ecbcat records.enc > records.bin && openssl enc -d -aes-128-ecb -nopad -K 5e0b9a31c874e2061fd94ba76328f08d -in records.enc -out records.ref && cmp records.ref records.bin
batch        ecbcat-batch .
dry_run      ecbcat-batch -n .
output_dir   ecbcat-batch -o plain .
drop         ecbcat-batch -q --rm -o plain drop
files0       find . -name '*.enc' -type f -mtime -1 -print0 | ecbcat-batch --files0-from=-
nonall       parallel --nonall --tag -S host1,host2 ecbcat-batch data
split        find "$PWD" -name '*.enc' -xtype f -print0 | parallel -0 -X --tag -S 1/host1,1/host2 ecbcat-batch
make_run     make run
make_run     make run FILE='my file.enc'
install      make install DESTDIR="$PWD/stage" PREFIX=/usr
home_install make install PREFIX="$HOME/.local"
uninstall    make uninstall PREFIX="$HOME/.local"
sums         sha256sum --check --ignore-missing SHA256SUMS
unpack       tar -xzf ecbcat-1.2.0-linux-x86_64.tar.gz
unpacked     ./ecbcat-1.2.0-linux-x86_64/ecbcat records.enc > records.bin
ci           make test
ci           make deb
not_run      sudo apt-get install cmake g++ make libssl-dev libgtest-dev openssl
not_run      make && sudo make install
not_run      sudo apt-get install ./build/ecbcat_1.2.0_amd64.deb
not_run      sudo apt-get install dpkg-dev
TABLE
)

# --- tools ---------------------------------------------------------------------------------
sshd=$(command -v sshd || echo /usr/sbin/sshd)
tools=(parallel pv dash openssl gzip cmp /usr/bin/time)
((EUID == 0)) && tools+=(ssh ssh-keygen "$sshd" setpriv useradd sftp rsync)
missing() {
  for t in "${tools[@]}"; do command -v "$t" >/dev/null || echo "$t"; done
  parallel --version 2>/dev/null | grep -q 'GNU parallel' || echo "GNU-parallel"
}
if [[ -n $(missing) ]]; then
  # The package would start the system's sshd on every address; this check starts its own, on
  # loopback only, so a policy-rc.d of our own keeps the package's from starting.
  policy=/usr/sbin/policy-rc.d own_policy=
  [[ -e $policy || $EUID -ne 0 ]] ||
    { printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod 755 "$policy" && own_policy=1; }
  install_packages parallel pv time openssh-server openssh-client rsync || say "the install failed"
  [[ -z $own_policy ]] || rm -f "$policy"
fi
[[ -z $(missing) ]] || skip "missing $(missing | xargs) (apt-get install --no-install-recommends parallel pv time openssh-server, as root)"

# --- the user, the files and what ecbcat must make of them ---------------------------------
# The files live outside the tree, where the test accounts can reach them; the ssh servers'
# keys, configuration, logs and process ids under BUILD_DIR/recipes.
work=$(mktemp -d /tmp/ecbcat-recipes.XXXXXX)
stderr_file=$work/err
chmod 755 "$work"
sshdir=$build/recipes
accounts=()
cleanup() {
  for pid in "$sshdir"/sshd*.pid; do [[ -f $pid ]] && kill "$(cat "$pid")" 2>/dev/null; done
  for a in "${accounts[@]}"; do userdel -r "$a" 2>/dev/null; done
  rm -rf "$work"
}
at_exit cleanup

userbin=$work/bin
mkdir -p "$userbin"
cp "$build/ecbcat" "$build/ecbcat-batch" "$userbin/"
printf '#!/bin/sh\nexec cat records.enc\n' >"$userbin/producer"
printf '#!/bin/sh\nexec cat >consumed\n' >"$userbin/consumer"
chmod 755 "$userbin"/*

# As root, an account of its own runs the commands, so that an unreadable file fails.
add_account() {  # name: a fresh account with a home, no password and a key login possible
  userdel -r "$1" >/dev/null 2>&1 || true
  useradd --create-home --password '*' --shell /bin/sh "$1"
  accounts+=("$1")
}
if ((EUID == 0)); then
  user=ecbcat-recipes
  add_account "$user"
  as_user() {
    setpriv --reuid="$user" --regid="$user" --init-groups env -i HOME="/home/$user" \
      PATH="$userbin:/usr/local/bin:/usr/bin:/bin" LC_ALL=C.UTF-8 "$@"
  }
else
  user=$(id -un)
  as_user() { env PATH="$userbin:$PATH" "$@"; }
fi

files=$work/files expected=$work/expected
mkdir -p "$files" "$expected"
# records.enc: gzip'd text padded with zeros to whole blocks, encrypted by openssl.
printf 'first line\na line with the pattern\nlast line\n' | gzip -9n >"$work/records.gz"
size=$(stat -c %s "$work/records.gz")
{ cat "$work/records.gz"; head -c $(((16 - size % 16) % 16)) /dev/zero; } >"$expected/records"
encrypt <"$expected/records" >"$files/records.enc"
random_file "$files/big.enc" $((3 * 1048576 + 5))

# Names as users have them, in subfolders and dotfiles too; sizes from empty past one chunk.
names=(plain 'with blank' ' leading blank' -dash --help - "single'quote" 'double"quote'
  'dollar$HOME' 'back`tick`' 'star*' 'semi;amp&' 'paren(s)' 'ütf8-日本' $'latin1-\xe9'
  $'new\nline' .hidden 'sub dir/nested' 'sub dir/deeper/x.tar' dir.enc/inner)
sizes=(0 5 16 21 4096 131077 262165 1048576)
for i in "${!names[@]}"; do
  f=$files/${names[i]}.enc
  mkdir -p "$(dirname "$f")"
  head -c "${sizes[i % ${#sizes[@]}]}" /dev/urandom >"$f"
done
while IFS= read -r -d '' f; do
  mkdir -p "$(dirname "$expected/${f%.enc}")"
  expected_of "$files/$f" >"$expected/${f%.enc}"
done < <(cd "$files" && find . -type f -name '*.enc' -print0)
# The trees that lose data when handled carelessly: an input whose output is another input, a
# folder named like an input beside the file its output would replace, an existing output, and
# links, good and dangling. What must stay as it was is in $expected too.
cp "$files/plain.enc" "$files/a.enc" && cp "$files/-dash.enc" "$files/a.enc.enc"
expected_of "$files/a.enc" >"$expected/a" && cp "$files/a.enc" "$expected/a.enc"
echo keep >"$files/dir" && cp "$files/dir" "$expected/dir"
cp "$files/records.enc" "$files/e.enc" && echo keep >"$files/e" && cp "$files/e" "$expected/e"
ln -s records.enc "$files/good.enc" && cp "$expected/records" "$expected/good"
ln -s nowhere "$files/dangling.enc"
left_alone=(a.enc.enc e.enc)  # their outputs exist
unreadable=(dangling.enc locked.enc)  # locked.enc is made unreadable in each copy

# --- two ssh servers standing for two machines, as root ------------------------------------
hosts=()
start_sshd() {  # n
  "$sshd" -f "$sshdir/sshd$1.conf" -E "$sshdir/sshd$1.log"
  for _ in $(seq 50); do [[ -s $sshdir/sshd$1.pid ]] && return; sleep 0.1; done
  echo "check-recipes: sshd $1 did not start" >&2 && cat "$sshdir/sshd$1.log" >&2 && return 1
}
stop_sshd() {  # n
  local pid
  pid=$(cat "$sshdir/sshd$1.pid")
  kill "$pid" && while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  rm -f "$sshdir/sshd$1.pid"
}
if ((EUID == 0)); then
  mkdir -p -m 755 /run/sshd  # sshd's privilege separation directory
  rm -rf "$sshdir" && mkdir -p "$sshdir"
  home=/home/$user
  install -d -o "$user" -m 700 "$home/.ssh"
  ssh-keygen -q -t ed25519 -N '' -C recipes -f "$sshdir/id_ed25519"
  install -o "$user" -m 600 "$sshdir/id_ed25519" "$home/.ssh/id_ed25519"
  for n in 1 2; do
    account=ecbcat-host$n port=$((20000 + RANDOM % 10000))
    add_account "$account"
    install -d -o "$account" -m 700 "/home/$account/.ssh"
    install -o "$account" -m 600 "$sshdir/id_ed25519.pub" "/home/$account/.ssh/authorized_keys"
    install -d -o "$account" -m 755 "/home/$account/bin"
    install -o "$account" -m 755 "$build/ecbcat" "$build/ecbcat-batch" "/home/$account/bin/"
    ssh-keygen -q -t ed25519 -N '' -C "host$n" -f "$sshdir/host$n"
    cat >"$sshdir/sshd$n.conf" <<EOF
ListenAddress 127.0.0.$n:$port
HostKey $sshdir/host$n
PidFile $sshdir/sshd$n.pid
AllowUsers $account
AuthenticationMethods publickey
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
SetEnv PATH=/home/$account/bin:/usr/bin:/bin
Subsystem sftp internal-sftp
EOF
    cat >>"$home/.ssh/config" <<EOF
Host host$n
  HostName 127.0.0.$n
  Port $port
  User $account
  BatchMode yes
  StrictHostKeyChecking yes
EOF
    echo "[127.0.0.$n]:$port $(cut -d' ' -f1,2 "$sshdir/host$n.pub")" >>"$home/.ssh/known_hosts"
    start_sshd "$n"
    hosts+=("/home/$account")
  done
  chown "$user:" "$home/.ssh/config" "$home/.ssh/known_hosts"
fi

# --- running a command and checking what it made -------------------------------------------
run=$work/run
run_in_copy() {  # shell command: a fresh copy of the files, the command run there as the user
  rm -rf "$run" && cp -a "$files" "$run"
  : >"$run/locked.enc" && chmod 000 "$run/locked.enc"
  ((EUID == 0)) && chown -R "$user:" "$run"
  status=0
  (cd "$run" && as_user "$1" -c "$2") >"$work/out" 2>"$work/err" || status=$?
}
# The commands meant for the source tree run in a copy of it, with a build of its own, as the
# caller, as from a terminal.
tree=$work/tree
mkdir -p "$tree"
tar -C "$root" --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$tree" -xf -
cp "$files/records.enc" "$tree/my file.enc"
run_in_tree() {  # shell command
  status=0
  (cd "$tree" && env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS HOME="$tree_home" "$1" -c "$2") >"$work/out" 2>"$work/err" ||
    status=$?
}
# The installs into "$HOME/.local" go to a home of their own, which holds a file of the user's
# in .local/bin before an uninstall; the staging install meets a manifest of another install.
tree_home=$work/home
mkdir -p "$tree_home"
run_home() {  # shell command: into an empty home
  rm -rf "$tree_home" && mkdir -p "$tree_home" && run_in_tree "$1" "$2"
}
run_uninstall() {  # shell command: after the README's install, beside a file of the user's
  rm -rf "$tree_home" && mkdir -p "$tree_home/.local/bin" && echo mine >"$tree_home/.local/bin/mine"
  run_in_tree "$1" 'make install PREFIX="$HOME/.local"'
  succeeded && run_in_tree "$1" "$2"
}
run_staged() {  # shell command
  mkdir -p "$tree/build" && echo "an install's list" >"$tree/build/install_manifest.txt"
  run_in_tree "$1" "$2"
}
succeeded() { ((status == 0)) || fail "exit status $status, expected 0; stderr: $(head -c 300 "$work/err")"; }
all_outputs_right() {  # [path to pass over]: every file that can be decrypted was, byte for byte
  local rel
  while IFS= read -r -d '' rel; do
    [[ $rel != "${1:-}" ]] || continue
    cmp -s "$expected/$rel" "$run/$rel" || fail "output ${rel@Q} wrong or missing"
  done < <(cd "$expected" && find . -type f -print0)
}

check_one_file() { succeeded && same "$expected/records" "$run/records.bin" records.bin; }
check_producer() { succeeded && same "$expected/records" "$run/consumed" "the consumer's file"; }
check_timed() { succeeded && grep -qE 'real|elapsed' "$work/err" || fail "no time shown: $(cat "$work/err")"; }
check_progress() { succeeded && same "$expected/big" "$run/big.bin" big.bin; }
check_in_place() { succeeded && same "$expected/records" "$run/records.enc" "records.enc in place"; }
check_cross_check() {  # passes on a good file, fails when either side fails
  succeeded
  local shell=$1 command=$2
  run_in_copy "$shell" "rm records.enc && $command"
  ((status != 0)) || fail "the cross-check passed without an input"
  run_in_copy "$shell" "printf 12345 >>records.enc && $command"
  ((status != 0)) || fail "the cross-check passed on an input openssl rejects"
}
no_strays() {  # nothing but the inputs and the expected outputs: no temporary or partial file
  local rel
  while IFS= read -r -d '' rel; do
    [[ -e $files/$rel || -L $files/$rel || -e $expected/$rel || $rel == ./locked.enc ]] ||
      fail "stray file ${rel@Q}"
  done < <(cd "$run" && find . ! -type d -print0)
}
check_batch() {
  all_outputs_right && no_strays
  named "${unreadable[@]/#/./}" "${left_alone[@]/#/./}"
  status_is 1 "some failed"
}
check_dry_run() {  # the batch's status and messages, and not a file written
  named "${unreadable[@]/#/./}" "${left_alone[@]/#/./}"
  status_is 1 "some would fail"
  local rel
  while IFS= read -r -d '' rel; do
    [[ -e $files/$rel || -L $files/$rel || $rel == ./locked.enc ]] || fail "the dry run wrote ${rel@Q}"
  done < <(cd "$run" && find . ! -type d -print0)
}
check_output_dir() {  # every output under plain/, which is not searched
  local rel
  while IFS= read -r -d '' rel; do
    [[ ! -e $files/$rel ]] || continue  # a file that was there, not an output
    cmp -s "$expected/$rel" "$run/plain/$rel" || fail "plain/${rel@Q} wrong or missing"
  done < <(cd "$expected" && find . -type f -print0)
  status_is 1 "some failed"
}
# A drop folder: two uploads done, one still held open by its writer while the command runs.
run_drop() {  # shell command
  rm -rf "$run" && mkdir -p "$run/drop/sub"
  cp "$files/records.enc" "$run/drop/" && cp "$files/big.enc" "$run/drop/sub/" && cp "$files/a.enc" "$run/drop/"
  ((EUID == 0)) && chown -R "$user:" "$run"
  local writer
  exec {writer}>>"$run/drop/a.enc"
  status=0
  (cd "$run" && as_user "$1" -c "$2") >"$work/out" 2>"$work/err" || status=$?
  exec {writer}>&-
}
check_drop() {  # the whole uploads decrypted and removed; the one still arriving left as it is
  status_is 3 "one upload still being written"
  named "drop/a.enc: still being written"
  same "$expected/records" "$run/plain/drop/records" plain/drop/records
  same "$expected/big" "$run/plain/drop/sub/big" plain/drop/sub/big
  equal "drop/a.enc" "$(cd "$run" && find drop -type f)" "the inputs left"
  [[ ! -e $run/plain/drop/a ]] || fail "an output of the upload still being written"
}
# Many machines: each host's own folder (data in its home), or one shared folder split between
# them. Each host is an account of its own behind its own sshd.
run_on_hosts() {  # shell command: a data folder of two files in each host's home
  local h
  for h in "${hosts[@]}"; do
    rm -rf "$h/data" && mkdir -p "$h/data/sub"
    cp "$files/records.enc" "$h/data/" && cp "$files/big.enc" "$h/data/sub/"
    chown -R "${h##*/}:" "$h/data"
  done
  run_in_copy "$1" "$2"
}
check_nonall() {  # every host decrypts its own; a host down is counted, the other finishes
  local h
  succeeded
  for h in "${hosts[@]}"; do
    same "$expected/records" "$h/data/records" "${h##*/}'s data/records"
    same "$expected/big" "$h/data/sub/big" "${h##*/}'s data/sub/big"
  done
  stop_sshd 2
  run_on_hosts "$1" "$2"
  start_sshd 2
  status_is 1 "one host down"
  same "$expected/records" "${hosts[0]}/data/records" "host1's data/records with host2 down"
}
run_shared() {  # shell command: the files in a folder both hosts may read and write
  run_in_copy "$1" "true"
  chmod -R a+rwX "$run" && chmod 000 "$run/locked.enc"
  status=0
  (cd "$run" && as_user "$1" -c "$2") >"$work/out" 2>"$work/err" || status=$?
}
check_split() {  # each file decrypted once, right; a rerun and a host down change no output
  # The hosts' accounts follow no link of the user's among the files they are given.
  all_outputs_right ./good && no_strays
  named /locked.enc "${left_alone[@]/#//}" "/good.enc: not followed: a symbolic link of another user"
  ((status == 1 || status == 2)) || fail "exit status $status, expected the runs that failed (1 or 2)"
  (cd "$run" && as_user "$1" -c "$2") >/dev/null 2>&1 && fail "a rerun, which still cannot read locked.enc, exited 0"
  all_outputs_right ./good
  stop_sshd 2 && run_shared "$1" "$2"
  start_sshd 2
  ((status != 0)) || fail "the command succeeded with host2 down"
  no_strays
  local rel
  while IFS= read -r -d '' rel; do
    [[ ! -e $run/$rel ]] || cmp -s "$expected/$rel" "$run/$rel" || fail "output ${rel@Q} wrong"
  done < <(cd "$expected" && find . -type f -print0)
}
# The release's commands run where its files were downloaded: beside the user's files.
release=$build/dist
run_release() {  # shell command
  [[ -f $release/SHA256SUMS ]] || { fail "no release in $release (make dist)" && return; }
  rm -rf "$run" && cp -a "$files" "$run" && cp "$release"/* "$run/"
  [[ $2 != ./* ]] || tar -C "$run" -xzf "$run"/ecbcat-*-linux-"$(uname -m)".tar.gz
  ((EUID == 0)) && chown -R "$user:" "$run"
  status=0
  (cd "$run" && as_user "$1" -c "$2") >"$work/out" 2>"$work/err" || status=$?
}
check_sums() {  # every file of the release named as checked; a changed one fails the check
  succeeded
  local f
  for f in "$release"/*; do
    [[ ${f##*/} == SHA256SUMS ]] || grep -qF "${f##*/}: OK" "$work/out" || fail "${f##*/} not checked"
  done
  printf x >>"$run/$(cd "$release" && ls *.deb)"
  (cd "$run" && as_user "$1" -c "$2") >/dev/null 2>&1 && fail "a changed file passed the check"
  return 0
}
check_unpack() {
  succeeded
  [[ -x $run/ecbcat-1.2.0-linux-x86_64/ecbcat && -x $run/ecbcat-1.2.0-linux-x86_64/ecbcat-batch ]] ||
    fail "the programs are not there"
}
check_unpacked() { succeeded && same "$expected/records" "$run/records.bin" records.bin; }
check_make_run() {  # the plaintext is the last thing make prints
  local expect=$root/examples/hello.txt
  [[ $2 == *FILE=* ]] && expect=$expected/records
  succeeded
  tail -c "$(stat -c %s "$expect")" "$work/out" >"$work/tail"
  same "$expect" "$work/tail" "the end of make's output"
}
check_install() {
  succeeded
  "$tree/stage/usr/bin/ecbcat" "$root/examples/hello.enc" >"$work/installed.out"
  same "$root/examples/hello.txt" "$work/installed.out" "the staged program's output"
  [[ -f $tree/stage/usr/share/man/man1/ecbcat.1 ]] || fail "no staged manual page"
  equal "an install's list" "$(cat "$tree/build/install_manifest.txt")" "the manifest of the install on the system"
  rm -f "$tree/build/install_manifest.txt"
}
check_home_install() {
  succeeded
  local f
  for f in bin/ecbcat bin/ecbcat-batch share/man/man1/ecbcat-batch.1 \
    share/bash-completion/completions/ecbcat-batch share/zsh/site-functions/_ecbcat-batch; do
    [[ -f $tree_home/.local/$f ]] || fail "no ~/.local/$f"
  done
  "$tree_home/.local/bin/ecbcat" "$root/examples/hello.enc" >"$work/installed.out"
  same "$root/examples/hello.txt" "$work/installed.out" "the installed program's output"
}
check_uninstall() {  # nothing of ours left; the user's file, and its folder, stay
  succeeded
  equal ".local .local/bin .local/bin/mine" "$(cd "$tree_home" && find . -mindepth 1 -printf '%P\n' | sort | xargs)" \
    "the home after make uninstall"
}
check_files0() {  # the files that find lists (no link, no folder), each decrypted right
  all_outputs_right ./good && no_strays
  named ./locked.enc "${left_alone[@]/#/./}"
  [[ ! -e $run/good ]] || fail "a link decrypted, which find did not list"
  status_is 1 "some failed"
}

# --- the commands, as the documents show them ----------------------------------------------
# Prints each command as: source, US, text, RS. A line ending in | && || or \ goes on.
commands() {
  local doc
  for doc in "$root/README.md" "$root"/docs/*.md; do
    awk -v src="${doc#"$root"/}" '
    /^```sh$/ { inblock = 1; next }
    /^```$/ { inblock = 0; next }
    inblock { emit($0) }
    function emit(line) {
      text = text == "" ? line : text "\n" line
      if (line !~ /(\||&&|\\)[ \t]*$/) { printf "%s\037%s\036", src, text; text = "" }
    }' "$doc"
  done
  local page
  for page in "$root"/man/*.1; do
    awk -v src="${page##*/}" '
      /^\.EX$/ { inblock = 1; next }
      /^\.EE$/ { inblock = 0; next }
      inblock {
        gsub(/\\-/, "-"); gsub(/\\\(aq/, "\047"); gsub(/\\\(dq/, "\""); gsub(/\\e/, "\\")
        text = text == "" ? $0 : text "\n" $0
        if ($0 !~ /(\||&&|\\)[ \t]*$/) { printf "%s\037%s\036", src, text; text = "" }
      }' "$page"
  done
}
# One line, single blanks, no trailing comment: the form the table uses.
normal() { sed -E 's/[[:space:]]{2,}#.*$//' <<<"$1" | tr '\n' ' ' | tr -s ' \t' ' ' | sed -E 's/^ //; s/ $//'; }

declare -A how=() used=()
while read -r check command; do how[$command]=$check; done <<<"$table"

mismatch() { fail "$1"; }
run_row() { "$1" "$3" "$4" && "check_$2" "$3" "$4"; }  # runner check shell text
while IFS=$'\037' read -r -d $'\036' source text; do
  command=$(normal "$text")
  [[ -n ${used[$command]:-} ]] && continue  # README and manual page may show the same line
  used[$command]=1
  check=${how[$command]:-}
  case $check in
    "") row "$source: $command" mismatch "$source shows a command that has no row here" ;;
    ci) say ".ci/run runs: $command" ;;
    not_run) say "not run (needs sudo and changes the system): $command" ;;
    *)
      if [[ $check == nonall || $check == split ]] && ((EUID != 0)); then
        skip_row "$command" "needs root for the test accounts and sshd"
        continue
      fi
      for shell in bash dash; do
        runner=run_in_copy
        [[ $check == nonall ]] && runner=run_on_hosts
        [[ $check == split ]] && runner=run_shared
        [[ $check == drop ]] && runner=run_drop
        [[ $check == make_run ]] && runner=run_in_tree
        [[ $check == install ]] && runner=run_staged
        [[ $check == home_install ]] && runner=run_home
        [[ $check == uninstall ]] && runner=run_uninstall
        [[ $check == sums || $check == unpack* ]] && runner=run_release
        row "$shell: $command" run_row "$runner" "$check" "$shell" "$text"
      done
      ;;
  esac
done < <(commands)
for command in "${!how[@]}"; do
  [[ -n ${used[$command]:-} ]] || row "$command" mismatch "a row names a command no document shows"
done
# Uploads that a run meets mid-way, over ssh into host1's drop folder, throttled so that the run
# comes while the writer has the file open: no output and status 3; once the upload ended the
# output is right and the status 0; and a third run is silent.
uploads_mid_way() {
  local h=${hosts[0]} how pid status0 n
  local -A upload=([sftp]="echo 'put big.enc drop/x.enc' | sftp -q -l 4000 -b - host1"
    [scp]="scp -q -l 4000 big.enc host1:drop/x.enc" ['scp -O']="scp -O -q -l 4000 big.enc host1:drop/x.enc"
    ['rsync --inplace']="rsync --inplace --bwlimit=500 big.enc host1:drop/x.enc")
  for how in sftp scp 'scp -O' 'rsync --inplace'; do
    rm -rf "$h/drop" && install -d -o "${h##*/}" "$h/drop"
    (cd "$files" && as_user sh -c "${upload[$how]}") >/dev/null 2>&1 &
    pid=$!
    for n in $(seq 100); do [[ -s $h/drop/x.enc ]] && break; sleep 0.1; done
    status0=0 && (cd "$h" && setpriv --reuid="${h##*/}" --regid="${h##*/}" --init-groups "$build/ecbcat-batch" drop) >/dev/null 2>"$work/err" || status0=$?
    [[ ! -e $h/drop/x ]] || fail "$how: an output of the upload under way"
    wait "$pid" || fail "$how: the upload failed"
    equal 3 "$status0" "$how: the status of a run mid-way"
    for n in 0 1; do
      status=0 && (cd "$h" && setpriv --reuid="${h##*/}" --regid="${h##*/}" --init-groups "$build/ecbcat-batch" drop) >/dev/null 2>"$work/err" || status=$?
      status_is 0 "$how: run $((n + 2))"
    done
    equal "" "$(cat "$work/err")" "$how: the third run's standard error"
    same "$expected/big" "$h/drop/x" "$how: drop/x"
  done
}
if ((EUID == 0)); then
  row "sftp, scp, scp -O and rsync --inplace uploads met mid-way" uploads_mid_way
else
  skip_row "uploads met mid-way" "needs root for the test accounts and sshd"
fi
figures_held() {  # every figure that README.md states is one of docs/performance.md
  local figure
  while read -r figure; do
    grep -qF -- "$figure" "$root/docs/performance.md" || fail "README.md states $figure, which docs/performance.md does not"
  done < <(grep -oE '[0-9][0-9,.]*[[:space:]]?(MiB/s|MiB|GiB|KiB|ms|s|x|%)([^[:alnum:]]|$)' "$root/README.md" |
    sed -E 's/[^[:alnum:]%/]$//')
}
row "README.md's figures are docs/performance.md's" figures_held
finish
