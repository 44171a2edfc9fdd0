#!/usr/bin/env bash
# Checks the Windows image of the installer: a PE32 (i386) program that
# carries its application manifest (elevation and the supported Windows
# versions) and imports only from the system DLLs it is allowed to use and
# the C runtime, so it runs on a bare Windows without MinGW runtime DLLs.
#
#   check_setup_image.sh path/to/setup.exe
set -euo pipefail

image=${1:?usage: check_setup_image.sh setup.exe}
objdump=${OBJDUMP:-}
if [ -z "$objdump" ]; then
  for candidate in i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump objdump; do
    if command -v "$candidate" >/dev/null; then objdump=$candidate; break; fi
  done
fi
[ -n "$objdump" ] || { echo "FAIL: no objdump found"; exit 1; }
[ -f "$image" ] || { echo "FAIL: $image does not exist"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$image" 2>&1) || { echo "FAIL: $objdump cannot read $image"; exit 1; }

# PE32 for i386: the pei-i386 format and the 32-bit optional header magic.
grep -q 'file format pei-i386' <<<"$headers" || fail "not a PE image for i386"
grep -Eq '^Magic[[:space:]]+010b' <<<"$headers" || fail "optional header is not PE32 (magic 010b)"
grep -Eq '^Subsystem[[:space:]]+0000000[23]' <<<"$headers" || fail "not a Windows GUI or console program"

# The manifest: resource type 24 (RT_MANIFEST) with ID 1, the manifest a
# process is created with.
manifest_resource=$(awk '
  { id = $4; sub(/,$/, "", id) }
  /^[0-9a-f]+   Entry: ID: / { type = id }
  /^[0-9a-f]+     Entry: ID: / { if (type == "0x000018" && id == "0x000001") found = 1 }
  END { print found ? "yes" : "no" }' <<<"$headers")
[ "$manifest_resource" = yes ] || fail "no RT_MANIFEST resource with ID 1"

manifest=$(LC_ALL=C tr -d '\000' <"$image" | LC_ALL=C sed -n '/<assembly/,/<\/assembly>/p')
grep -q 'level="requireAdministrator"' <<<"$manifest" || fail "manifest does not request requireAdministrator"
declare -A os_ids=(
  [Vista]=e2011457-1546-43c5-a5fe-008deee3d3f0
  [7]=35138b9a-5d96-4fbd-8e2d-a2440225f93a
  [8]=4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38
  [8.1]=1f676c76-80e1-4239-95bb-83d0f6d0da78
  [10]=8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a
)
for os in Vista 7 8 8.1 10; do
  grep -qi "supportedOS Id=\"{${os_ids[$os]}}\"" <<<"$manifest" || fail "manifest does not declare Windows $os"
done

# Imports: the five system DLLs and the C runtime only.
dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$headers")
[ -n "$dlls" ] || fail "image imports nothing (no import table found)"
while read -r dll; do
  [ -n "$dll" ] || continue
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
  case "$lower" in
    kernel32.dll|user32.dll|advapi32.dll|shell32.dll|shlwapi.dll|msvcrt.dll|api-ms-win-crt-*.dll) ;;
    *) fail "imports from $dll" ;;
  esac
done <<<"$dlls"

if [ "$failures" -ne 0 ]; then
  echo "$image: $failures check(s) failed"
  exit 1
fi
echo "$image: PE32 i386, manifest resource present, imports: $(tr '\n' ' ' <<<"$dlls")"
