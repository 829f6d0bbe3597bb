#!/bin/sh
# Builds the release preset with benchmarks and runs them all (or those whose
# program name matches $1). Figures and ratios against the peers measured in
# the same run are printed by each program.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh base bench
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
pattern=${1:-}
for bench in build-release/bench/bench_*; do
  [ -x "$bench" ] || continue
  case "$(basename "$bench")" in *"$pattern"*) ;; *) continue ;; esac
  echo "=== $(basename "$bench") ==="
  "$bench"
done
