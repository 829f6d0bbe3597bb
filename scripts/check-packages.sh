#!/bin/sh
# Checks the packages scripts/package.sh built:
#   scripts/check-packages.sh OUTDIR ARCH...
# - lintian on every package: no error, no warning that the packages do not
#   override (the README lists the overrides and why);
# - each architecture's packages unpacked into a scratch folder (dpkg-deb -x)
#   and run from there, library paths pointed at it: the daemon with the
#   shipped configuration (its paths moved into the folder), the shipped
#   modules and one built with the -dev packages through pkg-config, the
#   tools sending over TLS with a certificate the packaged helper made;
#   armhf binaries run under qemu-arm after their ELF headers are checked
#   (32-bit ARM, hard-float, the libraries' SONAMEs);
# - the unit's exposure figure (systemd-analyze security), at most 1.5;
# - the maintainer scripts run by dpkg: install, upgrade from the previous
#   build with the service running, removal, purge (check_maintainer_scripts).
set -eu
[ $# -ge 2 ] || { echo "usage: $0 OUTDIR ARCH..." >&2; exit 64; }
out=$1
shift
top=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(orvik VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/orvik-packages.XXXXXX")
daemon_pid=""
nats_pid=""
cleanup() {
  if [ -n "$daemon_pid" ]; then kill -KILL "$daemon_pid" 2>/dev/null || true; fi
  if [ -n "$nats_pid" ]; then kill -KILL "$nats_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

fail() {
  echo "check-packages: $*" >&2
  exit 1
}

# Polls (bounded) until FILE contains the fixed string TEXT.
wait_for() {
  file=$1 text=$2 tries=${3:-200}
  while [ "$tries" -gt 0 ]; do
    if [ -f "$file" ] && grep -qF -- "$text" "$file"; then return 0; fi
    tries=$((tries - 1))
    sleep 0.1
  done
  fail "'$text' did not appear in $file"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

check_lintian() {
  echo "--- lintian"
  # Every warning is either fixed or overridden in the package with a reason.
  lintian --fail-on error,warning "$@" ||
    fail "lintian reports errors or warnings"
}

# The configuration the package installs is a conffile, and it is the file
# the daemon reads without -f: started without one (on a machine where that
# file does not exist), the daemon's system calls show which path it opens.
check_conffile() {
  deb=$1 root=$2 libdir=$3 arch=$4
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/orvik/orvikevtd.conf ||
    fail "/etc/orvik/orvikevtd.conf is not a conffile of $deb"
  if [ -e /etc/orvik/orvikevtd.conf ]; then
    echo "--- skipped: the default configuration path (this machine has /etc/orvik/orvikevtd.conf)"
    return 0
  fi
  trace=$scratch/default-config.$arch.trace
  status=0
  if [ "$arch" = armhf ]; then
    qemu-arm -L / -strace -E LD_LIBRARY_PATH="$libdir" "$root/usr/sbin/orvikevtd" -D \
      -l "$scratch/default-config.log" 2>"$trace" || status=$?
  else
    LD_LIBRARY_PATH="$libdir" strace -f -e trace=open,openat -o "$trace" \
      "$root/usr/sbin/orvikevtd" -D -l "$scratch/default-config.log" 2>/dev/null || status=$?
  fi
  [ "$status" -eq 2 ] || fail "the daemon without a configuration ended with $status, not 2"
  grep -qF '"/etc/orvik/orvikevtd.conf"' "$trace" ||
    fail "the daemon's default configuration is not /etc/orvik/orvikevtd.conf"
}

# ELF checks of the armhf binaries: every one 32-bit ARM with the hard-float
# calling convention, the libraries with the SONAMEs programs link against.
check_armhf_elf() {
  root=$1
  echo "--- armhf ELF headers"
  count=0
  for f in $(find "$root" -type f); do
    case "$(file -b "$f")" in
      ELF*) ;;
      *) continue ;;
    esac
    count=$((count + 1))
    file -b "$f" | grep -q 'ELF 32-bit LSB .*ARM, EABI5' || fail "$f: $(file -b "$f")"
    readelf -A "$f" | grep -q 'Tag_ABI_VFP_args: VFP registers' || fail "$f is not hard-float"
  done
  [ "$count" -ge 6 ] || fail "only $count ELF files in the armhf packages"
  libdir=$root/usr/lib/arm-linux-gnueabihf
  for pair in libtarnu.so.1.0.0:libtarnu.so.1 libcomm.so.1.0.0:libcomm.so.1 \
              liborvik.so.0.1.0:liborvik.so.0 liborvikclient.so.1.0.0:liborvikclient.so.1; do
    lib=${pair%%:*} soname=${pair##*:}
    readelf -d "$libdir/$lib" | grep -q "(SONAME).*\[$soname\]" || fail "$lib: SONAME is not $soname"
  done
  readelf -d "$root/usr/sbin/orvikevtd" | grep -q 'NEEDED.*\[libtarnu.so.1\]' ||
    fail "the armhf daemon does not link libtarnu.so.1"
}

# A handler module and a libtarnu program built only from the unpacked -dev
# packages, each with one pkg-config line (the .pc files are relocatable).
build_with_dev_packages() {
  root=$1 libdir=$2 cc=$3
  echo "--- building against the -dev packages"
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  pkg-config --cflags tarnu | grep -qF -- "-I$libdir/pkgconfig/" ||
    fail "tarnu.pc does not point into the unpacked tree: $(pkg-config --cflags tarnu)"
  cat >"$scratch/host_module.c" <<'MODULE'
/* Appends "host flags" per event to the file given as argument. */
#include <orvik/event_p.h>
#include <stdio.h>

static FILE *out;

int module_init(char *args) {
  out = args != NULL ? fopen(args, "a") : NULL;
  return out == NULL;
}

int handle_event(EventData *event) {
  char host[EVENTDATA_TEXT_SIZE];
  int len = sizeof(host);
  if (eventdata_get_hostname(event, host, &len) != 0) return 1;
  if (fprintf(out, "%s %u\n", host, (unsigned)event->flags) < 0) return 1;
  return fflush(out) != 0;
}

int module_cleanup(void) { return fclose(out); }
MODULE
  # shellcheck disable=SC2046
  $cc -shared -fPIC -Wall -Werror -o "$scratch/host_module.so" "$scratch/host_module.c" \
    $(pkg-config --cflags --libs orvikevtd) || fail "a module does not build with orvikevtd.pc"
  cat >"$scratch/crc_program.c" <<'PROGRAM'
#include <stdio.h>
#include <stdint.h>
#include <tarnu/crc.h>
int main(void) {
  uint32_t crc = 0;
  if (crc32_buffer(&crc, (const unsigned char *)"123456789", 9) != 0) return 1;
  printf("%08x\n", (unsigned)crc);
  return 0;
}
PROGRAM
  # shellcheck disable=SC2046
  $cc -Wall -Werror -o "$scratch/crc_program" "$scratch/crc_program.c" \
    $(pkg-config --cflags --libs tarnu) || fail "a program does not build with tarnu.pc"
  # An application sending one acknowledged event through liborvikclient-dev:
  #   client_program CAFILE PORT
  cat >"$scratch/client_program.c" <<'PROGRAM'
#include <orvik/client.h>
#include <string.h>
int main(int argc, char **argv) {
  OrvikClientOptions *options = NULL;
  OrvikClient *client = NULL;
  EventData event;
  char daemons[64] = "127.0.0.1:";
  uint64_t lost = 1;
  if (argc != 3 || orvik_client_options_new(&options) != 0) return 2;
  strncat(daemons, argv[2], 8);
  orvik_client_options_set(options, "daemons", daemons);
  orvik_client_options_set(options, "ca_file", argv[1]);
  int rc = orvik_client_new(&client, options);
  orvik_client_options_free(&options);
  if (rc != 0) return 3;
  memset(&event, 0, sizeof event);
  strcpy(event.hostname, "pkg-client");
  strcpy(event.object, "acknowledged");
  rc = orvik_client_send(client, &event, 10000);
  orvik_client_free(&client, 60000, &lost);
  return rc != 0 || lost != 0;
}
PROGRAM
  # shellcheck disable=SC2046
  # (its own dependencies, libcomm and liborvik, are found in the same folder)
  $cc -Wall -Werror -o "$scratch/client_program" "$scratch/client_program.c" \
    $(pkg-config --cflags --libs orvikclient) -Wl,-rpath-link,"$libdir" ||
    fail "a program does not build with orvikclient.pc"
  unset PKG_CONFIG_PATH
}

# The shipped configuration with every absolute path moved under ROOT, the
# port made free, the counting module and the module built above added.
write_config() {
  root=$1 conf=$2 port=$3 module=$4
  sed -E -e 's/^#(MODULE .*orvik_count\.so)/\1/' \
         -e '/^[A-Z]/s# /# '"$root"'/#g' \
         -e '/^EVENTPORT /d' "$root/etc/orvik/orvikevtd.conf" >"$conf"
  grep -q '^MODULE .*orvik_count.so' "$conf" || fail "the shipped configuration has no counting module line"
  {
    echo "EVENTPORT $port"
    echo "MODULE $module $root/hosts.txt"
    if [ -f "$root/usr/lib/orvikevtd/orvik_sqlite.so" ]; then
      echo "MODULE $root/usr/lib/orvikevtd/orvik_sqlite.so $root/var/lib/orvik/events.db"
    fi
    if [ -n "$nats_port" ]; then
      echo "MODULE $root/usr/lib/orvikevtd/orvik_nats.so $root/nats.conf"
    fi
  } >>"$conf"
  # The folders of the files the configuration names (the service's
  # LogsDirectory and RuntimeDirectory on a real system).
  for path in $(awk '/^[A-Z]/ { for (i = 2; i <= NF; i++) print $i }' "$conf"); do
    case "$path" in "$root"/*) mkdir -p "$(dirname "$path")" ;; esac
  done
  mkdir -p "$root/var/log"
}

# Starts the unpacked daemon (through the words in $launch), sends events
# with the unpacked tools, checks what each module wrote, stops it.
# A JetStream server for the NATS module's package, where that package and
# nats-server are there; sets nats_port (empty otherwise).
start_nats() {
  root=$1
  nats_port=""
  [ -f "$root/usr/lib/orvikevtd/orvik_nats.so" ] || return 0
  if ! command -v nats-server >/dev/null 2>&1; then
    echo "--- skipped: the NATS module (nats-server is not installed)"
    return 0
  fi
  nats_port=$(free_port)
  nats-server -js -a 127.0.0.1 -p "$nats_port" -sd "$root/nats-store" >"$root/nats.log" 2>&1 &
  nats_pid=$!
  wait_for "$root/nats.log" "Server is ready" 100
  printf 'SERVERS nats://127.0.0.1:%s\nSTREAM ORVIKPKG\nSUBJECT orvik.pkg\n' "$nats_port" \
    >"$root/nats.conf"
}

# Polls (bounded) until COMMAND prints WANT.
wait_for_output() {
  want=$1 tries=$2
  shift 2
  while [ "$tries" -gt 0 ]; do
    got=$("$@" 2>/dev/null || true)
    [ "$got" = "$want" ] && return 0
    tries=$((tries - 1))
    sleep 0.2
  done
  fail "$* printed '$got', not '$want'"
}

run_daemon_and_tools() {
  root=$1 module=$2
  port=$(free_port)
  start_nats "$root"
  conf=$root/orvikevtd-test.conf
  log=$root/var/log/orvikevtd.log
  write_config "$root" "$conf" "$port" "$module"
  helper=$root/usr/libexec/orvikevtd/orvikevtd-certificate
  made=$("$helper" "$conf")
  [ -n "$made" ] || fail "orvikevtd-certificate made nothing"
  cert=$(awk '$1 == "PUBLICKEY" { print $2; exit }' "$conf")
  before=$(cksum <"$cert")
  [ -z "$("$helper" "$conf")" ] && [ "$(cksum <"$cert")" = "$before" ] ||
    fail "orvikevtd-certificate replaced a configured certificate"

  run() { $launch "$@"; }
  [ "$(run "$root/usr/sbin/orvikevtd" -V)" = "$(printf '\norvikevtd - version %s\n' "$version")" ] ||
    fail "orvikevtd -V does not print version $version"

  # The check the unit runs before every start passes on the shipped
  # configuration, and writes nothing to the log.
  run "$root/usr/sbin/orvikevtd" -t -f "$conf" -l "$log" 2>"$root/check.err" ||
    fail "orvikevtd -t refuses the shipped configuration: $(cat "$root/check.err")"
  [ ! -s "$log" ] || fail "orvikevtd -t wrote to the log"
  $launch "$root/usr/sbin/orvikevtd" -D -f "$conf" -l "$log" 2>"$root/daemon.err" &
  daemon_pid=$!
  wait_for "$log" "System ready." 600
  [ "$(grep -c 'Module loaded successfully' "$log")" -eq "$(grep -c '^MODULE ' "$conf")" ] ||
    fail "not every module loaded: $(cat "$log")"

  counts=$(awk '$1 == "MODULE" && $2 ~ /orvik_count/ { print $3; exit }' "$conf")
  run "$root/usr/bin/orvikevt-bench" -c "$cert" -H 127.0.0.1 -p "$port" -j 2 -n 400 \
    -w "$counts" -t 120 >"$root/bench.out" ||
    fail "orvikevt-bench: $(cat "$root/bench.out")"
  run "$root/usr/bin/orvikevt-send" -c "$cert" -H 127.0.0.1 -p "$port" -s pkg-host -F 7 \
    -o package 'sent from the unpacked package' || fail "orvikevt-send failed"
  events=$(awk '$1 == "MODULE" && $2 ~ /orvik_eventlog/ { print $3; exit }' "$conf")
  wait_for "$events" 'data="sent from the unpacked package"' 300
  wait_for "$root/hosts.txt" "pkg-host 7" 300
  # 2 x 400 records from the bench, 1 from orvikevt-send.
  if [ -f "$root/usr/lib/orvikevtd/orvik_sqlite.so" ] && command -v sqlite3 >/dev/null 2>&1; then
    wait_for_output 801 150 sqlite3 "$root/var/lib/orvik/events.db" 'SELECT count(*) FROM events'
  fi
  if [ -n "$nats_port" ]; then
    wait_for_output 801 150 run "$root/usr/bin/orvikevt-read" -f "$root/nats.conf" -n
  fi

  run "$scratch/client_program" "$cert" "$port" || fail "an acknowledged event through liborvikclient failed"
  wait_for "$events" 'host=pkg-client object=acknowledged' 300

  kill -TERM "$daemon_pid"
  status=0
  wait "$daemon_pid" || status=$?
  daemon_pid=""
  [ "$status" -eq 0 ] || fail "the daemon ended with status $status; its log ends: $(tail -n 8 "$log")"
  grep -q "Server shutdown." "$log" || fail "no orderly shutdown in the log"
  if [ -n "$nats_pid" ]; then
    kill -TERM "$nats_pid"
    wait "$nats_pid" || true
    nats_pid=""
  fi
}

# The package a previous build made (scripts/package.sh keeps the last
# build's packages in OUTDIR/previous), or, without one, this build's
# orvikevtd package repacked with a lower version: what an upgrade starts
# from. Prints its path.
previous_package() {
  for deb in "$out"/previous/amd64/orvikevtd_*.deb; do
    [ -f "$deb" ] || continue
    echo "$deb $(depending_on_daemon "$out"/previous/amd64/lib*.deb)"
    return 0
  done
  dir=$scratch/previous
  rm -rf "$dir"
  mkdir -p "$dir"
  # The library packages that depend on orvikevtd (its comm and orvik
  # libraries) are repacked with it: they need the daemon's version.
  paths=""
  for current in $(ls "$out"/amd64/orvikevtd_*.deb) $(depending_on_daemon "$out"/amd64/lib*.deb); do
    name=$(dpkg-deb -f "$current" Package)
    rm -rf "$dir/tree"
    dpkg-deb -R "$current" "$dir/tree"
    sed -i -e 's/^Version: \(.*\)$/Version: \1~previous/' \
      -e '/^Depends:/s/(>= \([^)]*\))/(>= \1~previous)/g' "$dir/tree/DEBIAN/control"
    dpkg-deb -b "$dir/tree" "$dir/${name}_previous.deb" >/dev/null
    paths="$paths $dir/${name}_previous.deb"
  done
  echo "$paths"
}

# Of the given packages, those whose Depends name orvikevtd.
depending_on_daemon() {
  for deb in "$@"; do
    [ -f "$deb" ] && dpkg-deb -f "$deb" Depends | grep -qE '(^|, )orvikevtd( |,|$)' && echo "$deb"
  done
  return 0
}

# The maintainer scripts of orvikevtd, run for real by dpkg in a mount and
# network namespace whose /etc, /var and /usr are overlays and /run a fresh
# tmpfs (the machine's own stay untouched), with a stand-in for systemctl
# that runs the installed unit's daemon (tests/packaging/systemctl_stand_in.sh):
# - installing creates the user orvik and a self-signed certificate whose key
#   that group reads, and does not start the service;
# - upgrading from the previous build with the service running restarts it
#   (it serves afterwards) and keeps the administrator's edited conffile; an
#   upgrade with the service stopped leaves it stopped;
# - removing stops it;
# - purging removes the certificate made, but not a key the administrator
#   put in place of the one made (after the upgrade, and after a fresh
#   installation of this build).
check_maintainer_scripts() {
  echo "--- maintainer scripts: install, upgrade, remove, purge"
  if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1; then
    echo "--- skipped: the maintainer scripts (they need root and unshare)"
    return 0
  fi
  work=$scratch/maint
  mkdir -p "$work"
  for dir in etc var usr; do mkdir -p "$work/$dir.upper" "$work/$dir.work"; done
  previous=$(previous_package)
  echo "    upgrading from $(dpkg-deb -f "$(echo $previous | cut -d' ' -f1)" Version) to $(dpkg-deb -f "$out"/amd64/orvikevtd_*.deb Version)"
  cat >"$work/run.sh" <<'SCRIPT'
set -eu
work=$1 libraries=$2 previous=$3 current=$4 stand_in=$5
mount --make-rprivate /
for dir in etc var usr; do
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$work/$dir.upper,workdir=$work/$dir.work" "/$dir"
done
mount -t tmpfs tmpfs /run
mkdir -p /run/systemd/system /run/lock
ip link set lo up
install -m 755 "$stand_in" /usr/bin/systemctl
# A policy that forbids services to start (containers often have one) would
# keep the maintainer scripts from acting at all.
rm -f /usr/sbin/policy-rc.d
trap 'systemctl stop orvikevtd.service >/dev/null 2>&1 || true' EXIT
fail() {
  echo "maintainer scripts: $*" >&2
  if [ -f /var/log/orvik/orvikevtd.log ]; then
    echo "the daemon's log:" >&2
    tail -n 15 /var/log/orvik/orvikevtd.log >&2
  fi
  exit 1
}
dpkg_run() {
  DEBIAN_FRONTEND=noninteractive dpkg --force-confdef --force-confold "$@" >>"$work/dpkg.out" 2>&1 ||
    fail "dpkg $*: $(tail -n 20 "$work/dpkg.out")"
}
active() { systemctl is-active orvikevtd.service >/dev/null 2>&1; }
# The library packages that depend on orvikevtd (its comm and orvik
# libraries) go with it.
with_dependents=orvikevtd
independent=""
dependent_debs=""
for deb in $libraries; do
  if dpkg-deb -f "$deb" Depends | grep -q 'orvikevtd'; then
    with_dependents="$with_dependents $(dpkg-deb -f "$deb" Package)"
    dependent_debs="$dependent_debs $deb"
  else
    independent="$independent $deb"
  fi
done
pid() { cat /run/orvikevtd.stand-in.pid; }
conf=/etc/orvik/orvikevtd.conf

getent passwd orvik >/dev/null && fail "user orvik exists before the installation"
# shellcheck disable=SC2086
# shellcheck disable=SC2086
dpkg_run -i $independent $previous
getent passwd orvik >/dev/null || fail "the installation made no user orvik"
cert=$(awk '$1 == "PUBLICKEY" { print $2; exit }' "$conf")
key=$(awk '$1 == "PRIVATEKEY" { print $2; exit }' "$conf")
[ -f "$cert" ] && [ -f "$key" ] || fail "the installation made no certificate"
[ "$(stat -c %a:%G "$key")" = 640:orvik ] || fail "the key is $(stat -c %a:%G "$key"), not 640:orvik"
openssl x509 -in "$cert" -noout || fail "the installation made no valid certificate"
! active || fail "the installation started the service"

echo "# edited by the administrator" >>"$conf"
systemctl start orvikevtd.service || fail "the service does not start"
before=$(pid)
dpkg_run -i $dependent_debs "$current"
grep -qx "# edited by the administrator" "$conf" || fail "the upgrade replaced the edited $conf"
active || fail "the upgrade left the service stopped"
[ "$(pid)" != "$before" ] || fail "the upgrade did not restart the service"
[ "$(stat -c %a /var/log/orvik)" = 750 ] || fail "/var/log/orvik is $(stat -c %a /var/log/orvik), not 750"
/usr/bin/orvikevt-send -c "$cert" -H 127.0.0.1 -p 5011 -s upgraded -o package 'after the upgrade' ||
  fail "the upgraded service does not take events"
tries=100
until grep -qF 'data="after the upgrade"' /var/log/orvik/events.log 2>/dev/null; do
  tries=$((tries - 1))
  [ "$tries" -gt 0 ] || fail "the event sent after the upgrade is not in /var/log/orvik/events.log"
  sleep 0.1
done
[ "$(stat -c %a /var/log/orvik/events.log)" = 640 ] ||
  fail "events.log is $(stat -c %a /var/log/orvik/events.log), not 640"

systemctl stop orvikevtd.service
dpkg_run -i $dependent_debs "$current"
! active || fail "an upgrade started a stopped service"

systemctl start orvikevtd.service || fail "the service does not start again"
running=$(pid)
# shellcheck disable=SC2086
dpkg_run -r $with_dependents
! kill -0 "$running" 2>/dev/null || fail "the removal left the daemon running"

# The administrator's own key in place of the one made: a purge keeps it,
# and removes the certificate the installation made (a previous build that
# recorded no checksums leaves both, so this runs on a fresh installation).
replace_key() {
  openssl genpkey -algorithm ec -pkeyopt ec_paramgen_curve:prime256v1 -out "$key.own" 2>/dev/null
  mv "$key.own" "$key"
}
replace_key
# shellcheck disable=SC2086
dpkg_run -P $with_dependents
[ -f "$key" ] || fail "the purge removed the administrator's key"
[ ! -e /var/log/orvik ] || fail "the purge left /var/log/orvik"
rm -f "$key" "$cert"
# shellcheck disable=SC2086
dpkg_run -i $libraries "$current"
[ -f "$cert" ] && [ -f "$key" ] || fail "a fresh installation made no certificate"
replace_key
# shellcheck disable=SC2086
dpkg_run -P $with_dependents
[ -f "$key" ] || fail "the purge removed the administrator's key"
[ ! -e "$cert" ] || fail "the purge left the certificate the installation made"
SCRIPT
  # The shared libraries the daemon and its tools need (not the -dev packages).
  libraries=$(ls "$out"/amd64/lib*.deb | grep -E '/lib[a-z]+[0-9]+_' | tr '\n' ' ')
  unshare -m -n sh "$work/run.sh" "$work" "$libraries" "$previous" \
    "$(ls "$out"/amd64/orvikevtd_*.deb)" "$top/tests/packaging/systemctl_stand_in.sh" ||
    fail "the maintainer scripts failed"
}

# The unit as packaged: systemd-analyze verify, and its exposure (systemd's
# figure for how much of the system the service can reach) at most 1.5.
check_unit() {
  root=$1
  unit=$root/lib/systemd/system/orvikevtd.service
  echo "--- the unit's sandbox"
  if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "--- skipped: the unit (systemd-analyze is not installed)"
    return 0
  fi
  exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 |
    sed -n 's/.*Overall exposure level for orvikevtd.service: \([0-9.]*\).*/\1/p')
  [ -n "$exposure" ] || fail "systemd-analyze security gave no exposure for $unit"
  echo "    exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' || fail "the unit's exposure is $exposure, above 1.5"
}

# Unpacks ARCH's packages and checks them; armhf binaries run under qemu-arm.
check_arch() {
  arch=$1
  echo "=== $arch packages ==="
  root=$scratch/$arch
  mkdir -p "$root"
  for deb in "$out/$arch"/*.deb; do dpkg-deb -x "$deb" "$root"; done
  case "$arch" in
    amd64) triplet=x86_64-linux-gnu cc=cc runner="" ;;
    armhf) triplet=arm-linux-gnueabihf cc=arm-linux-gnueabihf-gcc runner="qemu-arm -L /" ;;
    *) fail "no checks for $arch" ;;
  esac
  libdir=$root/usr/lib/$triplet
  # The words that start a program of the tree: one process, so that the
  # daemon's PID is the one to signal.
  if [ -n "$runner" ]; then
    launch="$runner -E LD_LIBRARY_PATH=$libdir"
  else
    launch="env LD_LIBRARY_PATH=$libdir"
  fi
  [ "$arch" != armhf ] || check_armhf_elf "$root"
  check_unit "$root"
  check_conffile "$out/$arch"/orvikevtd_*.deb "$root" "$libdir" "$arch"
  build_with_dev_packages "$root" "$libdir" "$cc"
  [ "$($launch "$scratch/crc_program")" = 0376e6e7 ] ||
    fail "the program built against libtarnu-dev computes a wrong CRC"
  echo "--- daemon, modules and tools from the unpacked packages${runner:+, under qemu-arm}"
  run_daemon_and_tools "$root" "$scratch/host_module.so"
}

debs=""
for arch in "$@"; do
  ls "$out/$arch"/*.deb >/dev/null 2>&1 || fail "no packages in $out/$arch"
  debs="$debs $(ls "$out/$arch"/*.deb)"
done
# shellcheck disable=SC2086
check_lintian $debs
for arch in "$@"; do
  check_arch "$arch"
  [ "$arch" != amd64 ] || check_maintainer_scripts
done
echo "Packages checked: $*"
