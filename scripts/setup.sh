#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine.
set -euo pipefail
# clang and libfuzzer-14-dev build the fuzz targets; python3-serial, tmux and
# picocom drive zsim serve's ptys in the system test.
packages=(build-essential cmake ninja-build python3 googletest libbenchmark-dev mingw-w64 binutils-mingw-w64 clang libfuzzer-14-dev valgrind
          python3-serial tmux picocom)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
