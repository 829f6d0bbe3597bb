#!/bin/sh
# Installs what is missing, then builds and runs every test:
#   1. the normal build (warnings as errors) through CTest;
#   2. the AddressSanitizer + UndefinedBehaviorSanitizer build through CTest;
#   3. the libFuzzer targets (clang, ASan + UBSan) for a short fixed number of runs;
#   4. the ThreadSanitizer build of the comm layer and the daemon (unit and
#      end-to-end tests);
#   5. the armhf cross build, its unit tests under qemu-arm;
#   6. the release build with the benchmarks (built, not run: so that
#      ./scripts/bench.sh cannot break unseen);
#   7. the Debian packages for amd64 and armhf, built and checked.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh base bench

JOBS=${JOBS:-$(nproc)}
for preset in default asan fuzz; do
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  echo "=== $preset tests ==="
  if [ "$preset" = fuzz ]; then
    ctest --test-dir build-fuzz --output-on-failure -j "$JOBS" --timeout 600
  else
    ctest --preset "$preset" -j "$JOBS" --timeout 600
  fi
done
echo "=== ThreadSanitizer build and tests ==="
./scripts/test-tsan.sh
echo "=== armhf cross build and tests ==="
./scripts/test-armhf.sh
echo "=== release build with the benchmarks (not run) ==="
cmake --preset release >/dev/null
cmake --build --preset release -j "$JOBS"
echo "=== Debian packages ==="
./scripts/package.sh --check
echo "All tests passed."
