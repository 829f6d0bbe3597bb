#!/bin/sh
# Builds the libFuzzer targets (preset 'fuzz': clang, ASan + UBSan) and runs
# each for a fixed time on a scratch copy of its seed corpus, with its
# dictionary when there is one.
#
#   scripts/fuzz.sh [-t SECONDS] [-p PARALLEL] [-o DIR] [TARGET...]
#
#   -t SECONDS   time per target (default 60)
#   -p PARALLEL  targets run at the same time (default 1)
#   -o DIR       where each target's log, grown corpus and crash inputs go
#                (default fuzz-results/<date-time>)
#   TARGET       run only these (default: every target of fuzz/*.cmake)
#
# Exits 1 when any target found a crash, leak, timeout or out-of-memory
# input; the inputs are listed at the end and kept in DIR/<target>/. To turn
# a grown corpus into new seeds, minimize it first:
#   build-fuzz/fuzz/T -merge=1 fuzz/corpus/T DIR/T/corpus
set -eu
cd "$(dirname "$0")/.."

seconds=60
parallel=1
out=""
while getopts t:p:o:h opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    p) parallel=$OPTARG ;;
    o) out=$OPTARG ;;
    *) sed -n '2,18p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ -n "$out" ] || out=fuzz-results/$(date +%Y%m%d-%H%M%S)

cmake --preset fuzz >/dev/null
if [ $# -gt 0 ]; then
  targets="$*"
else
  # Every target registers a CTest test named fuzz_<target>.
  targets=$(ctest --test-dir build-fuzz -N -L fuzz | sed -n 's/^ *Test *#[0-9]*: fuzz_//p')
fi
[ -n "$targets" ] || { echo "no fuzz targets found" >&2; exit 2; }
set --
for t in $targets; do set -- "$@" --target "$t"; done
cmake --build --preset fuzz -j "${JOBS:-2}" "$@"

mkdir -p "$out"
out=$(cd "$out" && pwd)

# run_one TARGET: runs one target; its log goes to $out/TARGET/log.
run_one() {
  t=$1
  dir=$out/$t
  mkdir -p "$dir/corpus"
  if [ -d "fuzz/corpus/$t" ]; then cp -r "fuzz/corpus/$t/." "$dir/corpus/"; fi
  # The dictionary CTest gives the target, if any.
  dict=$(ctest --test-dir build-fuzz -N -V -R "^fuzz_$t\$" | grep -o -- '-dict=[^ "]*' | head -n 1)
  start=$(date +%s)
  # A finding ends the target's run; its input is kept in $dir.
  status=0
  (cd "$dir" && "$OLDPWD/build-fuzz/fuzz/$t" -max_total_time="$seconds" -max_len=8192 \
      -rss_limit_mb=2048 -timeout=25 -print_final_stats=1 -artifact_prefix="$dir/" \
      $dict corpus >log 2>&1) || status=$?
  end=$(date +%s)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)
  cov=$(grep -ao 'cov: [0-9]*' "$dir/log" | tail -n 1)
  echo "$t: $((end - start)) s, ${runs:-?} runs, ${cov:-cov: ?}, exit $status"
}

running=0
for t in $targets; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait
    running=0
  fi
done
wait

found=$(find "$out" -maxdepth 2 -type f \
          \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
if [ -n "$found" ]; then
  echo "Findings (reproduce with build-fuzz/fuzz/<target> <file>):"
  echo "$found"
  exit 1
fi
echo "No findings. Logs and grown corpora in $out"
