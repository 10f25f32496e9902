#!/usr/bin/env bash
# bench/fsync_cost.sh [files] [bytes] [rounds] -- what it costs to make
# temporary-file writing (-T) durable.
#
# The input file is removed once the result has its name; so that a crash
# cannot lose both, the program syncs the result's data before the rename
# and the directory after it. This script measures what that costs: the
# same runs with the fault-test interposer preloaded in its OSTREL_FSYNC_SKIP
# mode, where every fsync returns at once, give the time without it.
#
# It encrypts and decrypts `files` files of `bytes` bytes each (default
# 1000 x 4096) on a disk-backed directory ($TMPDIR or /var/tmp; tmpfs would
# make fsync free), alternating plain and synced runs, and prints the median
# time per file of each.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
count=${1:-1000}
bytes=${2:-4096}
rounds=${3:-3}
build="${OSTREL_BUILD:-$top/build-rel}"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=ON >/dev/null
cmake --build "$build" -j 2 --target ostrel ostrel_fault_interposer >/dev/null
program="$build/bin/ostrel"
interposer="$build/tests/faults/fault_interposer.so"

work=$(mktemp -d "${TMPDIR:-/var/tmp}/ostrel-fsync-XXXXXX")
trap 'rm -rf "$work"' EXIT
fs=$(df -T "$work" | awk 'NR == 2 { print $2 }')
for ((i = 0; i < count; ++i)); do head -c "$bytes" /dev/urandom >"$work/f$i"; done
sync

# One timed -T pass over every file (encrypt, or decrypt back), in seconds.
pass() {
  local preload=$1
  shift
  local start end
  start=$(date +%s.%N)
  (cd "$work" && env ${preload:+LD_PRELOAD="$interposer" OSTREL_FSYNC_SKIP=1} \
      "$program" -T -q -K key "$@") >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}

names=()
for ((i = 0; i < count; ++i)); do names+=("f$i"); done
encrypted=()
for ((i = 0; i < count; ++i)); do encrypted+=("f$i.osl"); done

plain=() synced=()
for ((r = 0; r < rounds; ++r)); do
  for mode in plain synced; do
    preload=
    [ $mode = plain ] && preload=1
    t1=$(pass "$preload" "${names[@]}")
    t2=$(pass "$preload" -d "${encrypted[@]}")
    sync
    per=$(awk -v a="$t1" -v b="$t2" -v n="$count" 'BEGIN { printf "%.3f", (a + b) * 1000 / (2 * n) }')
    if [ $mode = plain ]; then plain+=("$per"); else synced+=("$per"); fi
  done
done
median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
p=$(median "${plain[@]}")
s=$(median "${synced[@]}")
echo "fsync_cost: $count files of $bytes bytes on $fs, $rounds rounds, -T encrypt + decrypt"
echo "fsync_cost: without fsync: $p ms per file (runs: ${plain[*]})"
echo "fsync_cost: with fsync:    $s ms per file (runs: ${synced[*]})"
awk -v p="$p" -v s="$s" 'BEGIN { printf "fsync_cost: cost of durability: %.3f ms per file (x%.1f)\n", s - p, s / p }'
