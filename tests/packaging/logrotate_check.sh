#!/bin/sh
# The shipped logrotate configuration: logrotate reads it without an error,
# and, pointed at a folder of its own, rotates as it says (the newest
# rotated file stays uncompressed, older ones are compressed) with its
# postrotate step succeeding where no service runs.
#   logrotate_check.sh SOURCE_DIR
set -eu
src=$1
command -v logrotate >/dev/null 2>&1 || { echo "logrotate is not installed"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvik-logrotate.XXXXXX")
trap 'rm -rf "$tmp"' EXIT INT TERM
shipped=$src/packaging/orvikevtd.logrotate

logrotate --debug --state "$tmp/debug-state" "$shipped" >"$tmp/debug" 2>&1 ||
  { cat "$tmp/debug"; echo "logrotate refuses the shipped configuration"; exit 1; }
if grep -q '^error' "$tmp/debug"; then cat "$tmp/debug"; exit 1; fi

mkdir "$tmp/logs"
sed "s|/var/log/orvik/|$tmp/logs/|" "$shipped" >"$tmp/conf"
for round in 1 2 3; do
  echo "line of round $round" >"$tmp/logs/orvikevtd.log"
  echo "event of round $round" >"$tmp/logs/events.log"
  logrotate --force --state "$tmp/state" "$tmp/conf" ||
    { echo "rotation $round failed"; exit 1; }
done
status=0
for name in orvikevtd events; do
  [ -f "$tmp/logs/$name.log.1" ] || { echo "no uncompressed $name.log.1"; status=1; }
  [ -f "$tmp/logs/$name.log.2.gz" ] || { echo "no compressed $name.log.2.gz"; status=1; }
  [ ! -e "$tmp/logs/$name.log" ] || { echo "$name.log made by logrotate, not the daemon"; status=1; }
done
grep -q 'round 3' "$tmp/logs/events.log.1" || { echo "events.log.1 is not the newest"; status=1; }
exit $status
