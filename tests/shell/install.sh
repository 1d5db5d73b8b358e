#!/usr/bin/env bash
# `make install` into a staging directory lays out the binary and the manual page, the
# installed binary works, and the manual page is clean under groff's warnings; `make uninstall`
# removes what `make install` put there; the completions, the systemd unit and the documents.
#   install.sh BUILD_DIR
source "$(dirname "$0")/lib.sh"
build=${1:?usage: install.sh BUILD_DIR}
emulator=${ECBCAT_EMULATOR:-}  # words put before a cross-compiled binary; empty natively
stage=$(mktemp -d)
at_exit 'rm -rf "$stage"'

# The Makefile's install and uninstall, without its build (this one may be another, such as
# the sanitizers').
mk() { env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS make -s -C "$root" -o all BUILD="$build" "$@" >/dev/null; }
# Without DESTDIR, make install writes the lists that make uninstall reads for an install on
# this system: those of the build's own install, if any, are put back when the check ends.
lists=$(mktemp -d)
cp -p "$build"/install_{manifest,folders}.txt "$lists/" 2>/dev/null || true
at_exit 'rm -f "$build"/install_{manifest,folders}.txt; cp -p "$lists"/* "$build/" 2>/dev/null; rm -rf "$lists"'
mk install DESTDIR="$stage" PREFIX=/usr
installed() {
  local f
  for f in bin/ecbcat bin/ecbcat-batch share/man/man1/ecbcat.1 share/man/man1/ecbcat-batch.1 \
    share/bash-completion/completions/ecbcat-batch share/zsh/site-functions/_ecbcat-batch \
    lib/systemd/system/ecbcat-batch@.service; do
    [[ -e $stage/usr/$f ]] || fail "no usr/$f"
  done
  # The unit starts the program where it will be once the staged files are in place.
  equal "ExecStart=/usr/bin/ecbcat-batch --watch \$OPTIONS %f" \
    "$(grep '^ExecStart=' "$stage/usr/lib/systemd/system/ecbcat-batch@.service")" "the unit's ExecStart"
  # ecbcat calls nothing in libstdc++, so it does not load it: a shorter start-up.
  if [[ -z ${ECBCAT_SANITIZED:-} ]] && readelf -d "$stage/usr/bin/ecbcat" | grep -q 'NEEDED.*libstdc++'; then
    fail "ecbcat loads libstdc++"
  fi
  $emulator "$stage/usr/bin/ecbcat" "$root/examples/hello.enc" >"$stage/out"
  same "$root/examples/hello.txt" "$stage/out" "the installed program's output"
  mkdir "$stage/d" && cp "$root/examples/hello.enc" "$stage/d/"
  $emulator "$stage/usr/bin/ecbcat-batch" "$stage/d"
  same "$root/examples/hello.txt" "$stage/d/hello" "the installed ecbcat-batch's output"
}
groff_clean() {
  equal "" "$(groff -man -ww -z "$root/man/ecbcat.1" "$root/man/ecbcat-batch.1" 2>&1)" "groff's warnings"
}
options_agree() {  # --help, the manual page and the completions name the same long options
  local help page shell completion
  help=$($emulator "$stage/usr/bin/ecbcat-batch" --help | grep -oE -- '--[a-z0-9-]+' | sort -u | xargs)
  page=$(sed 's/\\-/-/g' "$root/man/ecbcat-batch.1" | awk 'heading; {heading = /^\.TP/}' |
    grep -oE -- '--[a-z0-9-]+' | sort -u | xargs)
  equal "$help" "$page" "the manual page's options against --help's"
  for shell in bash zsh; do
    completion=$(grep -oE -- '--[a-z0-9-]+' "$root/packaging/ecbcat-batch.$shell-completion" | sort -u | xargs)
    equal "$help" "$completion" "the $shell completion's options against --help's"
  done
}
# What each shell's completion offers, loaded from where it was installed, in a folder of an
# .aes file, an .enc file and a subfolder: the options, and the files of the suffix in use.
completions=$(cat <<'ROWS'
ecbcat-batch --dry|--dry-run
ecbcat-batch --files0|--files0-from
ecbcat-batch |sub y.enc
ecbcat-batch -S .aes |sub x.aes
ecbcat-batch --suffix=.aes x|x.aes
ecbcat-batch --wat|--watch
ecbcat-batch -n --wat|
ecbcat-batch --watch --dry|
ROWS
)
completes() {  # shell
  local line want got
  mkdir -p "$stage/c/sub" && : >"$stage/c/x.aes" && : >"$stage/c/y.enc"
  while IFS='|' read -r line want; do
    got=$(cd "$stage/c" && "complete_$1" "$line" | sort -u | xargs)
    equal "$want" "$got" "$1's completion of '$line'"
  done <<<"$completions"
}
complete_bash() {  # line
  bash -c 'source /usr/share/bash-completion/bash_completion && source "$1" &&
    read -ra COMP_WORDS <<<"$2" && { [[ $2 != *" " ]] || COMP_WORDS+=(""); } &&
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$2 COMP_POINT=${#2} &&
    { _ecbcat_batch || true; } && printf "%s\n" "${COMPREPLY[@]}"' sh "$stage/usr/share/bash-completion/completions/ecbcat-batch" "$1"
}
complete_zsh() {  # line: typed into an interactive zsh on a terminal, then a tab; each match that
  # the completion adds is printed as <m>MATCH
  TERM=xterm zsh -f -c 'zmodload zsh/zpty && zpty z zsh -f -i &&
    zpty -w z "PS1= ; fpath=($1 \$fpath); autoload -U compinit; compinit -u -D" &&
    zpty -w z "compadd() { local -a m; builtin compadd -O m \"\$@\"; print -rl -- \"<\"\"m>\"\${^m}; builtin compadd \"\$@\" }" &&
    zpty -w z "print \"<re\"\"ady>\"" && zpty -r z out "*<ready>*2004h*" &&
    zpty -n -w z "$2"$'"'\t\C-u'"'"print \"<e\"\"nd>\""$'"'\n'"' && zpty -r z out "*<end>*" &&
    print -r -- "$out"' sh "$stage/usr/share/zsh/site-functions" "$1" |
    tr '\r' '\n' | { grep -ao '<m>[^[:cntrl:]]*' || true; } | sed 's/^<m>//'
}
uninstalls() {  # DESTDIR PREFIX: after make install and make uninstall, nothing of ours is left;
  # another's file in PREFIX/bin stays, and so does a folder that was there, though empty
  local root_dir=$1$2
  rm -rf "$1" && mkdir -p "$root_dir/bin" "$root_dir/share/man" && echo theirs >"$root_dir/bin/theirs"
  mk install DESTDIR="$1" PREFIX="$2"
  [[ -x $root_dir/bin/ecbcat-batch ]] || fail "make install put no ecbcat-batch in $root_dir/bin"
  mk uninstall DESTDIR="$1" PREFIX="$2"
  equal "bin bin/theirs share share/man" "$(cd "$root_dir" && find . -mindepth 1 -printf '%P\n' | sort | xargs)" \
    "what is left in $root_dir"
}
no_dangling_colon() {  # a line of README.md or docs/*.md that ends in a colon introduces what
  # follows: the rest of its paragraph, or after blank lines a list, a code block or a table;
  # not a heading, the end of the file or a paragraph of other text
  equal "" "$(awk 'FNR == 1 && pending != "" { print pending; pending = "" }
    FNR == 1 { fence = blank = 0 }
    /^```/ { if (!fence) pending = ""; fence = !fence; next }
    fence { next }
    /^[[:space:]]*$/ { blank = 1; next }
    pending != "" { if (blank && !/^([-*+] |[0-9]+\. |\||    |>)/) print pending; pending = "" }
    { blank = 0 }
    /:[[:space:]]*$/ { pending = FILENAME ":" FNR ": " $0 }
    END { if (pending != "") print pending }' "$root/README.md" "$root"/docs/*.md)" "lines that introduce nothing"
}
unit_verified() {  # the unit installed into a prefix with a blank and a specifier (%i), as
  # systemd reads it for an instance: every directive known, the program where ExecStart says,
  # its manual page where Documentation says (when man is here to look)
  local prefix="$stage/unit %i" out status=0
  cmake --install "$build" --prefix "$prefix" >/dev/null
  local verify=(systemd-analyze verify --man=no)
  command -v man >/dev/null && verify=(env MANPATH="$prefix/share/man" systemd-analyze verify)
  out=$(SYSTEMD_UNIT_PATH="$prefix/lib/systemd/system:" "${verify[@]}" ecbcat-batch@srv-drop.service 2>&1) ||
    status=$?
  equal 0 "$status" "systemd-analyze verify's status ($out)"
  equal "" "$(grep -F ecbcat-batch <<<"$out" || true)" "what systemd-analyze verify says of the unit"
}
apt_retried() {  # a mirror that serves a bad index twice, then a good one; then one that never does
  local shim=$stage/shim fails calls status s
  mkdir -p "$shim"
  printf '%s\n' '#!/bin/sh' 'n=$(($(cat "$0.n" 2>/dev/null || echo 0) + 1)) && echo $n >"$0.n"' \
    '[ $n -gt $FAILS ] || { echo "E: Failed to fetch x/Packages.xz  File has unexpected size (1 != 2)" >&2; exit 100; }' >"$shim/apt-get"
  chmod +x "$shim/apt-get"
  for fails in "2 3 0" "5 3 1"; do
    read -r fails calls status <<<"$fails"
    rm -f "$shim/apt-get.n"
    (export PATH=$shim:$PATH FAILS=$fails && apt_pause=0 && apt_update) 2>"$stage/apt.err" && s=0 || s=$?
    equal "$status" "$s" "apt_update's status after $fails failures"
    equal "$calls" "$(cat "$shim/apt-get.n")" "apt-get update calls after $fails failures"
    grep -q "unexpected size" "$stage/apt.err" || fail "the reason not said: $(cat "$stage/apt.err")"
  done
}
row "staged install" installed
row "make uninstall of a staged install" uninstalls "$stage/staged" /usr/local
row "make uninstall" uninstalls "" "$stage/prefix"
row "package installs: a failed index is fetched again" apt_retried
row "one list of options" options_agree
row "documents: no colon introduces nothing" no_dangling_colon
[[ -f /usr/share/bash-completion/bash_completion ]] || install_packages bash-completion ||
  say "the install of bash-completion failed"
if [[ -f /usr/share/bash-completion/bash_completion ]]; then
  row "bash completion" completes bash
else
  skip_row "bash completion" "no bash-completion (apt-get install bash-completion)"
fi
command -v zsh >/dev/null || install_packages zsh || say "the install of zsh failed"
if command -v zsh >/dev/null; then
  row "zsh completion" completes zsh
else
  skip_row "zsh completion" "no zsh (apt-get install zsh)"
fi
command -v groff >/dev/null || install_packages groff-base || say "the install of groff failed"
if command -v groff >/dev/null; then
  row "manual pages" groff_clean
else
  skip_row "manual pages" "no groff (apt-get install groff)"
fi
command -v systemd-analyze >/dev/null || install_packages systemd || say "the install of systemd failed"
if command -v systemd-analyze >/dev/null; then
  row "systemd unit" unit_verified
else
  skip_row "systemd unit" "no systemd-analyze (apt-get install systemd)"
fi
finish
