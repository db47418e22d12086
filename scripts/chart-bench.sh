#!/usr/bin/env bash
# Chart pages under load (optimised build): three chart pages fed a book every 100 ms, 200 trades
# and a ticker a second per symbol for 30 s (event-loop latency, batch sizes), then the replot time
# of a page holding an hour of one-second ticks. Runs under Xvfb (xvfb-run) when there is no display.
# Arguments: SECONDS TRADES_PER_SECOND (default 30 200).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-2}" --target chart_load
RUN=()
[[ -n ${DISPLAY:-} ]] || RUN=(xvfb-run -a -s "-screen 0 1280x800x24")
"${RUN[@]}" build/bench/bench/chart_load "${1:-30}" "${2:-200}"
