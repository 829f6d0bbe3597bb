#!/bin/sh
# Cross-builds everything for armhf and runs every test under qemu-arm: the
# unit tests, and the end-to-end and soak tests (labels e2e, soak) with the
# armhf daemon, modules and tools started through the toolchain's emulator,
# while the clients that are not ours (Python's ssl, openssl) stay native.
# Time limits are scaled by the toolchain's ORVIK_TIME_SCALE.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh base armhf
JOBS=${JOBS:-$(nproc)}
started=$(date +%s)
cmake --preset armhf >/dev/null
cmake --build --preset armhf -j "$JOBS"
built=$(date +%s)
ctest --preset armhf -j "$JOBS" --timeout 900
finished=$(date +%s)
echo "armhf stage: build $((built - started)) s, tests $((finished - built)) s"
