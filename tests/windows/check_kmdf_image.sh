#!/bin/sh
# Checks that a KMDF driver image is what Windows loads as an x64 kernel-mode
# driver bound to the framework: the checks of check_image.sh with the KMDF
# entry stub (FxDriverEntry) as entry point and imports only from the
# kernel, the HAL and the framework loader (WDFLDR.SYS); then a DriverEntry
# behind the stub, and the loader's version-bind routine among the imports.
#
# usage: check_kmdf_image.sh IMAGE [OBJDUMP]
set -u

image=${1:?usage: check_kmdf_image.sh IMAGE [OBJDUMP]}
objdump=${2:-x86_64-w64-mingw32-objdump}
nm=$(printf '%s' "$objdump" | sed 's/objdump$/nm/')
here=$(dirname "$0")

fail() {
    echo "check_kmdf_image: $image: $*" >&2
    exit 1
}

sh "$here/check_image.sh" "$image" "$objdump" FxDriverEntry 'ntoskrnl\.exe|hal\.dll|wdfldr\.sys' || exit 1
headers=$("$objdump" -p "$image" 2>/dev/null) || fail "not a PE image"
"$nm" "$image" 2>/dev/null | awk '$3 == "DriverEntry"' | grep -q . || fail "no DriverEntry symbol"
printf '%s\n' "$headers" | awk '/DLL Name:/ { print $3 }' | grep -Eiq '^wdfldr\.sys$' ||
    fail "does not import the framework loader"
printf '%s\n' "$headers" | grep -Eq '[[:space:]]WdfVersionBind$' || fail "does not import WdfVersionBind"

echo "check_kmdf_image: $image: ok"
