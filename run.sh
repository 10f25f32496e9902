#!/usr/bin/env bash
# ./run.sh [ostrel arguments] -- builds the program on first use (installing
# missing Debian packages when run as root), then runs it. Only what the
# program needs: the tests and benchmarks stay off, so neither GoogleTest nor
# Google Benchmark is asked for, and the tree (build-run/) is apart from
# ./test.sh's build/.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build="$top/build-run"
"$top/tools/ensure_packages.sh" cmake g++ make libcrypt-dev >&2
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=OFF -DOSTREL_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target ostrel -j "$(nproc)" >/dev/null
exec -a ostrel "$build/bin/ostrel" "$@"
