#!/usr/bin/env bash
# bench/tree_compare.sh PROGRAM_A PROGRAM_B [files] [rounds] -- two builds
# of the program side by side on one tree of small files (in 100
# directories), in place and through temporary files: each round runs A and
# B alternately over a fresh copy of the tree (encryption, then decryption
# back), and the median wall time per file of each is printed with their
# ratio B / A. For comparing a change with the version before it.
set -eu
a=$1
b=$2
files=${3:-10000}
rounds=${4:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-tree-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir "$work/template"
for ((i = 0; i < files; ++i)); do
  d="$work/template/d$((i % 100))"
  [ -d "$d" ] || mkdir "$d"
  printf 'small file %d\n' "$i" > "$d/f$i"
done

# One pass: encryption then decryption of a fresh copy; seconds.
pass() { # pass PROGRAM WRITING
  rm -rf "$work/t"
  cp -a "$work/template" "$work/t"
  local start end
  start=$(date +%s.%N)
  (cd "$work" && "$1" $2 -e -q -K k -r t && "$1" $2 -d -q -K k -r t)
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

echo "$(lscpu | sed -n 's/^Model name: *//p'), $files files, $rounds rounds, $(df -T "$work" | awk 'NR==2 {print $2}')"
for writing in "" "-T"; do
  : > "$work/a.times"
  : > "$work/b.times"
  for ((r = 0; r < rounds; ++r)); do
    pass "$a" "$writing" >> "$work/a.times"
    pass "$b" "$writing" >> "$work/b.times"
  done
  ta=$(median < "$work/a.times")
  tb=$(median < "$work/b.times")
  printf '%-10s A %.1f us/file  B %.1f us/file  B/A %.3f\n' "${writing:-in place}" \
    "$(echo "$ta * 1000000 / (2 * $files)" | bc -l)" "$(echo "$tb * 1000000 / (2 * $files)" | bc -l)" \
    "$(echo "$tb / $ta" | bc -l)"
done
