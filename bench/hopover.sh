#!/usr/bin/env bash
# hopover against cat for 1 GiB: half through the pipe, half continued from the file, so both
# phases count. cat does the same job as two cats (pipe, then the file's tail).
# Target: at least 0.95 of cat's throughput, and one write system call per 64 KiB chunk. Under
# wine hopover.exe against a raw ReadFile/WriteFile loop doing the same job (target: 0.95).
#   SIZE_MIB (default 1024), ROUNDS (default 5), BIN (the folder of the native programs),
#   WINDOWS_PRESET (the build run under wine: windows-x64, the default, or windows-x86; empty
#   skips wine)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
bin=${BIN:-$here/../build/native/bin}
scratch_dir work
size=$((${SIZE_MIB:-1024} * 1048576))
half=$((size / 2))
generate --random --size "$size" >"$work/stream.ts"
head -c "$half" "$work/stream.ts" >"$work/first-half.ts"

echo "hopover: $((size / 1048576)) MiB, half from the pipe and half from the file, to /dev/null"
bench_run "$size" "${ROUNDS:-5}" cat \
  cat "cat $work/first-half.ts | { cat; tail -c +$((half + 1)) $work/stream.ts; } >/dev/null" \
  hopover "cat $work/first-half.ts | $bin/hopover $work/stream.ts >/dev/null"
bench_syscalls "$size" \
  cat "cat $work/first-half.ts | @ bash -c 'cat; tail -c +$((half + 1)) $work/stream.ts' >/dev/null" \
  hopover "cat $work/first-half.ts | @ $bin/hopover $work/stream.ts >/dev/null"

preset=${WINDOWS_PRESET-windows-x64}
if wine_baseline raw "$preset" hopover; then
  file=$(winpath "$work/stream.ts")
  echo
  echo "wine, $preset: the same job"
  bench_run "$size" "${ROUNDS:-5}" raw \
    raw "cat $work/first-half.ts | wine $raw '$file' >/dev/null" \
    hopover.exe "cat $work/first-half.ts | wine $here/../build/$preset/bin/hopover.exe '$file' >/dev/null"
fi
