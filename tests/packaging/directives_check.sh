#!/bin/sh
# The sample configuration, the README's directive table and the
# DIRECTIVES section of orvikevtd.conf(5) name the same directives.
#   directives_check.sh SOURCE_DIR
set -eu
src=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvik-directives.XXXXXX")
trap 'rm -rf "$tmp"' EXIT INT TERM

# Directive lines of the sample, set or commented out: "NAME value", "#NAME value".
sed -nE 's/^#?([A-Z][A-Z0-9]+) .*/\1/p' "$src/packaging/orvikevtd.conf.in" | sort -u >"$tmp/sample"
# Rows of the directive table in the README's "Configuration" section:
# "| `NAME` | default | meaning |".
sed -n '/^### Configuration/,/^##/p' "$src/README.md" |
  sed -nE 's/^\| `([A-Z][A-Z0-9]+)` \|.*/\1/p' | sort -u >"$tmp/readme"
# Entries of the manual page's DIRECTIVES section: ".BI NAME ...".
sed -n '/^\.SH DIRECTIVES/,/^\.SH /p' "$src/packaging/man/orvikevtd.conf.5" |
  sed -nE 's/^\.BI? "?([A-Z][A-Z0-9]+)[ "].*/\1/p' | sort -u >"$tmp/manual"

status=0
for name in $(cat "$tmp/sample" "$tmp/readme" | sort -u); do
  grep -qx "$name" "$tmp/manual" || { echo "not in orvikevtd.conf(5): $name"; status=1; }
done
for name in $(cat "$tmp/manual"); do
  grep -qx "$name" "$tmp/sample" || { echo "in orvikevtd.conf(5), not in the sample: $name"; status=1; }
done
if ! diff -u "$tmp/sample" "$tmp/readme" >"$tmp/diff"; then
  echo "the sample configuration and the README's table differ:"
  cat "$tmp/diff"
  status=1
fi
[ "$(wc -l <"$tmp/sample")" -ge 6 ] || { echo "too few directives found in the sample"; status=1; }
exit $status
