#!/bin/sh
# Installs what is missing, builds, and runs the event daemon in the
# foreground on a working default configuration (see README).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh base
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
exec ./build/src/orvikevtd/orvikevtd-demo "$@"
