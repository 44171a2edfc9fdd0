#!/usr/bin/env bash
# Checks the Windows image of a console tool (zport.exe): a PE32+ program
# for x64, console subsystem, that imports only from system DLLs every
# Windows has (kernel32, advapi32) and the C runtime, so it runs on a bare
# 64-bit Windows without MinGW runtime DLLs.
#
#   check_console_image.sh path/to/zport.exe [OBJDUMP]
set -euo pipefail

image=${1:?usage: check_console_image.sh IMAGE [OBJDUMP]}
objdump=${2:-x86_64-w64-mingw32-objdump}

[ -f "$image" ] || { echo "FAIL: $image does not exist"; exit 1; }
headers=$("$objdump" -p "$image" 2>&1) || { echo "FAIL: $objdump cannot read $image"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a PE image for x64"
grep -Eq '^Magic[[:space:]]+020b' <<<"$headers" || fail "optional header is not PE32+ (magic 020b)"
# IMAGE_SUBSYSTEM_WINDOWS_CUI.
grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$headers" || fail "not a console program"
grep -Eq '^DllCharacteristics' <<<"$headers" || fail "no DLL characteristics"

dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$headers")
[ -n "$dlls" ] || fail "image imports nothing (no import table found)"
while read -r dll; do
  [ -n "$dll" ] || continue
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
  case "$lower" in
    kernel32.dll|advapi32.dll|msvcrt.dll|api-ms-win-crt-*.dll) ;;
    *) fail "imports from $dll" ;;
  esac
done <<<"$dlls"

if [ "$failures" -ne 0 ]; then
  echo "$image: $failures check(s) failed"
  exit 1
fi
echo "$image: PE32+ x64 console program, imports: $(tr '\n' ' ' <<<"$dlls")"
