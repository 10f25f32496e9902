#!/usr/bin/env bash
# ./fuzz.sh [seconds] [target...] -- builds the fuzz targets with clang and
# libFuzzer and runs each for that many seconds (default 60), one after the
# other, on a working copy of its seed corpus in fuzz/build/corpus/<target>.
# Prints the executions of each run and appends them to fuzz/build/runs.tsv.
#
# ./fuzz.sh --regress [runs] -- runs every target for a fixed number of
# executions (default 2000) from its committed corpus, as ./test.sh does; any
# finding fails.
#
# ./fuzz.sh --merge [target...] -- adds to fuzz/corpus/<target> the inputs
# of the working corpus that add coverage to it.
#
# Findings are kept in fuzz/build/artifacts/. Reproduce one with
#   fuzz/build/<target> fuzz/build/artifacts/<target>-crash-...
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build="$top/fuzz/build"
all_targets="fuzz_read_line fuzz_decrypt fuzz_keychange fuzz_unixcrypt fuzz_in_place fuzz_options"

# Inputs larger than this gain nothing: the stream targets cycle their
# split sizes, and the in-place target makes its files from a seed.
max_len() {
  case "$1" in
    fuzz_in_place|fuzz_options) echo 512 ;;
    *) echo 4096 ;;
  esac
}

mode=time
seconds=60
runs=2000
case "${1:-}" in
  --regress) mode=regress; shift; [ $# -gt 0 ] && { runs=$1; shift; } ;;
  --merge) mode=merge; shift ;;
  ''|*[!0-9]*) ;;
  *) seconds=$1; shift ;;
esac
targets=${*:-$all_targets}

cxx=$(command -v clang++ || command -v clang++-14 || true)
cc=$(command -v clang || command -v clang-14 || true)
if [ -z "$cxx" ] || [ -z "$cc" ]; then
  echo "fuzz.sh: clang is not installed (Debian: clang libclang-rt-14-dev)" >&2
  exit 2
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" >/dev/null
fi
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets >/dev/null

mkdir -p "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
for t in $targets; do
  seeds="$top/fuzz/corpus/${t#fuzz_}"
  mkdir -p "$seeds"
  common=(-max_len="$(max_len "$t")" -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1)
  log="$build/$t.log"
  case $mode in
    regress)
      work=$(mktemp -d)
      if "$build/$t" "${common[@]}" -runs="$runs" -seed=1 "$work" "$seeds" >"$log" 2>&1; then
        echo "fuzz.sh: $t: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log" | tail -1)"
      else
        echo "fuzz.sh: $t: FINDING (log: $log)" >&2
        tail -40 "$log" >&2
        status=1
      fi
      rm -rf "$work"
      ;;
    time)
      work="$build/corpus/${t#fuzz_}"
      mkdir -p "$work"
      start=$(date +%s)
      if "$build/$t" "${common[@]}" -max_total_time="$seconds" "$work" "$seeds" >"$log" 2>&1; then
        result=ok
      else
        result=FINDING
        status=1
      fi
      done_runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || echo 0)
      elapsed=$(( $(date +%s) - start ))
      printf '%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$t" "$elapsed" "${done_runs:-0}" "$result" >>"$build/runs.tsv"
      echo "fuzz.sh: $t: ${done_runs:-0} executions in ${elapsed}s: $result"
      [ "$result" = ok ] || tail -40 "$log" >&2
      ;;
    merge)
      work="$build/corpus/${t#fuzz_}"
      mkdir -p "$work"
      # Adds to the committed corpus only what adds coverage to it; the
      # hand-made seeds stay.
      "$build/$t" "${common[@]}" -merge=1 "$seeds" "$work" >"$log" 2>&1
      echo "fuzz.sh: $t: $(ls "$seeds" | wc -l) inputs in fuzz/corpus/${t#fuzz_}"
      ;;
  esac
done
if [ "$mode" = time ] && [ -f "$build/runs.tsv" ]; then
  awk -F'\t' '{ runs[$2] += $4; secs[$2] += $3 } END {
    for (t in runs) { printf "fuzz.sh: total %s: %d executions, %d s\n", t, runs[t], secs[t]; all += runs[t]; cpu += secs[t] }
    printf "fuzz.sh: total: %d executions, %d s of CPU time\n", all, cpu }' "$build/runs.tsv"
fi
exit $status
