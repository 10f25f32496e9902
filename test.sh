#!/usr/bin/env bash
# ./test.sh -- builds everything with warnings as errors and runs the whole
# test suite. Exits non-zero on any failure, or when no test ran.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
jobs=$(nproc)
# libmcrypt is a test-only cross-check of the block cipher; the test reports
# itself skipped when it is absent.
"$top/tools/ensure_packages.sh" cmake g++ make libcrypt-dev libgtest-dev libbenchmark-dev \
  || exit 1
"$top/tools/ensure_packages.sh" libmcrypt-dev || echo "test.sh: libmcrypt-dev unavailable; its cross-check will be skipped" >&2

# The tree keeps one format (.clang-format); a file that strays fails here.
"$top/tools/ensure_packages.sh" clang-format >/dev/null 2>&1 || true
if command -v clang-format >/dev/null; then
  strays=$(cd "$top" && git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 -r clang-format --dry-run 2>&1 | sed -nE 's/^([^:]+):[0-9]+:[0-9]+: warning: code should be clang-formatted.*/\1/p' | sort -u || true)
  if [ -z "$strays" ]; then
    echo "test.sh: format: every file as .clang-format says"
  else
    echo "test.sh: format: these files stray from .clang-format (clang-format -i fixes them):" $strays >&2
    format_status=1
  fi
else
  echo "test.sh: clang-format unavailable; format check skipped" >&2
fi

# Every mutant of the catalogue must still name text that occurs exactly
# once where it says (no build): a change that moves a line under a mutant
# moves the mutant with it.
command -v python3 >/dev/null || "$top/tools/ensure_packages.sh" python3 || true
if ! python3 "$top/tools/mutate.py" --check; then
  echo "test.sh: the mutation catalogue is stale (tools/mutants.txt, above)" >&2
  format_status=1
fi

# A library includes its own headers and the public headers of the
# libraries below it, nothing else (the build refuses most such includes
# already; this also catches a path that climbs out with "..").
if ! python3 "$top/tools/check_layers.py"; then
  echo "test.sh: an include crosses the libraries' layers (above)" >&2
  format_status=1
fi

# CXX=clang++ ./test.sh builds everything with clang (C files with the
# matching clang unless CC says otherwise), in build trees of its own, since
# CMake keeps the compiler a tree was first configured with.
suffix=
if [ -n "${CXX:-}" ] && "$CXX" --version 2>/dev/null | head -n 1 | grep -qi clang; then
  suffix=-clang
  if [ -z "${CC:-}" ]; then
    CC=$(sed -E 's/clang\+\+/clang/' <<<"$CXX")
    export CC
  fi
fi
build="$top/build$suffix"
# Under the sanitizers' instrumentation GCC's -Wmaybe-uninitialized reports
# false positives inside libstdc++'s own headers (<regex>, std::function);
# the Release build keeps that warning as an error. clang has no such
# warning, and with -Werror it rejects a switch it does not know, so the
# sanitized builds below take this only from GCC.
no_false_uninit=
[ -n "$suffix" ] || no_false_uninit=-Wno-maybe-uninitialized
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_WERROR=ON -DOSTREL_TESTS=ON >/dev/null
cmake --build "$build" -j "$jobs"

# As root, the cases that run the program as another user must not depend on
# where the checkout lies: the build trees are made private, as they would
# be below a root user's home, so such a case passes only when it runs what
# it needs from a place every user can reach.
private_build() { # private_build DIR
  if [ "$(id -u)" -eq 0 ]; then chmod 0700 "$1"; fi
}
private_build "$build"

# The reason of every skipped case, from its own output (a GoogleTest skip
# prints "<file>:<line>: Skipped" and the reason on the next line).
skip_reasons() { # skip_reasons BUILD_DIR CTEST_LOG
  local name reason
  # Parameterised cases carry "  # GetParam() = ..." after their name.
  sed -nE 's/^[[:space:]]*[0-9]+ - ([^ ]+).* \(Skipped\)$/\1/p' "$2" | while IFS= read -r name; do
    reason=$(cd "$1" && ctest -R "^${name//./\\.}(  #.*)?\$" -V 2>/dev/null | grep -A1 -E ': Skipped$' | tail -n 1 | sed -E 's/^[0-9]+: //' || true)
    echo "test.sh: skipped $name: ${reason:-no reason given}"
  done
}

# One run's "passed failed skipped" from its log. ctest's summary line
# ("N% tests passed, F tests failed out of T") counts a skipped case as
# passed; the skipped ones are those it lists as "(Skipped)".
counts() { # counts CTEST_LOG
  local summary failed total skipped
  summary=$(grep -E '^[0-9]+% tests passed' "$1" | tail -n 1)
  failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
  skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$1" || true)
  echo "$((total - failed - skipped)) $failed $skipped"
}

log=$(mktemp)
reports=$(mktemp -d)
trap 'rm -rf "$log" "$reports"' EXIT
status=${format_status:-0}
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600) | tee "$log" || status=$?
skip_reasons "$build" "$log"
if ! grep -qE '^[0-9]+% tests passed' "$log" || grep -q 'No tests were found' "$log"; then
  echo "test.sh: no test ran" >&2
  exit 1
fi
read -r passed failed skipped < <(counts "$log")

# The whole suite again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer, the end-to-end tests running the sanitized
# program. Any report is fatal: the reporting process ends with status 86
# (which no test expects). AddressSanitizer and LeakSanitizer reports also
# go to files of their own, so one from a child whose status a test does not
# look at is caught too; GCC's UndefinedBehaviorSanitizer ignores log_path
# and reports on standard error only.
asan="$top/build-asan$suffix"
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer $no_false_uninit"
# -O1 with line tables only: the sanitizers' reports keep their file and
# line, and the build takes a good deal less time than at -O2 with full
# debug information.
cmake -S "$top" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_WERROR=ON -DOSTREL_TESTS=ON \
  -DCMAKE_CXX_FLAGS="$sanitize" -DCMAKE_C_FLAGS="$sanitize" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$asan" -j "$jobs"
private_build "$asan"
# Outside the build tree: children that tests run as an unprivileged user
# write here too.
chmod 1777 "$reports"
asan_status=0
(
  # verify_asan_link_order=0: the fault-injection tests preload their
  # interposer ahead of the sanitizer's runtime.
  # allocator_may_return_null=1: the program turns a failed allocation
  # into its own fatal message (status 2), which the suite tests.
  export ASAN_OPTIONS="halt_on_error=1:exitcode=86:detect_leaks=1:allocator_may_return_null=1:verify_asan_link_order=0:log_path=$reports/asan"
  export UBSAN_OPTIONS="halt_on_error=1:exitcode=86:print_stacktrace=1"
  # Left to the Release run: the package and installation checks, which
  # build and install the program afresh rather than run it, and the
  # randomised signal and kill loops, whose every case the deterministic
  # interrupt tests also run here.
  cd "$asan" && ctest --output-on-failure -j "$jobs" --timeout 600 \
    -E '^install[.]|[.]Random(Interrupt|Kill)[.]'
) | tee "$log" || asan_status=$?
if grep -qE '^[0-9]+% tests passed' "$log"; then
  read -r p f s < <(counts "$log")
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
else
  echo "test.sh: the sanitized suite did not run" >&2
  asan_status=1
fi
skip_reasons "$asan" "$log"
# The files also receive warnings (a refused allocation); a report is an
# error of a sanitizer or a runtime error.
found=$(grep -lE 'ERROR: [A-Za-z]+Sanitizer|runtime error' "$reports"/* 2>/dev/null || true)
if [ -n "$found" ]; then
  echo "test.sh: sanitizer reports:" >&2
  # shellcheck disable=SC2086
  cat $found >&2
  asan_status=1
fi
[ $asan_status -eq 0 ] || status=1

# ---- ThreadSanitizer on the drivers ------------------------------------------
# The drivers' helper thread (engine/io_overlap.h) against its caller, and
# the workers of -j against the thread that plans: the driver tests and the
# -j table, built with -fsanitize=thread in a folder of their own; any
# report fails them (exit code 66).
tsan="$top/build-tsan$suffix"
# -O1 with line tables only: a third quicker to build than RelWithDebInfo,
# and the reports still name files and lines.
tsan_flags="-O1 -g1 -fsanitize=thread -fno-omit-frame-pointer $no_false_uninit"
tsan_start=$(date +%s)
if cmake -S "$top" -B "$tsan" -DCMAKE_BUILD_TYPE=None -DOSTREL_WERROR=ON -DOSTREL_TESTS=ON \
  -DCMAKE_CXX_FLAGS="$tsan_flags" -DCMAKE_C_FLAGS="$tsan_flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null &&
  cmake --build "$tsan" -j "$jobs" --target engine_drivers_test ostrel files_e2e_test >/dev/null &&
  TSAN_OPTIONS="halt_on_error=1:exitcode=66" \
    "$tsan/tests/engine/engine_drivers_test" --gtest_brief=1 --gtest_filter='drivers.*:overlap*' &&
  # Files side by side (-j): the program itself under the sanitizer; a
  # report changes its standard error and status, which the table compares.
  TSAN_OPTIONS="halt_on_error=1:exitcode=66" \
    "$tsan/tests/files/files_e2e_test" --gtest_brief=1 --gtest_filter='Jobs.*:Progress.*'; then
  echo "test.sh: ThreadSanitizer on the drivers, on files side by side and on the status line: no report ($(($(date +%s) - tsan_start)) s)"
else
  echo "test.sh: ThreadSanitizer on the drivers failed (reports above)" >&2
  status=1
fi
# ---- End of ThreadSanitizer -------------------------------------------------

# A short fixed run of every fuzz target on its corpus, so that a change that
# breaks one of their properties fails here; ./fuzz.sh runs them for longer.
if "$top/tools/ensure_packages.sh" clang libclang-rt-14-dev; then
  "$top/fuzz.sh" --regress 2000 || status=1
else
  echo "test.sh: clang with libFuzzer unavailable; fuzz regression runs skipped" >&2
fi

# ---- Constant time ---------------------------------------------------------
# The cipher and the engine under valgrind's memcheck with keyword, key and
# plaintext marked secret (tests/engine/constant_time_probe.cpp, portable and
# AES-NI paths): a branch or memory address that depends on them is a report,
# and any report fails. The control run does a secret-indexed lookup on
# purpose and must be reported, or the probe would prove nothing. Configured
# again so that a valgrind installed just now is found.
if "$top/tools/ensure_packages.sh" valgrind; then
  probe="$build/tests/engine/constant_time_probe"
  cmake -S "$top" -B "$build" >/dev/null
  cmake --build "$build" -j "$jobs" --target constant_time_probe >/dev/null || status=1
  if valgrind --error-exitcode=1 --quiet "$probe" --control >/dev/null 2>&1; then
    echo "test.sh: memcheck did not report the constant-time probe's control run" >&2
    status=1
  elif ! valgrind --error-exitcode=1 --quiet "$probe"; then
    echo "test.sh: constant-time probe: memcheck reports above" >&2
    status=1
  else
    echo "test.sh: constant-time probe: no report"
  fi
else
  echo "test.sh: valgrind unavailable; constant-time probe skipped" >&2
fi
# ---- End of constant time ---------------------------------------------------

# One closing line over both runs of the suite, in the plain form
# "N passed, N failed, N skipped"; a failure outside the suite counts as one.
[ $status -eq 0 ] || [ "$failed" -gt 0 ] || failed=1
echo "test.sh: $passed passed, $failed failed, $skipped skipped"
exit $status
