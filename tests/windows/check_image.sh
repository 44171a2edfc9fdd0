#!/bin/sh
# Checks that a driver image is what Windows loads as an x64 kernel-mode
# driver: PE32+, native subsystem, its entry point (DriverEntry unless told
# otherwise), and imports only from the DLLs allowed (by default the
# kernel, the HAL, the USB driver interface and the WMI library: the port
# driver's).
#
# usage: check_image.sh IMAGE [OBJDUMP [ENTRY [ALLOWED]]]
#   ALLOWED: the DLL names an image may import from, as an extended regular
#   expression without anchors (case does not matter).
set -u

image=${1:?usage: check_image.sh IMAGE [OBJDUMP [ENTRY [ALLOWED]]]}
objdump=${2:-x86_64-w64-mingw32-objdump}
entry_name=${3:-DriverEntry}
allowed=${4:-'ntoskrnl\.exe|hal\.dll|usbd\.sys|wmilib\.sys'}
nm=$(printf '%s' "$objdump" | sed 's/objdump$/nm/')

fail() {
    echo "check_image: $image: $*" >&2
    exit 1
}

[ -f "$image" ] || fail "no such image"
headers=$("$objdump" -p "$image" 2>/dev/null) || fail "not a PE image"

printf '%s\n' "$headers" | grep -Eq '^Magic[[:space:]]+020b' || fail "not PE32+"
printf '%s\n' "$headers" | grep -Eq '^Subsystem[[:space:]]+00000001' || fail "subsystem is not native"

entry=$(printf '%s\n' "$headers" | awk '/^AddressOfEntryPoint/ { print $2 }')
base=$(printf '%s\n' "$headers" | awk '/^ImageBase/ { print $2 }')
[ -n "$entry" ] && [ -n "$base" ] || fail "no entry point"
symbol=$("$nm" "$image" 2>/dev/null | awk -v name="$entry_name" '$3 == name { print $1 }')
[ -n "$symbol" ] || fail "no $entry_name symbol"
entry_va=$(printf '%x' $((0x$base + 0x$entry)))
symbol_va=$(printf '%x' $((0x$symbol)))
[ "$entry_va" = "$symbol_va" ] || fail "entry point is not $entry_name"

bad=$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print $3 }' |
      grep -Eiv "^($allowed)\$")
[ -z "$bad" ] || fail "imports from $(echo $bad)"

echo "check_image: $image: ok"
