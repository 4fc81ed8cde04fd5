#!/bin/sh
# The command line of a program: --help and --version (and -h, -V) answer on standard output, exit 0 and
# leave the working directory as it was; an unknown option and each further bad command line
# given after the program exit 2 with "NAME: message" on the error stream.
#   usage.sh PROGRAM [BAD-ARGUMENT-LIST]...      (each list is one word, split at blanks)
set -u
program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
name=$(basename "$program")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
fail() { echo "FAIL: $name $*"; failed=1; }
failed=0

for opt in --help -h --version -V; do
  "$program" "$opt" >out 2>err
  status=$?
  [ "$status" -eq 0 ] || fail "$opt: exit $status"
  [ -s out ] || fail "$opt: nothing on standard output"
  [ -s err ] && fail "$opt: wrote to the error stream: $(cat err)"
  left=$(ls -A | grep -v -x -e out -e err)
  [ -z "$left" ] && continue
  fail "$opt: created $left"
  rm -rf -- $left
done
grep -q "^$name (obsquilt) [0-9]" out || fail "--version: no '$name (obsquilt) VERSION' line"

for args in --no-such-option "$@"; do
  # shellcheck disable=SC2086
  "$program" $args >out 2>err
  status=$?
  [ "$status" -eq 2 ] || fail "$args: exit $status, not 2"
  grep -q "^$name: " err || fail "$args: no '$name: message' on the error stream"
done
exit $failed
