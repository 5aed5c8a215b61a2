#!/usr/bin/env bash
# FT2232 benchmark: erase, program (-wp) and verify a full 32 KiB image in a virtual
# mega328P clocked at 16 MHz, over the virtual FT2232 with 1 ms USB latency. Reports the
# wall time, the USB round trips, the ratio to the virtual chip's lower bound and where
# the time goes, then a summary line per library.
#
# usage: run_bench.sh [build folder] [d2xx|libftdi|all] [--latency-us N]
#        (defaults: build/dev of this tree, both libraries, 1000 us)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec python3 "$here/bench_ftdi.py" "$@"
