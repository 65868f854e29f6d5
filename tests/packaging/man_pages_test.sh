#!/usr/bin/env bash
# Renders each manual page with man-db, as `man -l` shows it to a reader,
# and fails on any warning groff gives (--warnings is groff's -ww).
#
# usage: man_pages_test.sh PACKAGING_DIR
# Exit status 0 passed, 1 failed, 77 skipped (man-db is not installed).
set -uo pipefail

dir=$1
command -v man >/dev/null || { echo "SKIP: man is not installed (Debian package man-db)"; exit 77; }

work=$(mktemp -d /tmp/brimvale-man-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
for page in brimvale-launcher.6 brimvale-publish.1 brimvale-update.1; do
  if [ ! -f "$dir/$page" ]; then
    echo "FAIL: $page is missing"
    failures=$((failures + 1))
    continue
  fi
  # A fixed width and locale, so a warning does not depend on the terminal.
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$dir/$page" >"$work/out" 2>"$work/err"
  status=$?
  name=${page%.*}
  if [ $status -ne 0 ] || [ -s "$work/err" ]; then
    echo "FAIL: man -l $page exited with $status:"
    cat "$work/err"
    failures=$((failures + 1))
  elif ! grep -q "^ *$name - " "$work/out"; then
    echo "FAIL: $page renders without the NAME line of $name"
    failures=$((failures + 1))
  else
    echo "ok: $page ($(wc -l <"$work/out") lines)"
  fi
done
[ $failures -eq 0 ]
