#!/bin/sh
# A Windows launcher must run on a bare system: it may import only system DLLs,
# and it must be a console program.
set -eu
objdump=$1
exe=$2
headers=$("$objdump" -p "$exe")
dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$dlls" ] || { echo "no imports found in $exe"; exit 1; }
status=0
for dll in $dlls; do
  case $(printf '%s' "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll|shell32.dll|user32.dll|msvcrt.dll|advapi32.dll) echo "ok: $dll" ;;
    *) echo "not a system DLL: $dll"; status=1 ;;
  esac
done
printf '%s\n' "$headers" | grep -Eq '^Subsystem[[:space:]]+00000003' || { echo "not a console program"; status=1; }
exit $status
