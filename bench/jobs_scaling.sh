#!/usr/bin/env bash
# bench/jobs_scaling.sh -- how files side by side (-j N) scale against one
# after the other (-j 1), for N = 1, 2, 4, ... up to the CPUs present (and
# their number itself), on two trees: large files and small files,
# encryption then decryption, in place (-r).
#
# Beside each speed-up (the -j 1 wall time over the -j N one) stands the
# CPU-time bound: the -j 1 run's user+system time spread over min(N, CPUs),
# as a speed-up over the -j 1 wall time, never above N. A -j 1 run that
# already keeps more than one CPU busy (the drivers' helper thread) leaves
# that much less to gain.
#
# The row "split" is the reference a user has without -j: one process per
# CPU started at once, each on its share of the tree.
#
# Each round runs every N once, in turn (forwards, then backwards in the
# next round), so that a slow moment of the machine hits all of them
# alike; the figures are medians over the rounds.
#
# Sizes (environment):
#   JOBS_LARGE_COUNT files of JOBS_LARGE_MIB MiB (default 16 x 64)
#   JOBS_SMALL_COUNT files of JOBS_SMALL_KIB KiB, 1000 to a directory
#     (default 20000 x 4)
#   JOBS_ROUNDS rounds (default 5)
# A quick look: JOBS_LARGE_COUNT=4 JOBS_LARGE_MIB=4 JOBS_SMALL_COUNT=2000
# JOBS_ROUNDS=1 bench/jobs_scaling.sh
#
# The file system is a tmpfs mounted for the run when running as root,
# otherwise a directory in /dev/shm (or /tmp when there is none).
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
large_count=${JOBS_LARGE_COUNT:-16}
large_mib=${JOBS_LARGE_MIB:-64}
small_count=${JOBS_SMALL_COUNT:-20000}
small_kib=${JOBS_SMALL_KIB:-4}
rounds=${JOBS_ROUNDS:-5}
build="$top/build-bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=OFF -DOSTREL_BENCH=ON >/dev/null
cmake --build "$build" --target ostrel -j 2 >/dev/null
ostrel="$build/bin/ostrel"

cpus=$(nproc)
jobs=()
for ((n = 1; n < cpus; n *= 2)); do jobs+=("$n"); done
jobs+=("$cpus")

# Both trees, each file's last page and inode, and room to spare.
size_mib=$((large_count * (large_mib + 1) + small_count * (small_kib + 8) / 1024 + 256))
# shellcheck source=bench/lib.sh
source "$top/bench/lib.sh"
bench_workdir jobs-scaling "${size_mib}m" $((small_count * 2 + 100000))

# timed ARGS...: "wall user system" in seconds of one run of ostrel in
# $work; the run must succeed.
timed() {
  local TIMEFORMAT='%3R %3U %3S' times
  times=$({ time (cd "$work" && "$ostrel" "$@" >/dev/null 2>&1); } 2>&1) || {
    echo "jobs_scaling.sh: ostrel $* failed" >&2
    exit 1
  }
  echo "$times"
}

# split_run e|d: wall seconds of the reference a user has without -j: one
# ostrel process per CPU, started at once, each on its share of the tree
# (its directories when there are enough of them, else its files).
split_run() {
  local units=() share start end i k pids=()
  mapfile -t units < <(cd "$work" && if [ "$(find t -mindepth 1 -maxdepth 1 -type d | wc -l)" -ge "$cpus" ]; then
    find t -mindepth 1 -maxdepth 1 -type d | sort
  else
    find t -type f | sort
  fi)
  start=$(date +%s%N)
  for ((i = 0; i < cpus; i++)); do
    share=()
    for ((k = i; k < ${#units[@]}; k += cpus)); do share+=("${units[k]}"); done
    (cd "$work" && "$ostrel" -j 1 -"$1" -q -K k -r "${share[@]}" >/dev/null 2>&1) &
    pids+=($!)
  done
  for i in "${pids[@]}"; do wait "$i" || { echo "jobs_scaling.sh: a reference process failed" >&2; exit 1; }; done
  end=$(date +%s%N)
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", (b - a) / 1e9}'
}

median() { sort -g | awk '{v[NR] = $1} END {print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

bench_machine
echo "$rounds rounds, medians; speed-up against -j 1, and the CPU-time bound"

for tree in large small; do
  rm -rf "$work/t"
  mkdir "$work/t"
  if [ $tree = large ]; then
    make_tree "$work/t" "$large_count" $((large_mib * 1048576))
    title="$large_count files of $large_mib MiB"
  else
    make_tree "$work/t" "$small_count" $((small_kib * 1024))
    title="$small_count files of $small_kib KiB"
  fi
  declare -A wall=() cpu=()
  for ((round = 0; round < rounds; round++)); do
    order=("${jobs[@]}")
    if ((round % 2)); then
      order=()
      for ((i = ${#jobs[@]} - 1; i >= 0; i--)); do order+=("${jobs[i]}"); done
    fi
    for n in "${order[@]}" split; do
      for op in e d; do
        if [ "$n" = split ]; then
          wall[${op}split]+="$(split_run "$op") "
          continue
        fi
        times=$(timed -j "$n" -"$op" -q -K k -r t)
        read -r w u s <<<"$times"
        wall[$op$n]+="$w "
        cpu[$op$n]+="$(awk -v u="$u" -v s="$s" 'BEGIN {print u + s}') "
      done
    done
  done
  left=$(find "$work/t" -type f ! -name 'f*[0-9]' | wc -l)
  [ "$left" -eq 0 ] || { echo "jobs_scaling.sh: $left files left with other names" >&2; exit 1; }
  echo
  echo "$title"
  printf '%-6s %10s %9s %7s   %10s %9s %7s\n' "" "encrypt" "speed-up" "bound" "decrypt" "speed-up" "bound"
  for n in "${jobs[@]}"; do
    row=()
    for op in e d; do
      w1=$(tr ' ' '\n' <<<"${wall[${op}1]}" | grep . | median)
      c1=$(tr ' ' '\n' <<<"${cpu[${op}1]}" | grep . | median)
      wn=$(tr ' ' '\n' <<<"${wall[$op$n]}" | grep . | median)
      row+=("$(awk -v w="$wn" 'BEGIN {printf "%.3f s", w}')")
      row+=("$(awk -v a="$w1" -v b="$wn" 'BEGIN {printf "x%.2f", (b > 0 ? a / b : 0)}')")
      row+=("$(awk -v w="$w1" -v c="$c1" -v n="$n" -v cpus="$cpus" 'BEGIN {
        m = n < cpus ? n : cpus; b = c > 0 ? m * w / c : n; if (b > n) b = n; printf "x%.2f", b }')")
    done
    printf '%-6s %10s %9s %7s   %10s %9s %7s\n' "-j $n" "${row[@]}"
  done
  row=()
  for op in e d; do
    w1=$(tr ' ' '\n' <<<"${wall[${op}1]}" | grep . | median)
    ws=$(tr ' ' '\n' <<<"${wall[${op}split]}" | grep . | median)
    row+=("$(awk -v w="$ws" 'BEGIN {printf "%.3f s", w}')")
    row+=("$(awk -v a="$w1" -v b="$ws" 'BEGIN {printf "x%.2f", (b > 0 ? a / b : 0)}')" "")
  done
  printf '%-6s %10s %9s %7s   %10s %9s %7s   (%s processes at once, a share each)\n' "split" "${row[@]}" "$cpus"
  unset wall cpu
done
echo
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
