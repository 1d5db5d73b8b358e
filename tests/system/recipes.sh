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
#
# As root the check runs in a mount namespace of its own, where the rows of the systemd unit
# mount empty folders over /srv, /etc/systemd/system and /usr/local that nobody else sees.
if ((EUID == 0)) && [[ -z ${ECBCAT_RECIPES_UNSHARED:-} ]] && unshare --mount true 2>/dev/null; then
  ECBCAT_RECIPES_UNSHARED=1 exec unshare --mount --propagation private "${BASH_SOURCE[0]}" "$@"
fi
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
watch        ecbcat-batch --watch -q --rm -o plain drop
sftp_setup   useradd --system --user-group --shell /usr/sbin/nologin reader && useradd --system --user-group --home-dir /srv/sftp/partner --shell /usr/sbin/nologin partner && install -d -m 755 /srv/sftp /srv/sftp/partner && install -d -o partner -g reader -m 2750 /srv/sftp/partner/upload && install -d -o reader -g reader -m 700 /srv/plain
verify       systemd-analyze verify ecbcat-batch@srv-sftp-partner-upload.service
unit_reader  systemctl enable --now ecbcat-batch@$(systemd-escape --path /srv/sftp/partner/upload)
unit_root    systemctl enable --now ecbcat-batch@$(systemd-escape --path /srv/drop)
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
((EUID == 0)) && tools+=(ssh ssh-keygen "$sshd" setpriv useradd sftp rsync systemd-analyze systemd-escape man)
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
  install_packages parallel pv time openssh-server openssh-client rsync systemd man-db ||
    say "the install failed"
  [[ -z $own_policy ]] || rm -f "$policy"
fi
[[ -z $(missing) ]] || skip "missing $(missing | xargs) (apt-get install --no-install-recommends parallel pv time openssh-server rsync systemd man-db, as root)"

# --- the user, the files and what ecbcat must make of them ---------------------------------
# The files live outside the tree, where the test accounts can reach them; the ssh servers'
# keys, configuration, logs and process ids under BUILD_DIR/recipes.
work=$(mktemp -d /tmp/ecbcat-recipes.XXXXXX)
stderr_file=$work/err
chmod 755 "$work"
sshdir=$build/recipes
accounts=()
units=$work/units  # the stand-in for systemctl, and what each unit it started left
cleanup() {
  for pid in "$units"/*.pid "$sshdir"/sshd*.pid; do [[ -f $pid ]] && kill "$(cat "$pid")" 2>/dev/null; done
  # The watches that a row left running, should it have ended early: each process and its child.
  [[ ! -f $work/watchers ]] || while read -r pid; do pkill -P "$pid"; kill "$pid"; done <"$work/watchers" 2>/dev/null
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
  # A third, for the README's SFTP-only drop folder: its Match block, for its partner account,
  # whose key the rows put in the chroot; PAM on, as in Debian's sshd_config, which takes key
  # logins of a system account that has no password.
  port=$((20000 + RANDOM % 10000))
  ssh-keygen -q -t ed25519 -N '' -C drop -f "$sshdir/host3"
  cat >"$sshdir/sshd3.conf" <<EOF
ListenAddress 127.0.0.3:$port
HostKey $sshdir/host3
PidFile $sshdir/sshd3.pid
AllowUsers partner
AuthenticationMethods publickey
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM yes
Subsystem sftp internal-sftp
$(awk '$0 == "```ssh-config" {on = 1; next} on && /^```$/ {exit} on' "$root/README.md")
EOF
  printf 'Host drop\n  HostName 127.0.0.3\n  Port %s\n  User partner\n  BatchMode yes\n' "$port" >>"$home/.ssh/config"
  echo "[127.0.0.3]:$port $(cut -d' ' -f1,2 "$sshdir/host3.pub")" >>"$home/.ssh/known_hosts"
  start_sshd 3
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

# Polls until the bash condition holds, every 20 ms; fails after SECONDS.
await() {  # seconds condition
  local end=$((SECONDS + $1))
  until eval "$2"; do ((SECONDS < end)) || return 1; sleep 0.02; done
}
# The ecbcat-batch that a background job started, through the shells and setpriv on the way.
batch_in() {  # pid
  local p=$1
  until [[ $(cat "/proc/$p/comm" 2>/dev/null) == ecbcat-batch ]]; do
    p=$(pgrep -P "$p" | head -n 1) && [[ -n $p ]] || return 1
  done
  echo "$p"
}
# --watch over a drop folder: the first pass finds two uploads done and one still held open by
# its writer; the command is left running.
run_watch() {  # shell command
  rm -rf "$run" && mkdir -p "$run/drop/sub"
  cp "$files/records.enc" "$run/drop/" && cp "$files/big.enc" "$run/drop/sub/" && cp "$files/a.enc" "$run/drop/"
  ((EUID == 0)) && chown -R "$user:" "$run"
  exec {writer}>>"$run/drop/a.enc"
  (trap - ERR && exec {writer}>&- && cd "$run" && as_user "$1" -c "$2") >"$work/out" 2>"$work/err" &
  watcher=$! && echo "$watcher" >>"$work/watchers"
}
check_watch() {  # the first pass; the held upload once let go; one in a new folder; SIGTERM
  local batch
  await 10 '[[ -f $run/plain/drop/records && -f $run/plain/drop/sub/big && ! -e $run/drop/records.enc ]]' ||
    fail "the first pass did not decrypt and remove drop/records.enc and drop/sub/big.enc"
  [[ -e $run/drop/a.enc && ! -e $run/plain/drop/a ]] || fail "the upload still held open was taken"
  exec {writer}>&-
  await 5 '[[ -f $run/plain/drop/a && ! -e $run/drop/a.enc ]]' || fail "drop/a.enc not taken once closed"
  (cd "$run" && as_user sh -c "mkdir drop/new && cp '$files/big.enc' drop/new/y.enc")
  await 5 '[[ -f $run/plain/drop/new/y && ! -e $run/drop/new/y.enc ]]' || fail "drop/new/y.enc not taken"
  batch=$(batch_in "$watcher") && kill -TERM "$batch"
  status=0 && wait "$watcher" || status=$?
  status_is 143 "SIGTERM"
  equal "ecbcat-batch: interrupted: 4 decrypted, 0 failed, 0 left alone, 0 dropped unfinished, the rest not started" \
    "$(cat "$work/err")" "standard error"
  equal "" "$(find "$run/drop" -type f)" "the inputs left"
  same "$expected/records" "$run/plain/drop/records" plain/drop/records
  same "$expected/big" "$run/plain/drop/sub/big" plain/drop/sub/big
  same "$expected/a" "$run/plain/drop/a" plain/drop/a
  same "$expected/big" "$run/plain/drop/new/y" plain/drop/new/y
}

# The README's service: an SFTP-only drop folder, the unit run as its reader. systemd is not
# running here, so a stand-in for systemctl reads the installed unit and its drop-ins as systemd
# does and starts ExecStart as systemd would, in the background. Each row starts from empty
# /srv and /etc/systemd/system, without the README's accounts; the unit is installed once, by
# make install into an empty /usr/local.
readme_accounts=(reader partner)
for a in "${readme_accounts[@]}"; do
  ! id "$a" >/dev/null 2>&1 || readme_accounts=()  # another's: the rows do not run
done
shown_text=()  # the text of the README's command that sets up the drop folder
((${#readme_accounts[@]} == 0)) || accounts+=("${readme_accounts[@]}")
fresh_tmpfs() {  # folder: an empty tmpfs of ours over it, in place of the one before
  [[ $(findmnt -no SOURCE --mountpoint "$1" | tail -n 1) != ecbcat-recipes ]] || umount "$1"
  mkdir -p "$1" && mount -t tmpfs -o mode=755 ecbcat-recipes "$1"
}
mkdir -p "$units/bin"
sed "s|@units@|$units|" >"$units/bin/systemctl" <<'STANDIN'
#!/usr/bin/env bash
# systemctl enable --now NAME@INSTANCE.service where systemd is not running: the unit and its
# drop-ins read as systemd reads them, and ExecStart (its %f, %i and $VAR words filled in)
# started in the background as its User= with its AmbientCapabilities=,
# CapabilityBoundingSet=, NoNewPrivileges=, UMask= and Environment=; its output in UNIT.journal,
# its process id in UNIT.pid, its exit status in UNIT.status.
set -euo pipefail
shopt -s nullglob
units=@units@
[[ $# == 3 && $1 == enable && $2 == --now ]] || { echo "systemctl stand-in: enable --now UNIT" >&2; exit 1; }
unit=${3%.service}.service
template=${unit%%@*}@.service instance=${unit#*@} && instance=${instance%.service}
files=()
for dir in /etc/systemd/system /usr/local/lib/systemd/system /usr/lib/systemd/system /lib/systemd/system; do
  [[ -f $dir/$template ]] && files=("$dir/$template") && break
done
((${#files[@]})) || { echo "Unit $unit not found." >&2; exit 1; }
files+=(/etc/systemd/system/"$template".d/*.conf /etc/systemd/system/"$unit".d/*.conf)
declare -A env=()
start= user= ambient= bounding= umask=0022 nnp=no
while IFS= read -r line; do
  value=${line#*=}
  case ${line%%=*} in
    ExecStart) start=$value ;;
    Environment) value=${value#\"} && value=${value%\"} && env[${value%%=*}]=${value#*=} ;;
    User) user=$value ;;
    AmbientCapabilities) ambient=$value ;;
    CapabilityBoundingSet) bounding=$value ;;
    UMask) umask=$value ;;
    NoNewPrivileges) nnp=$value ;;
  esac
done < <(awk '/^\[/ {service = $0 == "[Service]"} service && /^[A-Za-z]+=/' "${files[@]}")
folder=$(systemd-escape --unescape --path "$instance")
words=() assignments=() variable='^\$\{?([A-Za-z_][A-Za-z0-9_]*)\}?$'
set -f
for word in $start; do
  word=${word//%%/$'\1'} && word=${word//%f/$folder} && word=${word//%i/$instance} && word=${word//$'\1'/%}
  if [[ $word =~ $variable ]]; then
    words+=(${env[${BASH_REMATCH[1]}]:-})
  else
    words+=("$word")
  fi
done
for name in "${!env[@]}"; do assignments+=("$name=${env[$name]}"); done
caps() { local c list=; for c in $1; do c=${c#CAP_} && list+=,+${c,,}; done; echo "${list#,}"; }
priv=()
[[ -z $user ]] || priv+=(--reuid="$user" --regid="$(id -gn "$user")" --init-groups)
[[ -z $ambient ]] || priv+=(--inh-caps="$(caps "$ambient")" --ambient-caps="$(caps "$ambient")")
[[ -z $bounding ]] || priv+=(--bounding-set=-all,"$(caps "$bounding")")
[[ $nnp != yes ]] || priv+=(--no-new-privs)
(
  umask "$umask"
  setpriv "${priv[@]}" env -i PATH=/usr/local/bin:/usr/bin:/bin "${assignments[@]}" "${words[@]}" \
    </dev/null >>"$units/$unit.journal" 2>&1 &
  echo $! >"$units/$unit.pid"
  status=0 && wait $! || status=$?
  echo $status >"$units/$unit.status"
) </dev/null >/dev/null 2>&1 &
STANDIN
chmod 755 "$units/bin/systemctl"
stop_unit() {  # unit: SIGTERM, as systemctl stop sends it; sets status
  local pid=$units/$1.pid
  status=none
  [[ -f $pid ]] || return 0
  kill -TERM "$(cat "$pid")" 2>/dev/null || true
  await 5 "[[ -s '$units/$1.status' ]]" && status=$(cat "$units/$1.status")
  rm -f "$pid"
}
as_root() {  # shell command: as root, as from a root shell, with the stand-in for systemctl
  status=0
  env -i HOME=/root LC_ALL=C.UTF-8 PATH="$units/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" \
    "$1" -c "$2" >"$work/out" 2>"$work/err" || status=$?
}
drop_world() {  # [setup]: empty /srv and /etc/systemd/system, the unit installed; with setup,
  # the README's accounts and folders, the partner's key in the chroot, and the drop-in
  local unit a
  for unit in "$units"/*.pid; do unit=${unit##*/} && stop_unit "${unit%.pid}"; done
  rm -f "$units"/*.journal "$units"/*.status
  for a in "${readme_accounts[@]}"; do userdel "$a" >/dev/null 2>&1 || true; done
  fresh_tmpfs /srv && fresh_tmpfs /etc/systemd/system
  if [[ ! -f $units/installed ]]; then
    fresh_tmpfs /usr/local
    (cd "$tree" && env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS make -s install) >"$work/install.log" 2>&1 ||
      { fail "make install into /usr/local: $(tail -n 5 "$work/install.log")" && return 1; }
    touch "$units/installed"
  fi
  [[ -n ${1:-} ]] || return 0
  as_root bash "${shown_text[0]}" && ((status == 0)) || { fail "the README's setup failed: $(cat "$work/err")" && return 1; }
  install -d -m 755 /srv/sftp/partner/.ssh && install -m 644 "$sshdir/id_ed25519.pub" /srv/sftp/partner/.ssh/authorized_keys
  local conf
  conf=$(grep -o '/etc/systemd/system/[^`]*\.service\.d/[^`]*\.conf' "$root/README.md" | head -n 1)
  mkdir -p "${conf%/*}" && awk '$0 == "```ini" {on = 1; next} on && /^```$/ {exit} on' "$root/README.md" >"$conf"
}
run_setup() { drop_world && as_root "$1" "$2"; }
run_verify() { drop_world setup && as_root "$1" "$2"; }
run_unit() {  # shell command: for the README's folder, its setup; for /srv/drop, a folder of the
  # user's that root may enter only with its capabilities
  if [[ $2 == */srv/drop* ]]; then
    drop_world && install -d -o "$user" -m 700 /srv/drop
  else
    drop_world setup
  fi && as_root "$1" "$2"
}
check_sftp_setup() {  # the accounts, the folders as sshd and the service want them, and a login
  # of the partner's over sftp locked in its folder
  succeeded
  local f want=(/srv/sftp 'root root 755' /srv/sftp/partner 'root root 755'
    /srv/sftp/partner/upload 'partner reader 2750' /srv/plain 'reader reader 700')
  for ((f = 0; f < ${#want[@]}; f += 2)); do
    equal "${want[f + 1]}" "$(stat -c '%U %G %a' "${want[f]}")" "${want[f]}"
  done
  install -d -m 755 /srv/sftp/partner/.ssh && install -m 644 "$sshdir/id_ed25519.pub" /srv/sftp/partner/.ssh/authorized_keys
  equal "/upload /upload" "$(as_user sh -c "echo 'pwd
ls -1 /' | sftp -q -b - drop" 2>&1 | grep -v '^sftp>' | sed 's/^Remote working directory: //' | xargs)" \
    "the partner's sftp session: where it starts, and all it sees"
}
check_verify() { succeeded && equal "" "$(cat "$work/out" "$work/err")" "what systemd-analyze verify says"; }
# Runs the upload in the background; whenever OUTPUT exists, it is the whole plaintext
# EXPECTED; `latency` is the milliseconds from the upload's end to OUTPUT's naming, which must
# come within 5 s of it. The upload must end well, within two minutes.
upload_watched() {  # upload-command output expected what
  local seen= ended= now done=$work/uploaded start=$SECONDS
  latency= && rm -f "$done"
  (cd "$files" && { as_user sh -c "$1" >/dev/null 2>&1 && echo 0 || echo $?; } >"$done.part" && mv "$done.part" "$done") &
  until [[ -n $seen && -n $ended ]]; do
    now=${EPOCHREALTIME//[.,]/} && now=$((now / 1000))
    if [[ -z $ended && -e $done ]]; then
      ended=$now && wait $!
      equal 0 "$(cat "$done")" "$4: the upload's status" && [[ $(cat "$done") == 0 ]] || return 0
    fi
    ((SECONDS - start < 120)) || { fail "$4: the upload still runs after 2 minutes" && return; }
    if [[ -z $seen && -e $2 ]]; then
      seen=$now
      cmp -s "$3" "$2" || fail "$4: $2 named before it was whole"
    fi
    [[ -z $ended ]] || ((now - ended <= 5000)) || { fail "$4: no output 5 s after the upload's end" && return; }
    sleep 0.02
  done
  latency=$((seen > ended ? seen - ended : 0))
  same "$3" "$2" "$4"
}
check_unit_reader() {  # an sftp upload, polled as it arrives, gives reader's plaintext in
  # /srv/plain, as open as the upload was to reader's group; SIGTERM is 143
  local unit=ecbcat-batch@srv-sftp-partner-upload.service
  succeeded
  upload_watched "echo 'put big.enc x.enc' | sftp -q -l 4000 -b - drop" /srv/plain/upload/x "$expected/big" \
    "the service's /srv/plain/upload/x"
  [[ -z $latency ]] || say "the service's plaintext came $latency ms after the upload's end"
  equal "reader reader 640" "$(stat -c '%U %G %a' /srv/plain/upload/x)" "/srv/plain/upload/x"
  equal "" "$(cat "$units/$unit.journal")" "the service's output"
  stop_unit "$unit"
  equal 143 "$status" "the service's status on SIGTERM"
}
check_unit_root() {  # as root, a file of the user's in its own folder decrypted beside it, the
  # user's and as open as it was
  local unit=ecbcat-batch@srv-drop.service
  succeeded
  (cd /srv/drop && as_user sh -c "umask 077 && cp '$files/records.enc' r.enc")
  await 5 '[[ -e /srv/drop/r ]]' || fail "no /srv/drop/r"
  same "$expected/records" /srv/drop/r /srv/drop/r
  equal "$user 600" "$(stat -c '%U %a' /srv/drop/r)" "/srv/drop/r"
  stop_unit "$unit"
  equal 143 "$status" "the service's status on SIGTERM"
  equal "" "$(grep -v 'interrupted: 1 decrypted, 0 failed' "$units/$unit.journal" || true)" "the service's output"
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
while IFS=$'\037' read -r -d $'\036' source text; do
  [[ ${how[$(normal "$text")]:-} != sftp_setup ]] || shown_text=("$text")
done < <(commands)
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
      if [[ $check == sftp_setup || $check == verify || $check == unit_* ]]; then
        if ((EUID != 0)) || [[ -z ${ECBCAT_RECIPES_UNSHARED:-} ]]; then
          skip_row "$command" "needs root, and a mount namespace of its own (unshare --mount)"
          continue
        elif ((${#readme_accounts[@]} == 0)); then
          skip_row "$command" "the accounts reader and partner are there already"
          continue
        fi
      fi
      for shell in bash dash; do
        runner=run_in_copy
        [[ $check == nonall ]] && runner=run_on_hosts
        [[ $check == split ]] && runner=run_shared
        [[ $check == drop ]] && runner=run_drop
        [[ $check == watch ]] && runner=run_watch
        [[ $check == sftp_setup ]] && runner=run_setup
        [[ $check == verify ]] && runner=run_verify
        [[ $check == unit_* ]] && runner=run_unit
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
# Uploads over ssh into host1's folder that `ecbcat-batch --watch` watches, as host1's account:
# each gives its whole plaintext, never a part, a moment after the upload's end (the latency
# printed); SIGTERM then ends the watch with 143 and no hidden file left.
watched_uploads() {
  local h=${hosts[0]} how command n=0 watcher
  rm -rf "$h/watched" && install -d -o "${h##*/}" "$h/watched"
  (trap - ERR && cd "$h" && setpriv --reuid="${h##*/}" --regid="${h##*/}" --init-groups "$build/ecbcat-batch" --watch watched) \
    >"$work/watch.out" 2>"$work/watch.err" &
  watcher=$! && echo "$watcher" >>"$work/watchers"
  while IFS='|' read -r how command; do
    n=$((n + 1))
    upload_watched "${command//X/x$n}" "$h/watched/x$n" "$expected/big" "$how: watched/x$n"
    [[ -z $latency ]] || say "watched uploads: $how: the plaintext came $latency ms after the upload's end"
  done <<'UPLOADS'
sftp|echo 'put big.enc watched/X.enc' | sftp -q -l 4000 -b - host1
scp|scp -q -l 4000 big.enc host1:watched/X.enc
scp -O|scp -O -q -l 4000 big.enc host1:watched/X.enc
rsync|rsync --bwlimit=500 big.enc host1:watched/X.enc
rsync --inplace|rsync --inplace --bwlimit=500 big.enc host1:watched/X.enc
UPLOADS
  kill -TERM "$(batch_in "$watcher")"
  status=0 && wait "$watcher" || status=$?
  equal 143 "$status" "the watch's status on SIGTERM"
  equal "ecbcat-batch: interrupted: 5 decrypted, 0 failed, 0 left alone, 0 dropped unfinished, the rest not started" \
    "$(cat "$work/watch.err")" "the watch's standard error"
  equal "" "$(find "$h/watched" -name '.*' -print)" "hidden files left"
}
if ((EUID == 0)); then
  row "sftp, scp, scp -O and rsync --inplace uploads met mid-way" uploads_mid_way
  row "sftp, scp, scp -O, rsync and rsync --inplace uploads into a watched folder" watched_uploads
else
  skip_row "uploads met mid-way" "needs root for the test accounts and sshd"
  skip_row "uploads into a watched folder" "needs root for the test accounts and sshd"
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
