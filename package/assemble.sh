#!/usr/bin/env bash
# Assembles the driver package folder from the Windows build output:
#
#   <out>/setup.exe                     the installer (i686)
#   <out>/setup.ini                     its configuration
#   <out>/cfg/LumoraSetting.bin         settings file, copied by [Copyfile] (made by zport)
#   <out>/Tools/zport.exe               the vendor maintenance tool (x64)
#   <out>/<Arch>/devcon.exe             device tool per architecture (supplied)
#   <out>/<Arch>/Port/Zephan_Port.inf + Zephan_Port.sys [+ .cat]
#   <out>/<Arch>/Enum/Zephan_GPIOEnum.inf + Zephan_GPIOEnum.sys [+ .cat]
#
# with <Arch> one of X86, X64, Arm64 (the folder names setup.ini and the
# installer use). The MinGW-w64 build makes setup.exe and the x64 port
# driver; the enumerator (built with the WDK), devcon.exe (from the WDK) and
# the signed catalogs come from an extra folder laid out like the package.
#
# usage: assemble.sh [-b BUILD_DIR] [-x EXTRA_DIR] [--partial] OUT_DIR
#   -b BUILD_DIR  host build folder holding windows/ and windows-setup/
#                 (default: <repo>/build)
#   -x EXTRA_DIR  files to add, in the package layout (X64/devcon.exe,
#                 X64/Enum/Zephan_GPIOEnum.sys, X64/Port/Zephan_Port.cat, ...)
#   --partial     succeed even when no architecture is complete
#
# An architecture is complete when it has devcon.exe and both drivers. The
# script fails when setup.exe is missing, or (without --partial) when no
# architecture is complete.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$root/build
extra=
partial=0
out=

while [ $# -gt 0 ]; do
  case "$1" in
    -b) build=${2:?-b needs a folder}; shift 2 ;;
    -x) extra=${2:?-x needs a folder}; shift 2 ;;
    --partial) partial=1; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "assemble.sh: unknown option $1" >&2; exit 2 ;;
    *) [ -z "$out" ] || { echo "assemble.sh: one output folder only" >&2; exit 2; }; out=$1; shift ;;
  esac
done
[ -n "$out" ] || { echo "usage: assemble.sh [-b BUILD_DIR] [-x EXTRA_DIR] [--partial] OUT_DIR" >&2; exit 2; }
[ -z "$extra" ] || [ -d "$extra" ] || { echo "assemble.sh: $extra is not a folder" >&2; exit 2; }

setup_exe=$build/windows-setup/setup.exe
port_x64=$build/windows/Zephan_Port.sys
enum_x64=$build/windows/Zephan_GPIOEnum.sys
[ -f "$setup_exe" ] || { echo "assemble.sh: $setup_exe not found (build the Windows images first)" >&2; exit 1; }

# Windows reads INF and INI files with CRLF line ends.
crlf() { sed 's/\r$//; s/$/\r/' "$1" >"$2"; }

# The settings file the port driver reads from SysWOW64 is made by the
# vendor tool (zport settings create), run by the host build's
# zport_package_settings on a simulated machine.
package_settings=$build/tools/zport_package_settings
[ -x "$package_settings" ] || { echo "assemble.sh: $package_settings not found (build the host tools first)" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out/cfg"
cp "$setup_exe" "$out/setup.exe"
crlf "$here/setup.ini" "$out/setup.ini"
"$package_settings" "$out/cfg/LumoraSetting.bin"

# The vendor tool.
if [ -f "$build/windows/zport.exe" ]; then
  mkdir -p "$out/Tools"
  cp "$build/windows/zport.exe" "$out/Tools/zport.exe"
fi

# Driver images built here: the x64 port driver and the x64 enumerator.
if [ -f "$port_x64" ]; then
  mkdir -p "$out/X64/Port"
  cp "$port_x64" "$out/X64/Port/Zephan_Port.sys"
fi
if [ -f "$enum_x64" ]; then
  mkdir -p "$out/X64/Enum"
  cp "$enum_x64" "$out/X64/Enum/Zephan_GPIOEnum.sys"
fi
# Supplied files, in the package layout.
if [ -n "$extra" ]; then
  cp -R "$extra"/. "$out"/
fi

# Each driver folder that holds its image gets the INF beside it.
complete=()
for arch in X86 X64 Arm64; do
  if [ ! -d "$out/$arch" ]; then
    echo "assemble.sh: $arch: not in this package" >&2
    continue
  fi
  have=0
  for driver in Port:Zephan_Port Enum:Zephan_GPIOEnum; do
    folder=${driver%%:*}
    name=${driver#*:}
    if [ -f "$out/$arch/$folder/$name.sys" ]; then
      crlf "$here/$name.inf" "$out/$arch/$folder/$name.inf"
      have=$((have + 1))
    else
      echo "assemble.sh: $arch: no $name.sys" >&2
    fi
  done
  if [ -f "$out/$arch/devcon.exe" ]; then
    have=$((have + 1))
  else
    echo "assemble.sh: $arch: no devcon.exe" >&2
  fi
  [ "$have" -eq 3 ] && complete+=("$arch")
done

settings_size=$(wc -c <"$out/cfg/LumoraSetting.bin")
[ "$settings_size" -eq 1536 ] || { echo "assemble.sh: settings file is $settings_size bytes" >&2; exit 1; }

if [ ${#complete[@]} -eq 0 ]; then
  echo "assemble.sh: $out assembled, but no architecture has devcon.exe and both drivers" >&2
  [ "$partial" -eq 1 ] || exit 1
else
  echo "assemble.sh: $out assembled; complete for: ${complete[*]}"
fi
