#!/usr/bin/env bash
# Set-up, build and run the whole test suite: the plain build (with the
# Windows images, their checks and the conformance check), then the
# address+undefined and the thread sanitizer builds of the host suite, and
# the fuzz targets' short runs in clang's fuzzing build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
(cd "$root/build" && ctest --output-on-failure -j2 --timeout 600)
if [ "${ZEPHAN_SKIP_SANITIZERS:-0}" != 1 ]; then
  for sanitizer in address thread; do
    dir="$root/build-$sanitizer"
    BUILD_DIR="$dir" ZEPHAN_SANITIZE=$sanitizer ZEPHAN_CMAKE_ARGS="-DZEPHAN_WINDOWS=OFF" "$root/scripts/build.sh"
    (cd "$dir" && ctest --output-on-failure -j2 --timeout 600 -E '^(conformance|windows)\.')
  done
  "$root/scripts/fuzz.sh" --build-only
  (cd "$root/build-fuzz" && ctest --output-on-failure -j2 --timeout 600)
fi
