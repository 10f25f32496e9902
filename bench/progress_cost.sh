#!/usr/bin/env bash
# bench/progress_cost.sh [rounds] -- what --progress costs a run whose
# standard error is a terminal: one large file (PROGRESS_MIB, default 512)
# and a tree of small files (PROGRESS_FILES of 4 KiB, default 20000), each
# encrypted and decrypted in place with and without the option, under a
# pseudo-terminal (script(1)) in both cases. The runs alternate within each
# round, so that a slow moment of the machine hits both alike; the figures
# are medians, and the ratio is the time with the line to the time without.
#
# The files live on a tmpfs mounted for the run when running as root,
# otherwise in /dev/shm (or /tmp).
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=${1:-5}
mib=${PROGRESS_MIB:-512}
files=${PROGRESS_FILES:-20000}
command -v script >/dev/null || { echo "progress_cost: needs script(1) (bsdutils)" >&2; exit 1; }
build="$top/build-bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=OFF -DOSTREL_BENCH=ON >/dev/null
cmake --build "$build" --target ostrel -j 2 >/dev/null
ostrel="$build/bin/ostrel"

# shellcheck source=bench/lib.sh
source "$top/bench/lib.sh"
bench_workdir progress 3g 1m
head -c $((mib << 20)) /dev/urandom >"$work/big"
make_tree "$work/tree" "$files" 4096

# on_terminal ARGS...: microseconds of one run of ostrel ARGS in $work with
# standard error (and output) a pseudo-terminal.
on_terminal() {
  local start end
  start=$(date +%s%N)
  (cd "$work" && script -qefc "$(printf '%q ' "$ostrel" "$@")" /dev/null >/dev/null)
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

declare -A times
cases=("file of $mib MiB|big|big.osl|" "tree of $files files|-r tree|-r tree|")
for ((r = 0; r < rounds; r++)); do
  for c in "${cases[@]}"; do
    IFS='|' read -r what enc dec _ <<<"$c"
    for flag in "" --progress; do
      # shellcheck disable=SC2086 # the operands are words on purpose
      times["$what|$flag|e"]+=" $(on_terminal $flag -K k $enc)"
      # shellcheck disable=SC2086
      times["$what|$flag|d"]+=" $(on_terminal $flag -d -K k $dec)"
    done
  done
done

bench_machine
echo "$rounds rounds, medians (ms); standard error a pseudo-terminal"
printf '%-24s %10s %10s %8s   %10s %10s %8s\n' "" "encrypt" "+progress" "ratio" "decrypt" "+progress" "ratio"
for c in "${cases[@]}"; do
  IFS='|' read -r what _ <<<"$c"
  line=$(printf '%-24s' "$what")
  for op in e d; do
    # shellcheck disable=SC2086
    plain=$(median ${times["$what||$op"]})
    # shellcheck disable=SC2086
    shown=$(median ${times["$what|--progress|$op"]})
    line+=$(awk -v a="$plain" -v b="$shown" 'BEGIN { printf " %10.1f %10.1f %8.3f  ", a / 1000, b / 1000, b / a }')
  done
  echo "$line"
done
