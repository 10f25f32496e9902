# Shared pieces of the benchmark scripts, sourced by them.
# shellcheck shell=bash

# bench_workdir NAME SIZE INODES: $work, a fresh directory for the run's
# files -- a tmpfs of SIZE (a mount option, e.g. 3g) with INODES inodes
# mounted there when running as root, otherwise a directory in /dev/shm (or
# /tmp when there is none) -- and $mounted; both go when the script exits.
bench_workdir() {
  local base=/tmp
  [ -d /dev/shm ] && base=/dev/shm
  work=$(mktemp -d "$base/ostrel-$1-XXXXXX")
  mounted=0
  if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o "size=$2,nr_inodes=$3" tmpfs "$work" 2>/dev/null; then
    mounted=1
  fi
  trap bench_cleanup EXIT
}

bench_cleanup() {
  if [ "$mounted" -eq 1 ]; then umount "$work"; fi
  rm -rf "$work"
}

# bench_machine: the CPU model, the CPUs, the file system of $work and the
# load average, for the first line of a report.
bench_machine() {
  local model
  model=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)
  echo "${model:-(lscpu names no model)}, $(nproc) CPUs, $(df -T "$work" | awk 'NR==2 {print $2}')$([ "$mounted" -eq 1 ] && echo ' (mounted for the run)'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
}

# make_tree DIR COUNT BYTES: COUNT files of BYTES random bytes, 1000 to a
# directory (d0, d1, ...; the files f0, f1, ...).
make_tree() {
  python3 - "$1" "$2" "$3" <<'PY'
import os, sys
top, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
block = os.urandom(min(size, 1 << 20))
for i in range(count):
    d = os.path.join(top, "d%d" % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(d)
    with open(os.path.join(d, "f%d" % i), "wb") as f:
        left = size
        while left > 0:
            f.write(block[:left])
            left -= len(block)
PY
}
