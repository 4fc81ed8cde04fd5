#!/bin/sh
# Run by ctest after the tests (CTEST_CUSTOM_POST_TEST of the build folder's CTestCustom.cmake):
# says why each skipped test was skipped, which ctest itself only names. The reasons are read
# from the log of the run: a "SKIP: reason" line of a test's output, GoogleTest's "Skipped"
# followed by the message, or pytest's "SKIPPED [N] place: reason". Never fails the run.
#   skipped.sh [LOG]     (default: Testing/Temporary/LastTest.log.tmp of the current folder)
log=${1:-Testing/Temporary/LastTest.log.tmp}
[ -f "$log" ] || log=Testing/Temporary/LastTest.log
[ -f "$log" ] || exit 0
awk '
  /^[0-9]+\/[0-9]+ Testing: / { sub(/^[0-9]+\/[0-9]+ Testing: /, ""); test = $0; reason = 0; next }
  /^SKIP: / { sub(/^SKIP: /, ""); print "  " test ": " $0; next }
  /^SKIPPED \[[0-9]+\] / { sub(/^SKIPPED \[[0-9]+\] /, ""); print "  " test ": " $0; next }
  /: Skipped$/ { reason = 1; next }
  reason && /^\[  SKIPPED \]/ { reason = 0; next }
  reason && NF > 0 { print "  " test ": " $0 }
' "$log" > "${TMPDIR:-/tmp}/obsquilt-skipped.$$"
if [ -s "${TMPDIR:-/tmp}/obsquilt-skipped.$$" ]; then
  echo "Why tests were skipped:"
  cat "${TMPDIR:-/tmp}/obsquilt-skipped.$$"
fi
rm -f "${TMPDIR:-/tmp}/obsquilt-skipped.$$"
exit 0
