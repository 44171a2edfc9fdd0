#!/usr/bin/env bash
# Set-up, build and run the whole test suite: the plain build, then the
# address+undefined sanitizer build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
(cd "$root/build" && ctest --output-on-failure -j2 --timeout 600)
if [ "${ZEPHAN_SKIP_SANITIZERS:-0}" != 1 ]; then
  BUILD_DIR="$root/build-asan" ZEPHAN_SANITIZE=address ZEPHAN_CMAKE_ARGS="-DZEPHAN_WINDOWS=OFF" "$root/scripts/build.sh"
  (cd "$root/build-asan" && ctest --output-on-failure -j2 --timeout 600 -E '^(conformance|windows)\.')
fi
