#!/bin/sh
# Cross-builds everything for armhf and runs the unit tests under qemu-arm.
# End-to-end tests (label e2e) start daemons and clients as separate
# processes and stay on the build host.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh base armhf
JOBS=${JOBS:-$(nproc)}
cmake --preset armhf >/dev/null
cmake --build --preset armhf -j "$JOBS"
ctest --preset armhf -j "$JOBS" --timeout 900
