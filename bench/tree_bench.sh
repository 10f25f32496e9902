#!/usr/bin/env bash
# bench/tree_bench.sh [counts...] -- the cost per file of one run over a
# tree of many small files (512 bytes, 1000 to a directory) on tmpfs, at
# each count (default 20000 200000 1000000): encryption then decryption in
# place (-r) and through temporary files (-T -r), each timed on its own,
# printed in microseconds per file, with each count's ratio to the first.
# A run's cost per file should not grow with the number of files.
#
# The file system is a tmpfs mounted for the run when running as root,
# otherwise a directory in /dev/shm (or /tmp when there is none).
# TREE_BASELINE=PROGRAM runs another build alongside, at counts up to
# 200,000 (an older build whose cost grows with the count would take hours
# at a million). TREE_ARGS adds options to every run (e.g. "-j 1" for one
# file after the other). Needs about 5 KiB of memory per file (a tmpfs page
# and an inode each).
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(20000 200000 1000000)
build="$top/build-bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=OFF -DOSTREL_BENCH=ON >/dev/null
cmake --build "$build" --target ostrel -j 2 >/dev/null
ostrel="$build/bin/ostrel"
baseline=${TREE_BASELINE:-}
read -r -a extra <<<"${TREE_ARGS:-}"

# shellcheck source=bench/lib.sh
source "$top/bench/lib.sh"
bench_workdir tree-bench 6g 4m

# timed PROGRAM ARGS...: wall seconds of one run in $work.
timed() {
  local start end
  start=$(date +%s%N)
  (cd "$work" && "$@")
  end=$(date +%s%N)
  echo "$(((end - start) / 1000))"
}

bench_machine
printf '%-10s %-9s %12s %12s %12s %12s\n' files program "encrypt" "decrypt" "-T encrypt" "-T decrypt"
declare -A first
for count in "${counts[@]}"; do
  rm -rf "$work/t"
  mkdir "$work/t"
  make_tree "$work/t" "$count" 512
  programs=("ostrel:$ostrel")
  if [ -n "$baseline" ] && [ "$count" -le 200000 ]; then programs+=("baseline:$baseline"); fi
  for entry in "${programs[@]}"; do
    label=${entry%%:*}
    program=${entry#*:}
    row=()
    for writing in "" "-T"; do
      # shellcheck disable=SC2086
      e=$(timed "$program" "${extra[@]}" $writing -e -q -K k -r t)
      # shellcheck disable=SC2086
      d=$(timed "$program" "${extra[@]}" $writing -d -q -K k -r t)
      row+=("$(awk -v us="$e" -v n="$count" 'BEGIN {printf "%.2f", us / n}')")
      row+=("$(awk -v us="$d" -v n="$count" 'BEGIN {printf "%.2f", us / n}')")
    done
    left=$(find "$work/t" -type f ! -name 'f*[0-9]' | wc -l)
    [ "$left" -eq 0 ] || { echo "tree_bench.sh: $left files left with other names" >&2; exit 1; }
    printf '%-10s %-9s %9s us %9s us %9s us %9s us' "$count" "$label" "${row[@]}"
    key="$label"
    if [ -z "${first[$key]:-}" ]; then
      first[$key]="${row[*]}"
      echo
    else
      read -r -a f <<<"${first[$key]}"
      printf '   x%.2f x%.2f x%.2f x%.2f (to %s files)\n' \
        "$(awk -v a="${row[0]}" -v b="${f[0]}" 'BEGIN {print a / b}')" \
        "$(awk -v a="${row[1]}" -v b="${f[1]}" 'BEGIN {print a / b}')" \
        "$(awk -v a="${row[2]}" -v b="${f[2]}" 'BEGIN {print a / b}')" \
        "$(awk -v a="${row[3]}" -v b="${f[3]}" 'BEGIN {print a / b}')" "${counts[0]}"
    fi
  done
done
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
