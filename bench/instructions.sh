#!/usr/bin/env bash
# Instructions per byte of the receive path under callgrind: the figure that
# holds from machine to machine (the timings of receive_bench do not).
# For each case, callgrind counts only inside the routine (its callees
# included) while receive_bench runs that one benchmark; the spin lock cases
# count the stand-in kernel's acquire and release, per call.
#
#     bash bench/instructions.sh [BUILD_DIR]     (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bench=$build/bench/receive_bench
[ -x "$bench" ] || { echo "no $bench: build the receive_bench target first" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# benchmark  routine  bytes-per-call
cases=(
  "ring_push/bytes:253 PushQueueBufferEntry 253"
  "ring_push/bytes:4096 PushQueueBufferEntry 4096"
  "ring_pop/bytes:253 PopQueueBufferEntry 253"
  "ring_pop/bytes:4096 PopQueueBufferEntry 4096"
  "parse_64KiB_transfer/xon_xoff:0 ParseBulkInTransfer 65536"
  "parse_64KiB_transfer/xon_xoff:1 ParseBulkInTransfer 65536"
  "host_spin_lock_pair KeAcquireSpinLockRaiseToDpc 1"
  "host_spin_lock_pair KeReleaseSpinLock 1"
)

printf '%-34s %-28s %8s %14s %12s\n' benchmark routine calls instructions per-byte
for c in "${cases[@]}"; do
  read -r name routine bytes <<<"$c"
  file=$out/callgrind.out
  valgrind --tool=callgrind --callgrind-out-file="$file" --collect-atstart=no \
    --toggle-collect="$routine" "$bench" --benchmark_filter="^${name}\$" \
    --benchmark_min_time=0.01 >/dev/null 2>&1
  python3 - "$file" "$name" "$routine" "$bytes" <<'PY'
import re, sys
path, name, routine, bytes_per_call = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
names, callee, calls, total = {}, None, 0, 0
for line in open(path, errors="replace"):
    m = re.match(r"^(c?fn)=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
    if m:
        kind, ident, text = m.groups()
        if text:
            names[ident] = text
        callee = names.get(ident) if kind == "cfn" else None
        continue
    m = re.match(r"^calls=(\d+)", line)
    if m and callee == routine:
        calls += int(m.group(1))
    elif line.startswith("totals:") or line.startswith("summary:"):
        total = int(line.split()[1])
per_byte = total / max(calls, 1) / bytes_per_call
print(f"{name:34} {routine:28} {calls:8} {total:14} {per_byte:12.1f}")
PY
done
