#!/usr/bin/env bash
# tailgrip, three ways:
#  1. catching up on a 1 GiB file of 188-byte packets against cat, with the check off and with
#     p48199 (targets: at least 0.95 and 0.9 of cat; one read, one write and no seek per 64 KiB
#     chunk); under wine tailgrip.exe against a raw ReadFile/WriteFile loop (target: 0.95);
#  2. CPU spent while following a file that does not grow (target: near zero, five short
#     wake-ups a second), beside GNU tail polling at the same 0.2 s;
#  3. latency from an append to its arrival on standard output, appends of uneven sizes at
#     uneven times (target: every byte within 250 ms, none held back), beside GNU tail.
# SIZE (bytes), ROUNDS, APPENDS and BIN override the defaults; WINDOWS_PRESET names the build run
# under wine (windows-x64, the default, or windows-x86; empty skips wine).
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
bin=${BIN:-$here/../build/native/bin}
scratch_dir work
size=${SIZE:-$((1024 * 1048576))}
stream=$work/stream.ts

# Packets of 188 bytes, each beginning with 0x47.
generate --size "$size" >"$stream"
cat "$stream" >/dev/null   # into the page cache, so every contender reads from memory

echo "tailgrip: catching up on $((size / 1048576)) MiB of packets, to /dev/null"
bench_run "$size" "${ROUNDS:-5}" cat \
  cat "cat $stream >/dev/null" \
  "tailgrip, check off" "$bin/tailgrip 0 0 $stream >/dev/null" \
  "tailgrip p48199" "$bin/tailgrip 0 0p48199 $stream >/dev/null"
bench_syscalls "$size" \
  cat "@ cat $stream >/dev/null" \
  "tailgrip, check off" "@ $bin/tailgrip 0 0 $stream >/dev/null" \
  "tailgrip p48199" "@ $bin/tailgrip 0 0p48199 $stream >/dev/null"

preset=${WINDOWS_PRESET-windows-x64}
if wine_baseline raw "$preset" tailgrip; then
  echo
  echo "wine, $preset: catching up on the same file"
  bench_run "$size" "${ROUNDS:-5}" raw \
    raw "wine $raw '$(winpath "$stream")' </dev/null >/dev/null" \
    tailgrip.exe "wine $here/../build/$preset/bin/tailgrip.exe 0 0 '$(winpath "$stream")' >/dev/null"
fi

echo
echo "tailgrip: CPU while following a file that does not grow, 5 s"
printf '%-28s %12s %12s %12s\n' contender "CPU ms" "CPU %" "wake-ups/s"
idle() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys, time
label, cmd = sys.argv[1], sys.argv[2:]
# Only what this child used: the interpreter's own start may have waited for others already.
u0 = resource.getrusage(resource.RUSAGE_CHILDREN)
t0 = time.monotonic()
subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.monotonic() - t0
u = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = (u.ru_utime + u.ru_stime - u0.ru_utime - u0.ru_stime) * 1000
print("%-28s %12.2f %12.4f %12.1f" % (label, cpu, cpu / wall / 10, (u.ru_nvcsw - u0.ru_nvcsw) / wall))
PY
}
idle "tailgrip -1 5" "$bin/tailgrip" -1 5 "$stream"
idle "tail -f -s 0.2" timeout 5 tail ---disable-inotify -f -s 0.2 -c 0 "$stream"

echo
echo "tailgrip: latency from an append to its arrival on standard output"
# The appended bytes come from the generator: at most 100000 of them per append.
appends=${APPENDS:-40}
generate --random --size $((appends * 100000)) >"$work/pieces.bin"
latency() {
  python3 - "$work/live.ts" "$work/pieces.bin" "$appends" "$@" <<'PY'
import os, random, select, statistics, subprocess, sys, time
path, pieces, appends, label, cmd = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5:]
open(path, "wb").close()
source = open(pieces, "rb")
rng = random.Random(7)
proc = subprocess.Popen(cmd + [path], stdout=subprocess.PIPE)
fd = proc.stdout.fileno()
time.sleep(0.5)
latencies, held_back, sent, got = [], 0, 0, 0
with open(path, "ab", buffering=0) as w:
    for _ in range(appends):
        piece = source.read(rng.choice([1, 188, 1000, 4095, 4097, 65423, 65537, 100000]))
        t0 = time.monotonic()
        w.write(piece)
        sent += len(piece)
        while got < sent and time.monotonic() - t0 < 1.0:
            if select.select([fd], [], [], 0.01)[0]:
                got += len(os.read(fd, 1 << 20))
        if got < sent:
            held_back += 1
            latencies.append(1.0)
        else:
            latencies.append(time.monotonic() - t0)
        time.sleep(rng.uniform(0.0, 0.15))
proc.kill()
proc.wait()
ms = sorted(x * 1000 for x in latencies)
late = sum(1 for x in ms if x > 250)
print("%-28s %10.0f %10.0f %10.0f %8d %8d" % (label, statistics.median(ms), ms[int(len(ms) * 0.95) - 1], ms[-1], late, held_back))
PY
}
printf '%-28s %10s %10s %10s %8s %8s\n' contender "median ms" "p95 ms" "max ms" ">250ms" ">1s"
latency "tailgrip -1 30" "$bin/tailgrip" -1 30
latency "tail -f -s 0.2" tail ---disable-inotify -f -s 0.2 -c 0
