# Benchmark harness, sourced by the bench/*.sh cases.
#
#   bench_run BYTES ROUNDS BASELINE  LABEL1 'command 1'  LABEL2 'command 2' ...
#
# Runs every contender once per round, the contenders interleaved within each round so that a
# slow spell of the machine falls on all of them alike, and prints per contender the median wall
# time, the throughput in MiB/s for BYTES, the throughput as a ratio to BASELINE's, and the
# largest peak resident memory seen. Each command is a bash command line; it must move BYTES.
#
#   bench_syscalls BYTES  LABEL1 'command 1'  LABEL2 'command 2' ...
#
# Runs every command once with "@" in it replaced by `strace -f -c` (put it right before the
# contender, so that the producer and consumer around it do not count), and prints per contender
# its read, write and lseek calls, in all and per 65536-byte chunk of BYTES. Unlike wall-clock
# time on a busy machine these counts do not swing from run to run.
#
#   wine_baseline VAR PRESET PROGRAM
#
# Whether PROGRAM.exe of that Windows build can run under wine (status 1 if not, or if PRESET is
# empty); if so, starts the build's wine fixture, exports its WINEPREFIX, and builds the raw
# ReadFile/WriteFile copy loop of raw_copy_win32.c with that build's mingw, the baseline of the
# Windows builds, whose path goes into VAR.
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

bench_syscalls() {
  local bytes=$1
  shift
  if ! command -v strace >/dev/null; then
    echo "(strace is missing: no system-call counts; Debian's package is strace)"
    return 0
  fi
  local tmp i=0
  scratch_dir tmp
  printf '%-28s %18s %18s %18s\n' "system calls" "read (/chunk)" "write (/chunk)" "lseek (/chunk)"
  while [ $# -gt 0 ]; do
    bash -c "${2//@/strace -f -c -o $tmp/calls.$i}"
    awk -v l="$1" -v chunks="$((bytes / 65536))" '
      $NF == "read" || $NF == "write" || $NF == "lseek" { n[$NF] = $4 }
      END {
        printf "%-28s", l
        for (k = 1; k <= 3; k++) {
          name = k == 1 ? "read" : k == 2 ? "write" : "lseek"
          printf " %9d (%6.3f)", n[name], n[name] / chunks
        }
        printf "\n"
      }' "$tmp/calls.$i"
    i=$((i + 1))
    shift 2
  done
}

wine_baseline() {
  local -n into=$1
  local preset=$2 compiler=x86_64-w64-mingw32-gcc-posix
  [ -n "$preset" ] && [ -e "$root/build/$preset/bin/$3.exe" ] && command -v wine >/dev/null || return 1
  wine_fixtures "$preset"
  WINEPREFIX=$(wine_prefix "$preset")
  export WINEPREFIX
  [ "$preset" = windows-x86 ] && compiler=i686-w64-mingw32-gcc-posix
  scratch_dir raw_copy_dir
  into=$raw_copy_dir/raw_copy.exe
  "$compiler" -O2 -municode -o "$into" "$root/bench/raw_copy_win32.c"
}
