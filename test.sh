#!/usr/bin/env bash
# ./test.sh -- builds everything with warnings as errors and runs the whole
# test suite. Exits non-zero on any failure, or when no test ran.
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
jobs=$(nproc)
# libmcrypt is a test-only cross-check of the block cipher; the test reports
# itself skipped when it is absent.
"$top/tools/ensure_packages.sh" cmake g++ make libcrypt-dev libgtest-dev libbenchmark-dev \
  || exit 1
"$top/tools/ensure_packages.sh" libmcrypt-dev || echo "test.sh: libmcrypt-dev unavailable; its cross-check will be skipped" >&2

build="$top/build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_WERROR=ON -DOSTREL_TESTS=ON >/dev/null
cmake --build "$build" -j "$jobs"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600) | tee "$log" || status=$?
if ! grep -qE '^[0-9]+% tests passed' "$log" || grep -q 'No tests were found' "$log"; then
  echo "test.sh: no test ran" >&2
  exit 1
fi
exit $status
