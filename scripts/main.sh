#!/usr/bin/env bash
# Set-up, build everything, and run the simulator's demonstration.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
"$root/build/tools/zsim" demo
