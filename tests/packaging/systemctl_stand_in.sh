#!/bin/sh
# Stands in for systemctl where the package check runs the maintainer
# scripts (a mount and network namespace without a running systemd): it
# starts and stops orvikevtd.service as the installed unit says, for real:
# ExecStartPre and ExecStart as User= with UMask=, its Logs-, State- and
# RuntimeDirectory made with their modes, ready when the log says "System
# ready.", stopped with SIGTERM. Other units and verbs are accepted and do
# nothing; is-enabled says disabled.
set -eu
unit_file=/lib/systemd/system/orvikevtd.service
pid_file=/run/orvikevtd.stand-in.pid
log=/var/log/orvik/orvikevtd.log

verb=""
units=""
for arg in "$@"; do
  case "$arg" in
    -*) ;;
    *) if [ -z "$verb" ]; then verb=$arg; else units="$units $arg"; fi ;;
  esac
done

setting() { sed -n "s/^$1=//p" "$unit_file" | tail -n 1; }

# How often the log says "System ready." (0 before it exists).
ready_lines() {
  if [ -f "$log" ]; then grep -c 'System ready\.' "$log" || true; else echo 0; fi
}

running() {
  [ -f "$pid_file" ] && kill -0 "$(cat "$pid_file")" 2>/dev/null
}

make_directory() {
  name=$(setting "$1") mode=$(setting "$1Mode")
  [ -n "$name" ] || return 0
  mkdir -p "$2/$name"
  chown "$(setting User):$(setting Group)" "$2/$name"
  chmod "${mode:-0755}" "$2/$name"
}

# Runs the command as the unit's user with its umask, in this process.
exec_as_service_user() {
  exec setpriv --reuid="$(setting User)" --regid="$(setting Group)" --init-groups \
    sh -c "umask $(setting UMask); exec \"\$@\"" sh "$@"
}

start() {
  running && return 0
  make_directory LogsDirectory /var/log
  make_directory StateDirectory /var/lib
  make_directory RuntimeDirectory /run
  pre=$(setting ExecStartPre)
  if [ -n "$pre" ]; then
    # shellcheck disable=SC2086
    # Its output goes where systemd would put it, the journal: here a file,
    # shown when the check fails.
    (exec_as_service_user ${pre#-}) >/run/orvikevtd.stand-in.pre.log 2>&1 || {
      echo "ExecStartPre failed: $pre" >&2
      cat /run/orvikevtd.stand-in.pre.log >&2
      return 1
    }
  fi
  before=$(ready_lines)
  # The daemon is the process started here (the subshell becomes it), so
  # that its PID is the one to signal.
  # shellcheck disable=SC2046
  (exec_as_service_user $(setting ExecStart)) </dev/null >/dev/null 2>&1 &
  echo $! >"$pid_file"
  tries=300
  while [ "$(ready_lines)" -le "$before" ]; do
    running || { echo "orvikevtd.service ended at start" >&2; return 1; }
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { echo "orvikevtd.service not ready" >&2; return 1; }
    sleep 0.1
  done
}

stop() {
  running || { rm -f "$pid_file"; return 0; }
  pid=$(cat "$pid_file")
  kill -TERM "$pid"
  tries=300
  while kill -0 "$pid" 2>/dev/null; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { echo "orvikevtd.service did not stop" >&2; return 1; }
    sleep 0.1
  done
  rm -f "$pid_file"
}

case " $units " in
  *" orvikevtd.service "* | *" orvikevtd "*) ;;
  *)
    [ "$verb" != is-enabled ] || { echo disabled; exit 1; }
    [ "$verb" != is-active ] || { echo inactive; exit 3; }
    exit 0
    ;;
esac
case "$verb" in
  start) start ;;
  stop) stop ;;
  restart) stop && start ;;
  try-restart) if running; then stop && start; fi ;;
  is-active) if running; then echo active; else echo inactive; exit 3; fi ;;
  is-enabled) echo disabled; exit 1 ;;
  *) ;;
esac
