#!/usr/bin/env bash
# Trading pages under load (optimised build): five trading pages with their price ladders and trade
# tapes, signed in on the simulated exchange, which sends each symbol's diff-depth events ten times a
# second and TRADES trades a second; then the depth decoding benchmark (ours, simdjson's on-demand
# parser, the document model). Runs under Xvfb (xvfb-run) when there is no display.
# Arguments: SECONDS TRADES_PER_SECOND (default 30 200).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-2}" --target ladder_load qmt-sim-exchange bench_depth

BUILD=build/bench
source scripts/sim-exchange.sh
start_exchange --trades-per-second "${2:-200}" --price-speed 0.0001
SPOT=$(exchange_port spot)
export QMT_BINANCE_SPOT_REST=http://127.0.0.1:$SPOT QMT_BINANCE_SPOT_STREAM=ws://127.0.0.1:$SPOT
export QMT_BINANCE_SPOT_WS_API=ws://127.0.0.1:$SPOT/ws-api/v3
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent  # no keyring asked
RUN=()
[[ -n ${DISPLAY:-} ]] || RUN=(xvfb-run -a -s "-screen 0 1280x800x24")
SETTINGS=$(mktemp -d)
trap 'rm -rf "$SETTINGS"; kill $EXCHANGE 2>/dev/null; wait $EXCHANGE 2>/dev/null; rm -f "$PORTS_FILE"' EXIT
"${RUN[@]}" build/bench/bench/ladder_load "${1:-30}" "$SETTINGS/qmtTrader.ini"
build/bench/bench/bench_depth --benchmark_min_time=0.5 2>/dev/null
