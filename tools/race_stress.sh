#!/usr/bin/env bash
# tools/race_stress.sh [--seconds N] [--program PATH] [SCENARIO...]
#
# A local attacker against a recursive run as root. An unprivileged user
# (uid 65534) owns a directory inside the tree and, in a tight loop, swaps a
# subdirectory with a symbolic link to a victim directory (renameat2 with
# RENAME_EXCHANGE) while the program runs over the tree again and again.
# After every run the victim directory is checked:
#   takeover  the victim file got another owner or mode
#   redirect  the victim directory changed: a file transformed, added,
#             renamed or removed there
#   leak      the victim's plaintext turned up outside the victim directory
# Scenarios: inplace-decrypt inplace-encrypt temp-decrypt temp-encrypt
# (all by default). Each ends with one summary line; the status is 1 when any
# scenario counted anything. Needs root; not part of the timed suite.
set -u
seconds=60
program=""
scenarios=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --program) program=$2; shift 2 ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) scenarios+=("$1"); shift ;;
  esac
done
[ ${#scenarios[@]} -gt 0 ] || scenarios=(inplace-decrypt inplace-encrypt temp-decrypt temp-encrypt)
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "race_stress: needs root (the attacker is another user)" >&2
  exit 2
fi
if [ -z "$program" ]; then
  cmake -S "$top" -B "$top/build-run" -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=OFF >/dev/null &&
    cmake --build "$top/build-run" --target ostrel -j "$(nproc)" >/dev/null || exit 2
  program="$top/build-run/bin/ostrel"
fi

work=$(mktemp -d)
chmod 0711 "$work"
swapper_pid=""
cleanup() {
  [ -n "$swapper_pid" ] && kill -9 "$swapper_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The attacker: exchanges two names as fast as it can.
cat > "$work/swapper.c" <<'EOF'
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
int main(int argc, char** argv) {
    if (argc != 3) return 2;
    for (;;) renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE);
}
EOF
cc -O2 -o "$work/swapper" "$work/swapper.c" || exit 2
chmod 0755 "$work/swapper"
cp "$program" "$work/ostrel"

key=k
encrypt() { "$work/ostrel" -e -K "$key" -q; }

# SIGSTOP takes effect some time after kill returns: wait until the
# attacker has really stopped before the tree is set up.
pause_attacker() {
  kill -STOP "$swapper_pid"
  while [ "$(awk '{print $3}' "/proc/$swapper_pid/stat" 2>/dev/null)" != T ]; do sleep 0.001; done
}

run_scenario() { # run_scenario NAME
  local name=$1 writing mode args
  case "$name" in
    inplace-decrypt) writing=""; mode=-d ;;
    inplace-encrypt) writing=""; mode=-e ;;
    temp-decrypt) writing=-T; mode=-d ;;
    temp-encrypt) writing=-T; mode=-e ;;
    *) echo "race_stress: unknown scenario $name" >&2; return 2 ;;
  esac
  local s="$work/$name" suffix=""
  [ "$mode" = -d ] && suffix=.osl
  rm -rf "$s"
  mkdir -p "$s/victim" "$s/tree"
  chown 65534:65534 "$s/tree"
  # The victim: root's 0600 file, in the form the run would transform.
  printf 'VICTIM-SECRET %s\n' "$name" > "$s/plain"
  if [ "$mode" = -d ]; then encrypt < "$s/plain" > "$s/victim/f$suffix"; else cp "$s/plain" "$s/victim/f"; fi
  chmod 0600 "$s/victim/f$suffix"
  local victim_sum
  victim_sum=$(cd "$s/victim" && ls -ln --time-style=+ . | sha256sum; sha256sum "f$suffix")
  head -c 2000000 /dev/urandom > "$s/big"

  local runs=0 takeovers=0 redirects=0 leaks=0 end=$((SECONDS + seconds))
  setpriv --reuid=65534 --regid=65534 --clear-groups "$work/swapper" "$s/tree/sub" "$s/tree/swap" &
  swapper_pid=$!
  while [ $SECONDS -lt $end ]; do
    # A fresh tree with the attacker paused: sub real, swap the link.
    pause_attacker
    rm -rf "$s/tree/sub" "$s/tree/swap" "$s/tree/sub.moved"
    mkdir "$s/tree/sub"
    ln -s "$s/victim" "$s/tree/swap"
    # A big file first widens every window; then the names the victim has.
    if [ "$mode" = -d ]; then encrypt < "$s/big" > "$s/tree/sub/a$suffix"; else cp "$s/big" "$s/tree/sub/a"; fi
    if [ "$mode" = -d ]; then echo own | encrypt > "$s/tree/sub/f$suffix"; else echo own > "$s/tree/sub/f"; fi
    chown -R 65534:65534 "$s/tree/sub"
    chown -h 65534:65534 "$s/tree/swap"
    kill -CONT "$swapper_pid"
    (cd "$s" && "$work/ostrel" $writing $mode -q -f -K "$key" -r tree </dev/null >/dev/null 2>&1)
    runs=$((runs + 1))
    local now
    now=$(cd "$s/victim" && ls -ln --time-style=+ . | sha256sum; sha256sum "f$suffix" 2>/dev/null)
    if [ "$now" != "$victim_sum" ]; then
      local st
      st=$(stat -c '%u %a' "$s/victim/f$suffix" 2>/dev/null)
      if [ -n "$st" ] && [ "$st" != "0 600" ]; then takeovers=$((takeovers + 1)); else redirects=$((redirects + 1)); fi
      # Put the victim back for the next run.
      rm -rf "$s/victim"/*
      if [ "$mode" = -d ]; then encrypt < "$s/plain" > "$s/victim/f$suffix"; else cp "$s/plain" "$s/victim/f"; fi
      chmod 0600 "$s/victim/f$suffix"
      chown 0:0 "$s/victim/f$suffix"
      victim_sum=$(cd "$s/victim" && ls -ln --time-style=+ . | sha256sum; sha256sum "f$suffix")
    fi
    pause_attacker
    if grep -rqs "VICTIM-SECRET" "$s/tree"; then leaks=$((leaks + 1)); fi
    kill -CONT "$swapper_pid"
  done
  kill -9 "$swapper_pid" 2>/dev/null
  wait "$swapper_pid" 2>/dev/null
  swapper_pid=""
  echo "race_stress: $name: $runs runs in $seconds s: $takeovers takeovers, $redirects redirects, $leaks leaks"
  [ $((takeovers + redirects + leaks)) -eq 0 ]
}

status=0
for scenario in "${scenarios[@]}"; do run_scenario "$scenario" || status=1; done
exit $status
