#!/bin/sh
# run_fuzzer.sh FUZZER SEED_DIR RUNS [libFuzzer flags...]
# Runs FUZZER for RUNS iterations on a scratch copy of the seed corpus.
set -eu
fuzzer=$1 seeds=$2 runs=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
[ -d "$seeds" ] && cp -r "$seeds"/. "$work/corpus/" 2>/dev/null || true
cd "$work"
"$fuzzer" -runs="$runs" -max_len=8192 -rss_limit_mb=2048 "$@" "$work/corpus"
