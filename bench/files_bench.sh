#!/usr/bin/env bash
# bench/files_bench.sh [build-directory] -- end-to-end timing of file
# processing through the built program: in-place encryption and decryption
# of one 1 GiB file and of a tree of 10,000 small files (and the same tree
# through temporary files), each with wall time and peak resident memory
# from /usr/bin/time -v. Run by hand; needs about 1.2 GiB free under
# ${TMPDIR:-/tmp}. The cost of the visited list alone is measured by the
# files_bench program that ./bench.sh runs.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$top/build-bench}
"$top/tools/ensure_packages.sh" cmake g++ make libcrypt-dev time >&2
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target ostrel -j 2 >/dev/null
ostrel="$build/bin/ostrel"

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-files-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# measure LABEL COMMAND... -- runs the command in $work, prints one row.
measure() {
  local label=$1
  shift
  if ! (cd "$work" && /usr/bin/time -v -o "$work/.time" "$@"); then
    echo "files_bench.sh: $label failed" >&2
    exit 1
  fi
  local wall rss
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/.time")
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/.time")
  printf '| %-44s | %10s | %9s |\n' "$label" "$wall" "$rss"
}

echo "ostrel $("$ostrel" -V | head -n 1 | awk '{print $2}' | sed 's/\.$//') on $(nproc) cores, $(uname -sr), $(df -hT "$work" | awk 'NR==2 {print $2}') at $work"
printf '| %-44s | %10s | %9s |\n' "run" "wall m:ss" "peak KiB"
printf '|%s|%s|%s|\n' "----------------------------------------------" "------------" "-----------"

# One 1 GiB file, in place.
head -c 1G /dev/urandom >"$work/big"
before=$(sha256sum <"$work/big")
measure "encrypt 1 GiB in place" "$ostrel" -K bench big
measure "decrypt 1 GiB in place" "$ostrel" -d -K bench big.osl
after=$(sha256sum <"$work/big")
[ "$before" = "$after" ] || { echo "files_bench.sh: 1 GiB round trip differs" >&2; exit 1; }
rm -f "$work/big"

# 100 directories of 100 files of about 1 KiB each.
line=$(printf '%0100d' 0)
body=$(for _ in 1 2 3 4 5 6 7 8 9 10; do printf '%s\n' "$line"; done)
for d in $(seq -w 0 99); do
  mkdir "$work/tree/$d" -p
  for f in $(seq -w 0 99); do
    printf '%s %s\n' "$d/$f" "$body" >"$work/tree/$d/f$f"
  done
done
count=$(find "$work/tree" -type f | wc -l)
measure "encrypt tree of $count files in place (-r)" "$ostrel" -r -K bench tree
measure "decrypt tree of $count files in place (-r)" "$ostrel" -d -r -K bench tree
measure "encrypt tree of $count files, -T (-r)" "$ostrel" -T -r -K bench tree
measure "decrypt tree of $count files, -T (-r)" "$ostrel" -T -d -r -K bench tree
left=$(find "$work/tree" -type f ! -name 'f??' | wc -l)
[ "$left" -eq 0 ] || { echo "files_bench.sh: $left files left with other names" >&2; exit 1; }
