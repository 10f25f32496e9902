#!/usr/bin/env bash
# bench/compare.sh [size-MiB] [rounds] -- end-to-end throughput of ostrel
# against the tools a user would pick instead, on one file in /tmp.
# `dd bs=256K` and `cat` copying the file are the floors no file-to-file
# program can beat; the in-memory speed of the encryption and decryption
# streams (engine_bench, the fastest cipher path of this CPU, measured once
# before the rounds) is the ceiling of the cipher itself. ostrel's ratios to
# all three are printed at the end.
#
# COMPARE_BASELINE=PROGRAM times another build of ostrel (an older one)
# alongside, with the ratios of this build to it; COMPARE_PEERS=0 leaves
# out the other tools.
#
# Each round times every operation once, ostrel's and the peers' alternately,
# so that a slow moment of the machine hits all of them alike; the figures
# are medians over the rounds. Files stay in the page cache (24 GiB of
# memory), so this measures the programs, not the disk. Peers that are not
# installed are installed when running as root, otherwise skipped with a
# note.
set -u
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
size_mb=${1:-1024}
rounds=${2:-3}
# COMPARE_DIR picks the file system (default /tmp; /dev/shm takes the
# disk's write-back out of the figures).
work=$(mktemp -d "${COMPARE_DIR:-/tmp}/ostrel-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT
key=compare-secret

build="$top/build-bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=OFF -DOSTREL_BENCH=ON >/dev/null || exit 1
cmake --build "$build" --target ostrel engine_bench -j "$(nproc)" >/dev/null || exit 1
ostrel="$build/bin/ostrel"
baseline=${COMPARE_BASELINE:-}
peers=${COMPARE_PEERS:-1}

if [ "$(id -u)" -eq 0 ] && [ "$peers" != 0 ]; then
  "$top/tools/ensure_packages.sh" openssl gnupg mcrypt age >/dev/null 2>&1 || true
fi
have() { [ "$peers" != 0 ] && command -v "$1" >/dev/null 2>&1; }

plain="$work/plain"
echo "compare: making a ${size_mb} MiB file of random bytes" >&2
head -c $((size_mb * 1048576)) /dev/urandom >"$plain"
bytes=$(stat -c %s "$plain")

export GNUPGHOME="$work/gnupg"
mkdir -m 700 "$GNUPGHOME"
if have age-keygen; then age-keygen -o "$work/age.key" 2>/dev/null; fi

# name|output|command; each command reads and writes files of $work only.
# The output is removed before the command is timed, so no tool pays for
# truncating the previous round's file.
ops=(
  "ostrel encrypt (file to file)|$work/o.osl|\"$ostrel\" -K $key <\"$plain\" >\"$work/o.osl\""
  "ostrel decrypt (file to file)|$work/o.out|\"$ostrel\" -d -K $key <\"$work/o.osl\" >\"$work/o.out\""
  "ostrel encrypt (in place)||\"$ostrel\" -f -K $key \"$work/ip\""
  "ostrel decrypt (in place)||\"$ostrel\" -d -f -K $key \"$work/ip.osl\""
  "cp (I/O reference)|$work/cp.out|cp \"$plain\" \"$work/cp.out\""
  "dd bs=256K (copy floor)|$work/dd.out|dd if=\"$plain\" of=\"$work/dd.out\" bs=256K status=none"
  "cat (copy floor)|$work/cat.out|cat \"$plain\" >\"$work/cat.out\""
)
[ -n "$baseline" ] && ops+=(
  "baseline encrypt (file to file)|$work/b.osl|\"$baseline\" -K $key <\"$plain\" >\"$work/b.osl\""
  "baseline decrypt (file to file)|$work/b.out|\"$baseline\" -d -K $key <\"$work/b.osl\" >\"$work/b.out\""
  "baseline encrypt (in place)||\"$baseline\" -f -K $key \"$work/bp\""
  "baseline decrypt (in place)||\"$baseline\" -d -f -K $key \"$work/bp.osl\""
)
have openssl && ops+=(
  "openssl aes-256-cfb encrypt|$work/ssl.enc|openssl enc -aes-256-cfb -pbkdf2 -pass pass:$key -in \"$plain\" -out \"$work/ssl.enc\""
  "openssl aes-256-cfb decrypt|$work/ssl.out|openssl enc -d -aes-256-cfb -pbkdf2 -pass pass:$key -in \"$work/ssl.enc\" -out \"$work/ssl.out\""
)
have gpg && ops+=(
  "gpg -c encrypt|$work/gpg.enc|gpg -q --batch --yes --pinentry-mode loopback --passphrase $key --compress-algo none -c -o \"$work/gpg.enc\" \"$plain\""
  "gpg -c decrypt|$work/gpg.out|gpg -q --batch --yes --pinentry-mode loopback --passphrase $key -d -o \"$work/gpg.out\" \"$work/gpg.enc\""
)
have mcrypt && ops+=(
  "mcrypt rijndael-256 ncfb encrypt|$work/mc.enc|mcrypt -q -F -a rijndael-256 -m ncfb -k $key <\"$plain\" >\"$work/mc.enc\""
  "mcrypt rijndael-256 ncfb decrypt|$work/mc.out|mcrypt -q -F -d -a rijndael-256 -m ncfb -k $key <\"$work/mc.enc\" >\"$work/mc.out\""
)
have age && [ -f "$work/age.key" ] && ops+=(
  "age encrypt|$work/age.enc|age -R <(age-keygen -y \"$work/age.key\") -o \"$work/age.enc\" \"$plain\""
  "age decrypt|$work/age.out|age -d -i \"$work/age.key\" -o \"$work/age.out\" \"$work/age.enc\""
)
[ "$peers" = 0 ] || for peer in openssl gpg mcrypt age; do have $peer || echo "compare: $peer not installed -- skipped" >&2; done

# The streams in memory: bytes per second of the fastest path, from
# Google Benchmark's CSV (the column after the time unit).
stream_rate() { # stream_rate encrypt|decrypt
  "$build/bench/engine_bench" --benchmark_filter="^$1_stream/" --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
    awk -F, '$1 ~ /_median"?$/ {if ($6 + 0 > best) best = $6 + 0} END {printf "%.0f", best / 1e6}'
}
echo "compare: the streams in memory" >&2
declare -A rate
rate["encryption stream in memory"]=$(stream_rate encrypt)
rate["decryption stream in memory"]=$(stream_rate decrypt)

declare -A times
for ((r = 1; r <= rounds; r++)); do
  echo "compare: round $r of $rounds" >&2
  for op in "${ops[@]}"; do
    name=${op%%|*}
    rest=${op#*|}
    output=${rest%%|*}
    cmd=${rest#*|}
    [ -n "$output" ] && rm -f "$output"
    # The in-place runs need a fresh copy; copying is not timed.
    case "$name" in
      "ostrel encrypt (in place)") rm -f "$work/ip.osl"; cp "$plain" "$work/ip" ;;
      "baseline encrypt (in place)") rm -f "$work/bp.osl"; cp "$plain" "$work/bp" ;;
    esac
    start=$(date +%s%N)
    if ! bash -c "$cmd" 2>"$work/err"; then
      echo "compare: $name failed: $(head -c 300 "$work/err")" >&2
      continue
    fi
    end=$(date +%s%N)
    times[$name]="${times[$name]:-} $(((end - start) / 1000))"
  done
  cmp -s "$plain" "$work/o.out" || echo "compare: ostrel filter round trip differs!" >&2
  cmp -s "$plain" "$work/ip" || echo "compare: ostrel in-place round trip differs!" >&2
done

median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo
echo "$(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs, $(df -T "$work" | awk 'NR==2 {print $2}'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
for stream in "encryption stream in memory" "decryption stream in memory"; do
  printf '%-36s %12s %10s\n' "$stream" "" "${rate[$stream]}"
done
printf '\n%-36s %12s %10s\n' "operation (${size_mb} MiB, median of $rounds)" "seconds" "MB/s"
for op in "${ops[@]}"; do
  name=${op%%|*}
  [ -n "${times[$name]:-}" ] || continue
  us=$(echo "${times[$name]}" | median)
  rate[$name]=$(awk -v b="$bytes" -v us="$us" 'BEGIN {printf "%.0f", b / us}')
  printf '%-36s %12.3f %10s\n' "$name" "$(awk -v us="$us" 'BEGIN {print us / 1e6}')" "${rate[$name]}"
done

ratio() { # ratio OSTREL-OP PEER-OP
  [ -n "${rate[$1]:-}" ] && [ -n "${rate[$2]:-}" ] && [ "${rate[$2]}" != 0 ] || return 0
  printf '%-36s %-34s %6.2fx\n' "$1" "vs $2" "$(awk -v a="${rate[$1]}" -v b="${rate[$2]}" 'BEGIN {print a / b}')"
}
echo
echo "ratios (ostrel throughput / peer throughput):"
for dir in encrypt decrypt; do
  for peer in "openssl aes-256-cfb" "gpg -c" "mcrypt rijndael-256 ncfb" "age"; do
    ratio "ostrel $dir (file to file)" "$peer $dir"
  done
  ratio "ostrel $dir (in place)" "ostrel $dir (file to file)"
done
echo
echo "ratios to the floors and the ceiling measured in this run:"
for op in "ostrel encrypt (file to file)" "ostrel encrypt (in place)"; do
  ratio "$op" "encryption stream in memory"
done
for op in "ostrel decrypt (file to file)" "ostrel decrypt (in place)"; do
  ratio "$op" "dd bs=256K (copy floor)"
  ratio "$op" "cat (copy floor)"
  ratio "$op" "decryption stream in memory"
done
if [ -n "$baseline" ]; then
  echo
  echo "ratios to the baseline build ($baseline):"
  for op in "encrypt (file to file)" "decrypt (file to file)" "encrypt (in place)" "decrypt (in place)"; do
    ratio "ostrel $op" "baseline $op"
  done
  # A host that pauses now and then slows single rounds of either build; the
  # fastest round of each is what each build can do.
  echo
  echo "ratios to the baseline build, fastest round of each:"
  fastest() { tr ' ' '\n' | grep -v '^$' | sort -n | head -1; }
  for op in "encrypt (file to file)" "decrypt (file to file)" "encrypt (in place)" "decrypt (in place)"; do
    if [ -z "${times["ostrel $op"]:-}" ] || [ -z "${times["baseline $op"]:-}" ]; then continue; fi
    printf '%-36s %-34s %6.2fx\n' "ostrel $op" "vs baseline $op" \
      "$(awk -v a="$(echo "${times["baseline $op"]}" | fastest)" \
        -v b="$(echo "${times["ostrel $op"]}" | fastest)" 'BEGIN {print a / b}')"
  done
fi
