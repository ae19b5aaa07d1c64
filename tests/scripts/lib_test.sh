#!/usr/bin/env bash
# scripts/lib.sh's clean-ups and counter, as the scripts rely on them: a clean-up registered in a
# subshell (a function in a pipeline, a command substitution, a background job ended by TERM)
# runs when that subshell ends and never takes the parent's with it; the parent's run last, once.
# The counter counts another checker's lines without their spacing and fails the summary on one
# FAIL. The device check tells a replaced /dev/null.
set -u
source "$(dirname "$0")/../../scripts/lib.sh"
out=$(mktemp)
trap 'rm -f "$out" "$out.substitution" "$out.null"' EXIT
(
  on_exit echo parent
  ( on_exit echo subshell; true )
  piped() { on_exit echo pipeline; cat >/dev/null; }
  echo x | piped
  value=$(on_exit touch "$out.substitution"; echo value)
  [ -e "$out.substitution" ] && echo "substitution $value"
  ( on_exit echo background; exec sleep 30 & wait ) & job=$!
  while ! pgrep -P "$job" sleep >/dev/null; do sleep 0.01; done
  kill -TERM "$job"; wait "$job"
  echo end
) >"$out" 2>&1
expected=$'subshell\npipeline\nsubstitution value\nbackground\nend\nparent'
[ "$(cat "$out")" = "$expected" ] || { echo "clean-ups ran as:"; cat "$out"; exit 1; }

printf 'ok   first check\nFAIL second check\nnoise\nok third\r\n' >"$out"
counted=$(count_results "$out" x64; summary label)
status=$?
expected=$'ok   x64 first check\nFAIL x64 second check\nok   x64 third\nlabel: 2 passed, 1 failed'
[ "$counted" = "$expected" ] && [ "$status" = 1 ] || { echo "counted as:"; echo "$counted"; exit 1; }
# /dev/null as it is passes; a regular file where it was (a temporary one here) is caught.
null=$(device_state /dev/null)
touch "$out.null"
kept=$(device_kept /dev/null "$null"; device_kept "$out.null" "$null"; summary)
expected="ok   /dev/null is still the character device it was ($null)
FAIL $out.null is still the character device it was ($null, now regular empty file 0:0)
1 passed, 1 failed"
[ "$kept" = "$expected" ] || { echo "device checks said:"; echo "$kept"; exit 1; }
echo "lib.sh: clean-ups, counter and device check as expected"
