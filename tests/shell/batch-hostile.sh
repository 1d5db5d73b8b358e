#!/usr/bin/env bash
# As root, a tree that the account nobody owns and attacks: links of other users, a file or a
# folder swapped for a link mid-run, planted output folders, a default ACL. Their plaintexts
# must never land where nobody can read them. And exFAT, which only root mounts here, where no
# output may take the name of a file that is there either.
source "$(dirname "$0")/batch-fixture.sh"

((EUID == 0)) || skip "it needs root to be another account"
# --- a tree that someone else controls: root decrypts what nobody owns and attacks ----------
# A root-only folder holds secrets; their plaintext must never land where nobody can read it.
secret=$dir/secret
mkdir -m 700 "$secret"
for n in 1 2 3 4; do random_file "$secret/$n.enc" 65536 && chmod 600 "$secret/$n.enc"; done
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
hostile() {  # a fresh tree of nobody's: sub/ with slow inputs, a link of nobody's to a secret,
  # one of root's to a secret (as a tar extracted by root leaves it), root's links in a folder
  # of root's, and files of four modes with a fixed time
  rm -rf "$dir/h" && mkdir -p "$dir/h/sub" && cp "$secret"/*.enc "$dir/h/sub/"
  for m in 600 640 644 4755; do random_file "$dir/h/m$m.enc" 40 && chmod "$m" "$dir/h/m$m.enc"; done
  touch -d @1000000000 "$dir"/h/m*.enc
  chown -R nobody:nogroup "$dir/h"
  as_nobody ln -s "$secret/1.enc" "$dir/h/theirs.enc"
  ln -s "$secret/3.enc" "$dir/h/roots.enc"
  mkdir "$dir/h/rd" && ln -s ../m644.enc "$dir/h/rd/m.enc" && ln -s ../via/3.enc "$dir/h/rd/via.enc"
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
    "./roots.enc: not followed: a symbolic link in a folder of another user" \
    "./rd/via.enc: not followed: a symbolic link whose target passes through another link"
  [[ ! -e $dir/h/theirs && ! -e $dir/h/roots && ! -e $dir/h/rd/via ]] || fail "a link to a secret was followed"
  same <(expected_of "$dir/h/m644.enc") "$dir/h/rd/m" "the plaintext through root's link in root's folder"
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
planted_output_dir() {  # nobody's link as DIR, nobody's folder inside DIR: neither is used
  hostile
  as_nobody ln -s "$secret" "$dir/h/plain"
  local spelling
  for spelling in plain plain/ plain/. plain/sub; do  # the link anywhere in DIR, however spelled
    as_root "$batch" -o "$spelling" .
    status_is 1 "-o $spelling" && named "$spelling: not followed: a symbolic link of another user"
  done
  # DIR relative to the tree (../po): under qemu-user, whose -L maps every absolute name found in
  # the sysroot, "/" among them, a DIR resolved a name at a time from "/" would land there.
  mkdir -p "$dir/po/h" && chown nobody "$dir/po/h" && as_nobody mkdir -m 777 "$dir/po/h/sub"
  as_root "$batch" -o ../po "$dir/h"
  named "sub/1.enc: failed making output folder: Operation not permitted"
  # A mirror folder already there without the sticky bit of its source is not used either.
  mkdir -p "$dir/st/drop" "$dir/so/drop" && chmod 1777 "$dir/st/drop" && chmod 777 "$dir/so/drop"
  cp "$dir/h/m644.enc" "$dir/st/drop/" && as_root "$batch" -o ../so "$dir/st/drop"
  named "drop/m644.enc: failed making output folder: Operation not permitted"
  equal "1.enc 2.enc 3.enc 4.enc" "$(ls "$secret" | xargs)" "the secret folder after the runs"
}
acls() {  # a default ACL of nobody's on their folder lets them read no output; an ACL's group
  # entries never reach a group that the output's owner could not give it
  hostile
  setfacl -d -m u:nobody:rwx "$dir/h" && cp "$secret/4.enc" "$dir/h/acl.enc"
  setfacl -b "$dir/h/acl.enc" && chmod 640 "$dir/h/acl.enc"  # nobody cannot read it
  as_root "$batch" acl.enc
  status_is 0
  ! as_nobody cat "$dir/h/acl" >/dev/null 2>&1 || fail "nobody reads the plaintext of a file they cannot read"
  # Root's 0750 folder and 0640 file, which an ACL lets nobody read: as nobody, whose group is
  # not root's, the output and its mirror folder are nobody's alone; as root, the mirror folder
  # carries the source's ACL, so root's group still cannot enter it.
  mkdir -p "$dir/g/proj" && cp "$secret/1.enc" "$dir/g/proj/x.enc" && chmod 755 "$dir/g"
  chmod 750 "$dir/g/proj" && chmod 640 "$dir/g/proj/x.enc"
  setfacl -m u:nobody:rx "$dir/g/proj" && setfacl -m u:nobody:r "$dir/g/proj/x.enc"
  (cd "$dir/h" && as_nobody $emulator "$batch" -o out ../g) 2>"$dir/err" && status=0 || status=$?
  status_is 0
  equal "600 700" "$(stat -c %a "$dir/h/out/g/proj/x" "$dir/h/out/g/proj" | xargs)" "nobody's output, and its folder"
  [[ $(getfacl -c "$dir/h/out/g/proj/x" "$dir/h/out/g/proj") != *mask* ]] || fail "an ACL copied onto nobody's output"
  mkdir -m 755 "$dir/h/plain" && as_root "$batch" -o plain ../g
  status_is 0
  equal "$(getfacl -c "$dir/g/proj")" "$(getfacl -c "$dir/h/plain/g/proj")" "the mirror folder's ACL"
  # A hidden output, which others may open by name, gets the ACL that keeps nobody out before
  # the mode that alone would let them in.
  if [[ -z $emulator ]] && command -v strace >/dev/null; then
    cp "$secret/3.enc" "$dir/h/o.enc" && chmod 644 "$dir/h/o.enc" && setfacl -m u:nobody:- "$dir/h/o.enc"
    (cd "$dir/h" && strace -f -qq -e trace=fchmod,fsetxattr -o "$dir/trace" env ECBCAT_NO_TMPFILE=1 "$faulty" o.enc)
    equal "fsetxattr fchmod" "$(grep -oE 'fsetxattr\([0-9]+, "system.posix_acl_access"|fchmod\(' "$dir/trace" |
      sed 's/(.*//' | xargs)" "the order in which the output gets its ACL and mode"
  fi
}

drop_folder() {  # nobody's links among the PATHs, a planted output, a writer during --rm
  hostile
  as_nobody ln -s "$secret" "$dir/h/folder.enc" && as_nobody mkdir "$dir/h/d"
  as_root "$batch" ./theirs.enc ./folder.enc ./roots.enc ./rd/via.enc ./m644.enc d/  # a glob's
  named "./theirs.enc: not followed: a symbolic link of another user" \
    "./rd/via.enc: not followed: a symbolic link whose target passes through another link" \
    "./folder.enc: not followed: a symbolic link of another user" \
    "./roots.enc: not followed: a symbolic link in a folder of another user"
  [[ ! -e $dir/h/theirs && ! -e $secret/1 ]] || fail "a link of nobody's among the PATHs was followed"
  # A file of nobody's beside root's input, of the decryption's size and with its time:
  # planted, not an earlier output.
  cp "$secret/2.enc" "$dir/h/r.enc" && as_nobody sh -c "head -c 65536 /dev/zero >'$dir/h/r' && touch -r '$dir/h/r.enc' '$dir/h/r'"
  as_root "$batch" r.enc
  status_is 2 && named "r.enc: left alone: r exists"
  # A writer that opens the input while --rm removes it loses nothing.
  random_file "$dir/h/d/w.enc" $((4 << 20)) && chown -R nobody: "$dir/h/d"
  (until [ -e "$dir/h/d/w" ]; do :; done; as_nobody sh -c "echo more >>'$dir/h/d/w.enc'") &
  as_root "$batch" --rm d
  wait $!
  grep -aqs more "$dir/h/d/w.enc" "$dir"/h/d/.w.enc.ecbcat-rm-* || fail "--rm removed what a writer added during the run"
  # A service account that does not own the inputs, with no lease: --rm only with --min-age.
  rm -f "$dir/h/d/w" && random_file "$dir/h/d/x.enc" 100 && chown root "$dir/h/d/x.enc" && chmod 644 "$dir/h/d/x.enc"
  (cd "$dir/h" && as_nobody $emulator "$batch" --rm d/x.enc) 2>"$dir/err" && status=0 || status=$?
  status_is 1 && named "d/x.enc: decrypted, but not removed: no lease can be had on it here"
  [[ -e $dir/h/d/x.enc ]] || fail "an input removed that no lease held"
}

# exFAT as on USB sticks, through exfat-fuse from an image: no O_TMPFILE, no hard links and no
# rename without replacing. The run is root's, as a FUSE mount is root's alone.
exfat=$(mktemp -d)
at_exit 'umount "$exfat/m" 2>/dev/null; rm -rf "$exfat"'
on_exfat() {  # the outputs named, a file already there left as it is, nothing hidden left
  local at=$exfat/m as_user=() long
  long=a$(printf '\xf0\x9f\x98\x80%.0s' $(seq 61))  # its hidden name is cut inside a character
  cp "$tree/a.enc" "$tree/sub/deeper/z.enc" "$tree/e.enc" "$tree/e" "$at/"
  cp "$tree/a.enc" "$at/$long.enc"
  run_batch "$at" "$batch" --sync .
  status_is 2 && named "./e.enc: left alone: e exists" "3 decrypted, 0 failed, 1 left alone"
  same "$expected/a" "$at/a" "a" && same "$expected/sub/deeper/z" "$at/z" "z"
  same "$expected/a" "$at/$long" "the long name"
  same "$tree/e" "$at/e" "e, which was there before"
  equal "" "$(find "$at" -name '.*.ecbcat-*')" "hidden files left behind"
  # --rm, where rename cannot refuse to replace: a file that takes the input's name while the
  # input is being removed stays.
  if [[ -z $emulator ]] && command -v strace >/dev/null; then
    cp "$tree/a.enc" "$at/r.enc" && echo upload >"$at/new" && touch -d @1000000000 "$at/r.enc"
    (cd "$at" && strace -f -qq -o /dev/null -e trace=unlinkat -e inject=unlinkat:delay_enter=3000000 \
      "$batch" --rm --min-age 1 r.enc) 2>"$dir/err" &
    local n && for n in $(seq 100); do [[ -e $at/r ]] || sleep 0.05; done
    mv -f "$at/new" "$at/r.enc" && wait $!
    equal upload "$(cat "$at/r.enc")" "the file that took the input's name during --rm"
  fi
}

row "root: links of other users; the input's mode, owner, group and time" links_and_modes
row "root: a drop folder of nobody's: links among the PATHs, a planted output, --rm" drop_folder
row "root: a file swapped for a link, 100 runs" swapped_file
row "root: a folder swapped for a link mid-run" swapped_folder
row "root: DIR and output folders that nobody planted" planted_output_dir
if command -v setfacl >/dev/null || install_packages acl; then
  row "root: a default ACL on the folder; ACLs of inputs and folders under -o" acls
else
  skip_row "root: ACLs" "no setfacl (apt-get install acl)"
fi
if ! type -P mount.exfat-fuse mkfs.exfat >/dev/null && ! install_packages exfat-fuse exfatprogs; then
  skip_row "root: outputs on exFAT" "no exfat-fuse (apt-get install exfat-fuse exfatprogs)"
elif mkdir "$exfat/m" && truncate -s 16M "$exfat/img" && mkfs.exfat "$exfat/img" >/dev/null &&
  mount -t exfat-fuse -o loop "$exfat/img" "$exfat/m" 2>/dev/null; then
  row "root: outputs on exFAT (exfat-fuse), without hard links" on_exfat
else
  skip_row "root: outputs on exFAT" "its image could not be mounted (FUSE, loop devices)"
fi
finish
