#!/usr/bin/env bash
# Fan-out of one stream to 1, 4 and 16 files through Quill_Spread, by the trial host handing
# 65536-byte buffers to AddTSBuff, against the physical limit (the same host writing the same
# buffers to the same files with one plain write each, --raw) and against tee. Natively through
# Quill_Spread.so; under wine through Quill_Spread.dll against a raw WriteFile loop in the same
# host. Targets: at least 0.95 of the raw loop natively, and no slower than tee at any N.
#   SIZE_MIB (default 1024), ROUNDS (default 3), FANOUT (default "1 4 16"), WINE_FANOUT ("1 4";
#   empty skips wine), WINDOWS_PRESET (the build run under wine: windows-x64, the default, or
#   windows-x86), OUT_DIR (where the outputs go; default a scratch directory on disk, where
#   the disk's write-back dominates: a tmpfs such as /dev/shm measures the write path itself, if
#   SIZE_MIB times the largest fan-out fits in memory).
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
build=${BUILD:-$here/../build}
scratch_dir work
size=$((${SIZE_MIB:-1024} * 1048576))
rounds=${ROUNDS:-3}
out=${OUT_DIR:-$work}/quill-bench-$$
mkdir -p "$out"
on_exit rm -rf "$out"
generate --random --size "$size" >"$work/stream.ts"
# A private copy of the library: no settings file beside it, so it writes files itself.
cp "$build/native/bin/Quill_Spread.so" "$work/Quill_Spread.so"

# Output options for n files: the primary OUT plus n - 1 duplicates added before the first byte.
dups() {
  local n=$1 prefix=$2 mode=$3 i
  for ((i = 2; i <= n; i++)); do printf " '--dup' '0:%s%s'" "$prefix$i.ts" "$mode"; done
}

# One untimed run of every command first, so that each timed run replaces files of the full size
# (truncating a file costs as well) and no contender gets fresh ones.
warm_run() {
  local bytes=$1 rounds=$2 baseline=$3
  shift 3
  local -a args=("$@")
  local i
  for ((i = 1; i < ${#args[@]}; i += 2)); do bash -c "${args[$i]}" >/dev/null; done
  bench_run "$bytes" "$rounds" "$baseline" "${args[@]}"
}

host=$build/native/tests/quill_record_host
for n in ${FANOUT-1 4 16}; do
  tee_files=""
  for ((i = 2; i <= n; i++)); do tee_files="$tee_files $out/out$i.ts"; done
  echo "native: $((size / 1048576)) MiB to $n file(s)"
  warm_run "$size" "$rounds" raw \
    raw "$host - $out/out1.ts --input $work/stream.ts --raw$(dups "$n" "$out/out" "") >/dev/null" \
    Quill_Spread "$host $work/Quill_Spread.so $out/out1.ts --input $work/stream.ts --overwrite$(dups "$n" "$out/out" :1) >/dev/null" \
    tee "tee$tee_files <$work/stream.ts >$out/out1.ts"
  echo
done
rm -f "$out"/out*.ts

windows=$build/${WINDOWS_PRESET:-windows-x64}
winhost=$windows/tests/quill_record_host.exe
if [ -e "$winhost" ] && command -v wine >/dev/null; then
  wine_fixtures "${windows##*/}"
  WINEPREFIX=$(wine_prefix "${windows##*/}")
  export WINEPREFIX
  cp "$windows/bin/Quill_Spread.dll" "$work/Quill_Spread.dll"
  for n in ${WINE_FANOUT-1 4}; do
    echo "wine, ${windows##*/}: $((size / 1048576)) MiB to $n file(s)"
    warm_run "$size" "$rounds" raw \
      raw "wine $winhost - '$(winpath "$out/out1.ts")' --input '$(winpath "$work/stream.ts")' --raw$(dups "$n" "$(winpath "$out/out")" "") >/dev/null" \
      Quill_Spread "wine $winhost '$(winpath "$work/Quill_Spread.dll")' '$(winpath "$out/out1.ts")' --input '$(winpath "$work/stream.ts")' --overwrite$(dups "$n" "$(winpath "$out/out")" :1) >/dev/null"
    echo
  done
fi
