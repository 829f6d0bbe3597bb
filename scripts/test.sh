#!/bin/sh
# Installs what is missing, then builds and runs every test: the normal build
# (warnings as errors) and the AddressSanitizer + UndefinedBehaviorSanitizer
# build, each through CTest.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh base

JOBS=${JOBS:-$(nproc)}
for preset in default asan; do
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  echo "=== $preset tests ==="
  ctest --preset "$preset" -j "$JOBS" --timeout 600
done
echo "All tests passed."
