# Benchmark harness, sourced by the bench/*.sh cases.
#
#   bench_run BYTES ROUNDS BASELINE  LABEL1 'command 1'  LABEL2 'command 2' ...
#
# Runs every contender once per round, the contenders interleaved within each round so that a
# slow spell of the machine falls on all of them alike, and prints per contender the median wall
# time, the throughput in MiB/s for BYTES, the throughput as a ratio to BASELINE's, and the
# largest peak resident memory seen. Each command is a bash command line; it must move BYTES.
# What the benchmarks share with the other scripts (scratch folders, clean-up, wine, the stream
# generator) comes from scripts/lib.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"

bench_run() {
  local bytes=$1 rounds=$2 baseline=$3
  shift 3
  local -a labels=() commands=()
  while [ $# -gt 0 ]; do
    labels+=("$1")
    commands+=("$2")
    shift 2
  done
  local tmp
  scratch_dir tmp
  local r i t0 t1
  for ((r = 0; r < rounds; r++)); do
    for i in "${!labels[@]}"; do
      t0=$(date +%s%N)
      /usr/bin/time -f '%M' -o "$tmp/mem.$i.$r" bash -c "${commands[$i]}"
      t1=$(date +%s%N)
      echo $(((t1 - t0) / 1000)) >>"$tmp/times.$i"
    done
  done
  local base_us=""
  for i in "${!labels[@]}"; do
    if [ "${labels[$i]}" = "$baseline" ]; then
      base_us=$(sort -n "$tmp/times.$i" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    fi
  done
  printf '%-28s %12s %10s %10s %12s\n' contender "median ms" "MiB/s" "x $baseline" "peak MiB"
  for i in "${!labels[@]}"; do
    local us mem
    us=$(sort -n "$tmp/times.$i" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    mem=$(cat "$tmp"/mem."$i".* | sort -n | tail -1)
    awk -v l="${labels[$i]}" -v us="$us" -v b="$bytes" -v base="$base_us" -v kb="$mem" 'BEGIN {
      printf "%-28s %12.1f %10.1f %10.2f %12.1f\n", l, us / 1000, (b / 1048576) / (us / 1e6), base / us, kb / 1024 }'
  done
}
