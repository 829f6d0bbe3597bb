#!/bin/sh
# check_test_names.sh BUILD_DIR
# Fails when a CTest test of BUILD_DIR has a name that is not readable and
# stable: a parameterised or typed GoogleTest case named by a bare index (no
# name generator), or a name that carries a printed parameter (raw bytes of
# pointers change from build to build, so `ctest -R` could not rely on them).
set -eu
names=$(ctest --test-dir "$1" -N | sed -n 's/^ *Test *#[0-9]*: //p')
[ -n "$names" ] || { echo "no tests listed in $1" >&2; exit 2; }
bad=$(printf '%s\n' "$names" | grep -E '#|-byte object|/[0-9]+(\.|<|$)' || true)
if [ -n "$bad" ]; then
  echo "test names that are not readable and stable:"
  printf '%s\n' "$bad"
  exit 1
fi
