#!/usr/bin/env bash
# Charts with history (optimised build) on the simulated exchange: "+Chart" to a filled one-hour
# window, the replot time of a page with 1,000 candles and of one with a day of one-second points,
# and three pages of one-second candles live (event-loop latency, CPU). Runs under Xvfb (xvfb-run)
# when there is no display. Argument: SECONDS of the live part (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-2}" --target history_load qmt-sim-exchange

BUILD=build/bench
source scripts/sim-exchange.sh
start_exchange --price-speed 0.0002
SPOT=$(exchange_port spot)
export QMT_BINANCE_SPOT_REST=http://127.0.0.1:$SPOT QMT_BINANCE_SPOT_STREAM=ws://127.0.0.1:$SPOT
export QMT_BINANCE_SPOT_WS_API=ws://127.0.0.1:$SPOT/ws-api/v3
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent  # no keyring asked
RUN=()
[[ -n ${DISPLAY:-} ]] || RUN=(xvfb-run -a -s "-screen 0 1280x800x24")
SETTINGS=$(mktemp -d)
trap 'rm -rf "$SETTINGS"; kill $EXCHANGE 2>/dev/null; wait $EXCHANGE 2>/dev/null; rm -f "$PORTS_FILE"' EXIT
"${RUN[@]}" build/bench/bench/history_load "${1:-30}" "$SETTINGS/qmtTrader.ini"
