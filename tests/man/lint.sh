#!/bin/sh
# Formats a manual page with groff (all warnings on) and with man (as a reader sees it at 80
# columns); any message fails the test. Exit 77 (skipped) when groff or man is missing.
page=$1
command -v groff >/dev/null && command -v man >/dev/null || { echo "SKIP: groff or man missing"; exit 77; }
msgs=$( { groff -ww -z -man "$page"; MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >/dev/null; } 2>&1)
[ -z "$msgs" ] && exit 0
printf '%s\n' "$msgs"
exit 1
