#!/bin/sh
# The manual pages, written and generated, render without a single groff
# warning.
# Usage: render_test.sh SOURCE_DIR BUILD_DIR
set -u
status=0
for page in "$1"/man/*.[0-9] "$2"/man/*.[0-9]; do
  out=$(groff -ww -z -man "$page" 2>&1)
  if [ -n "$out" ]; then
    printf '%s:\n%s\n' "$page" "$out"
    status=1
  fi
done
exit $status
