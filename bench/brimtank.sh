#!/usr/bin/env bash
# brimtank against cat, mbuffer, pv and buffer: 1 GiB from a producer pipe through each
# contender into a consumer pipe, every contender with the same buffer size, interleaved per
# round. The ratios say whether the two threads really overlap reading and writing.
# Targets: at least the throughput of mbuffer measured in the same run, a peak memory within
# the ring size plus 4 MiB, and one write system call per 64 KiB chunk.
#   SIZE_MIB=64 ROUNDS=1 bench/brimtank.sh      a quick check that everything runs
#   RING=16777216                                 the buffer size of every contender (bytes)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
bin=${BIN:-$here/../build/native/bin}
size_mib=${SIZE_MIB:-1024}
ring=${RING:-16777216}
size=$((size_mib * 1048576))
for tool in mbuffer pv buffer; do
  command -v "$tool" >/dev/null || { echo "bench/brimtank.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$bin/brimtank" ] || { echo "bench/brimtank.sh: build $bin/brimtank first" >&2; exit 1; }

from="dd if=/dev/zero bs=1M count=$size_mib status=none"
to="cat >/dev/null"
scratch_dir work
out=$work/table

echo "brimtank: $size_mib MiB through pipes, buffers of $ring bytes"
bench_run "$size" "${ROUNDS:-5}" cat \
  cat "$from | cat | $to" \
  brimtank "$from | $bin/brimtank $ring 0 | $to" \
  mbuffer "$from | mbuffer -q -m $ring | $to" \
  "pv -B" "$from | pv -q -B $ring | $to" \
  buffer "$from | buffer -m $ring | $to" | tee "$out"
bench_syscalls "$size" \
  cat "$from | @ cat | $to" \
  brimtank "$from | @ $bin/brimtank $ring 0 | $to" \
  mbuffer "$from | @ mbuffer -q -m $ring | $to" \
  "pv -B" "$from | @ pv -q -B $ring | $to" \
  buffer "$from | @ buffer -m $ring | $to"

# The targets, from the table above: throughput against mbuffer, memory against the ring.
awk -v ring="$ring" '
  $1 == "brimtank" { b_rate = $3; b_mem = $5 }
  $1 == "mbuffer" { m_rate = $3 }
  END {
    limit = ring / 1048576 + 4
    printf "brimtank / mbuffer throughput: %.2f (target >= 1.00): %s\n", b_rate / m_rate,
      (b_rate >= m_rate ? "met" : "missed")
    printf "brimtank peak memory: %.1f MiB (target <= %.1f MiB): %s\n", b_mem, limit,
      (b_mem <= limit ? "met" : "missed")
  }' "$out"
