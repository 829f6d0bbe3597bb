#!/bin/sh
# Fails unless the daemon's executable exports orvikevtd_log_entry and
# orvikevtd_event_origin as functions and no other symbol defined by the daemon's own objects (the
# archive and main object given after it). Symbols of runtimes linked into
# the executable are not the daemon's and are not looked at, nor are the
# sanitizer option hooks a sanitizer build defines for its runtime to find,
# nor inline members of the standard library that the executable happens to
# instantiate: the linker exports those whenever a linked shared library
# uses them too, so that one copy serves the process.
set -eu
exe=$1
shift
exported=$(nm -D --defined-only "$exe" | awk 'NF == 3 {print $2, $3}' | sed 's/@.*//' | sort -u)
own=$(nm --defined-only "$@" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[A-Z]$/ {print $3}' | sort -u)
status=0
for wanted in orvikevtd_log_entry orvikevtd_event_origin; do
  if ! printf '%s\n' "$exported" | grep -qx "T $wanted"; then
    echo "not exported as a function: $wanted"
    status=1
  fi
done
for sym in $(printf '%s\n' "$exported" | awk '{print $2}' | sort -u); do
  case "$sym" in
    orvikevtd_log_entry | orvikevtd_event_origin | __asan_default_* | __ubsan_default_* | __tsan_default_* | __lsan_default_* | \
      _ZNSt* | _ZNKSt* | _ZSt*)
      continue ;;
  esac
  if printf '%s\n' "$own" | grep -qxF "$sym"; then
    echo "exported but private to the daemon: $sym"
    status=1
  fi
done
exit $status
