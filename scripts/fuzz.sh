#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (in build-fuzz/) and runs
# each for a chosen time, one after the other.
#
#   scripts/fuzz.sh [--time SECONDS] [--build-only] [TARGET...]
#
# Targets (all when none is named): bulk_in device_control vendor_control
# descriptors settings_file setup_ini inf. Each run starts from the seeds in
# fuzz/corpus/TARGET and from what earlier runs found, kept in
# build-fuzz/fuzz/corpus/TARGET; inputs that crash, hang or trip a check go
# to build-fuzz/fuzz/findings/TARGET/, the whole output to
# build-fuzz/fuzz/logs/TARGET.log. A finding is replayed with
#   build-fuzz/fuzz/fuzz_TARGET FILE
# The script ends with a line per target: executions, speed, coverage
# (libFuzzer's edges and features over everything instrumented, and the
# edges covered in the code the target is about, from one pass over the
# corpus), corpus size and findings; it exits 1 when any target had a
# finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=60
build_only=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --time) seconds=$2; shift 2 ;;
    --build-only) build_only=1; shift ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "scripts/fuzz.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
all=(bulk_in device_control vendor_control descriptors settings_file setup_ini inf)
# The sources each target is about.
declare -A sources=(
  [bulk_in]='port/datapath/(bulk_in|queue_buffer)\.cpp'
  [device_control]='port/control/(device_control|line_control|modem_lines)\.cpp|port/datapath/(wait_mask|purge|modem_status)\.cpp'
  [vendor_control]='port/control/(vendor_control|maintenance_control|settings)\.cpp|port/chip/i2c\.cpp'
  [descriptors]='port/chip/(configuration|descriptor)\.cpp|host/usb/usbd\.cpp'
  [settings_file]='port/control/settings\.cpp'
  [setup_ini]='setup/(config|copy)\.cpp|host/win32/kernel32_profile\.cpp'
  [inf]='host/win32/inf_file\.cpp'
)
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
for t in "${targets[@]}"; do
  [ -d "$root/fuzz/corpus/$t" ] || { echo "scripts/fuzz.sh: no target $t (targets: ${all[*]})" >&2; exit 2; }
done

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DZEPHAN_FUZZ=ON >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target fuzz_targets
[ "$build_only" = 1 ] && exit 0

summary=()
found_any=0
for t in "${targets[@]}"; do
  corpus="$build/fuzz/corpus/$t"
  findings="$build/fuzz/findings/$t"
  log="$build/fuzz/logs/$t.log"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  echo "== $t: ${seconds} s"
  set +e
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1
  status=$?
  set -e
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 || true)
  # Edges covered in the target's own sources: one pass over the corpus.
  own=$("$build/fuzz/fuzz_$t" -runs=0 -print_coverage=1 "$corpus" "$root/fuzz/corpus/$t" 2>&1 |
    grep -E "^(UN)?COVERED_FUNC: .* ($root/)?(${sources[$t]}):" |
    sed -E 's/.* edges: ([0-9]+)\/([0-9]+) .*/\1 \2/' | awk '{c += $1; a += $2} END {printf "%d/%d", c, a}' || true)
  size=$(find "$corpus" -type f | wc -l)
  count=$(find "$findings" -type f | wc -l)
  [ "$status" = 0 ] && [ "$count" = 0 ] || found_any=1
  summary+=("$(printf '%-15s %10s %7s/s  %-22s %-11s %6s  %s%s' "$t" "${runs:-?}" "${speed:-?}" \
    "${cov:-cov: ?}" "${own:-?}" "$size" "$count" "$([ "$status" = 0 ] || echo " (exit $status, see $log)")")")
  echo "${summary[-1]}"
done
echo
echo "target          executions   speed   all instrumented       own edges   corpus  findings"
printf '%s\n' "${summary[@]}"
exit $found_any
