#!/usr/bin/env bash
# tools/test-arm64.sh -- cross-builds ostrel and its tests for arm64 and runs
# the whole suite under qemu-user emulation, end-to-end tests included (they
# start the arm64 program, which binfmt_misc hands to qemu). As root on
# Debian 12 it first installs what is missing: the cross compiler, the arm64
# libraries through multiarch, and the emulator. Ends with
# "test-arm64.sh: N passed, M failed, S skipped"; exits non-zero on any
# failure or when no test ran.
#
# qemu's CPU models all have the AES instructions, so the arm64 suite runs
# the armv8 cipher path by default; the cipher tests and a second run of the
# engine stream suite force the portable path through the tests' switch.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
build="$top/build-arm64"
say() { echo "test-arm64.sh: $*"; }

# ---- What the build and the emulation need ----------------------------------
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  if [ "$(id -u)" -ne 0 ]; then
    say "the arm64 architecture is not enabled; as root: dpkg --add-architecture arm64 && apt-get update" >&2
    exit 1
  fi
  say "enabling the arm64 architecture"
  dpkg --add-architecture arm64
  apt-get update -qq >/dev/null
fi
# libstdc++6 and libgcc-s1 for arm64 are what the built programs load at run
# time (the cross compiler's own copies sit where the arm64 loader does not
# look). The emulator is qemu-user-static, Debian's other provider of
# qemu-user-binfmt: qemu-user's own qemu-aarch64 is linked dynamically, so
# the machine's loader would read the LD_PRELOAD that the fault tests mean
# for the arm64 program and complain on its standard error.
"$top/tools/ensure_packages.sh" cmake make g++-aarch64-linux-gnu qemu-user qemu-user-static \
  libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64 libcrypt-dev:arm64 libgtest-dev:arm64 ||
  exit 1
# libmcrypt-dev is not installed for arm64: Debian's package cannot sit beside
# the machine's own, which ./test.sh uses, and installing one removes the
# other. Its cross-check of the cipher reports itself skipped here.

# arm64 programs, and every program they start, run through binfmt_misc:
# its file system mounted and qemu-aarch64 registered as the package says
# (systemd does both at boot; a container without systemd has to do it
# here). An entry left from qemu-user-binfmt lacks the F flag, with which the
# kernel opens the emulator once at registration, so it is registered anew.
binfmt=/proc/sys/fs/binfmt_misc
conf=/usr/lib/binfmt.d/qemu-aarch64.conf
as_root() { # as_root WHAT
  if [ "$(id -u)" -ne 0 ]; then
    say "$1 needs root" >&2
    exit 1
  fi
}
if [ ! -e "$binfmt/register" ]; then
  as_root "mounting binfmt_misc"
  mount -t binfmt_misc binfmt_misc "$binfmt"
fi
sorted() { fold -w1 <<<"$1" | sort | tr -d '\n'; }
wanted_flags=$(grep -v '^#' "$conf" | head -n 1 | awk -F: '{print $NF}')
if [ -e "$binfmt/qemu-aarch64" ] &&
  [ "$(sorted "$(sed -nE 's/^flags: (.*)/\1/p' "$binfmt/qemu-aarch64")")" != "$(sorted "$wanted_flags")" ]; then
  as_root "registering qemu-aarch64 anew"
  echo -1 >"$binfmt/qemu-aarch64"
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  as_root "registering qemu-aarch64 with binfmt_misc"
  grep -v '^#' "$conf" | head -n 1 >"$binfmt/register"
fi
if [ "$(head -n 1 "$binfmt/qemu-aarch64")" != enabled ]; then
  say "the qemu-aarch64 entry of binfmt_misc is disabled" >&2
  exit 1
fi

# ---- Cross build --------------------------------------------------------------
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/aarch64-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DOSTREL_WERROR=ON -DOSTREL_TESTS=ON >/dev/null
cmake --build "$build" -j "$jobs"
# As in ./test.sh: a root user's build tree is private, so the cases that run
# the program as another user must take it from where every user can reach.
if [ "$(id -u)" -eq 0 ]; then chmod 0700 "$build"; fi

# A check that the emulation works before the suite depends on it.
if ! "$build/bin/ostrel" -V >/dev/null 2>&1; then
  say "the arm64 program does not run here (binfmt_misc, qemu-aarch64, arm64 libraries)" >&2
  exit 1
fi

# ---- The suite under emulation ------------------------------------------------
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 900) | tee "$log" || status=$?
# The reason of every skipped case, from its own output.
sed -nE 's/^[[:space:]]*[0-9]+ - ([^ ]+).* \(Skipped\)$/\1/p' "$log" | while IFS= read -r name; do
  reason=$(cd "$build" && ctest -R "^${name//./\\.}(  #.*)?\$" -V 2>/dev/null | grep -A1 -E ': Skipped$' | tail -n 1 | sed -E 's/^[0-9]+: //' || true)
  say "skipped $name: ${reason:-no reason given}"
done
summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1 || true)
if [ -z "$summary" ] || grep -q 'No tests were found' "$log"; then
  say "no test ran" >&2
  exit 1
fi
# ctest counts a skipped case among the passed ones.
failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$log" || true)
passed=$((total - failed - skipped))
[ "$status" -eq 0 ] || [ "$failed" -gt 0 ] || failed=1
echo "test-arm64.sh: $passed passed, $failed failed, $skipped skipped"
exit "$status"
