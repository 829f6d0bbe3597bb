#!/bin/sh
# Prints the system calls a unit's SystemCallFilter= lines allow, one a line,
# as systemd computes them: the first line without '~' is the allow list, each
# line with '~' takes its calls out again; groups (@name) are expanded with
# systemd-analyze, which needs no running systemd. The calls of @default are
# always allowed.
#   unit_syscall_list.sh UNIT
# Exit status 77 when systemd-analyze is not installed.
set -eu
[ $# -eq 1 ] || { echo "usage: $0 UNIT" >&2; exit 64; }
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze is not installed" >&2; exit 77; }
unit=$1

# The calls of the names given, groups expanded (recursively).
expand() {
  for name in "$@"; do
    case "$name" in
      @*)
        members=$(systemd-analyze syscall-filter "$name" | sed -n '2,$p' | sed -e 's/^ *//' -e '/^#/d' -e '/^$/d')
        # shellcheck disable=SC2086
        expand $members
        ;;
      *) echo "$name" ;;
    esac
  done
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/unit-syscalls.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
: >"$scratch/allowed"
: >"$scratch/denied"
sed -n 's/^SystemCallFilter=//p' "$unit" >"$scratch/lines"
[ -s "$scratch/lines" ] || { echo "$unit has no SystemCallFilter=" >&2; exit 1; }
while read -r line; do
  case "$line" in
    "~"*)
      # shellcheck disable=SC2086
      expand ${line#\~} >>"$scratch/denied" ;;
    *)
      # shellcheck disable=SC2086
      expand $line >>"$scratch/allowed" ;;
  esac
done <"$scratch/lines"
sort -u "$scratch/allowed" >"$scratch/allowed.sorted"
sort -u "$scratch/denied" >"$scratch/denied.sorted"
{
  comm -23 "$scratch/allowed.sorted" "$scratch/denied.sorted"
  expand @default
} | sort -u
