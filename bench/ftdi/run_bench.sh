#!/usr/bin/env bash
# FT2232 benchmark: erase, program (-wp) and verify a full 32 KiB image in a virtual
# mega328P clocked at 16 MHz, over the virtual FT2232 with 1 ms USB latency.
# Reports the wall time, the USB round trips and the ratio of the wall time to the
# virtual chip's lower bound (SPI bits at the achieved SCK plus write and erase times).
#
# usage: run_bench.sh [build folder] [d2xx|libftdi]
set -euo pipefail

build=$(cd "${1:-build/dev}" && pwd)
library=${2:-d2xx}
exe=$build/morvin
[ -x "$exe" ] || { echo "no program at $exe" >&2; exit 2; }

# The drop-in driver libraries of the virtual target.
d2xx=$(find "$build" -name libftd2xx.so -print -quit)
libftdi=$(find "$build" -name libftdi1.so.2 -print -quit)
case $library in
  d2xx) lib=$d2xx ;;
  libftdi) lib=$libftdi ;;
  *) echo "library must be d2xx or libftdi" >&2; exit 2 ;;
esac
[ -n "$lib" ] || { echo "no virtual $library library under $build" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 32 KiB of varied bytes (no 0xFF pages that a programmer could skip), Intel HEX.
python3 - "$work/image.hex" <<'PY'
import sys
data = bytes((i * 151 + (i >> 8) * 7 + 13) % 255 for i in range(32768))
with open(sys.argv[1], "w") as f:
    for base in range(0, len(data), 16):
        chunk = data[base:base + 16]
        rec = [len(chunk), base >> 8, base & 0xFF, 0] + list(chunk)
        rec.append((-sum(rec)) & 0xFF)
        f.write(":" + "".join("%02X" % b for b in rec) + "\n")
    f.write(":00000001FF\n")
PY

export LD_LIBRARY_PATH=$(dirname "$lib")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
export MORVIN_FTDI_LIBRARY=$library
export VT_CHIP=mega328P VT_CLOCK_KHZ=16000 VT_USB_LATENCY_US=1000
export VT_STATE=$work/state VT_COUNTERS=$work/counters
unset VT_FAULT VT_FTDI_DEVICES VT_TRACE

start=$(date +%s%N)
set +e
"$exe" +mega328P -aft2232 -o16MHz -e -wp -v "$work/image.hex" >"$work/out.txt" 2>&1
status=$?
set -e
end=$(date +%s%N)

if [ $status -ne 0 ]; then
  cat "$work/out.txt"
  echo "morvin ended with status $status" >&2
  exit 1
fi

wall_ns=$((end - start))
value() { # first number after the counter's name in the counters file
  grep -E "^[[:space:]]*\"?$1\"?[[:space:]:=]" "$work/counters" 2>/dev/null | head -1 | grep -oE '[0-9]+' | tail -1
}
bound_ns=$(value lower_bound_ns || true)
trips=$(value usb_round_trips || true)

echo "library:         $library ($lib)"
echo "morvin says:     $(grep -E '^Total time' "$work/out.txt" || echo '-')"
awk -v w="$wall_ns" 'BEGIN { printf "wall time:       %.3f s\n", w / 1e9 }'
echo "USB round trips: ${trips:-not in the counters file}"
if [ -n "${bound_ns:-}" ] && [ "$bound_ns" -gt 0 ]; then
  awk -v w="$wall_ns" -v b="$bound_ns" 'BEGIN {
    printf "lower bound:     %.3f s\n", b / 1e9
    printf "ratio:           %.3f (target 1.25)\n", w / b }'
else
  echo "lower bound:     not in the counters file"
  cat "$work/counters" 2>/dev/null || true
fi
