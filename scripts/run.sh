#!/bin/sh
# Installs what is missing, builds, and runs the event daemon in the
# foreground on a working configuration kept under build/run/: on the first
# run it makes a self-signed certificate and a configuration that loads the
# shipped event-log and SQLite modules. Stop the daemon with Ctrl-C.
#   PORT=6000 ./scripts/run.sh     listen on another port than 5011
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh base
cmake --preset default >/dev/null
cmake --build --preset default -j "${JOBS:-$(nproc)}"

top=$(pwd)
run="$top/build/run"
port=${PORT:-5011}
mkdir -p "$run"
if [ ! -f "$run/server.pem" ] || [ ! -f "$run/server.key" ]; then
  echo "Making a self-signed certificate in $run"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$run/server.key" -out "$run/server.pem" -days 365 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1" 2>/dev/null
  chmod 600 "$run/server.key"
fi
if [ ! -f "$run/orvikevtd.conf" ]; then
  echo "Writing $run/orvikevtd.conf"
  cat >"$run/orvikevtd.conf" <<CONF
# Made by scripts/run.sh; packaging/orvikevtd.conf.in explains every directive.
PUBLICKEY $run/server.pem
PRIVATEKEY $run/server.key
EVENTPORT $port
FLUSHLOG yes
QUEUEFLUSH 1
SHUTDOWNDRAIN 10
MODULE $top/build/modules/orvik_eventlog.so $run/events.log
MODULE $top/build/modules/orvik_sqlite.so $run/events.db
CONF
fi
# A configuration made before the SQLite module existed gets it too.
if ! grep -q "orvik_sqlite.so" "$run/orvikevtd.conf"; then
  echo "Adding the SQLite module to $run/orvikevtd.conf"
  echo "MODULE $top/build/modules/orvik_sqlite.so $run/events.db" >>"$run/orvikevtd.conf"
fi
port=$(awk '$1 == "EVENTPORT" { print $2 }' "$run/orvikevtd.conf")

cat <<HOW
orvikevtd runs in the foreground on port ${port:-5011} (Ctrl-C stops it in order; Ctrl-\\ at once).
  Log of the daemon:   $run/orvikevtd.log
  Events received:     $run/events.log (written out at least once a second)
                       $run/events.db (SQLite, committed within a second)
Send an event from another terminal:
  $top/build/tools/orvikevt-send -c $run/server.pem -p ${port:-5011} -o disk 'disk /var is 91% full'
  printf 'one\ntwo\n' | $top/build/tools/orvikevt-send -c $run/server.pem -p ${port:-5011} -i
Ask the database while it runs:
  sqlite3 $run/events.db "SELECT id, datetime(received / 1000000, 'unixepoch'), hostname, object, CAST(data AS TEXT) FROM events ORDER BY id DESC LIMIT 10"
HOW
exec "$top/build/src/orvikevtd/orvikevtd" -D -f "$run/orvikevtd.conf" -l "$run/orvikevtd.log" "$@"
