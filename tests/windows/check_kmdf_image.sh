#!/bin/sh
# Checks that a KMDF driver image is what Windows loads as an x64 kernel-mode
# driver bound to the framework: PE32+, native subsystem, entry point the KMDF
# entry stub (FxDriverEntry), imports only from the kernel, the HAL and the
# framework loader (WDFLDR.SYS), and the loader's version-bind routine among
# them.
#
# usage: check_kmdf_image.sh IMAGE [OBJDUMP]
set -u

image=${1:?usage: check_kmdf_image.sh IMAGE [OBJDUMP]}
objdump=${2:-x86_64-w64-mingw32-objdump}
nm=$(printf '%s' "$objdump" | sed 's/objdump$/nm/')

fail() {
    echo "check_kmdf_image: $image: $*" >&2
    exit 1
}

[ -f "$image" ] || fail "no such image"
headers=$("$objdump" -p "$image" 2>/dev/null) || fail "not a PE image"

printf '%s\n' "$headers" | grep -Eq '^Magic[[:space:]]+020b' || fail "not PE32+"
printf '%s\n' "$headers" | grep -Eq '^Subsystem[[:space:]]+00000001' || fail "subsystem is not native"

entry=$(printf '%s\n' "$headers" | awk '/^AddressOfEntryPoint/ { print $2 }')
base=$(printf '%s\n' "$headers" | awk '/^ImageBase/ { print $2 }')
[ -n "$entry" ] && [ -n "$base" ] || fail "no entry point"
symbol=$("$nm" "$image" 2>/dev/null | awk '$3 == "FxDriverEntry" { print $1 }')
[ -n "$symbol" ] || fail "no FxDriverEntry symbol"
"$nm" "$image" 2>/dev/null | awk '$3 == "DriverEntry"' | grep -q . || fail "no DriverEntry symbol"
entry_va=$(printf '%x' $((0x$base + 0x$entry)))
symbol_va=$(printf '%x' $((0x$symbol)))
[ "$entry_va" = "$symbol_va" ] || fail "entry point is not FxDriverEntry"

dlls=$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print $3 }')
bad=$(printf '%s\n' "$dlls" | grep -Eiv '^(ntoskrnl\.exe|hal\.dll|wdfldr\.sys)$')
[ -z "$bad" ] || fail "imports from $(echo $bad)"
printf '%s\n' "$dlls" | grep -Eiq '^wdfldr\.sys$' || fail "does not import the framework loader"
printf '%s\n' "$headers" | grep -Eq '[[:space:]]WdfVersionBind$' || fail "does not import WdfVersionBind"

echo "check_kmdf_image: $image: ok"
