#!/usr/bin/env bash
# The program under valgrind's memcheck: no invalid or uninitialised access and nothing
# left allocated at exit, on the paths that end early or short.
#   memcheck.sh ECBCAT
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: memcheck.sh ECBCAT}
dir=$(mktemp -d)
at_exit 'rm -rf "$dir"'
: >"$dir/empty"
printf 'abcde' >"$dir/short"
random_file "$dir/odd" 100000

clean() {  # expected-status file
  local status=0
  valgrind -q --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
    --error-exitcode=99 "$bin" "$2" >/dev/null 2>"$dir/log" || status=$?
  equal "$1" "$status" "exit status"
  ! grep -q '^==' "$dir/log" || fail "valgrind: $(cat "$dir/log")"
}
for c in "0 empty" "0 short" "0 odd" "255 missing" "255 ."; do
  row "${c#* }" clean "${c% *}" "$dir/${c#* }"
done
finish
