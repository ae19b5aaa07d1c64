#!/usr/bin/env bash
# Compares the export table of a DLL with the EXPORTS list of its .def file, and checks that it
# imports from KERNEL32.dll, USER32.dll and SHELL32.dll only. The third argument is the objdump
# of the DLL's architecture.
set -euo pipefail
dll=$1 def=$2 objdump=${3:-x86_64-w64-mingw32-objdump}
dump=$("$objdump" -p "$dll")
want=$(sed -n '/^EXPORTS/,$p' "$def" | sed 1d | sed 's/;.*//' | awk 'NF {print $1}' | sort)
have=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
imports=$(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | sort | tr '\n' ' ')
status=0
if [ "$want" != "$have" ]; then
  echo "export table differs from $def:"
  diff <(echo "$want") <(echo "$have") || true
  status=1
fi
for name in $imports; do
  case "$name" in
    KERNEL32.dll | USER32.dll | SHELL32.dll) ;;
    *) echo "unexpected import from $name"; status=1 ;;
  esac
done
[ $status -eq 0 ] && echo "exports: $(echo $have); imports: $imports"
exit $status
