#!/usr/bin/env bash
# The program under valgrind's memcheck: no invalid or uninitialised access and nothing
# left allocated at exit, on the paths that end early or short.
#   memcheck.sh ECBCAT
set -euo pipefail
bin=${1:?usage: memcheck.sh ECBCAT}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
: >"$dir/empty"
printf 'abcde' >"$dir/short"
head -c 100000 /dev/urandom >"$dir/odd"

passed=0 failed=0
check() {  # expected-status file
  local status=0
  valgrind -q --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
    --error-exitcode=99 "$bin" "$2" >/dev/null 2>"$dir/log" || status=$?
  if [[ $status -eq $1 ]] && ! grep -q '^==' "$dir/log"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $2: status $status, expected $1" && cat "$dir/log"
  fi
}
check 0 "$dir/empty"
check 0 "$dir/short"
check 0 "$dir/odd"
check 255 "$dir/missing"
check 255 "$dir"
echo "memcheck: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
