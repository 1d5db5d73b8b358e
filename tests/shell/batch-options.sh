#!/usr/bin/env bash
# ecbcat-batch's dry run and -o: a dry run writes nothing and says what the run then does; -o
# from a read-only tree, two inputs onto one output, DIR inside the PATH.
source "$(dirname "$0")/batch-fixture.sh"

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
  status_is 2 && named "sub/deeper/z.enc: left alone: new/z would exist by then"
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
  status_is 0
  writable u+w && run_batch "$dir/run" "$batch" -o plain . && run_batch "$dir/run" "$batch" -o plain .
  named "ecbcat-batch: 0 decrypted"
  rm "$dir/run/plain/a" && echo other >"$dir/run/plain/a" && run_batch "$dir/run" "$batch" -o plain a.enc
  status_is 2 && named "a.enc: left alone: plain/a exists"
  [[ ! -e $dir/run/plain/plain ]] || fail "DIR was searched"
  # DIR a link with a relative target: read from the link's folder, not the current one
  mkdir -p "$dir/x/real" && ln -sfn real "$dir/x/rel" && { ((EUID != 0)) || chown nobody: "$dir/x/real"; }
  run_batch "$dir/run" "$batch" -o ../x/rel a.enc  # relative, for qemu-user's -L (batch-hostile)
  same "$expected/a" "$dir/x/real/a" "the output through DIR's relative link"
}

row "a dry run" dry_run
row "an output folder" output_dir
finish
