#!/bin/sh
# One command scenario: the folder's `script` run by sh in a fresh directory, with the programs
# of the build tree first on PATH, BUILD (the build tree), SRC (the source tree), SHARED (the
# shared data beside it) and HERE (the scenario folder, for its input files) set; then its exit
# status, standard output and error stream compared with expected.status, expected.stdout and
# expected.stderr (each exact, each optional but the status). `needs PATH` in a script skips the scenario (status 77, with
# the reason) when PATH is absent under the shared folder.
#   run.sh FOLDER BUILD-DIR SOURCE-DIR SHARED-DIR
set -u
HERE=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
PATH=$BUILD:$PATH
SRC=$(cd "$3" && pwd)
case $4 in /*) SHARED=$4 ;; *) SHARED=$(pwd)/$4 ;; esac
export PATH SRC SHARED HERE BUILD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
needs() { [ -e "$SHARED/$1" ] || { echo "SKIP: $SHARED/$1 is absent"; exit 77; }; }
mkdir "$work/run"
(cd "$work/run" && . "$HERE/script") >"$work/out" 2>"$work/err"
status=$?
if [ "$status" -eq 77 ] && grep -q '^SKIP: ' "$work/out"; then
  cat "$work/out"
  exit 77
fi
failed=0
want=$(cat "$HERE/expected.status")
if [ "$status" != "$want" ]; then
  echo "FAIL: exit status $status, expected $want"
  failed=1
fi
for stream in out err; do
  file="$HERE/expected.std$stream"
  [ -f "$file" ] || continue
  if ! cmp -s "$file" "$work/$stream"; then
    echo "FAIL: std$stream differs (expected, then got):"
    diff "$file" "$work/$stream"
    failed=1
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "--- stdout:"; cat "$work/out"; echo "--- stderr:"; cat "$work/err"
fi
exit $failed
