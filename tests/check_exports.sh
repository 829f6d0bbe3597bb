#!/bin/sh
# Fails when the library exports a defined symbol that is not in the list of
# documented names, or when a documented name is missing.
set -eu
lib=$1
allowed=$2
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWDBR]$/ {print $3}' | sed 's/@.*//' | sort -u)
status=0
for sym in $actual; do
  if ! grep -qx "$sym" "$allowed"; then
    echo "exported but not documented: $sym"
    status=1
  fi
done
for sym in $(grep -v '^#' "$allowed"); do
  if ! printf '%s\n' $actual | grep -qx "$sym"; then
    echo "documented but not exported: $sym"
    status=1
  fi
done
exit $status
