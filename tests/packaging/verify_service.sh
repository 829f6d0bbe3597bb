#!/bin/sh
# Checks the configured systemd unit with systemd-analyze verify and the
# sysusers.d file with systemd-sysusers in a scratch root: the user the
# unit runs as is the one the file creates; the unit's sandbox rates an
# exposure of at most 1.5 (systemd-analyze security), it is of Type=notify
# with a watchdog, checks the configuration (orvikevtd -t) before every
# start, and keeps event data from other users (UMask=0027). The unit's program is replaced
# by the built one (verify requires it to exist; nothing else changes).
# Exits 77 (skipped) where systemd's tools are not installed.
#   verify_service.sh UNIT INSTALLED_PROGRAM BUILT_PROGRAM SYSUSERS_FILE
set -eu
unit=$1 installed=$2 built=$3 sysusers=$4
for tool in systemd-analyze systemd-sysusers; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "skipped: $tool is not installed (Debian package systemd)"
    exit 77
  fi
done
work=$(mktemp -d /tmp/verify_service_XXXXXX)
trap 'rm -rf "$work"' EXIT
sed "s#^\(ExecStart[A-Za-z]*=\)$installed #\1$built #" "$unit" >"$work/orvikevtd.service"
grep -q "^ExecStart=$built " "$work/orvikevtd.service" || {
  echo "the unit does not start $installed"; exit 1; }
# Warnings (an unknown or misspelt directive is only a warning) fail too.
if ! systemd-analyze verify "$work/orvikevtd.service" >"$work/verify.out" 2>&1 ||
  [ -s "$work/verify.out" ]; then
  echo "systemd-analyze verify:"; cat "$work/verify.out"; exit 1
fi
user=$(sed -n 's/^User=//p' "$unit")
group=$(sed -n 's/^Group=//p' "$unit")
[ -n "$user" ] && [ "$user" != root ] || { echo "the unit runs as root"; exit 1; }
mkdir -p "$work/root/etc"
systemd-sysusers --root="$work/root" "$sysusers" >"$work/sysusers.out" 2>&1 || {
  echo "systemd-sysusers:"; cat "$work/sysusers.out"; exit 1; }
grep -q "^$user:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin$" "$work/root/etc/passwd" || {
  echo "user $user not created as a system user without a login shell:"
  cat "$work/root/etc/passwd"; exit 1; }
grep -q "^$group:" "$work/root/etc/group" || { echo "group $group not created"; exit 1; }
grep -q '^LogsDirectory=orvik$' "$unit" || { echo "no LogsDirectory=orvik"; exit 1; }
grep -q ' -l /var/log/orvik/' "$unit" || { echo "the log is not under /var/log/orvik"; exit 1; }
exposure=$(systemd-analyze security --offline=true "$work/orvikevtd.service" 2>&1 |
  sed -n 's/.*Overall exposure level for orvikevtd.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || { echo "systemd-analyze security gave no exposure"; exit 1; }
awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' || {
  echo "exposure $exposure, above 1.5:"
  systemd-analyze security --offline=true "$work/orvikevtd.service" | grep '✗'
  exit 1; }
grep -q "^ExecStartPre=$installed -t -f " "$unit" || { echo "no configuration check before the start"; exit 1; }
for setting in Type=notify WatchdogSec=30 UMask=0027 LogsDirectoryMode=0750 StateDirectoryMode=0750; do
  grep -qx "$setting" "$unit" || { echo "no $setting"; exit 1; }
done
echo "unit and sysusers file verified (user $user, group $group, exposure $exposure)"
