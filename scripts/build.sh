#!/usr/bin/env bash
# Configures and builds the host build (with the Windows images) in build/.
# BUILD_DIR and ZEPHAN_SANITIZE may be set to make a sanitizer build elsewhere.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DZEPHAN_SANITIZE="${ZEPHAN_SANITIZE:-}" ${ZEPHAN_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
