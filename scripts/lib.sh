# shellcheck shell=bash
# What the demo, test, bench and wine scripts share; sourced, never run. Sets no shell options:
# each script keeps its own.
#
#   root                      the repository's top folder
#   on_exit COMMAND [ARG...]  runs the command when the script ends (also on TERM or INT), the
#                             latest first
#   scratch_dir VAR           a new temporary folder in $VAR, removed when the script ends
#   winpath PATH              a Linux path as a Windows program under wine takes it (Z:\...)
#   WINDOWS_PRESETS           the Windows builds to run (default: windows-x64 windows-x86)
#   wine_prefix PRESET        that build's wine prefix
#   wine_start, wine_stop     the wine fixture of $WINEPREFIX: start its persistent wineserver
#                             and services, or end them
#   wine_fixtures PRESET...   starts the fixture of each build and stops it when the script ends,
#                             unless a calling script runs them already (WINE_FIXTURES_UP)
#   build_command VAR BUILD PROGRAM
#                             the command line (an array in VAR) that runs a deliverable of a
#                             build: build/native/bin/PROGRAM, or build/PRESET/bin/PROGRAM.exe
#                             under wine in that build's prefix
#   run_build BUILD PROGRAM [ARG...]
#                             runs it
#   build_path BUILD PATH     PATH as that build's programs take it
#   generate ARG...           the stream generator (quill_ts_generate, native build): PACKETS
#                             [SEED] for a transport stream, or --size BYTES [--random]
#                             [--seed SEED]
#   release_info [SOURCE_ROOT]
#                             sets the RELEASE_... variables that cmake/ReleaseInfo.cmake prints
#                             for the tree at SOURCE_ROOT (default: this one): RELEASE_VERSION,
#                             RELEASE_PACKAGE_NAME, ..., RELEASE_EPOCH and RELEASE_EPOCH_FROM
#
#   device_state PATH         what PATH is, for a later comparison: "character special file
#                             1:3" for /dev/null, "regular file 0:0" once something replaced it
#   device_kept PATH BEFORE   result of whether PATH is still the character device that
#                             device_state saw before
#
# The one ok/FAIL counter of every script that checks something:
#   result STATUS WHAT        prints "ok   WHAT" for status 0, else "FAIL WHAT", and counts it
#   check WHAT COMMAND...     runs the command with its output discarded; result of its status
#   count_results FILE [PREFIX]
#                             prints and counts the "ok"/"FAIL" lines of another checker's
#                             output in FILE, each with PREFIX after its ok or FAIL
#   summary [LABEL]           prints "[LABEL: ]N passed, N failed"; status 1 if any failed
#   results_passed, results_failed   the counts so far

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Each process keeps its own list: a subshell (a function in a pipeline, say) that registers
# something starts afresh, so that its end does not undo what its parent still uses.
lib_exit_commands=()
lib_exit_pid=$BASHPID
on_exit() {
  if [ "$lib_exit_pid" != "$BASHPID" ]; then
    lib_exit_commands=()
    lib_exit_pid=$BASHPID
  fi
  lib_exit_commands+=("$(printf '%q ' "$@")")
  trap lib_run_exit_commands EXIT
  trap 'exit 143' TERM
  trap 'exit 130' INT
}
lib_run_exit_commands() {
  local i
  [ "$lib_exit_pid" = "$BASHPID" ] || return 0
  for ((i = ${#lib_exit_commands[@]} - 1; i >= 0; i--)); do
    eval "${lib_exit_commands[$i]}" || true
  done
}

scratch_dir() {  # VAR
  local lib_dir
  lib_dir=$(mktemp -d)
  on_exit rm -rf "$lib_dir"
  printf -v "$1" '%s' "$lib_dir"
}

winpath() {  # PATH
  local path=$1
  echo "Z:${path//\//\\}"
}

: "${WINDOWS_PRESETS:=windows-x64 windows-x86}"
export WINDOWS_PRESETS

wine_prefix() {  # PRESET
  echo "$root/build/$1/wineprefix"
}

# A UTF-8 locale whatever the caller's (C.UTF-8 is always there on Debian): in the POSIX locale
# wine cannot decode a path's UTF-8 bytes and loses a working folder named in Japanese.
export LC_ALL=C.UTF-8 LANG=C.UTF-8

# The environment of every wine process here: no debug output, and no prompt to install wine's
# .NET and HTML engines into a fresh prefix. A caller's own settings win.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Makes sure the prefix $WINEPREFIX exists, starts a persistent wineserver and wine's services
# with every stream detached, so that no later wine process or test waits on them. The prefix is
# always a 64-bit one: it runs the x64 programs, and the x86 ones as 64-bit Windows runs them
# (WOW64), where a large-address-aware 32-bit program has 4 GiB of address space.
wine_start() {
  : "${WINEPREFIX:?WINEPREFIX must name the prefix}"
  # A prefix made before Debian's wine32 was installed has no 32-bit system files and never gets
  # them: make it afresh once 32-bit wine is there.
  if [ -d "$WINEPREFIX/drive_c/windows/syswow64" ] && [ -e /usr/lib/wine/wine ] &&
     [ ! -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  mkdir -p "$WINEPREFIX"
  WINEARCH=win64 wineserver -p </dev/null >/dev/null 2>&1 || return
  # The first wine process creates the prefix (about 10 to 25 s) and starts the services.
  WINEARCH=win64 timeout 300 wine cmd /c exit </dev/null >/dev/null 2>&1
}

wine_stop() {
  : "${WINEPREFIX:?WINEPREFIX must name the prefix}"
  wineserver -k </dev/null >/dev/null 2>&1 || true
}

wine_fixtures() {  # PRESET...
  [ -z "${WINE_FIXTURES_UP:-}" ] || return 0
  local preset
  on_exit lib_wine_fixtures_stop "$@"
  for preset; do
    WINEPREFIX=$(wine_prefix "$preset") wine_start || return
  done
  export WINE_FIXTURES_UP=1
}
lib_wine_fixtures_stop() {  # PRESET...
  local preset
  for preset; do WINEPREFIX=$(wine_prefix "$preset") wine_stop; done
}

build_command() {  # VAR BUILD PROGRAM
  local -n lib_command=$1
  if [ "$2" = native ]; then
    lib_command=("$root/build/native/bin/$3")
  else
    lib_command=(env "WINEPREFIX=$(wine_prefix "$2")" wine "$root/build/$2/bin/$3.exe")
  fi
}

run_build() {  # BUILD PROGRAM [ARG...]
  local -a lib_run
  build_command lib_run "$1" "$2"
  shift 2
  "${lib_run[@]}" "$@"
}

build_path() {  # BUILD PATH
  if [ "$1" = native ]; then echo "$2"; else winpath "$2"; fi
}

generate() {  # ARG...
  local generator=$root/build/native/tests/quill_ts_generate
  if [ ! -x "$generator" ]; then
    echo "${0##*/}: $generator is missing (build the native preset first)" >&2
    return 1
  fi
  "$generator" "$@"
}

release_info() {  # [SOURCE_ROOT]
  local lib_line lib_info
  lib_info=$(cmake -P "${1:-$root}/cmake/ReleaseInfo.cmake") || return
  while IFS= read -r lib_line; do
    if [[ $lib_line =~ ^(RELEASE_[A-Z_]+)=(.*)$ ]]; then
      printf -v "${BASH_REMATCH[1]}" '%s' "${BASH_REMATCH[2]}"
    fi
  done <<<"$lib_info"
}

device_state() {  # PATH
  stat -c '%F %t:%T' -- "$1" 2>/dev/null || echo "missing"
}
device_kept() {  # PATH BEFORE
  local now
  now=$(device_state "$1")
  [[ $2 == "character special file "* && $now == "$2" ]]
  result $? "$1 is still the character device it was ($2$([ "$now" = "$2" ] || echo ", now $now"))"
}

results_passed=0
results_failed=0
result() {  # STATUS WHAT
  if [ "$1" = 0 ]; then
    echo "ok   $2"
    results_passed=$((results_passed + 1))
  else
    echo "FAIL $2"
    results_failed=$((results_failed + 1))
  fi
}

check() {  # WHAT COMMAND...
  local what=$1
  shift
  "$@" >/dev/null 2>&1
  result $? "$what"
}

count_results() {  # FILE [PREFIX]
  local line status what prefix=${2:+$2 }
  while IFS= read -r line; do
    line=${line%$'\r'}
    case "$line" in
      "ok "*) status=0 what=${line#ok } ;;
      "FAIL "*) status=1 what=${line#FAIL } ;;
      *) continue ;;
    esac
    result "$status" "$prefix${what#"${what%%[! ]*}"}"
  done <"$1"
}

summary() {  # [LABEL]
  echo "${1:+$1: }$results_passed passed, $results_failed failed"
  [ "$results_failed" -eq 0 ]
}
