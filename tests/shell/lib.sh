# Shared by the shell checks (sourced, bash): counted rows of assertions, skips that are told
# from passes, installs as root, the key and the inputs every check makes.
#
# A check is a list of rows: `row NAME COMMAND...` runs COMMAND in a subshell with `set -e`, so
# the first command that fails unguarded ends the row and is named; `cmd || fail "expected X,
# got Y"` records a failed assertion and lets the row go on. A row prints `ok` only when every
# assertion in it held. `finish` prints the closing count and exits 1 when any row failed.
# A check that cannot run calls `skip REASON`: exit 77, or a failure when CI=true.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
check_name=$(basename "$0" .sh)
# The built-in key, read from the source so that no check carries a copy of it.
key=$(grep -o '0x[0-9a-f][0-9a-f]' "$root/src/core/key.hpp" | sed 's/0x//' | tr -d '\n')
passed=0 failed=0 skipped=() row_name=
# A failed assertion is written down here, so that one inside a nested subshell counts too.
failures=$(mktemp)
exit_actions=('rm -f "$failures"')
at_exit() { exit_actions+=("$1"); }  # shell code to run when the check ends, however it ends
trap 'for action in "${exit_actions[@]}"; do eval "$action" || true; done' EXIT

say() { echo "$check_name: $*"; }
fail() {  # message: one assertion of the current row did not hold
  echo "FAILED: $check_name: $row_name: $*" >&2
  echo "$*" >>"$failures"
}
row() {  # name command...
  local status=0
  : >"$failures"
  set +e
  (
    set -eE
    row_name=$1
    # A step that fails unguarded fails the row, in a command substitution too.
    trap 'fail "step failed with status $?: $BASH_COMMAND"' ERR
    shift
    "$@"
  )
  status=$?
  set -e
  if ((status == 0)) && [[ ! -s $failures ]]; then
    passed=$((passed + 1)) && say "ok: $1"
  else
    failed=$((failed + 1)) && say "FAILED: $1"
  fi
}
skip_row() {  # name reason: a row that cannot run here; the check then ends as skipped
  skipped+=("$1 ($2)")
}
finish() {
  say "$passed passed, $failed failed, ${#skipped[@]} skipped"
  ((failed == 0)) || exit 1
  ((passed > 0)) || skip "no row ran"
  ((${#skipped[@]} == 0)) || skip "${skipped[@]}"
}
skip() {  # reason
  echo "SKIPPED: $check_name: $*"
  if [[ ${CI:-} == true ]]; then
    echo "FAILED: $check_name: under CI every check must run" >&2
    exit 1
  fi
  exit 77
}
usage() {
  echo "usage: $*" >&2
  exit 2
}

# Assertions that say what was expected and what came.
same() {  # expected-file got-file what
  cmp -s "$1" "$2" || fail "$3: expected $(wc -c <"$1") bytes as in $1, got $(wc -c <"$2" 2>/dev/null || echo no) bytes ($(cmp "$1" "$2" 2>&1 | head -n 1 || true))"
}
equal() {  # expected got what
  [[ $1 == "$2" ]] || fail "$3: expected '$1', got '$2'"
}
# A command's status and standard error, kept by the check in $status and the file $stderr_file.
stderr_file=/dev/null
status_is() {  # expected [what]
  equal "$1" "$status" "exit status${2:+ ($2)} (stderr: $(head -c 300 "$stderr_file"))"
}
named() {  # text...: each appears on standard error
  local t
  for t; do grep -aqF -- "$t" "$stderr_file" || fail "'$t' not on standard error: $(head -c 2000 "$stderr_file")"; done
}

# Installs Debian packages when running as root; returns non-zero, having said which and why,
# when it cannot, so that the caller checks again and skips.
source "$root/tools/apt.sh"
install_packages() { apt_install "$@"; }  # package...
cache=${XDG_CACHE_HOME:-$HOME/.cache}/ecbcat  # downloads and builds kept between runs

# The main archive (or with `security`, the security archive) of this system's apt sources, for
# lists of our own.
debian_mirror() {  # [security]
  awk -v want="${1:-}" '(/^URIs:/ || /^deb /) && ($2 ~ /security/) == (want == "security") {print $2; exit}' \
    /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null || true
}

# A static qemu-i386 from Debian 13's qemu-user (10.0), kept in the cache, and its path printed.
# Debian 12's qemu 7.2 takes about a minute to start each 32-bit wine program, and 32-bit wine's
# threads crashed or hung under it. Fetched with apt sources and lists of our own, so that the
# host's apt configuration stays as it was.
qemu_i386() {
  local qemu dir work own mirror
  qemu=$(printf '%s\n' "$cache"/qemu-user-*/qemu-i386 | sort -V | tail -n 1)
  [[ ! -x $qemu ]] || { echo "$qemu" && return; }
  mirror=$(debian_mirror) && [[ -n $mirror ]] || { say "no Debian mirror in the apt sources" >&2 && return 1; }
  work=$(mktemp -d)
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/sources"
  echo "deb [arch=$(dpkg --print-architecture)] $mirror trixie main" >"$work/sources/trixie.list"
  own=(-o Dir::Etc::SourceParts="$work/sources" -o Dir::Etc::SourceList=/dev/null
    -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache")
  apt_update "${own[@]}" || true
  if (cd "$work" && apt-get "${own[@]}" download qemu-user >/dev/null 2>"$work/log") &&
    dpkg-deb -x "$work"/qemu-user_*.deb "$work/x" && file -L "$work/x/usr/bin/qemu-i386" | grep -q static; then
    dir=$cache/qemu-user-$(dpkg-deb -f "$work"/qemu-user_*.deb Version | sed 's/^[0-9]*://')
    mkdir -p "$dir" && cp "$work/x/usr/bin/qemu-i386" "$dir/qemu-i386.part" && mv "$dir/qemu-i386.part" "$dir/qemu-i386"
    echo "$dir/qemu-i386"
  else
    say "could not fetch Debian 13's qemu-user: $(apt_reason "$work/log")" >&2
  fi
  rm -rf "$work"
  [[ -n ${dir:-} ]]
}

# 32-bit x86 programs on a 64-bit kernel built without IA32 emulation: as root, Debian 13's
# qemu-i386 is registered with binfmt_misc for 32-bit x86 ELF files under a name of our own, so
# that they simply run (in a chroot too) until the check ends; then the entry goes, and
# binfmt_misc is unmounted if we mounted it and no other entry is left. Returns non-zero when
# they still cannot run. Sets i386_emulated when they run under qemu rather than natively.
binfmt=/proc/sys/fs/binfmt_misc i386_emulated=
runs_i386() {
  local status=0 name=ecbcat-i386-$$ mounted='' qemu probe
  # The smallest 32-bit x86 program: exit(0) through int 0x80, no library, no loader.
  probe=$(mktemp) && at_exit "rm -f $probe" && chmod +x "$probe"
  local elf='\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0'
  elf+='\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08'
  elf+='\x5b\0\0\0\x5b\0\0\0\x05\0\0\0\0\x10\0\0\x31\xdb\x31\xc0\x40\xcd\x80'
  printf "$elf" >"$probe"
  "$probe" 2>/dev/null || status=$?
  # Success through another check's entry, which goes when that check ends, does not count.
  if ((status == 0)) && ! compgen -G "$binfmt/ecbcat-i386-*" >/dev/null; then
    ! grep -qs '^interpreter .*i386' "$binfmt"/* || i386_emulated=1
    return 0
  fi
  ((status == 0 || status == 126)) || return 1  # 126: the kernel refused the format
  ((EUID == 0)) && qemu=$(qemu_i386) || return 1
  if [[ ! -e $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || return 1
    mounted=1
  fi
  at_exit "unregister_i386 $name $mounted"
  # ELF, 32-bit, little-endian, version 1, any OS ABI, executable or shared object (type 2 or 3),
  # i386. Flag P: the program gets the argv[0] it was started with, as natively. Flag F: the
  # kernel opens qemu now, so that it serves inside a chroot too.
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":$name:M::$magic:$mask:$qemu:PF" >"$binfmt/register" 2>/dev/null || return 1
  i386_emulated=1
  "$probe"
}
unregister_i386() {  # name [mounted]
  [[ ! -e $binfmt/$1 ]] || echo -1 >"$binfmt/$1"
  local left=("$binfmt"/*)  # register, status and the entries of others
  [[ -z ${2:-} ]] || ((${#left[@]} > 2)) || umount "$binfmt"
}
# Random bytes, made once and kept while the size is right.
random_file() {  # path bytes
  [[ -f $1 && $(stat -c %s "$1") -eq $2 ]] && return
  mkdir -p "$(dirname "$1")" && head -c "$2" /dev/urandom >"$1.part" && mv "$1.part" "$1"
}
# What ecbcat must make of a ciphertext, from openssl on whole blocks: a short last block is
# completed with bytes r..15 of the block before it, or zeros when there is none.
expected_of() {  # ciphertext-file
  local n r
  n=$(stat -L -c %s "$1") r=$(($(stat -L -c %s "$1") % 16))
  {
    head -c $((n - r)) "$1"
    if ((r > 0)); then
      tail -c "$r" "$1"
      if ((n > 16)); then tail -c 16 "$1" | head -c $((16 - r)); else head -c $((16 - r)) /dev/zero; fi
    fi
  } | openssl enc -d -aes-128-ecb -nopad -K "$key"
}
encrypt() { openssl enc -e -aes-128-ecb -nopad -K "$key"; }
# A sparse file of 4 GiB + 1 MiB + 5 bytes, costing a few MiB of disk: zeros, with random data
# across the 2 GiB and 4 GiB marks and at the end, which is a short block.
sparse_past_4gib() {  # path
  local size=$(((4 << 30) + (1 << 20) + 5)) at
  rm -f "$1" && truncate -s "$size" "$1"
  for at in $(((2 << 30) - 2048)) $(((4 << 30) - 2048)) $((size - 8192)); do
    head -c 8192 /dev/urandom | dd of="$1" bs=1 seek="$at" conv=notrunc status=none
  done
}
