#!/usr/bin/env bash
# ./bench.sh [benchmark arguments] -- builds the benchmark programs (Release)
# in build-bench and runs every one of them with the given arguments, for
# example --benchmark_filter=encrypt.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build="$top/build-bench"
"$top/tools/ensure_packages.sh" cmake g++ make libcrypt-dev libgtest-dev libbenchmark-dev >&2
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON -DOSTREL_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

ran=0
for program in $(find "$build/bench" -maxdepth 1 -type f -perm -u+x | sort); do
  echo "== $(basename "$program")"
  "$program" "$@"
  ran=$((ran + 1))
done
if [ "$ran" -eq 0 ]; then
  echo "bench.sh: no benchmark program was built" >&2
  exit 1
fi
